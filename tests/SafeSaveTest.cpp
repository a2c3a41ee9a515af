#include "listfile/SafeSave.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace {

constexpr size_t kLimit = 1 << 20;
const std::string kOld = "old list\r\nsecond line\r\n", kNew = "the new list, longer than the old one\r\n";

const LastLook kAnything = [](const std::optional<std::string>&) { return true; };

using Outcome = CutOffSave::Outcome;

// A read in the file's turn, or a save of saving: what it told (None where nothing), and whether it
// read, or saved.
struct Told {
    Outcome outcome = Outcome::None;
    std::wstring oldBytesAt;
    bool read = false;
};
Told ReadTelling(const std::wstring& path, const FileApi& api = {}, const std::function<void()>& whileTelling = {},
                 const std::string* saving = nullptr)
{
    Told told;
    const TellCutOff tell = [&](const CutOffSave& cutOff) {
        told.outcome = cutOff.outcome;
        told.oldBytesAt = cutOff.oldBytesAt;
        if (whileTelling)
            whileTelling();
    };
    told.read = saving ? SaveFile(path, *saving, kLimit, kAnything, api, tell) == SaveResult::Saved
                       : ReadInTurn(path, kLimit, tell, [] {}, api);
    return told;
}

} // namespace

TEST(SafeSave, ACutOffWriteInPlaceIsPutRightOnlyWhereTheSaveLeftIt)
{
    const struct {
        const char* what;
        std::function<void(const std::wstring& path)> leave; // what the list holds at the next read
        Outcome outcome;
        std::optional<std::string> after; // the list then; nothing: missing
    } cases[] = {
        {"not begun", [](auto& path) { WriteBytes(path, kOld); }, Outcome::PutBack, kOld},
        {"finished", [](auto& path) { WriteBytes(path, kNew); }, Outcome::Finished, kNew},
        {"half written", [](auto& path) { WriteBytes(path, kNew.substr(0, 10) + kOld.substr(10)); }, Outcome::PutBack, kOld},
        {"past the old end", [](auto& path) { WriteBytes(path, kNew.substr(0, 30)); }, Outcome::PutBack, kOld},
        {"written since in place", [](auto& path) { WriteBytes(path, "the user's own\r\n"); }, Outcome::KeptNewer,
         "the user's own\r\n"},
        {"saved since by a rename, as Notepad does",
         [](auto& path) {
             WriteBytes(path + L".notepad", kNew.substr(0, 10) + kOld.substr(10)); // even what looks cut off
             ASSERT_TRUE(MoveFileExW((path + L".notepad").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
         },
         Outcome::KeptNewer, kNew.substr(0, 10) + kOld.substr(10)},
        {"deleted since", [](auto& path) { ASSERT_TRUE(DeleteFileW(path.c_str())); }, Outcome::KeptNewer, std::nullopt},
        {"replaced since by a file of the same 64-bit index (ReFS)",
         [](auto& path) {
             faults.idHigh = 1;
             WriteBytes(path, kNew.substr(0, 10) + kOld.substr(10));
         },
         Outcome::KeptNewer, kNew.substr(0, 10) + kOld.substr(10)},
    };
    const std::string mine = "saved meanwhile\r\n";
    for (const std::string* saving : {static_cast<const std::string*>(nullptr), &mine}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(saving ? "by a save" : "by a read");
            TempAppFolder folder;
            const std::wstring path = folder.path() + L"list.dat";
            const std::wstring journal = CutOffWriteInPlace(path, kOld, kNew);
            const FileApi api = FaultyFiles();
            c.leave(path);
            const Told told =
                ReadTelling(path, api, [&] { EXPECT_TRUE(FileExists(journal)) << "until the user has been told"; }, saving);
            EXPECT_TRUE(told.read);
            EXPECT_EQ(told.outcome, c.outcome);
            EXPECT_EQ(FileExists(path) ? std::optional(ReadBytes(path)) : std::nullopt, saving ? mine : c.after);
            if (c.outcome == Outcome::KeptNewer) {
                EXPECT_EQ(told.oldBytesAt, UserPath(path + L".old-1.txt"));
                EXPECT_EQ(ReadBytes(told.oldBytesAt), kOld) << "the old list is handed over whole";
            }
            EXPECT_FALSE(FileExists(journal));
            EXPECT_EQ(ReadTelling(path).outcome, Outcome::None) << "once";
        }
    }
}

TEST(SafeSave, AJournalIsPlayedBackOnlyWholeAndOnlyOnceTheListIsBack)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    const std::wstring journal = CutOffWriteInPlace(path, kOld, kNew);
    const std::string cut = ReadBytes(path), written = ReadBytes(journal);

    // A journal changed by a byte, its length kept, is not the save's own.
    std::string changed = written;
    changed[changed.size() - kNew.size() - 3] ^= 1;
    WriteBytes(journal, changed);
    EXPECT_EQ(ReadTelling(path).outcome, Outcome::None);
    EXPECT_EQ(ReadBytes(path), cut);
    EXPECT_EQ(ReadBytes(journal), changed) << "left as it is";

    // One cut off while it was written goes: the list was not touched yet.
    WriteBytes(journal, written.substr(0, written.size() - 5));
    EXPECT_EQ(ReadTelling(path).outcome, Outcome::None);
    EXPECT_FALSE(FileExists(journal));
    EXPECT_EQ(ReadBytes(path), cut);

    // A journal that cannot be read now (held elsewhere): no read, and no save over a list it may
    // have left half written.
    WriteBytes(journal, written);
    HANDLE scanner = CreateFileW(journal.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(ReadTelling(path).read);
    EXPECT_EQ(SaveFile(path, kNew, kLimit, kAnything), SaveResult::Failed);
    CloseHandle(scanner);
    EXPECT_EQ(ReadBytes(path), cut);

    // A write-back that fails keeps the journal for a later read, and this one reads nothing.
    const FileApi api = FaultyFiles();
    faults.listWritesFailing = 1;
    EXPECT_FALSE(ReadTelling(path, api).read);
    ASSERT_TRUE(FileExists(journal));
    EXPECT_EQ(ReadTelling(path).outcome, Outcome::PutBack);
    EXPECT_EQ(ReadBytes(path), kOld);
}

TEST(SafeSave, PuttingRightAsksOnlyForTheRightsItUsesAndFollowsNoLink)
{
    // Rights to read but not to write or remove (a standard user in a folder only administrators
    // may write, a read-only share), and reparse points on the journal: a sync client's placeholder,
    // which leads nowhere else, and links, which do. Wine gives neither: the seam does.
    const std::string cut = kNew.substr(0, 10) + kOld.substr(10), theirs = "the user's own\r\n";
    const struct {
        const char* what;
        std::string list; // at the read, and after it
        DWORD denied, tag;
        bool reads;
        Outcome told, later; // at that read, and at one with every right after
        bool fat = false;
    } cases[] = {
        {"whole, old; no delete", kOld, DELETE, 0, true, Outcome::None, Outcome::PutBack},
        {"whole, new; no delete", kNew, DELETE, 0, true, Outcome::None, Outcome::Finished},
        {"written since; no delete", theirs, DELETE, 0, true, Outcome::None, Outcome::KeptNewer},
        {"whole, old; no write", kOld, GENERIC_WRITE, 0, true, Outcome::PutBack, Outcome::None},
        {"half written; no write", cut, GENERIC_WRITE, 0, false, Outcome::None, Outcome::PutBack},
        {"a OneDrive placeholder", kOld, 0, IO_REPARSE_TAG_CLOUD_6, true, Outcome::PutBack, Outcome::None},
        {"deduplicated", kOld, 0, IO_REPARSE_TAG_DEDUP, true, Outcome::PutBack, Outcome::None},
        {"a symbolic link", cut, 0, IO_REPARSE_TAG_SYMLINK, true, Outcome::None, Outcome::PutBack},
        {"a mount point", kOld, 0, IO_REPARSE_TAG_MOUNT_POINT, true, Outcome::None, Outcome::PutBack},
        {"on a FAT stick", cut, 0, 0, true, Outcome::PutBack, Outcome::None, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempAppFolder folder;
        const std::wstring path = folder.path() + L"list.dat";
        const std::wstring journal = CutOffWriteInPlace(path, kOld, kNew);
        WriteBytes(path, c.list);
        const FileApi api = FaultyFiles();
        faults.deniedAccess = c.denied;
        if (c.tag)
            faults.reparseTags[L"list.dat.before-save-0"] = c.tag;
        faults.fat = c.fat;
        const Told told = ReadTelling(path, api);
        EXPECT_EQ(told.read, c.reads);
        EXPECT_EQ(told.outcome, c.told);
        EXPECT_EQ(ReadBytes(path), c.fat ? kOld : c.list);
        EXPECT_EQ(FileNames(folder.path()).size(), c.told == Outcome::None ? 2u : 1u) << "untold, the journal stays alone";
        faults = {};
        EXPECT_EQ(ReadTelling(path, api).outcome, c.later) << "told by a copy that may remove it";
        EXPECT_FALSE(FileExists(journal));
    }
}

TEST(SafeSave, OldBytesAreHandedOverOnlyToAUserWhoIsToldUnderAFreeName)
{
    // More of the user's own files under the names the save uses than any cap would allow, and an
    // empty hand-over of the save's, left by a cut right after it was made.
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat", free = path + L".old-46.txt";
    std::vector<std::wstring> theirs;
    for (unsigned n = 0; n < 70; ++n) {
        wchar_t hex[9];
        swprintf(hex, std::size(hex), L"%x", n);
        for (const std::wstring& name : {path + L".before-save-" + hex, path + L".old-" + hex + L".txt"}) {
            theirs.push_back(name);
            WriteBytes(name, "the user's own");
        }
    }
    CutOffWriteInPlace(path, kOld, kNew);
    WriteBytes(path, "written since\r\n");
    WriteBytes(free, "");
    const FileApi api = FaultyFiles();
    EXPECT_TRUE(ReadInTurn(path, kLimit, {}, [] {}, api));
    EXPECT_EQ(FileNames(folder.path()).size(), 143u) << "nothing handed over untold";
    const Told told = ReadTelling(path, api, [] { faults.events.push_back(L"told"); });
    EXPECT_EQ(told.oldBytesAt, UserPath(free));
    EXPECT_EQ(ReadBytes(free), kOld);
    ASSERT_GE(faults.events.size(), 7u);
    EXPECT_EQ(std::vector(faults.events.end() - 7, faults.events.end()),
              (std::vector<std::wstring>{L"write list.dat.old-46.txt", L"end list.dat.old-46.txt",
                                         L"flush list.dat.old-46.txt", L"remove list.dat.old-46.txt", L"told",
                                         L"keep list.dat.old-46.txt", L"remove list.dat.before-save-46"}))
        << "written, then it goes with the process until the user has been told";
    EXPECT_EQ(SaveFile(path, kNew, kLimit, kAnything, api), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(path), kNew);
    for (const std::wstring& name : theirs)
        EXPECT_EQ(ReadBytes(name), "the user's own");
    EXPECT_EQ(FileNames(folder.path()).size(), 142u);
}

TEST(SafeSave, NamesBesideTheFileThatAreNotTheSavesOwnAreLeftAlone)
{
    // The user's and other programs' files with names like the save's, an earlier release's files
    // (its whole new list, a journal on its way in), and links to a file outside under the names the
    // save uses; for the journal, the file pointed to even says the right things.
    std::string journal;
    {
        TempAppFolder scratch;
        journal = ReadBytes(CutOffWriteInPlace(scratch.path() + L"list.dat", kOld, kNew));
    }
    const std::vector<std::wstring> files = {
        L"list.dat.1a-2b-0.tmp",   L"list.dat.before-save-10-0123abcd", L"list.dat.before-save-5",
        L"list.dat.before-save-copy.txt", L"list.dat.saving-1234-0", L"list.dat.saving-12-0-5-ab12",
        L"list.dat.txt"};
    const std::vector<std::pair<std::wstring, std::string>> links = {
        {L"list.dat.lock", "precious"}, {L"list.dat.before-save-0", journal}, {L"list.dat.old-1.txt", "precious"}};
    const std::wstring hardLinked = L"list.dat.before-save-1"; // a journal with another name outside
    TempAppFolder folder;
    const std::wstring in = folder.path() + L"list\\", path = in + L"list.dat";
    ASSERT_TRUE(CreateDirectoryW(in.c_str(), nullptr));
    for (const std::wstring& name : files)
        WriteBytes(in + name, "the user's own");
    bool linked = true;
    for (const auto& [name, target] : links) {
        WriteBytes(folder.path() + name, target);
        linked = linked && MakeSymbolicLink(in + name, folder.path() + name);
    }
    WriteBytes(folder.path() + hardLinked, journal);
    ASSERT_TRUE(CreateHardLinkW((in + hardLinked).c_str(), (folder.path() + hardLinked).c_str(), nullptr));

    EXPECT_EQ(ReadTelling(path).outcome, Outcome::None) << "and the list is missing: an earlier release's new list stays";
    WriteBytes(path, kOld);
    ASSERT_EQ(SaveFile(path, kNew, kLimit, kAnything), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(path), kNew);
    for (const std::wstring& name : files)
        EXPECT_EQ(ReadBytes(in + name), "the user's own");
    for (const auto& [name, target] : links)
        EXPECT_EQ(ReadBytes(folder.path() + name), target);
    EXPECT_EQ(ReadBytes(folder.path() + hardLinked), journal);
    std::vector<std::wstring> expected = files;
    expected.insert(expected.end(), {L"list.dat", hardLinked});
    if (linked)
        for (const auto& link : links)
            expected.push_back(link.first);
    std::ranges::sort(expected);
    EXPECT_EQ(FileNames(in), expected);
    for (const auto& link : links)
        RemoveSymbolicLink(in + link.first);
}

TEST(SafeSave, DanglingLinksUnderTheNamesTheSaveMakesStayDangling)
{
    // Windows follows a link on a create, dangling or not, unless told not to; the seam does what
    // Windows does where Wine refuses. Anyone who may write the folder could otherwise have the
    // program write chosen bytes to any path.
    TempAppFolder folder;
    const std::wstring elsewhere = folder.path() + L"elsewhere\\", in = folder.path() + L"list\\";
    const std::wstring path = in + L"list.dat";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr) && CreateDirectoryW(in.c_str(), nullptr));
    const auto plant = [&](const std::wstring& name) { // made to a file that then goes
        faults.links[name] = elsewhere + name;
        WriteBytes(elsewhere + name, "");
        const bool made = MakeSymbolicLink(in + name, elsewhere + name);
        return DeleteFileW((elsewhere + name).c_str()) && made;
    };
    const auto unplant = [&](const std::wstring& name) { // once it leads somewhere, so that it is seen
        WriteBytes(elsewhere + name, "");
        RemoveSymbolicLink(in + name);
        DeleteFileW((elsewhere + name).c_str());
    };
    const FileApi api = FaultyFiles();
    if (!plant(L"list.dat"))
        GTEST_SKIP() << "this user may not create symbolic links here";
    EXPECT_EQ(SaveFile(path, kNew, kLimit, kAnything, api), SaveResult::Failed) << "a missing list is made new, not through the link";

    EXPECT_EQ(FileNames(elsewhere), std::vector<std::wstring>{});
    unplant(L"list.dat");
    CutOffWriteInPlace(path, kOld, kNew);
    WriteBytes(path, "the user's own\r\n"); // so that the read hands the old list over
    const FileApi again = FaultyFiles();
    ASSERT_TRUE(plant(L"list.dat.old-1.txt"));
    const Told told = ReadTelling(path, again);
    EXPECT_EQ(told.outcome, Outcome::KeptNewer);
    EXPECT_EQ(told.oldBytesAt, UserPath(in + L"list.dat.old-2.txt"));
    ASSERT_TRUE(plant(L"list.dat.before-save-0"));
    EXPECT_EQ(SaveFile(path, kNew, kLimit, kAnything, again), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(path), kNew);
    EXPECT_EQ(FileNames(elsewhere), std::vector<std::wstring>{}) << testing::PrintToString(faults.events);
    for (const auto& [name, target] : faults.links)
        unplant(name);
}

TEST(SafeSave, TwoSavesAtOnceTakeTurnsAndTheSecondSeesTheFirst)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const std::string loaded = "round " + std::to_string(round) + "\r\n";
        WriteBytes(path, loaded);
        const auto unchanged = [&](const std::optional<std::string>& now) { return now == loaded; };
        SaveResult results[2];
        const std::string lists[2] = {std::string(300000, 'a'), std::string(200000, 'b')};
        std::thread second([&] { results[1] = SaveFile(path, lists[1], kLimit, unchanged, SlowFiles()); });
        results[0] = SaveFile(path, lists[0], kLimit, unchanged, SlowFiles());
        second.join();
        const int saved = results[0] == SaveResult::Saved ? 0 : 1;
        EXPECT_EQ(results[saved], SaveResult::Saved);
        EXPECT_EQ(results[1 - saved], SaveResult::Changed) << "the other saw a list it had not loaded";
        EXPECT_EQ(ReadBytes(path), lists[saved]);
    }
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"list.dat"});
}

TEST(SafeSave, ACopyFrozenInItsTurnHoldsUpNoReadAndNeverShowsHalfAList)
{
    // Another copy stopped in its turn (by a debugger, say): before it wrote, or while it writes.
    const struct {
        const char* what;
        bool inItsLook;
        bool reads;
    } cases[] = {{"in its look", true, true}, {"while it writes", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempAppFolder folder;
        const std::wstring path = folder.path() + L"list.dat";
        WriteBytes(path, kOld);
        HANDLE frozen = CreateEventW(nullptr, TRUE, FALSE, nullptr), thawed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        FileApi api = FaultyFiles();
        faults.onWrite = [&] {
            if (!c.inItsLook) {
                SetEvent(frozen);
                WaitForSingleObject(thawed, INFINITE);
            }
        };
        std::thread copy([&] {
            SaveFile(path, kNew, kLimit, [&](auto&) {
                if (c.inItsLook) {
                    SetEvent(frozen);
                    WaitForSingleObject(thawed, INFINITE);
                }
                return true;
            }, api);
        });
        WaitForSingleObject(frozen, INFINITE);
        std::optional<std::string> seen;
        const ULONGLONG began = GetTickCount64();
        const bool read = ReadInTurn(path, kLimit, {}, [&] { seen = ReadBytes(path); }, api);
        EXPECT_LT(GetTickCount64() - began, 5000u) << "after the wait, not for as long as the copy is stopped";
        EXPECT_EQ(read, c.reads);
        EXPECT_EQ(seen, c.reads ? std::optional(kOld) : std::nullopt);
        SetEvent(thawed);
        copy.join();
        CloseHandle(frozen);
        CloseHandle(thawed);
        EXPECT_EQ(ReadBytes(path), kNew);
    }
}

TEST(SafeSave, ASaveInItsTurnPutsTheJournalOnTheDiskBeforeTheFileIsTouchedAndRemovesItAfter)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    WriteBytes(path, kOld);
    const FileApi api = FaultyFiles();
    ASSERT_EQ(SaveFile(path, kNew, kLimit, kAnything, api), SaveResult::Saved);
    EXPECT_EQ(faults.events, (std::vector<std::wstring>{L"create list.dat.before-save-0", L"write list.dat.before-save-0",
                                                        L"end list.dat.before-save-0", L"flush list.dat.before-save-0", L"write list.dat",
                                                        L"end list.dat", L"flush list.dat", L"remove list.dat.before-save-0"}));
    // Copies in other sessions (Global), and at other rights levels: everyone may wait for it and
    // release it, whoever made it.
    EXPECT_TRUE(faults.mutexName.starts_with(L"Global\\")) << faults.mutexName;
    EXPECT_EQ(faults.mutexSecurity, L"D:(A;;0x100001;;;WD)");

    faults.mutexDenied = true;
    EXPECT_EQ(SaveFile(path, kOld, kLimit, kAnything, api), SaveResult::Busy);
    EXPECT_EQ(ReadBytes(path), kNew);
    EXPECT_TRUE(ReadInTurn(path, kLimit, {}, [] {}, api)) << "nothing half written to keep from the user";
}

TEST(SafeSave, AFileHeldForAMomentIsWaitedFor)
{
    // A virus scanner opens the file, shared with nobody, as the save takes its look.
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    WriteBytes(path, "old\r\n");
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread scanner([held] {
        Sleep(300);
        CloseHandle(held);
    });
    const SaveResult result = SaveFile(path, "new\r\n", kLimit, kAnything);
    scanner.join();
    EXPECT_EQ(result, SaveResult::Saved);
    EXPECT_EQ(ReadBytes(path), "new\r\n");
}

TEST(SafeSave, PathsInMessagesAreAsAUserTypesThem)
{
    const struct {
        const wchar_t *system, *user;
    } cases[] = {
        {L"\\\\?\\C:\\Tools\\PIKEROSU.DAT", L"C:\\Tools\\PIKEROSU.DAT"},
        {L"\\\\?\\UNC\\server\\share\\PIKEROSU.DAT", L"\\\\server\\share\\PIKEROSU.DAT"},
        {L"C:\\Tools\\PIKEROSU.DAT", L"C:\\Tools\\PIKEROSU.DAT"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UserPath(c.system), c.user);
}

TEST(SafeSave, AJournalThatWillNotGoOnceToldIsToldAgainLaterNotInALoop)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    const std::wstring journal = CutOffWriteInPlace(path, kOld, kNew);
    const FileApi api = FaultyFiles();
    faults.removesFail = true;
    int tellings = 0;
    const TellCutOff tell = [&](const CutOffSave&) { faults.removesFail = ++tellings < 3; };
    EXPECT_TRUE(ReadInTurn(path, kLimit, tell, [] {}, api));
    EXPECT_EQ(tellings, 1);
    ASSERT_TRUE(FileExists(journal));
    faults.removesFail = true;
    EXPECT_EQ(SaveFile(path, kNew, kLimit, kAnything, api, tell), SaveResult::Failed) << "no second journal beside it";
    EXPECT_EQ(ReadBytes(path), kOld);
    EXPECT_EQ(ReadTelling(path).outcome, Outcome::PutBack);
    EXPECT_FALSE(FileExists(journal));
}

TEST(SafeSave, AListFoundWholeIsFlushedBeforeItsJournalGoes)
{
    // A save killed before its flush left the new list in the system's cache only.
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    CutOffWriteInPlace(path, kOld, kNew);
    WriteBytes(path, kNew);
    const FileApi api = FaultyFiles();
    EXPECT_EQ(ReadTelling(path, api).outcome, Outcome::Finished);
    const auto& events = faults.events;
    EXPECT_LT(std::ranges::find(events, L"flush list.dat"), std::ranges::find(events, L"remove list.dat.before-save-0"))
        << testing::PrintToString(events);
}

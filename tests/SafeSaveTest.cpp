#include "listfile/SafeSave.h"

#include "TestSupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace {

constexpr size_t kLimit = 1 << 20;

const LastLook kAnything = [](const std::optional<std::string>&) { return true; };

std::string Hex(unsigned long long value)
{
    char digits[17];
    snprintf(digits, sizeof digits, "%llx", value);
    return digits;
}

unsigned long long Fnv1a(const std::string& bytes)
{
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

long long Time(FILETIME time)
{
    return static_cast<long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

std::wstring Widen(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace

using Outcome = CutOffSave::Outcome;

TEST(SafeSave, ACutOffWriteInPlaceIsPutRightOnlyWhereTheSaveLeftIt)
{
    const std::string old = "old list\r\nsecond line\r\n", bytes = "the new list, longer than the old one\r\n";
    const struct {
        const char* what;
        std::function<void(const std::wstring& path)> leave; // what the list holds at the next start
        Outcome outcome;
        std::optional<std::string> after; // the list then; nothing: missing
    } cases[] = {
        {"not begun", [&](auto& path) { WriteBytes(path, old); }, Outcome::PutBack, old},
        {"finished", [&](auto& path) { WriteBytes(path, bytes); }, Outcome::Finished, bytes},
        {"half written", [&](auto& path) { WriteBytes(path, bytes.substr(0, 10) + old.substr(10)); }, Outcome::PutBack, old},
        {"past the old end", [&](auto& path) { WriteBytes(path, bytes.substr(0, 30)); }, Outcome::PutBack, old},
        {"written since in place", [&](auto& path) { WriteBytes(path, "the user's own\r\n"); }, Outcome::KeptNewer,
         "the user's own\r\n"},
        {"saved since by a rename, as Notepad does",
         [&](auto& path) {
             WriteBytes(path + L".notepad", bytes.substr(0, 10) + old.substr(10)); // even what looks cut off
             ASSERT_TRUE(MoveFileExW((path + L".notepad").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
         },
         Outcome::KeptNewer, bytes.substr(0, 10) + old.substr(10)},
        {"deleted since", [&](auto& path) { ASSERT_TRUE(DeleteFileW(path.c_str())); }, Outcome::KeptNewer, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempAppFolder folder;
        const std::wstring path = folder.path() + L"list.dat";
        const std::wstring journal = CutOffWriteInPlace(path, old, bytes);
        c.leave(path);
        const CutOffSave cutOff = PutRightCutOffSave(path, kLimit);
        EXPECT_EQ(cutOff.outcome, c.outcome);
        EXPECT_EQ(FileExists(path) ? std::optional(ReadBytes(path)) : std::nullopt, c.after);
        if (c.outcome == Outcome::KeptNewer) {
            EXPECT_EQ(cutOff.oldBytesAt, UserPath(path + L".old-1.txt"));
            EXPECT_EQ(ReadBytes(cutOff.oldBytesAt), old) << "the old list is handed over whole";
        }
        EXPECT_TRUE(FileExists(journal)) << "until the user has been told";
        EXPECT_EQ(PutRightCutOffSave(path, kLimit).outcome, c.outcome) << "a start cut off before telling tells again";
        ForgetCutOffSave(path, cutOff);
        EXPECT_FALSE(FileExists(journal));
        EXPECT_EQ(PutRightCutOffSave(path, kLimit).outcome, Outcome::None) << "once";
    }
}

TEST(SafeSave, AJournalIsPlayedBackOnlyWholeAndOnlyOnceTheListIsBack)
{
    const std::string old = "old list\r\nsecond line\r\n", bytes = "the new list, longer than the old one\r\n";
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    const std::wstring journal = CutOffWriteInPlace(path, old, bytes);
    const std::string cut = ReadBytes(path), written = ReadBytes(journal);
    ASSERT_NE(cut, old);

    // A journal changed by a byte, its length kept, is not the save's own.
    std::string changed = written;
    changed[changed.size() - bytes.size() - 3] ^= 1;
    WriteBytes(journal, changed);
    EXPECT_EQ(PutRightCutOffSave(path, kLimit).outcome, Outcome::None);
    EXPECT_EQ(ReadBytes(path), cut);
    EXPECT_EQ(ReadBytes(journal), changed) << "left as it is";

    // A write-back that fails keeps the journal for a later start.
    WriteBytes(journal, written);
    const FileApi api = FaultyFiles();
    faults.listWritesFailing = 1;
    const CutOffSave failed = PutRightCutOffSave(path, kLimit, api);
    EXPECT_EQ(failed.outcome, Outcome::None);
    ForgetCutOffSave(path, failed);
    ASSERT_TRUE(FileExists(journal));
    EXPECT_EQ(PutRightCutOffSave(path, kLimit).outcome, Outcome::PutBack);
    EXPECT_EQ(ReadBytes(path), old);
}

TEST(SafeSave, LeftoversOfCutOffSavesGoAndOnlyThey)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    WriteBytes(path, "old\r\n");
    WriteBytes(path + L".saving-1234-0", "a save that was cut off");
    WriteBytes(path + L".saving-12-0-5-" + Widen(Hex(Fnv1a("whole"))), "whole");
    WriteBytes(path + L".saving-99-1", "a save still being written");
    HANDLE running = CreateFileW((path + L".saving-99-1").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(running, INVALID_HANDLE_VALUE);
    // The user's and other programs' own files, with names like the save's.
    const std::vector<std::wstring> theirs = {L"list.dat.1a-2b-0.tmp", L"list.dat.before-save-10-0123abcd0123abcd",
                                              L"list.dat.before-save-5", L"list.dat.before-save-copy.txt",
                                              L"list.dat.saving-007-1", L"list.dat.saving-0x1-2", L"list.dat.saving-notes.txt",
                                              L"list.dat.txt"};
    for (const std::wstring& name : theirs)
        WriteBytes(folder.path() + name, "the user's own");

    ASSERT_EQ(SaveFile(path, "new\r\n", kLimit, kAnything), SaveResult::Saved);
    CloseHandle(running);
    EXPECT_EQ(ReadBytes(path), "new\r\n");
    std::vector<std::wstring> expected = theirs;
    expected.insert(expected.end(), {L"list.dat", L"list.dat.saving-99-1"});
    std::ranges::sort(expected);
    EXPECT_EQ(FileNames(folder.path()), expected);
    for (const std::wstring& name : theirs)
        EXPECT_EQ(ReadBytes(folder.path() + name), "the user's own");
}

TEST(SafeSave, NamesBesideTheFileThatLeadElsewhereAreLeftAlone)
{
    // Each name the save uses, planted as a link to a file outside the folder; a start and a save
    // follow. For the journal and a whole new file, the file pointed to even says the right things.
    const std::string old = "old list\r\nsecond line\r\n", bytes = "the new list, longer than the old one\r\n";
    std::string journal;
    {
        TempAppFolder scratch;
        journal = ReadBytes(CutOffWriteInPlace(scratch.path() + L"list.dat", old, bytes));
    }
    const std::wstring whole = L".saving-1-0-" + Widen(Hex(bytes.size())) + L"-" + Widen(Hex(Fnv1a(bytes)));
    const struct {
        const wchar_t* name;
        std::string target;
        bool listMissing;
    } cases[] = {
        {L".lock", "precious", false},          {L".saving-1-1", "precious", false},
        {whole.c_str(), bytes, true},           {L".before-save-0", journal, false},
        {L".old-1.txt", "precious", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        TempAppFolder folder;
        const std::wstring path = folder.path() + L"list\\list.dat", outside = folder.path() + L"outside.txt";
        ASSERT_TRUE(CreateDirectoryW((folder.path() + L"list").c_str(), nullptr));
        WriteBytes(outside, c.target);
        if (!MakeSymbolicLink(path + c.name, outside))
            GTEST_SKIP() << "this user may not create symbolic links here";
        if (!c.listMissing)
            WriteBytes(path, old);

        EXPECT_EQ(PutRightCutOffSave(path, kLimit).outcome, Outcome::None);
        EXPECT_EQ(FileExists(path), !c.listMissing);
        EXPECT_EQ(SaveFile(path, "new\r\n", kLimit, kAnything), SaveResult::Saved);
        EXPECT_EQ(ReadBytes(path), "new\r\n");
        EXPECT_EQ(ReadBytes(outside), c.target);
        EXPECT_TRUE(FileExists(path + c.name)) << "the link stays";
        RemoveSymbolicLink(path + c.name);
    }
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
        std::thread second([&] { results[1] = SaveFile(path, lists[1], kLimit, unchanged); });
        results[0] = SaveFile(path, lists[0], kLimit, unchanged);
        second.join();
        const int saved = results[0] == SaveResult::Saved ? 0 : 1;
        EXPECT_EQ(results[saved], SaveResult::Saved);
        EXPECT_EQ(results[1 - saved], SaveResult::Refused) << "the other saw a list it had not loaded";
        EXPECT_EQ(ReadBytes(path), lists[saved]);
    }
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"list.dat"});
}

TEST(SafeSave, AFileHeldForAMomentIsWaitedFor)
{
    // A virus scanner opens the file, shared with nobody, as the save takes its last look.
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

TEST(SafeSave, TheNewFileKeepsWhatTheUserSeesOfTheOld)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"PIKEROSU.DAT";
    WriteBytes(path, "old\r\n");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | WRITE_DAC | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILE_BASIC_INFO basic{};
    basic.CreationTime.QuadPart = 130000000000000000ll; // 2012
    basic.FileAttributes = FILE_ATTRIBUTE_HIDDEN; // backed up by its archive bit, which a save sets again
    ASSERT_TRUE(SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic));
    // Permissions of the file's own, not the folder's: everybody may do anything.
    PSECURITY_DESCRIPTOR wanted = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                     &wanted, nullptr));
    PACL wantedDacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorDacl(wanted, &present, &wantedDacl, &defaulted);
    const DWORD set = SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, wantedDacl, nullptr);
    CloseHandle(file);
    ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
    const auto dacl = [](const std::wstring& of) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        GetNamedSecurityInfoW(of.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              &descriptor);
        wchar_t* text = nullptr;
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr);
        std::wstring result = text ? text : L"none";
        LocalFree(text);
        LocalFree(descriptor);
        return result;
    };
    const std::wstring before = dacl(path);
    WIN32_FILE_ATTRIBUTE_DATA was{};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &was));
    const bool keepsCreationTimes = Time(was.ftCreationTime) == basic.CreationTime.QuadPart;
    LocalFree(wanted);

    const FileApi recorded = FaultyFiles();
    ASSERT_EQ(SaveFile(path, "new\r\n", kLimit, kAnything, recorded), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(path), "new\r\n");
    WIN32_FILE_ATTRIBUTE_DATA now{};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &now));
    EXPECT_EQ(now.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    // Wine shows the archive bit on every file; what the save asked for tells.
    const std::wstring asked = std::to_wstring(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(std::ranges::any_of(faults.events, [&](const std::wstring& e) {
        return e.starts_with(L"attributes PIKEROSU.DAT.saving-") && e.ends_with(L" " + asked);
    })) << testing::PrintToString(faults.events);
    if (keepsCreationTimes) { // Wine's file systems do not
        EXPECT_EQ(Time(now.ftCreationTime), basic.CreationTime.QuadPart);
    }
    EXPECT_EQ(dacl(path), before);
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

TEST(SafeSave, WhatOneRenameCannotKeepIsWrittenInPlace)
{
    // Wine shows none of these but the hard link: the seam reports them as Windows would.
    const struct {
        const char* what;
        void (*report)();
        bool inPlace;
    } cases[] = {
        {"a plain file", [] {}, false},
        {"encrypted", [] { faults.listAttributes = FILE_ATTRIBUTE_ENCRYPTED; }, true},
        {"compressed", [] { faults.listAttributes = FILE_ATTRIBUTE_COMPRESSED; }, true},
        {"with a named stream", [] { faults.listHasStreams = true; }, true},
        {"owned by somebody else", [] { faults.listHasOtherOwner = true; }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempAppFolder folder;
        const std::wstring path = folder.path() + L"PIKEROSU.DAT";
        WriteBytes(path, "old\r\n");
        const auto index = [&] {
            const std::string identity = FileIdentity(path);
            return identity.substr(0, identity.find(' '));
        };
        const std::string before = index();
        const FileApi api = FaultyFiles();
        c.report();
        ASSERT_EQ(SaveFile(path, "new\r\n", kLimit, kAnything, api), SaveResult::Saved) << testing::PrintToString(faults.events);
        EXPECT_EQ(ReadBytes(path), "new\r\n");
        EXPECT_EQ(index() == before, c.inPlace) << "the same file, or a new one in its place";
        const bool journaled = std::ranges::any_of(faults.events, [](const std::wstring& e) {
            return e.starts_with(L"move ") && e.ends_with(L" PIKEROSU.DAT.before-save-0");
        });
        EXPECT_EQ(journaled, c.inPlace) << testing::PrintToString(faults.events);
        EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"PIKEROSU.DAT"});
    }
}

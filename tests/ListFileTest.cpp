#include "listfile/ListFile.h"

#include "TestSupport.h"
#include "shell/AppGlobals.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace {

struct VectorList : CandidateList {
    std::vector<std::wstring> entries;
    void Append(std::wstring_view entry) override
    {
        EXPECT_EQ(entry.data()[entry.size()], L'\0');
        entries.emplace_back(entry);
    }
};

std::vector<std::wstring> Candidates()
{
    VectorList list;
    list.entries.push_back(L"kept");
    ReloadCandidates(list);
    EXPECT_EQ(list.entries.front(), L"kept") << "appending must not clear the list";
    list.entries.erase(list.entries.begin());
    return list.entries;
}

using Lines = std::vector<std::wstring>;

// Which file the list is, by its file ID, as backup and sync tools tell files apart.
std::string ListId()
{
    const std::string identity = FileIdentity(ListFilePath());
    return identity.substr(0, identity.find(' '));
}

} // namespace

TEST(ListFile, CommentsAreSkippedAndEverythingElseIsAnEntry)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "# comment\r\nMozilla/4.0\r\n\r\n #not a comment\r\n#\r\nMozilla/4.0\r\nlast");
    EXPECT_EQ(Candidates(), (Lines{L"Mozilla/4.0", L"", L" #not a comment", L"Mozilla/4.0", L"last"}));
}

TEST(ListFile, NoEntriesFromCommentsOnlyEmptyOrMissingFile)
{
    TempAppFolder folder;
    EXPECT_TRUE(Candidates().empty());
    EXPECT_FALSE(FileExists(ListFilePath())) << "reading candidates must not create the file";
    WriteBytes(ListFilePath(), "");
    EXPECT_TRUE(Candidates().empty());
    WriteBytes(ListFilePath(), "#one\r\n#two\r\n");
    EXPECT_TRUE(Candidates().empty());
}

TEST(ListFile, LineEndsAsOtherProgramsWriteThem)
{
    // CR LF, a lone CR and a lone LF each end one line; an untouched save keeps every byte,
    // and an edited one ends in the file's own line break.
    const struct {
        const char* what;
        std::string bytes;
        Lines entries;
        std::string edited; // after saving the text with "X" for its first line
    } cases[] = {
        {"CR LF", "#c\r\nA\r\nB\r\n", {L"A", L"B"}, "X\r\nA\r\nB\r\n"},
        {"LF", "#c\nA\nB\n", {L"A", L"B"}, "X\nA\nB\n"},
        {"LF, no final break", "#c\nA\nB", {L"A", L"B"}, "X\nA\nB\n"},
        {"lone CR", "#c\rA\rB\r", {L"A", L"B"}, "X\rA\rB\r\n"},
        {"mixed: LF after a comment", "#c\nA\r\nB\n", {L"A", L"B"}, "X\nA\r\nB\r\n"},
        {"mixed: CR LF then LF", "A\r\n#c\nB\n\nC", {L"A", L"B", L"", L"C"}, "X\r\n#c\nB\n\nC\r\n"},
        {"empty lines", "\n\n", {L"", L""}, "X\n\n"},
    };
    TempAppFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(ListFilePath(), c.bytes);
        EXPECT_EQ(Candidates(), c.entries);
        const ListDocument loaded = *ReadListFile();
        ASSERT_EQ(WriteListFile(WithoutFinalLineBreak(loaded.text), loaded), SaveResult::Saved);
        EXPECT_EQ(ReadBytes(ListFilePath()), c.bytes);

        const ListDocument again = *ReadListFile();
        std::wstring text(WithoutFinalLineBreak(again.text));
        text.replace(0, SplitLines(text).front().size(), L"X");
        ASSERT_EQ(WriteListFile(text, again), SaveResult::Saved);
        EXPECT_EQ(ReadBytes(ListFilePath()), c.edited);
    }
    EXPECT_TRUE(SplitLines(L"").empty());
}

TEST(ListFile, DoubleByteCharactersComeThroughWhole)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), Sjis(L"# 表示用のソフト\r\nソフト表示\\テスト\r\n予定表"));
    EXPECT_EQ(Candidates(), (Lines{L"ソフト表示\\テスト", L"予定表"}));
    EXPECT_EQ(ReadListFile()->text, L"# 表示用のソフト\r\nソフト表示\\テスト\r\n予定表");
}

TEST(ListFile, ReadWholeCreatesAMissingFileEmpty)
{
    TempAppFolder folder;
    const auto document = ReadListFile();
    ASSERT_TRUE(document);
    EXPECT_EQ(document->text, L"");
    ASSERT_TRUE(FileExists(ListFilePath()));
    EXPECT_EQ(ReadBytes(ListFilePath()), "");
}

TEST(ListFile, ReadWholeOfAMissingFileInAFolderThatIsGoneIsEmpty)
{
    TempAppFolder folder;
    AppPath = folder.path() + L"no such folder\\";
    const auto document = ReadListFile();
    ASSERT_TRUE(document) << "nothing there is nothing lost";
    EXPECT_EQ(document->text, L"");
    EXPECT_FALSE(FileExists(ListFilePath()));
}

TEST(ListFile, AMissingListInAFolderThatTakesNoFileIsEmptyAndCannotBeSaved)
{
    // A read-only share, or a folder the user may not write to: no list, and no other program.
    TempAppFolder folder;
    const UnwritableFolder unwritable(folder.path());
    if (!unwritable.made())
        GTEST_SKIP() << "no folder can be made unwritable here";
    const auto document = ReadListFile();
    ASSERT_TRUE(document) << "missing is empty, not unreadable";
    EXPECT_EQ(document->text, L"");
    EXPECT_EQ(WriteListFile(L"A/1.0", *document), SaveResult::Failed);
    auto names = FileNames(folder.path());
    std::erase(names, L"probe"); // the helper's, where the folder froze as it looked
    EXPECT_EQ(names, std::vector<std::wstring>{});
}

TEST(ListFile, AListTooLargeToBeOneIsUnreadableAndNotWritten)
{
    // A broken disk or a mistaken copy: a sparse file of 1 TiB.
    TempAppFolder folder;
    HANDLE file = CreateFileW(ListFilePath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{};
    size.QuadPart = 1ll << 40;
    const bool grown = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(grown) << GetLastError();
    ReadFailure why = ReadFailure::None;
    EXPECT_FALSE(ReadListFile(&why));
    EXPECT_EQ(why, ReadFailure::TooLarge) << "and says why";
    EXPECT_TRUE(Candidates().empty());
    EXPECT_EQ(WriteListFile(L"A/1.0", ListDocument{}, OtherChanges::Overwrite), SaveResult::Failed);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(ListFilePath().c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeHigh, 256u) << "left as it is";
}

TEST(ListFile, WriteAddsOneLineBreak)
{
    TempAppFolder folder;
    ASSERT_EQ(WriteListFile(L"first\r\nsecond", {}), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(ListFilePath()), "first\r\nsecond\r\n");
    ASSERT_EQ(WriteListFile(L"", *ReadListFile()), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(ListFilePath()), "\r\n");
    EXPECT_EQ(Candidates(), (Lines{L""}));
}

TEST(ListFile, UnchangedFileRoundTripsByteForByte)
{
    TempAppFolder folder;
    const std::string original = Sjis(L"# ブラウザ一覧\r\nMozilla/5.0 (Windows NT 10.0)\r\n\r\nソ表\\\r\n");
    WriteBytes(ListFilePath(), original);
    const auto document = ReadListFile();
    ASSERT_TRUE(document);
    std::wstring text = document->text;
    ASSERT_EQ(text.substr(text.size() - 2), L"\r\n");
    text.resize(text.size() - 2);
    ASSERT_EQ(WriteListFile(text, *document), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"PIKEROSU.DAT"}) << "no temporary file left";
}

TEST(ListFile, UnrepresentableTextIsRefusedBeforeWriting)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "old\r\n");
    EXPECT_EQ(WriteListFile(L"new \U0001F600", *ReadListFile()), SaveResult::Unrepresentable);
    EXPECT_EQ(WriteListFile(L"new \uFFFD", *ReadListFile()), SaveResult::Unreadable);
    EXPECT_EQ(ReadBytes(ListFilePath()), "old\r\n");
}

TEST(ListFile, FilesThatMayNotChangeAreLeftAsTheyAre)
{
    TempAppFolder folder;
    const std::string original = Sjis(L"元のリスト\r\n");
    WriteBytes(ListFilePath(), original);
    const ListDocument document = *ReadListFile();

    // Held by another program that does not let it be replaced.
    HANDLE held = CreateFileW(ListFilePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteListFile(L"replacement", document), SaveResult::Failed);
    CloseHandle(held);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);

    // Read-only: the user has said it is not to change.
    SetFileAttributesW(ListFilePath().c_str(), FILE_ATTRIBUTE_READONLY);
    const DWORD readOnly = GetFileAttributesW(ListFilePath().c_str());
    EXPECT_EQ(WriteListFile(L"replacement", document), SaveResult::ReadOnly);
    EXPECT_EQ(GetFileAttributesW(ListFilePath().c_str()), readOnly);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"PIKEROSU.DAT"}) << "no temporary file left";

    // The folder is gone: nothing can be written anywhere.
    AppPath = folder.path() + L"missing\\";
    EXPECT_EQ(WriteListFile(L"replacement", document), SaveResult::Failed);
}

TEST(ListFile, SavingKeepsTheFilesAttributesAndIsNotBlockedByAStaleTemporary)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "old\r\n");
    SetFileAttributesW(ListFilePath().c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    WriteBytes(ListFilePath() + L".new", "left over by a crash");
    SetFileAttributesW((ListFilePath() + L".new").c_str(), FILE_ATTRIBUTE_READONLY);

    ASSERT_EQ(WriteListFile(L"new", *ReadListFile()), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(ListFilePath()), "new\r\n");
    EXPECT_EQ(GetFileAttributesW(ListFilePath().c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(FileNames(folder.path()), (std::vector<std::wstring>{L"PIKEROSU.DAT", L"PIKEROSU.DAT.new"}));
}

TEST(ListFile, AListAnotherProgramHoldsLockedForAMomentIsWaitedFor)
{
    // Windows refuses to read a range another handle holds locked; Wine reads it, so the seam refuses.
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "A/1.0\r\n");
    for (const auto& [locked, why] : {std::pair{3, ReadFailure::None}, std::pair{10, ReadFailure::Busy}}) {
        const FileApi api = FaultyFiles();
        faults.readsLocked = locked;
        ReadFailure got = ReadFailure::Unreadable;
        const ULONGLONG began = GetTickCount64();
        ReadListFile(&got, {}, true, api);
        EXPECT_GE(GetTickCount64() - began, 250u) << "waited";
        EXPECT_EQ(got, why) << locked << " reads refused";
    }
}

TEST(ListFile, AFileThatExistsButCannotBeReadIsNotTakenForEmpty)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "A/1.0\r\n");
    HANDLE held = CreateFileW(ListFilePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadListFile());
    CloseHandle(held);
    EXPECT_EQ(ReadListFile()->text, L"A/1.0\r\n");

    DeleteFileW(ListFilePath().c_str());
    ASSERT_TRUE(CreateDirectoryW(ListFilePath().c_str(), nullptr));
    EXPECT_FALSE(ReadListFile()) << "a folder of that name";
}

TEST(TestSupport, LongPathTestRunsWhereTheSystemAllowsLongPaths)
{
    const struct {
        bool underWine;
        std::optional<DWORD> enabled;
        bool runs;
    } cases[] = {{true, std::nullopt, true}, {true, 0, true}, {false, 1, true}, {false, 0, false},
                 {false, 2, false}, {false, std::nullopt, false}};
    for (const auto& c : cases) {
        const auto why = LongPathsUnavailable(c.underWine, c.enabled);
        EXPECT_EQ(!why, c.runs) << c.underWine << " " << c.enabled.value_or(999);
        if (why) {
            EXPECT_NE(why->find("LongPathsEnabled"), std::string::npos) << *why;
        }
    }
}

TEST(ListFile, WorksInAFolderDeeperThan260Characters)
{
    if (const auto why = LongPathsUnavailable(RunningUnderWine(), LongPathsEnabledSetting()))
        GTEST_SKIP() << *why;
    TempAppFolder folder;
    std::wstring deep = folder.path();
    while (deep.size() < 300) {
        deep += L"ブラウザリストの深いフォルダー\\";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError();
    }
    AppPath = deep;
    ASSERT_GT(ListFilePath().size(), 300u);
    EXPECT_EQ(ReadListFile()->text, L"") << "created where it was missing";
    ASSERT_EQ(WriteListFile(L"A/1.0", *ReadListFile()), SaveResult::Saved);
    ASSERT_EQ(WriteListFile(L"A/1.0\r\nB/2.0", *ReadListFile()), SaveResult::Saved);
    EXPECT_EQ(Candidates(), (Lines{L"A/1.0", L"B/2.0"}));
    EXPECT_EQ(FileNames(deep), std::vector<std::wstring>{L"PIKEROSU.DAT"});
}

TEST(ListFile, AnotherWritersSaveIsNotUndoneUnasked)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "A/1.0\r\n");
    const ListDocument first = *ReadListFile(), second = *ReadListFile(); // two copies of the editor

    ASSERT_EQ(WriteListFile(L"first", first), SaveResult::Saved);
    EXPECT_EQ(WriteListFile(L"second", second), SaveResult::Changed);
    EXPECT_EQ(WriteListFile(WithoutFinalLineBreak(second.text), second), SaveResult::Saved)
        << "untouched: nothing of the user's to write";
    EXPECT_EQ(ReadBytes(ListFilePath()), "first\r\n");
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"PIKEROSU.DAT"}) << "no temporary file left";
    ASSERT_EQ(WriteListFile(L"second", second, OtherChanges::Overwrite), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(ListFilePath()), "second\r\n");

    // Touched by a sync tool with the same bytes: nothing to lose.
    const ListDocument touched = *ReadListFile();
    WriteBytes(ListFilePath(), "second\r\n");
    EXPECT_EQ(WriteListFile(L"third", touched), SaveResult::Saved);

    // Deleted meanwhile: nothing to lose either, and the list comes back.
    const ListDocument deleted = *ReadListFile();
    ASSERT_TRUE(DeleteFileW(ListFilePath().c_str()));
    EXPECT_EQ(WriteListFile(L"fourth", deleted), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(ListFilePath()), "fourth\r\n");
}

TEST(ListFile, ALinkedListStaysLinked)
{
    TempAppFolder folder;
    const std::wstring shared = folder.path() + L"shared\\";
    if (!LinkTheListInto(shared, "A/1.0\r\n"))
        GTEST_SKIP() << "this user may not create symbolic links here";

    const ListDocument loaded = *ReadListFile();
    EXPECT_EQ(loaded.text, L"A/1.0\r\n");
    WriteBytes(shared + L"list.dat", "B/2.0\r\n"); // changed at the far end
    EXPECT_EQ(WriteListFile(L"mine", loaded), SaveResult::Changed);
    ASSERT_EQ(WriteListFile(L"mine", loaded, OtherChanges::Overwrite), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(shared + L"list.dat"), "mine\r\n") << "the file the link points to holds the list";
    WriteBytes(shared + L"list.dat", "C/3.0\r\n");
    EXPECT_EQ(Candidates(), Lines{L"C/3.0"}) << "and the link still points to it";
    EXPECT_EQ(FileNames(shared), std::vector<std::wstring>{L"list.dat"}) << "no temporary file left";

    // A target that may not change is not replaced through its link either.
    SetFileAttributesW((shared + L"list.dat").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(WriteListFile(L"refused", *ReadListFile()), SaveResult::ReadOnly);
    EXPECT_EQ(ReadBytes(shared + L"list.dat"), "C/3.0\r\n");
}

TEST(ListFile, TheShippedListReadsInAnySystemCodePage)
{
    // Run again with the system code page at 65001 and 1252.
    InitAppPath(); // the shipped list lies beside this program
    const std::string shipped = ReadBytes(AppPath + L"shipped-PIKEROSU.DAT");
    TempAppFolder folder;
    WriteBytes(ListFilePath(), shipped);
    const ListDocument loaded = *ReadListFile();
    EXPECT_EQ(loaded.text.find(TextEncoding::kReplacement), std::wstring::npos);
    EXPECT_TRUE(loaded.text.starts_with(L"# ピケロスブラウザ")) << testing::PrintToString(loaded.text.substr(0, 20));
    EXPECT_EQ(Candidates().size(), 13u);

    // Edited, it stays Shift_JIS.
    const std::wstring edited = L"# 編集した一覧\r\n" + loaded.text;
    ASSERT_EQ(WriteListFile(WithoutFinalLineBreak(edited), loaded), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(ListFilePath()), Sjis(L"# 編集した一覧\r\n") + shipped);
}

TEST(ListFile, AHardLinkedListStaysOneFile)
{
    TempAppFolder folder;
    const std::wstring other = folder.path() + L"other program's list.dat";
    WriteBytes(ListFilePath(), "A/1.0\r\n");
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), ListFilePath().c_str(), nullptr)) << GetLastError();
    const auto links = [&] {
        HANDLE file = CreateFileW(other.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        GetFileInformationByHandle(file, &info);
        CloseHandle(file);
        return info.nNumberOfLinks;
    };
    ASSERT_EQ(links(), 2u);

    ASSERT_EQ(WriteListFile(L"B/2.0", *ReadListFile()), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(other), "B/2.0\r\n");
    EXPECT_EQ(links(), 2u);

    // Another program's save is seen on the handle that would write.
    const ListDocument loaded = *ReadListFile();
    WriteBytes(other, "C/3.0\r\n");
    EXPECT_EQ(WriteListFile(L"mine", loaded), SaveResult::Changed);
    EXPECT_EQ(ReadBytes(ListFilePath()), "C/3.0\r\n");

    // A write that fails halfway is undone; where even that fails, the journal holds the old list,
    // and the next read puts it back, with nothing beside it.
    WriteBytes(other, "D/4.0\r\n");
    for (const int failing : {1, 2}) {
        SCOPED_TRACE(failing);
        const FileApi api = FaultyFiles();
        faults.listWritesFailing = failing;
        const auto result = WriteListFile(L"a longer list than before", *ReadListFile(), OtherChanges::Keep, api);
        EXPECT_EQ(links(), 2u);
        if (failing == 1) {
            EXPECT_EQ(result, SaveResult::Failed);
            EXPECT_EQ(ReadBytes(other), "D/4.0\r\n");
            EXPECT_EQ(FileNames(folder.path()), (std::vector<std::wstring>{L"PIKEROSU.DAT", L"other program's list.dat"}));
        } else {
            ASSERT_EQ(result, SaveResult::Stranded);
            EXPECT_NE(ReadBytes(other), "D/4.0\r\n");
            CutOffSave::Outcome told = CutOffSave::Outcome::None;
            EXPECT_EQ(ReadListFile(nullptr, [&](const CutOffSave& cutOff) { told = cutOff.outcome; })->bytes, "D/4.0\r\n");
            EXPECT_EQ(told, CutOffSave::Outcome::PutBack);
            EXPECT_EQ(ReadBytes(other), "D/4.0\r\n");
            EXPECT_EQ(links(), 2u);
            EXPECT_EQ(FileNames(folder.path()), (std::vector<std::wstring>{L"PIKEROSU.DAT", L"other program's list.dat"}));
        }
    }
}

TEST(ListFile, ALinkIntoAFolderThatIsNotThereIsUnreadableAndStays)
{
    TempAppFolder folder;
    const std::wstring offline = folder.path() + L"share\\";
    if (!LinkTheListInto(offline, "A/1.0\r\n"))
        GTEST_SKIP() << "this user may not create symbolic links here";
    const ListDocument loaded = *ReadListFile();
    ASSERT_TRUE(DeleteFileW((offline + L"list.dat").c_str()));
    ASSERT_TRUE(RemoveDirectoryW(offline.c_str())); // the share went offline

    EXPECT_FALSE(ReadListFile());
    EXPECT_TRUE(Candidates().empty());
    EXPECT_EQ(WriteListFile(L"B/2.0", loaded), SaveResult::Failed);
    EXPECT_EQ(WriteListFile(L"B/2.0", loaded, OtherChanges::Overwrite), SaveResult::Failed);
    EXPECT_FALSE(FileExists(ListFilePath())) << "the link is not replaced by a file";

    // Back online without the file: nothing is created where the link leads (it may be planted).
    ASSERT_TRUE(CreateDirectoryW(offline.c_str(), nullptr));
    EXPECT_FALSE(ReadListFile());
    EXPECT_EQ(FileNames(offline), Lines{});
    WriteBytes(offline + L"list.dat", "C/3.0\r\n");
    EXPECT_EQ(Candidates(), Lines{L"C/3.0"}) << "and the link still leads there";
}

TEST(ListFile, ASaveKilledAtAnyMomentLeavesOneWholeList)
{
    // A smoke test from outside, beside the saves cut at every step: a child process saves two lists
    // by turns and is killed at random moments, as a crash or a forced shutdown would end it. This
    // process, a copy that was already running, reads the list each time: the old list or the whole
    // new one, put right and told once, the same file, nothing left beside it, wherever kills land.
    for (const bool hardLinked : {false, true}) {
        SCOPED_TRACE(hardLinked ? "hard-linked" : "plain");
        TempAppFolder folder;
        WriteBytes(ListFilePath(), SavedListA());
        const std::wstring other = folder.path() + L"other name.dat";
        if (hardLinked) {
            ASSERT_TRUE(CreateHardLinkW(other.c_str(), ListFilePath().c_str(), nullptr));
        }
        const std::string id = ListId();
        std::mt19937 random(hardLinked ? 2 : 1); // the same moments on every run
        int told = 0;
        for (int kill = 0; kill < 6; ++kill) {
            SCOPED_TRACE(kill);
            const std::string before = FileIdentity(ListFilePath());
            HANDLE child = StartThisProgram(L"--save-list-in-a-loop \"" + folder.path().substr(0, folder.path().size() - 1) + L"\"");
            ASSERT_NE(child, nullptr);
            // Its first save has landed: waited for by the clock, since a busy machine starts it late;
            // then a moment within one of its saves, which has begun once its journal is there.
            for (const ULONGLONG until = GetTickCount64() + 60000; FileIdentity(ListFilePath()) == before && GetTickCount64() < until;)
                Sleep(5);
            const auto saving = [&] {
                return std::ranges::any_of(FileNames(folder.path()), [](auto& name) { return name.find(L".before-save-") != name.npos; });
            };
            for (const ULONGLONG until = GetTickCount64() + 30000; !saving() && GetTickCount64() < until;)
                Sleep(1);
            Sleep(std::uniform_int_distribution<DWORD>(0, 60)(random));
            DWORD code = 0;
            GetExitCodeProcess(child, &code);
            EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE)) << "the child stopped saving by itself (10 + its result)";
            TerminateProcess(child, 99);
            WaitForSingleObject(child, INFINITE);
            CloseHandle(child);

            int tellings = 0;
            const auto now = ReadListFile(nullptr, [&](const CutOffSave&) { ++tellings; });
            ASSERT_TRUE(now);
            ASSERT_TRUE(now->bytes == SavedListA() || now->bytes == SavedListB()) << now->bytes.size() << " bytes";
            EXPECT_EQ(ListId(), id) << "the same file throughout";
            if (hardLinked) {
                EXPECT_EQ(ReadBytes(other), now->bytes);
            }
            told += tellings;
            ASSERT_TRUE(ReadListFile(nullptr, [&](const CutOffSave&) { ++tellings; }));
            EXPECT_LE(tellings, 1) << "told once";
        }
        std::cout << "kills that cut off a write, put right and told: " << told << " of 6\n";
        auto expected = hardLinked ? Lines{L"PIKEROSU.DAT", L"other name.dat"} : Lines{L"PIKEROSU.DAT"};
        EXPECT_EQ(FileNames(folder.path()), expected) << "nothing left beside it";
    }
}

TEST(ListFile, AListTooLargeToReadAgainIsNotSaved)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "A/1.0\r\n");
    const ListDocument loaded = *ReadListFile();
    std::wstring text(kListLimit - 2, L'a'); // with its CR LF, exactly as large as a list may be
    EXPECT_EQ(WriteListFile(text + L"b", loaded), SaveResult::TooLarge);
    EXPECT_EQ(ReadBytes(ListFilePath()), "A/1.0\r\n");
    ASSERT_EQ(WriteListFile(text, loaded), SaveResult::Saved);
    EXPECT_EQ(ReadListFile()->text.size(), kListLimit) << "and it is read again";
}

TEST(ListFile, AProgramThatSharesTheListForWritingKeepsItsWritesInTheList)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "A/1.0\r\n");
    const ListDocument loaded = *ReadListFile();
    HANDLE other = CreateFileW(ListFilePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    // It is kept out from the look to the write: the range is locked (which Windows checks on every
    // write, and Wine does not, so it is asked as Windows would).
    const FileApi api = FaultyFiles();
    bool keptOut = true;
    faults.onWrite = [&] {
        OVERLAPPED at{};
        keptOut = keptOut && !LockFileEx(other, LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at) &&
                  GetLastError() == ERROR_LOCK_VIOLATION;
    };
    EXPECT_EQ(WriteListFile(L"B/2.0", loaded, OtherChanges::Keep, api), SaveResult::Saved) << "it does not stop the save";
    EXPECT_TRUE(keptOut) << testing::PrintToString(faults.events);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(other, "C", 1, &written, nullptr));
    CloseHandle(other);
    EXPECT_EQ(ReadBytes(ListFilePath()), "C/2.0\r\n") << "its later write is in the file under the list's name";
}

TEST(ListFile, EveryListIsSavedInPlace)
{
    // The same file after any number of saves: its links, owner, permissions, attributes and
    // streams stay without being carried over.
    const struct {
        const char* what;
        std::string bytes;
        bool (*make)(const std::wstring& folder, const std::string& bytes);
    } cases[] = {
        {"plain", "A/1.0\r\n", [](auto&, auto& bytes) { WriteBytes(ListFilePath(), bytes); return true; }},
        {"UTF-16", Utf16LE(L"A/1.0\r\n"), [](auto&, auto& bytes) { WriteBytes(ListFilePath(), bytes); return true; }},
        {"hard-linked", "A/1.0\r\n",
         [](auto& folder, auto& bytes) {
             WriteBytes(ListFilePath(), bytes);
             return CreateHardLinkW((folder + L"other name.dat").c_str(), ListFilePath().c_str(), nullptr) != FALSE;
         }},
        {"a symbolic link", "A/1.0\r\n", [](auto& folder, auto& bytes) { return LinkTheListInto(folder + L"shared\\", bytes); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempAppFolder folder;
        if (!c.make(folder.path(), c.bytes))
            continue; // no symbolic links for this user
        const std::string id = ListId();
        for (const wchar_t* text : {L"B/2.0", L"C/3.0\r\nD/4.0", L""})
            ASSERT_EQ(WriteListFile(text, *ReadListFile()), SaveResult::Saved);
        EXPECT_EQ(ListId(), id);
        EXPECT_EQ(Candidates(), Lines{L""});
    }
}

TEST(ListFile, EveryReadComesAfterACutOffSaveIsPutRight)
{
    // Also where the system gives no final path of the folder (some RAM disks, volumes without a letter).
    for (const bool finalPath : {true, false}) {
        SCOPED_TRACE(finalPath);
        TempAppFolder folder;
        CutOffWriteInPlace(ListFilePath(), "#A\r\nA/1.0\r\n", "#B\r\nB/2.0 and more\r\n");
        const FileApi api = FaultyFiles();
        faults.noFinalPath = !finalPath;
        VectorList list;
        int told = 0;
        EXPECT_EQ(ReloadCandidates(list, [&](const CutOffSave& cutOff) { told += cutOff.outcome == CutOffSave::Outcome::PutBack; }, api),
                  ReadFailure::None);
        EXPECT_EQ(list.entries, Lines{L"A/1.0"});
        EXPECT_EQ(told, 1);
        EXPECT_EQ(FileNames(folder.path()), Lines{L"PIKEROSU.DAT"});
    }
}

TEST(ListFile, AnotherProgramReadingDuringSavesGetsOnlyWholeLists)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), SavedListA());
    HANDLE reader = StartThisProgram(L"--read-list-in-a-loop \"" + folder.path().substr(0, folder.path().size() - 1) + L"\"");
    ASSERT_NE(reader, nullptr);
    for (const ULONGLONG until = GetTickCount64() + 30000; !FileExists(folder.path() + L"reading") && GetTickCount64() < until;)
        Sleep(5);
    for (int save = 0; save < 8; ++save) {
        const std::string& next = save % 2 ? SavedListA() : SavedListB();
        const std::wstring text = TextEncoding::Decode(next, TextEncoding::Encoding::Ansi, 932);
        EXPECT_EQ(WriteListFile(WithoutFinalLineBreak(text), *ReadListFile(), OtherChanges::Keep, SlowFiles()), SaveResult::Saved)
            << "a reader never stops a save";
    }
    WriteBytes(folder.path() + L"stop", "");
    EXPECT_EQ(WaitForSingleObject(reader, 60000), WAIT_OBJECT_0);
    CloseHandle(reader);
    int whole = 0, half = -1, refused = 0;
    std::istringstream(ReadBytes(folder.path() + L"reader.log")) >> whole >> half >> refused;
    std::cout << "reads during saves: " << whole << " whole, " << refused << " refused\n";
    EXPECT_GT(whole, 0);
    EXPECT_EQ(half, 0);
}

namespace {

std::string FolderArgument(const TempAppFolder& folder)
{
    const std::wstring in = folder.path().substr(0, folder.path().size() - 1); // no \" at its end
    return TextEncoding::Encode(in, TextEncoding::Encoding::Ansi, CP_ACP).value();
}

std::wstring Wide(const std::string& ansi)
{
    return TextEncoding::Decode(ansi, TextEncoding::Encoding::Ansi, CP_ACP);
}

} // namespace

TEST(ListFile, TwoCopiesSavingAtOnceNeverReplaceWhatTheOtherSaved)
{
    // Two processes save by turns, each write slowed down; every list names the one it replaced,
    // and no two saves may both have replaced the same list.
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "start\r\n");
    HANDLE copies[2];
    for (int i = 0; i < 2; ++i) {
        copies[i] = StartThisProgram(L"--save-list-in-turns \"" + Wide(FolderArgument(folder)) + L"\" copy" +
                                     std::to_wstring(i) + L" 12");
        ASSERT_NE(copies[i], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(2, copies, TRUE, 120000), WAIT_OBJECT_0);
    std::map<std::string, std::string> replacedBy;
    int saved = 0;
    for (int i = 0; i < 2; ++i) {
        CloseHandle(copies[i]);
        std::istringstream log(ReadBytes(folder.path() + L"copy" + std::to_wstring(i) + L".log"));
        for (std::string mine, predecessor; log >> mine >> predecessor; ++saved) {
            const auto [other, first] = replacedBy.emplace(predecessor, mine);
            EXPECT_TRUE(first) << mine << " and " << other->second << " both replaced " << predecessor;
        }
    }
    EXPECT_GE(saved, 12) << "each copy saved when it had the list it loaded";
}

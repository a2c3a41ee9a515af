#include "listfile/ListFile.h"

#include "TestSupport.h"
#include "shell/AppGlobals.h"

#include <windows.h>

#include <gtest/gtest.h>

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
using Views = std::vector<std::wstring_view>;

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

TEST(ListFile, LineBreakRules)
{
    // Lone CR ends a line, lone LF stays inside it.
    EXPECT_EQ(SplitLines(L"a\rb\r\nc\nd\r\n"), (Views{L"a", L"b", L"c\nd"}));
    EXPECT_EQ(SplitLines(L"a\r\rb"), (Views{L"a", L"", L"b"}));
    EXPECT_EQ(SplitLines(L"\r\n"), (Views{L""}));
    EXPECT_TRUE(SplitLines(L"").empty());

    TempAppFolder folder;
    WriteBytes(ListFilePath(), "one\ntwo\nthree\n");
    EXPECT_EQ(Candidates(), (Lines{L"one\ntwo\nthree\n"}));
    WriteBytes(ListFilePath(), "#one\ntwo\r\nthree");
    EXPECT_EQ(Candidates(), (Lines{L"three"}));
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

TEST(ListFile, WriteAddsOneLineBreak)
{
    TempAppFolder folder;
    ASSERT_EQ(WriteListFile(L"first\r\nsecond", {}), ListWriteResult::Written);
    EXPECT_EQ(ReadBytes(ListFilePath()), "first\r\nsecond\r\n");
    ASSERT_EQ(WriteListFile(L"", {}), ListWriteResult::Written);
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
    ASSERT_EQ(WriteListFile(text, *document), ListWriteResult::Written);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"PIKEROSU.DAT"}) << "no temporary file left";
}

TEST(ListFile, UnrepresentableTextIsRefusedBeforeWriting)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "old\r\n");
    EXPECT_EQ(WriteListFile(L"new \U0001F600", *ReadListFile()), ListWriteResult::Unrepresentable);
    EXPECT_EQ(WriteListFile(L"new \uFFFD", *ReadListFile()), ListWriteResult::Unreadable);
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
    EXPECT_EQ(WriteListFile(L"replacement", document), ListWriteResult::Failed);
    CloseHandle(held);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);

    // Read-only: the user has said it is not to change.
    SetFileAttributesW(ListFilePath().c_str(), FILE_ATTRIBUTE_READONLY);
    const DWORD readOnly = GetFileAttributesW(ListFilePath().c_str());
    EXPECT_EQ(WriteListFile(L"replacement", document), ListWriteResult::Failed);
    EXPECT_EQ(GetFileAttributesW(ListFilePath().c_str()), readOnly);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"PIKEROSU.DAT"}) << "no temporary file left";

    // The folder is gone: nothing can be written anywhere.
    AppPath = folder.path() + L"missing\\";
    EXPECT_EQ(WriteListFile(L"replacement", document), ListWriteResult::Failed);
}

TEST(ListFile, SavingKeepsTheFilesAttributesAndIsNotBlockedByAStaleTemporary)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "old\r\n");
    SetFileAttributesW(ListFilePath().c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    WriteBytes(ListFilePath() + L".new", "left over by a crash");
    SetFileAttributesW((ListFilePath() + L".new").c_str(), FILE_ATTRIBUTE_READONLY);

    ASSERT_EQ(WriteListFile(L"new", *ReadListFile()), ListWriteResult::Written);
    EXPECT_EQ(ReadBytes(ListFilePath()), "new\r\n");
    EXPECT_EQ(GetFileAttributesW(ListFilePath().c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(FileNames(folder.path()), (std::vector<std::wstring>{L"PIKEROSU.DAT", L"PIKEROSU.DAT.new"}));
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

TEST(ListFile, WorksInAFolderDeeperThan260Characters)
{
    TempAppFolder folder;
    std::wstring deep = folder.path();
    while (deep.size() < 300) {
        deep += L"ブラウザリストの深いフォルダー\\";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError();
    }
    AppPath = deep;
    ASSERT_GT(ListFilePath().size(), 300u);
    EXPECT_EQ(ReadListFile()->text, L"") << "created where it was missing";
    ASSERT_EQ(WriteListFile(L"A/1.0", *ReadListFile()), ListWriteResult::Written);
    ASSERT_EQ(WriteListFile(L"A/1.0\r\nB/2.0", *ReadListFile()), ListWriteResult::Written);
    EXPECT_EQ(Candidates(), (Lines{L"A/1.0", L"B/2.0"}));
    EXPECT_EQ(FileNames(deep), std::vector<std::wstring>{L"PIKEROSU.DAT"});
}

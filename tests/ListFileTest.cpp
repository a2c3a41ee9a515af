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
    EXPECT_EQ(ReadListFile(), L"# 表示用のソフト\r\nソフト表示\\テスト\r\n予定表");
}

TEST(ListFile, ReadWholeCreatesAMissingFileEmpty)
{
    TempAppFolder folder;
    EXPECT_EQ(ReadListFile(), L"");
    ASSERT_TRUE(FileExists(ListFilePath()));
    EXPECT_EQ(ReadBytes(ListFilePath()), "");
}

TEST(ListFile, ReadWholeOfAMissingFileInAFolderThatIsGoneIsEmpty)
{
    TempAppFolder folder;
    AppPath = folder.path() + L"no such folder\\";
    EXPECT_EQ(ReadListFile(), L"");
    EXPECT_FALSE(FileExists(ListFilePath()));
}

TEST(ListFile, WriteAddsOneLineBreak)
{
    TempAppFolder folder;
    ASSERT_EQ(WriteListFile(L"first\r\nsecond"), ListWriteResult::Written);
    EXPECT_EQ(ReadBytes(ListFilePath()), "first\r\nsecond\r\n");
    ASSERT_EQ(WriteListFile(L""), ListWriteResult::Written);
    EXPECT_EQ(ReadBytes(ListFilePath()), "\r\n");
    EXPECT_EQ(Candidates(), (Lines{L""}));
}

TEST(ListFile, UnchangedFileRoundTripsByteForByte)
{
    TempAppFolder folder;
    const std::string original = Sjis(L"# ブラウザ一覧\r\nMozilla/5.0 (Windows NT 10.0)\r\n\r\nソ表\\\r\n");
    WriteBytes(ListFilePath(), original);
    std::wstring text = ReadListFile();
    ASSERT_EQ(text.substr(text.size() - 2), L"\r\n");
    text.resize(text.size() - 2);
    ASSERT_EQ(WriteListFile(text), ListWriteResult::Written);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);
    EXPECT_FALSE(FileExists(ListFilePath() + L".new"));
}

TEST(ListFile, UnrepresentableTextIsRefusedBeforeWriting)
{
    TempAppFolder folder;
    WriteBytes(ListFilePath(), "old\r\n");
    EXPECT_EQ(WriteListFile(L"new \U0001F600"), ListWriteResult::Unrepresentable);
    EXPECT_EQ(ReadBytes(ListFilePath()), "old\r\n");
}

TEST(ListFile, FailedWriteLeavesTheOldFileIntact)
{
    TempAppFolder folder;
    const std::string original = Sjis(L"元のリスト\r\n");
    WriteBytes(ListFilePath(), original);

    // Another program holds the file open without letting it be replaced.
    HANDLE held = CreateFileW(ListFilePath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteListFile(L"replacement"), ListWriteResult::Failed);
    CloseHandle(held);
    EXPECT_EQ(ReadBytes(ListFilePath()), original);
    EXPECT_FALSE(FileExists(ListFilePath() + L".new"));

    // The folder is gone: nothing can be written anywhere.
    AppPath = folder.path() + L"missing\\";
    EXPECT_EQ(WriteListFile(L"replacement"), ListWriteResult::Failed);
}

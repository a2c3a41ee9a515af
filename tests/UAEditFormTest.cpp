#include "editor/UAEditForm.h"

#include "TestSupport.h"
#include "WindowTestSupport.h"
#include "mainwindow/PikeMain.h"
#include "shell/AppGlobals.h"

#include <windowsx.h>

#include <algorithm>

namespace {

using Lines = std::vector<std::wstring>;

class UAEditFormTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        SetUserAgent(kWindowsSubKey, L"Current/1.0");
        main = std::make_unique<PikeMain>(RecordingPlatform());
    }
    void TearDown() override
    {
        main.reset();
        WindowTest::TearDown();
    }

    // Opens the main window on the given list file, then the editor.
    void OpenEditor(const std::string& list)
    {
        WriteList(list);
        ASSERT_TRUE(main->Open(SW_SHOWNORMAL));
        Click(main->Window(), PikeMain::Command2);
        ASSERT_TRUE(main->Editor() && main->Editor()->IsOpen());
    }
    HWND Editor() const { return main->Editor()->Window(); }
    HWND TextBox() const { return Control(Editor(), UAEditForm::UANameTextBox); }
    HWND Combo() const { return Control(main->Window(), PikeMain::UAName); }
    void SetEditorText(const std::wstring& text) const { SetWindowTextW(TextBox(), text.c_str()); }

    std::unique_ptr<PikeMain> main;
};

const char kList[] = "# list\r\nA/1.0\r\nB/2.0\r\n";

Box Warning(const std::wstring& text) { return {text, L"ピケロスブラウザ", MB_ICONWARNING}; }
Box Error(const std::wstring& text) { return {text, L"ピケロスブラウザ", MB_ICONERROR}; }
const Box kUnreachable = Warning(L"ブラウザリストを読み込めませんでした。ほかのプログラムが使用中でないか確かめてから、"
                                 L"もう一度開いてください。");
const Box kUnreadable = Warning(L"読み取れなかった文字（\uFFFD）が残っているため、保存できませんでした。"
                                L"該当する文字を直してから、もう一度 OK を押してください。");

} // namespace

TEST_F(UAEditFormTest, ShowsTheWholeFileAndSavesItUnchanged)
{
    const std::string list = Sjis(L"# ブラウザ\r\nソフト/1.0 (表示)\r\n\r\nB/2.0\r\n");
    OpenEditor(list);
    EXPECT_EQ(GetText(Editor()), L"ブラウザリスト編集");
    EXPECT_EQ(GetText(TextBox()), L"# ブラウザ\r\nソフト/1.0 (表示)\r\n\r\nB/2.0\r\n");
    EXPECT_EQ(GetText(Control(Editor(), UAEditForm::cmdOK)), L"OK");
    EXPECT_EQ(GetText(Control(Editor(), UAEditForm::cmdCancel)), L"キャンセル");
    EXPECT_FALSE(GetWindowLongW(Editor(), GWL_STYLE) & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_NE(GetWindow(Editor(), GW_OWNER), main->Window()) << "not tied to the main window";

    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(ReadList(), list);
    EXPECT_TRUE(messages.empty());
}

TEST_F(UAEditFormTest, OneTrailingLineBreakIsDroppedBeforeSaving)
{
    const struct {
        std::wstring typed;
        std::string saved;
    } cases[] = {
        {L"A/1.0\r\nB/2.0", "A/1.0\r\nB/2.0\r\n"},        // no final break: one is added
        {L"A/1.0\r\n\r\n", "A/1.0\r\n\r\n"},              // two breaks: one goes
        {L"A/1.0\nB", "A/1.0\nB\r\n"},                    // a lone LF inside stays
        {L"A/1.0x\n", "A/1.0x\r\n"},                      // a lone final LF goes alone
        {L"\n", "\r\n"},
        {L"", "\r\n"},
    };
    for (const auto& c : cases) {
        if (!main->IsOpen())
            OpenEditor(kList);
        else
            Click(main->Window(), PikeMain::Command2);
        SetEditorText(c.typed);
        Click(Editor(), UAEditForm::cmdOK);
        EXPECT_EQ(ReadList(), c.saved);
    }
    EXPECT_EQ(ComboList(Combo()), (Lines{L""})) << "a file of just CR LF is one empty entry";
}

TEST_F(UAEditFormTest, OkRefreshesTheMainListAndKeepsItsText)
{
    OpenEditor(kList);
    EXPECT_EQ(ComboList(Combo()), (Lines{L"Current/1.0", L"A/1.0", L"B/2.0"}));
    SetWindowTextW(Combo(), L"Typed/9.9");
    SetEditorText(L"# new\r\nC/3.0\r\nA/1.0\r\n\r\n");
    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_EQ(ComboList(Combo()), (Lines{L"C/3.0", L"A/1.0", L""}));
    EXPECT_EQ(GetText(Combo()), L"Typed/9.9");
}

TEST_F(UAEditFormTest, CancelAndCloseBoxWriteNothing)
{
    OpenEditor(kList);
    SetEditorText(L"changed");
    Click(Editor(), UAEditForm::cmdCancel);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(ReadList(), kList);

    Click(main->Window(), PikeMain::Command2);
    EXPECT_EQ(GetText(TextBox()), L"# list\r\nA/1.0\r\nB/2.0\r\n") << "reopened from the file";
    SetEditorText(L"changed again");
    SendMessageW(Editor(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(ReadList(), kList);
    EXPECT_EQ(ComboList(Combo()), (Lines{L"Current/1.0", L"A/1.0", L"B/2.0"}));
}

TEST_F(UAEditFormTest, SecondEditListClickKeepsTheUnsavedText)
{
    OpenEditor(kList);
    HWND first = Editor();
    SetEditorText(L"unsaved");
    Click(main->Window(), PikeMain::Command2);
    EXPECT_EQ(Editor(), first);
    EXPECT_EQ(GetText(TextBox()), L"unsaved");
}

TEST_F(UAEditFormTest, EnterAndEscapeAreTheTextBoxs)
{
    OpenEditor(kList);
    SetEditorText(L"A");
    SendMessageW(TextBox(), EM_SETSEL, 1, 1);
    PressKey(TextBox(), VK_RETURN);
    PressKey(TextBox(), VK_ESCAPE);
    ASSERT_TRUE(main->Editor()->IsOpen());
    EXPECT_EQ(GetText(TextBox()), L"A\r\n");
    EXPECT_EQ(ReadList(), kList);

    PressKey(TextBox(), VK_TAB);
    EXPECT_EQ(GetFocus(), Control(Editor(), UAEditForm::cmdCancel));
    PressKey(GetFocus(), VK_ESCAPE);
    EXPECT_TRUE(main->Editor()->IsOpen());

    // Enter on a focused button presses that button.
    PressKey(GetFocus(), VK_TAB);
    ASSERT_EQ(GetFocus(), Control(Editor(), UAEditForm::cmdOK));
    PressKey(GetFocus(), VK_RETURN);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(ReadList(), "A\r\n");
    Click(main->Window(), PikeMain::Command2);
    SetEditorText(L"discarded");
    PressKey(Control(Editor(), UAEditForm::cmdCancel), VK_RETURN);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(ReadList(), "A\r\n");
}

TEST_F(UAEditFormTest, LayoutFollowsTheDpiAndTheTextBoxHasAName)
{
    OpenEditor(kList);
    const std::initializer_list<ChildLayout> controls = {
        {UAEditForm::UANameTextBox, 36, 48, 6336, 3228},
        {UAEditForm::cmdCancel, 3360, 3360, 1212, 372},
        {UAEditForm::cmdOK, 1572, 3372, 1236, 345},
    };
    const UINT dpi = GetDpiForWindow(Editor());
    ExpectClientArea(Editor(), 6408, 3816);
    ExpectControls(Editor(), controls, dpi);
    ChangeDpi(Editor(), dpi == 144 ? 192 : 144);
    ExpectControls(Editor(), controls, dpi == 144 ? 192 : 144);

    HWND label = GetWindow(TextBox(), GW_HWNDPREV);
    EXPECT_EQ(GetText(label), L"ブラウザリスト");
    EXPECT_FALSE(IsWindowVisible(label));
}

TEST_F(UAEditFormTest, UntouchedOkWritesNothingEvenOnAReadOnlyList)
{
    OpenEditor(kList);
    SetFileAttributesW(ListPath().c_str(), FILE_ATTRIBUTE_READONLY);
    const std::string before = FileIdentity(ListPath());
    Sleep(20); // a rewrite now would show in the last-write time
    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(FileIdentity(ListPath()), before);
    SetFileAttributesW(ListPath().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(UAEditFormTest, FileThatMayNotBeReplacedKeepsFileTextAndEditor)
{
    for (const bool readOnly : {false, true}) {
        messages.clear();
        if (!main->IsOpen())
            OpenEditor(kList);
        else
            Click(main->Window(), PikeMain::Command2);
        SetEditorText(L"new list");
        // A scanner holding the file without letting it be replaced, or the read-only attribute.
        HANDLE held = INVALID_HANDLE_VALUE;
        if (readOnly)
            SetFileAttributesW(ListPath().c_str(), FILE_ATTRIBUTE_READONLY);
        else
            held = CreateFileW(ListPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        Click(Editor(), UAEditForm::cmdOK);
        CloseHandle(held);
        ASSERT_TRUE(main->Editor()->IsOpen()) << readOnly;
        EXPECT_EQ(GetText(TextBox()), L"new list");
        EXPECT_EQ(ReadList(), kList);
        EXPECT_EQ(GetFileAttributesW(ListPath().c_str()) & FILE_ATTRIBUTE_READONLY, readOnly ? FILE_ATTRIBUTE_READONLY : 0u);
        EXPECT_EQ(Boxes(), std::vector<Box>{readOnly ? Warning(L"ブラウザリストは読み取り専用のため、保存できませんでした。"
                                                               L"ファイルは変更されていません。")
                                                     : Error(L"ブラウザリストを保存できませんでした。ファイルは変更されていません。")});
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0].owner, Editor());
        EXPECT_EQ(ComboList(Combo()), (Lines{L"Current/1.0", L"A/1.0", L"B/2.0"}));
        Click(Editor(), UAEditForm::cmdCancel);
    }
    SetFileAttributesW(ListPath().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(UAEditFormTest, AFailedSaveSaysWhatBecomesOfTheOldList)
{
    // The write fails and the list is put back as it was; or the write-back fails too, and the box
    // says the next read puts the old list back.
    for (const bool hardLinked : {false, true}) {
        SCOPED_TRACE(hardLinked);
        Platform platform = RecordingPlatform();
        platform.files = FaultyFiles();
        main = std::make_unique<PikeMain>(std::move(platform));
        messages.clear();
        OpenEditor(kList);
        const std::wstring other = AppPath + L"other name.dat";
        DeleteFileW(other.c_str()); // left by a run that failed
        const struct Removed {
            const std::wstring& path;
            ~Removed() { DeleteFileW(path.c_str()); } // whether this round passes or not
        } removed{other};
        if (hardLinked) {
            ASSERT_TRUE(CreateHardLinkW(other.c_str(), ListPath().c_str(), nullptr));
        }
        faults.listWritesFailing = hardLinked ? 2 : 1;
        SetEditorText(L"a new list, longer than the old one");
        Click(Editor(), UAEditForm::cmdOK);
        ASSERT_TRUE(main->Editor()->IsOpen());
        EXPECT_EQ(GetText(TextBox()), L"a new list, longer than the old one");
        if (!hardLinked) {
            EXPECT_EQ(Boxes(), std::vector<Box>{Error(L"ブラウザリストを保存できませんでした。ファイルは変更されていません。")});
            EXPECT_EQ(ReadList(), kList);
            continue;
        }
        EXPECT_EQ(Boxes(), std::vector<Box>{Error(L"ブラウザリストを保存できませんでした。ブラウザリストは次に開くときに元の内容に戻します。")});
        Click(Editor(), UAEditForm::cmdCancel);
        CutOffSave::Outcome told = CutOffSave::Outcome::None;
        ReadListFile(nullptr, [&](const CutOffSave& cutOff) { told = cutOff.outcome; });
        EXPECT_EQ(told, CutOffSave::Outcome::PutBack) << "the next read puts it back";
        EXPECT_EQ(ReadBytes(other), kList);
    }
}

TEST_F(UAEditFormTest, ListThatCannotBeReadIsNeverShownEmpty)
{
    WriteList(kList);
    ASSERT_TRUE(main->Open(SW_SHOWNORMAL));
    HANDLE held = CreateFileW(ListPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Click(main->Window(), PikeMain::Command2);
    CloseHandle(held);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(Boxes(), std::vector<Box>{kUnreachable});
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].owner, main->Window());
    EXPECT_TRUE(main->IsOpen());
    EXPECT_EQ(lastWindowClosedCalls, 0);

    Click(main->Window(), PikeMain::Command2); // let go: now it opens
    ASSERT_TRUE(main->Editor()->IsOpen());
    EXPECT_EQ(GetText(TextBox()), L"# list\r\nA/1.0\r\nB/2.0\r\n");
}

TEST_F(UAEditFormTest, ListBehindALinkThatCannotBeReachedIsNeverShownEmpty)
{
    const std::wstring share = ListPath() + L".share\\";
    // Whether this test passes or not, the link goes as a link, so the next tests have a list.
    const struct Unlinked {
        const std::wstring &share, list;
        ~Unlinked()
        {
            CreateDirectoryW(share.c_str(), nullptr); // back online, with a file: a link that
            CloseHandle(CreateFileW((share + L"list.dat").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
            RemoveSymbolicLink(list); // leads somewhere is seen to go
            DeleteFileW((share + L"list.dat").c_str());
            RemoveDirectoryW(share.c_str());
        }
    } unlinked{share, ListPath()};
    if (!LinkTheListInto(share, kList))
        GTEST_SKIP() << "this user may not create symbolic links here";
    DeleteFileW((share + L"list.dat").c_str());
    RemoveDirectoryW(share.c_str()); // the share went offline
    ASSERT_TRUE(main->Open(SW_SHOWNORMAL));
    EXPECT_EQ(ComboList(Combo()), Lines{L"Current/1.0"});
    Click(main->Window(), PikeMain::Command2);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(Boxes(), std::vector<Box>{Warning(L"ブラウザリストはリンクですが、リンク先のファイルが見つからないため、"
                                                L"読み込めませんでした。リンク先のファイルがあるか確かめてから、"
                                                L"もう一度開いてください。")});
    EXPECT_FALSE(FileExists(ListPath())) << "nothing took the link's place";
    ASSERT_TRUE(CreateDirectoryW(share.c_str(), nullptr)); // back online
    WriteBytes(share + L"list.dat", kList);
    EXPECT_EQ(ReadList(), kList) << "still the link";
}

TEST_F(UAEditFormTest, ListFilesAsRealMachinesHoldThem)
{
    const std::wstring R(1, L'\uFFFD');
    const struct {
        const char* what;
        std::string bytes;
        Lines entries;
        std::string fixed; // after OK once every U+FFFD is taken out; empty when there is none
    } cases[] = {
        {"UTF-8", Utf8(L"# 日本語のコメント\r\nMozilla/5.0 (日本語)\r\nOpera/9.80\r\n"),
         {L"Mozilla/5.0 (日本語)", L"Opera/9.80"}, ""},
        {"UTF-8 with BOM, no final break", "\xEF\xBB\xBF" + Utf8(L"#コメント\r\nA/1.0\r\nB/2.0 (表)"),
         {L"A/1.0", L"B/2.0 (表)"}, ""},
        {"UTF-16", Utf16LE(L"# コメント\r\nA/1.0 (caf\u00E9)\r\nB\r\n"), {L"A/1.0 (caf\u00E9)", L"B"}, ""},
        {"NEC and IBM codes", "A\r\n\x87\x90\xED\x40\r\n", {L"A", L"\u2252\u7E8A"}, ""},
        {"a single byte the code page maps", "\x80\r\n", {L"\u0080"}, ""},
        {"lone CR at the end", "A\r\nB\r", {L"A", L"B"}, ""},
        {"LF only", "# c\nA/1.0\nB/2.0\n", {L"A/1.0", L"B/2.0"}, ""},
        {"NUL", std::string("A\0B\r\nC\r\n", 8), {L"A" + R + L"B", L"C"}, "AB\r\nC\r\n"},
        {"lead byte before CR LF", "A\x81\r\nB\r\n", {L"A" + R, L"B"}, "A\r\nB\r\n"},
        {"lead byte at the end", "A\r\nB\x81", {L"A", L"B" + R}, "A\r\nB\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        main = std::make_unique<PikeMain>(RecordingPlatform());
        messages.clear();
        OpenEditor(c.bytes);
        Lines listed{L"Current/1.0"};
        listed.insert(listed.end(), c.entries.begin(), c.entries.end());
        EXPECT_EQ(ComboList(Combo()), listed);

        // Untouched, every file stays as it is, broken bytes too: they are not the user's doing.
        Click(Editor(), UAEditForm::cmdOK);
        EXPECT_FALSE(main->Editor()->IsOpen());
        EXPECT_EQ(ReadList(), c.bytes);
        EXPECT_EQ(ComboList(Combo()), c.entries);
        EXPECT_TRUE(messages.empty());
        if (c.fixed.empty())
            continue;

        Click(main->Window(), PikeMain::Command2);
        const std::wstring shown = GetText(TextBox());
        SetEditorText(shown + L"Z");
        Click(Editor(), UAEditForm::cmdOK);
        ASSERT_TRUE(main->Editor()->IsOpen());
        EXPECT_EQ(ReadList(), c.bytes);
        EXPECT_EQ(Boxes(), std::vector<Box>{kUnreadable});
        std::wstring text = shown;
        std::erase(text, L'\uFFFD');
        SetEditorText(text);
        Click(Editor(), UAEditForm::cmdOK);
        EXPECT_FALSE(main->Editor()->IsOpen());
        EXPECT_EQ(ReadList(), c.fixed);
    }
}

TEST_F(UAEditFormTest, EditedFilesStayInTheirEncoding)
{
    const std::wstring edited = L"# 編集\r\nNew/1.0 (caf\u00E9 \U0001F600)\r\n";
    const struct {
        std::string before;
        std::string after;
    } cases[] = {
        {Utf8(L"# 日本語\r\nA/1.0\r\n"), Utf8(edited.c_str())},
        {"\xEF\xBB\xBF" + Utf8(L"A/1.0\r\n"), "\xEF\xBB\xBF" + Utf8(edited.c_str())},
        {Utf16LE(L"A/1.0\r\n"), Utf16LE(edited.c_str())},
        {std::string("\xFF\xFE\0\0", 4) + *TextEncoding::Encode(L"A/1.0\r\n", TextEncoding::Encoding::Utf32LE),
         std::string("\xFF\xFE\0\0", 4) + *TextEncoding::Encode(edited, TextEncoding::Encoding::Utf32LE)},
        {std::string("\0\0\xFE\xFF", 4) + *TextEncoding::Encode(L"A/1.0\r\n", TextEncoding::Encoding::Utf32BE),
         std::string("\0\0\xFE\xFF", 4) + *TextEncoding::Encode(edited, TextEncoding::Encoding::Utf32BE)},
    };
    for (const auto& c : cases) {
        main = std::make_unique<PikeMain>(RecordingPlatform());
        OpenEditor(c.before);
        SetEditorText(edited);
        Click(Editor(), UAEditForm::cmdOK);
        EXPECT_EQ(ReadList(), c.after);
        EXPECT_EQ(ComboList(Combo()), (Lines{L"New/1.0 (caf\u00E9 \U0001F600)"}));
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(UAEditFormTest, RefusalsPointAtTheFirstCharacterToFix)
{
    const Box kUnrepresentable =
        Warning(L"ブラウザリストの文字コード（Shift_JIS）で表せない文字が含まれているため、保存できませんでした。"
                L"該当する文字を直してから、もう一度 OK を押してください。");
    std::string longList;
    for (int i = 0; i < 400; ++i)
        longList += "Mozilla/5.0 (entry " + std::to_string(i) + ")\r\n";
    const std::wstring longText(longList.begin(), longList.end());
    const struct {
        const char* what;
        std::string file;
        std::wstring typed;
        Box box;
        size_t start, end;
    } cases[] = {
        {"broken bytes", "A\r\nB\x81\r\nC\x81\r\n", L"A\r\nB\uFFFD\r\nC\uFFFD\r\nD", kUnreadable, 4, 5},
        {"emoji in Shift_JIS", kList, L"A/1.0\r\nB \U0001F600 x \U0001F600", kUnrepresentable, 9, 11},
        {"far down a long list", longList, longText + L"caf\u00E9\r\n", kUnrepresentable, longText.size() + 3,
         longText.size() + 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        main = std::make_unique<PikeMain>(RecordingPlatform());
        messages.clear();
        OpenEditor(c.file);
        SetEditorText(c.typed);
        const std::wstring shown = GetText(TextBox());
        Click(Editor(), UAEditForm::cmdOK);
        ASSERT_TRUE(main->Editor()->IsOpen());
        EXPECT_EQ(GetText(TextBox()), shown);
        EXPECT_EQ(ReadList(), c.file);
        EXPECT_EQ(Boxes(), std::vector<Box>{c.box});
        EXPECT_EQ(GetFocus(), TextBox());
        DWORD start = 0, end = 0;
        SendMessageW(TextBox(), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        EXPECT_EQ(start, c.start);
        EXPECT_EQ(end, c.end);
        const int line = Edit_LineFromChar(TextBox(), start);
        const int first = Edit_GetFirstVisibleLine(TextBox());
        EXPECT_TRUE(first <= line && line < first + 20) << "line " << line << " shown from " << first;
    }
}

TEST_F(UAEditFormTest, AnotherProgramsChangeIsOverwrittenOnlyWhenTheUserSaysSo)
{
    const Box changed{L"ブラウザリストは、編集を始めた後にほかのプログラムによって変更されています。"
                      L"このまま保存すると、その変更は失われます。保存しますか？",
                      L"ピケロスブラウザ", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2};
    const std::string other = "Other/1.0\r\n";
    OpenEditor(kList);
    SetEditorText(L"Mine/1.0\r\n");
    WriteList(other); // Notepad, a sync tool, or the program's other copy saved meanwhile

    answer = IDNO;
    Click(Editor(), UAEditForm::cmdOK);
    ASSERT_EQ(Boxes(), std::vector<Box>{changed});
    EXPECT_EQ(messages[0].owner, Editor());
    ASSERT_TRUE(main->Editor()->IsOpen());
    EXPECT_EQ(GetText(TextBox()), L"Mine/1.0\r\n");
    EXPECT_EQ(ReadList(), other);
    EXPECT_EQ(ComboList(Combo()), (Lines{L"Current/1.0", L"A/1.0", L"B/2.0"}));

    answer = IDYES;
    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_EQ(Boxes(), (std::vector<Box>{changed, changed}));
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(ReadList(), "Mine/1.0\r\n");

    // Untouched, the user has nothing to save: the other program's list stays, unasked, and
    // the main window lists it; a list deleted meanwhile stays deleted.
    for (const bool deleted : {false, true}) {
        messages.clear();
        Click(main->Window(), PikeMain::Command2);
        if (deleted)
            DeleteFileW(ListPath().c_str());
        else
            WriteList(other);
        Click(Editor(), UAEditForm::cmdOK);
        EXPECT_TRUE(messages.empty()) << deleted;
        EXPECT_FALSE(main->Editor()->IsOpen());
        EXPECT_EQ(ComboList(Combo()), deleted ? Lines{} : Lines{L"Other/1.0"});
        EXPECT_EQ(FileExists(ListPath()), !deleted);
    }

    // Edited: deleted meanwhile, or rewritten with the same bytes: nothing is lost, nothing asked.
    for (const bool deleted : {true, false}) {
        messages.clear();
        Click(main->Window(), PikeMain::Command2);
        SetEditorText(L"Again/1.0");
        if (deleted)
            DeleteFileW(ListPath().c_str());
        else
            WriteList(ReadList());
        Click(Editor(), UAEditForm::cmdOK);
        EXPECT_TRUE(messages.empty()) << deleted;
        EXPECT_FALSE(main->Editor()->IsOpen());
        EXPECT_EQ(ReadList(), "Again/1.0\r\n");
    }
}

TEST_F(UAEditFormTest, ClosedWhileAskingAboutAnotherProgramsChangeSavesNothing)
{
    Platform platform = RecordingPlatform();
    platform.showMessage = [this](HWND owner, const std::wstring& text, const std::wstring& title, UINT style) {
        messages.push_back({owner, text, title, style, true});
        DestroyWindow(owner); // closed from the task bar while the question is up
        return IDYES;
    };
    main = std::make_unique<PikeMain>(std::move(platform));
    OpenEditor(kList);
    SetEditorText(L"Mine/1.0");
    WriteList("Other/1.0\r\n");
    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(ReadList(), "Other/1.0\r\n");
    EXPECT_EQ(ComboList(Combo()), (Lines{L"Current/1.0", L"A/1.0", L"B/2.0"}));
}

TEST_F(UAEditFormTest, TabbingIntoTheTextBoxKeepsTheSelection)
{
    OpenEditor(kList);
    Edit_SetSel(TextBox(), 9, 14);
    for (int i = 0; i < 3; ++i)
        PressKey(GetFocus(), VK_TAB); // to Cancel, to OK, and back
    ASSERT_EQ(GetFocus(), TextBox());
    DWORD start = 0, end = 0;
    SendMessageW(TextBox(), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 9u);
    EXPECT_EQ(end, 14u);
}

TEST_F(UAEditFormTest, MainWindowClosedFirstThenEditorSavesAndEndsTheProgram)
{
    OpenEditor(kList);
    EXPECT_FALSE(GetWindowLongW(Editor(), GWL_EXSTYLE) & WS_EX_APPWINDOW) << "no task-bar button beside the main window's";
    SendMessageW(main->Window(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(main->IsOpen());
    EXPECT_EQ(lastWindowClosedCalls, 0) << "the editor is still open";
    // Covered by another window, it can still be found: a task-bar button, a place in Alt+Tab.
    EXPECT_TRUE(GetWindowLongW(Editor(), GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_TRUE(IsWindowVisible(Editor()));
    SetEditorText(L"saved anyway");
    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_EQ(ReadList(), "saved anyway\r\n");
    EXPECT_FALSE(main->IsOpen()) << "no hidden main window is brought back";
    EXPECT_EQ(lastWindowClosedCalls, 1);
}

TEST_F(UAEditFormTest, LargeFilesLoadAndSaveWhole)
{
    std::string list;
    for (int i = 0; list.size() < 3'000'000; ++i)
        list += "Mozilla/5.0 (Windows NT 10.0; entry " + std::to_string(i) + ")\r\n";
    OpenEditor(list);
    EXPECT_EQ(static_cast<size_t>(GetWindowTextLengthW(TextBox())), list.size());
    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_EQ(ReadList(), list);
}

TEST_F(UAEditFormTest, ASaveThatFindsACutOffSaveTellsOfItFirst)
{
    // Another copy was cut off writing the list in place while this editor was open on it.
    OpenEditor(kList);
    CutOffWriteInPlace(ListPath(), kList, "theirs, cut off\r\n");
    SetEditorText(L"mine");
    HWND editor = Editor();
    Click(editor, UAEditForm::cmdOK);
    ASSERT_EQ(Boxes(), (std::vector<Box>{{L"前回のブラウザリストの保存は途中で中断されました。"
                                          L"ブラウザリストは保存前の内容に戻してあります。",
                                          L"ピケロスブラウザ", MB_ICONINFORMATION}}));
    EXPECT_EQ(messages[0].owner, editor);
    EXPECT_FALSE(main->Editor()->IsOpen()) << "put back as this editor loaded it, so saved";
    EXPECT_EQ(ReadList(), "mine\r\n");
    EXPECT_FALSE(std::ranges::any_of(FileNames(AppPath), [](auto& name) { return name.starts_with(L"PIKEROSU.DAT."); }))
        << "nothing left beside the list";
}

TEST_F(UAEditFormTest, ASaveShowsTheWaitCursorWhileItRuns)
{
    Platform platform = RecordingPlatform();
    platform.files = FaultyFiles();
    main = std::make_unique<PikeMain>(std::move(platform));
    OpenEditor(kList);
    static HCURSOR during = nullptr;
    faults.onWrite = [] { during = GetCursor(); };
    const HCURSOR arrow = SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    SetEditorText(L"new list");
    Click(Editor(), UAEditForm::cmdOK);
    EXPECT_EQ(ReadList(), "new list\r\n");
    EXPECT_EQ(during, LoadCursorW(nullptr, IDC_WAIT));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_ARROW)) << "and the cursor comes back";
    SetCursor(arrow);
}

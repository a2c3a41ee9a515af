#include "mainwindow/PikeMain.h"

#include "editor/UAEditForm.h"

#include "TestSupport.h"
#include "WindowTestSupport.h"

#include <commctrl.h>
#include <windowsx.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using Lines = std::vector<std::wstring>;

const std::wstring kWindowsText = L"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";
const std::wstring kNTText = L"Mozilla/5.0 (Windows NT 10.0; Win64; x64)";
const Box kRegistered{L"システムに登録しました。登録内容は次回ブラウザを起動した時から有効となります。",
                      L"ピケロスブラウザ \uFF0D 登録の成立", MB_ICONINFORMATION};
const Box kCut{L"登録内容が 1024バイトを超えています。 超えた末尾を切り取りました。", L"ピケロスブラウザ", MB_ICONWARNING};
Box Refused(const wchar_t* why) { return {why, L"ピケロスブラウザ \uFF0D 登録の失敗", MB_ICONERROR}; }

int g_ntOpens = 0;
LONG WINAPI OpenNoticingNT(HKEY root, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY key)
{
    g_ntOpens += std::strstr(subKey, "Windows NT") != nullptr;
    return RegOpenKeyExA(root, subKey, options, sam, key);
}

class PikeMainTest : public WindowTest {
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        WriteList(Sjis(L"# 候補\r\nMozilla/5.0 (ソ表)\r\n\r\nOpera/9.80\r\n"));
        SetUserAgent(kWindowsSubKey, kWindowsText);
    }

    std::unique_ptr<PikeMain> Open(Platform platform)
    {
        auto main = std::make_unique<PikeMain>(std::move(platform));
        EXPECT_TRUE(main->Open(SW_SHOWNORMAL));
        return main;
    }
    std::unique_ptr<PikeMain> Open() { return Open(RecordingPlatform()); }

    static HWND Combo(const PikeMain& main) { return Control(main.Window(), PikeMain::UAName); }
    static std::wstring Caption(const PikeMain& main) { return GetText(Control(main.Window(), PikeMain::Frame1)); }
    static bool CanRegister(const PikeMain& main) { return IsWindowEnabled(Control(main.Window(), PikeMain::Command1)); }
};

} // namespace

TEST_F(PikeMainTest, WindowsLocationAnswersFirstAndNTIsNeverRead)
{
    SetUserAgent(kWindowsNTSubKey, kNTText);
    Platform platform = RecordingPlatform();
    platform.registry.open = OpenNoticingNT;
    g_ntOpens = 0;
    auto main = Open(std::move(platform));

    EXPECT_EQ(g_ntOpens, 0);
    EXPECT_EQ(main->Kind(), SystemKind::Windows);
    EXPECT_EQ(Caption(*main), L"User Agent (Windows)");
    EXPECT_TRUE(CanRegister(*main));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(GetText(Combo(*main)), kWindowsText);
    EXPECT_EQ(ComboList(Combo(*main)), (Lines{kWindowsText, L"Mozilla/5.0 (ソ表)", L"", L"Opera/9.80"}));
    EXPECT_EQ(GetText(main->Window()), L"ピケロスブラウザ");
    EXPECT_EQ(GetText(Control(main->Window(), PikeMain::Command1)), L"この内容で登録");
    EXPECT_EQ(GetText(Control(main->Window(), PikeMain::Command2)), L"ブラウザリスト編集");
}

TEST_F(PikeMainTest, FallsBackToTheNTLocation)
{
    DeleteKeyTree(HKEY_USERS, kWindowsSubKey);
    SetUserAgent(kWindowsNTSubKey, kNTText);
    auto main = Open();
    EXPECT_EQ(main->Kind(), SystemKind::WindowsNT);
    EXPECT_EQ(Caption(*main), L"User Agent (Windows NT)");
    EXPECT_TRUE(CanRegister(*main));
    EXPECT_EQ(GetText(Combo(*main)), kNTText);

    // Registering goes to the location that was found.
    SetWindowTextW(Combo(*main), L"Opera/9.80");
    Click(main->Window(), PikeMain::Command1);
    EXPECT_EQ(StoredUserAgent(kWindowsNTSubKey), L"Opera/9.80");
    EXPECT_FALSE(HasUserAgent(kWindowsSubKey));
}

TEST_F(PikeMainTest, UnknownSystemDisablesRegisteringAndSaysSoBeforeTheWindowShows)
{
    DeleteKeyTree(HKEY_USERS, kWindowsSubKey);
    auto main = Open();
    EXPECT_EQ(main->Kind(), SystemKind::Unknown);
    EXPECT_EQ(Caption(*main), L"User Agent (System Unknown!)");
    EXPECT_FALSE(CanRegister(*main));
    const std::vector<Box> told{
        {L"システム情報を取得できませんでした。安全のため 登録ボタンを禁止します。", L"ピケロスブラウザ", MB_ICONWARNING}};
    ASSERT_EQ(Boxes(), told);
    EXPECT_FALSE(messages[0].mainWindowVisible);
    EXPECT_TRUE(IsWindowVisible(main->Window()));
    EXPECT_EQ(ComboList(Combo(*main)), (Lines{L"", L"Mozilla/5.0 (ソ表)", L"", L"Opera/9.80"}));

    // A click sent to the disabled button (Wine and automation tools deliver one) does nothing.
    SetWindowTextW(Combo(*main), L"Opera/9.80");
    Click(main->Window(), PikeMain::Command1);
    EXPECT_EQ(Boxes(), told);
    EXPECT_FALSE(HasUserAgent(kWindowsSubKey));
    EXPECT_FALSE(HasUserAgent(kWindowsNTSubKey));
}

TEST_F(PikeMainTest, CurrentTextAlsoInTheFileIsListedTwice)
{
    SetUserAgent(kWindowsSubKey, L"Opera/9.80");
    auto main = Open();
    EXPECT_EQ(ComboList(Combo(*main)), (Lines{L"Opera/9.80", L"Mozilla/5.0 (ソ表)", L"", L"Opera/9.80"}));
}

TEST_F(PikeMainTest, MissingListFileStillOpens)
{
    DeleteFileW(ListPath().c_str());
    auto main = Open();
    EXPECT_EQ(ComboList(Combo(*main)), (Lines{kWindowsText}));
    EXPECT_FALSE(FileExists(ListPath()));
}

TEST_F(PikeMainTest, AListTooLargeToBeOneStartsWithoutCandidatesAndIsNotEdited)
{
    HANDLE file = CreateFileW(ListPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    LARGE_INTEGER size{};
    size.QuadPart = 1ll << 40; // sparse: a broken disk or a mistaken copy
    const bool grown = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(grown);
    auto main = Open();
    EXPECT_EQ(ComboList(Combo(*main)), (Lines{kWindowsText}));
    EXPECT_TRUE(CanRegister(*main));
    Click(main->Window(), PikeMain::Command2);
    EXPECT_FALSE(main->Editor()->IsOpen());
    EXPECT_EQ(Boxes(), (std::vector<Box>{{L"ブラウザリストが大きすぎるため、読み込めませんでした。"
                                          L"読み込めるのは 16,777,216 バイト（16 MB）までです。",
                                          L"ピケロスブラウザ", MB_ICONWARNING}}));
}

TEST_F(PikeMainTest, ASaveCutOffMidWriteIsPutRightWithOneTrueBoxBeforeTheWindowShows)
{
    // What the next start makes of each journal is SafeSave's; the window tells it once, first.
    const std::string old = Sjis(L"# 候補\r\nA/1.0\r\nB/2.0\r\n");
    const std::wstring journal = CutOffWriteInPlace(ListPath(), old, "NEW/9.0\r\n");
    auto main = Open();
    ASSERT_EQ(Boxes(), (std::vector<Box>{{L"前回のブラウザリストの保存は途中で中断されました。"
                                          L"ブラウザリストは保存前の内容に戻してあります。",
                                          L"ピケロスブラウザ", MB_ICONINFORMATION}}));
    EXPECT_FALSE(messages[0].mainWindowVisible);
    EXPECT_EQ(ReadList(), old);
    EXPECT_FALSE(FileExists(journal));
    EXPECT_EQ(ComboList(Combo(*main)), (Lines{kWindowsText, L"A/1.0", L"B/2.0"}));

    main.reset();
    messages.clear();
    main = Open();
    EXPECT_TRUE(messages.empty()) << "told once";
}

TEST_F(PikeMainTest, AStartWhileAnotherCopyIsStoppedMidSaveSaysTheListIsBusy)
{
    // Another copy stopped while it writes the list (by a debugger, say): the start waits its turn
    // a moment, then says so rather than showing the list empty, or half written; so does the editor.
    Platform platform = RecordingPlatform();
    platform.files = FaultyFiles();
    const FileApi files = platform.files;
    HANDLE frozen = CreateEventW(nullptr, TRUE, FALSE, nullptr), thawed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    faults.onWrite = [&] {
        SetEvent(frozen);
        WaitForSingleObject(thawed, INFINITE);
    };
    std::thread copy([&] { WriteListFile(L"B/2.0", *ReadListFile(), OtherChanges::Keep, files); });
    WaitForSingleObject(frozen, INFINITE);
    auto main = Open(std::move(platform));
    EXPECT_EQ(Boxes(), (std::vector<Box>{{L"ブラウザリストは保存の途中か、中断された保存を元に戻せないため、候補を読み込めませんでした。"
                                          L"しばらくしてから、起動し直してください。",
                                          L"ピケロスブラウザ", MB_ICONWARNING}}));
    EXPECT_EQ(ComboList(Combo(*main)), (Lines{kWindowsText}));
    messages.clear();
    Click(main->Window(), PikeMain::Command2);
    EXPECT_EQ(Boxes(), (std::vector<Box>{{L"ブラウザリストは保存の途中か、中断された保存を元に戻せないため、読み込めませんでした。"
                                          L"しばらくしてから、もう一度開いてください。",
                                          L"ピケロスブラウザ", MB_ICONWARNING}}));
    EXPECT_FALSE(main->Editor()->IsOpen());
    SetEvent(thawed);
    copy.join();
    CloseHandle(frozen);
    CloseHandle(thawed);
}

static LONG WINAPI OpenForWritingDenied(HKEY root, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY key)
{
    return sam == KEY_SET_VALUE ? ERROR_ACCESS_DENIED : RegOpenKeyExA(root, subKey, options, sam, key);
}

TEST_F(PikeMainTest, OnlyTextsABrowserCanSendAreRegistered)
{
    // Run again with the system code page at 65001 and 1252.
    const Box control = Refused(L"登録内容に改行などの制御文字が含まれているため、登録できませんでした。");
    const Box empty = Refused(L"登録内容が空のため、登録できませんでした。");
    const Box notInCodePage = Refused(L"登録内容に、システムの文字コードで表せない文字が含まれているため、登録できませんでした。");
    enum How { Set, Typed, Picked, AsStored };               // how the text comes into the combo box
    enum Registry { Writable, Denied, DeniedElevated, KeyGone }; // the key, as the button is pressed
    const struct {
        std::wstring text;
        std::vector<Box> boxes; // registered where the last is kRegistered
        How how = Set;
        Registry registry = Writable;
        size_t kept = 512;  // units the cut keeps of a text over 1024 bytes
        UINT codePage = 0;  // the one system code page the case holds in; 0: every one
    } cases[] = {
        {L"Opera/9.80", {kRegistered}, Picked},
        {L"Mozilla/5.0 (ソ表)", {kRegistered}, Picked, Writable, 512, 932}, // second bytes 0x5C
        {L"MyBrowser/1.0 (mine)", {kRegistered}, Typed},
        {L"MyBrowser/1.0 (自作)", {kRegistered}, Typed, Writable, 512, 932},
        {L"MyBrowser/1.0 (caf\u00E9)", {kRegistered}, Typed, Writable, 512, 1252},
        {L" A/1.0\t(TAB inside) ", {kRegistered}},
        {std::wstring(512, L'a'), {kRegistered}},
        {std::wstring(510, L'b') + L"xyz", {kCut, kRegistered}},
        {std::wstring(510, L'b') + L"表ソx", {kCut, kRegistered}, Set, Writable, 512, 932},
        {std::wstring(511, L'c') + L"\U0001F600tail", {kCut, kRegistered}, Set, Writable, 511}, // never half a pair
        {L"A/1.0\nX-Injected: 1", {control}},
        {L"A/1.0\r\nX-Injected: 1", {control}},
        {L"A/1.0 \x1B[0m", {control}},
        {L"A/1.0\u0080", {control}},                          // byte 0x80 in code page 932
        {L"A/1.0\u0085 \u2028 \u202E\u200B\uFEFF", {control}}, // kept by code page 65001, unseen
        {L"", {empty}},
        {L" \t\u3000 ", {empty}},
        {L"\u00A0\u2002\u202F", {empty}},                        // kept by code pages 1252 and 65001
        {std::wstring(512, L' ') + L"cut away", {kCut, empty}}, // blank up to the cut
        {L"A/1.0 \xD800", {notInCodePage}},                     // half a pair: no code page holds it
        {L"Browser \uD55C\uAE00", {notInCodePage}, Set, Writable, 512, 932},
        // Written by another program: shown exactly, and never stored back as look-alikes.
        {L"Mozilla/5.0 (caf\u00E9 \u301C \U0001F600)", {notInCodePage}, AsStored, Writable, 512, 932},
        {L"Opera/9.80", {Refused(L"登録する権限がありません。このプログラムを管理者として実行してから、もう一度登録してください。")},
         Set, Denied},
        // An administrator whom the key's own permissions refuse: running elevated is no help.
        {L"Opera/9.80",
         {Refused(L"管理者として実行していますが、この登録場所への書き込みは許可されていないため、登録できませんでした。")},
         Set, DeniedElevated},
        {L"Opera/9.80", {Refused(L"システムに問題があり、登録できませんでした。")}, Set, KeyGone},
    };
    for (const auto& c : cases) {
        if (c.codePage && c.codePage != GetACP())
            continue;
        SCOPED_TRACE(testing::PrintToString(c.text));
        const std::wstring before = c.how == AsStored ? c.text : kWindowsText;
        SetUserAgent(kWindowsSubKey, before);
        Platform platform = RecordingPlatform();
        if (c.registry == Denied || c.registry == DeniedElevated)
            platform.registry.open = OpenForWritingDenied;
        platform.elevated = [&c] { return c.registry == DeniedElevated; };
        messages.clear();
        auto main = Open(std::move(platform));
        HWND combo = Combo(*main);
        const Lines listed = ComboList(combo);
        if (c.how == Picked) {
            ComboBox_SetCurSel(combo, ComboBox_FindStringExact(combo, -1, c.text.c_str()));
        } else if (c.how == Typed) {
            SetWindowTextW(combo, L"");
            TypeText(FindWindowExW(combo, nullptr, WC_EDITW, nullptr), c.text);
        } else if (c.how == Set) {
            SetWindowTextW(combo, c.text.c_str());
        }
        ASSERT_EQ(GetText(combo), c.text);
        if (c.registry == KeyGone)
            DeleteKeyTree(HKEY_USERS, kWindowsSubKey);

        Click(main->Window(), PikeMain::Command1);
        EXPECT_EQ(Boxes(), c.boxes);
        for (const ShownMessage& m : messages)
            EXPECT_EQ(m.owner, main->Window());
        const std::wstring shown = c.text.substr(0, c.text.size() > 512 ? c.kept : c.text.size());
        EXPECT_EQ(GetText(combo), shown) << "the text stays for another try";
        EXPECT_EQ(ComboList(combo), listed) << "registering leaves the list alone";
        if (c.registry == KeyGone)
            EXPECT_FALSE(KeyExists(HKEY_USERS, kWindowsSubKey));
        else
            EXPECT_EQ(StoredUserAgent(kWindowsSubKey), c.boxes.back() == kRegistered ? shown : before);
    }
}

TEST_F(PikeMainTest, ClosedDuringTheCutWarningRegistersNothing)
{
    Platform platform = RecordingPlatform();
    platform.showMessage = [this](HWND owner, const std::wstring& text, const std::wstring& title, UINT style) {
        messages.push_back({owner, text, title, style, true});
        DestroyWindow(owner); // the user closes the window from the task bar meanwhile
        return IDOK;
    };
    auto main = Open(std::move(platform));
    SetWindowTextW(Combo(*main), std::wstring(600, L'x').c_str());
    Click(main->Window(), PikeMain::Command1);
    EXPECT_FALSE(main->IsOpen());
    EXPECT_EQ(Boxes(), std::vector<Box>{kCut});
    EXPECT_EQ(StoredUserAgent(kWindowsSubKey), kWindowsText);
}

TEST_F(PikeMainTest, ClosingTheWindowEndsTheProgram)
{
    auto main = Open();
    SendMessageW(main->Window(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(main->IsOpen());
    EXPECT_EQ(lastWindowClosedCalls, 1);
}

TEST_F(PikeMainTest, TabMovesBetweenTheControlsInOrder)
{
    auto main = Open();
    HWND combo = Combo(*main);
    HWND comboEdit = FindWindowExW(combo, nullptr, WC_EDITW, nullptr);
    SetFocus(comboEdit);
    PressKey(comboEdit, VK_TAB);
    EXPECT_EQ(GetFocus(), Control(main->Window(), PikeMain::Command1));
    PressKey(GetFocus(), VK_TAB);
    EXPECT_EQ(GetFocus(), Control(main->Window(), PikeMain::Command2));
    PressKey(GetFocus(), VK_TAB);
    EXPECT_TRUE(GetFocus() == combo || GetFocus() == comboEdit);
}

TEST_F(PikeMainTest, LayoutFollowsTheDpiAndKeepsTheFrameBehind)
{
    auto main = Open();
    const UINT dpi = GetDpiForWindow(main->Window());
    if (const char* expected = std::getenv("PIKE_EXPECT_DPI")) {
        ASSERT_EQ(dpi, static_cast<UINT>(std::atoi(expected))) << "the prefix's DPI did not take";
    }
    const std::initializer_list<ChildLayout> controls = {
        {PikeMain::UAName, 276, 648, 5772, 276},
        {PikeMain::Command1, 276, 1128, 1620, 336},
        {PikeMain::Command2, 2244, 1128, 2100, 336},
        {PikeMain::Frame1, 72, 192, 6156, 1464},
    };
    ExpectClientArea(main->Window(), 6288, 1920);
    ExpectControls(main->Window(), controls, dpi);
    POINT origin{0, 0};
    ClientToScreen(main->Window(), &origin);
    EXPECT_EQ(origin.x, Twips(3036, dpi));
    EXPECT_EQ(origin.y, Twips(2520, dpi));
    EXPECT_EQ(GetWindow(Control(main->Window(), PikeMain::Frame1), GW_HWNDNEXT), nullptr)
        << "the frame is last in the z-order, behind the controls it encloses";

    // Moved to a monitor of another DPI: the same twips, the new font, the old one freed.
    const auto oldFont = reinterpret_cast<HFONT>(SendMessageW(Combo(*main), WM_GETFONT, 0, 0));
    const UINT other = dpi == 144 ? 192 : 144;
    ChangeDpi(main->Window(), other);
    ExpectControls(main->Window(), controls, other);
    EXPECT_EQ(GetObjectType(oldFont), 0u) << "the old font is freed once no control uses it";
}

TEST_F(PikeMainTest, ComboBoxIsNamedByItsFrameForScreenReaders)
{
    for (const bool found : {true, false}) {
        messages.clear();
        if (!found)
            DeleteKeyTree(HKEY_USERS, kWindowsSubKey);
        auto main = Open();
        HWND label = GetWindow(Combo(*main), GW_HWNDPREV);
        wchar_t className[16] = {};
        GetClassNameW(label, className, 16);
        EXPECT_STREQ(className, L"Static");
        EXPECT_EQ(GetText(label), Caption(*main));
        EXPECT_EQ(GetText(label), found ? L"User Agent (Windows)" : L"User Agent (System Unknown!)");
        EXPECT_FALSE(IsWindowVisible(label));
    }
}

TEST_F(PikeMainTest, EnterPressesTheFocusedButtonOnly)
{
    auto main = Open();
    HWND comboEdit = FindWindowExW(Combo(*main), nullptr, WC_EDITW, nullptr);
    SetWindowTextW(Combo(*main), L"Opera/9.80");
    PressKey(comboEdit, VK_RETURN);
    EXPECT_TRUE(messages.empty()) << "no default button";
    EXPECT_EQ(StoredUserAgent(kWindowsSubKey), kWindowsText);

    PressKey(Control(main->Window(), PikeMain::Command1), VK_RETURN);
    EXPECT_EQ(StoredUserAgent(kWindowsSubKey), L"Opera/9.80");
    EXPECT_EQ(Boxes(), std::vector<Box>{kRegistered});

    PressKey(Control(main->Window(), PikeMain::Command2), VK_RETURN);
    ASSERT_TRUE(main->Editor() && main->Editor()->IsOpen());
}

TEST_F(PikeMainTest, FocusComesBackWhereTheUserLeftIt)
{
    auto main = Open();
    HWND button = Control(main->Window(), PikeMain::Command2);
    // The window manager answers activation asynchronously: let its answers arrive.
    const auto settle = [](auto done) {
        for (int i = 0; i < 100 && (i < 15 || !done()); ++i) {
            PumpMessages();
            Sleep(20);
        }
    };
    SetForegroundWindow(main->Window());
    settle([&] { return GetActiveWindow() == main->Window(); });
    SetFocus(button);

    ShowWindow(main->Window(), SW_MINIMIZE);
    settle([&] { return IsIconic(main->Window()) != FALSE; });
    ShowWindow(main->Window(), SW_RESTORE);
    settle([&] { return !IsIconic(main->Window()) && GetActiveWindow() == main->Window(); });
    EXPECT_EQ(GetFocus(), button) << "after minimise and restore";

    HWND other = CreateWindowExW(0, WC_STATICW, L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                 nullptr, nullptr, nullptr);
    SetActiveWindow(other);
    settle([&] { return GetActiveWindow() == other && GetForegroundWindow() == other; });
    ASSERT_NE(GetFocus(), button);
    SetActiveWindow(main->Window());
    settle([&] { return GetActiveWindow() == main->Window() && GetForegroundWindow() == main->Window(); });
    EXPECT_EQ(GetFocus(), button) << "after another window was active";
    DestroyWindow(other);

    SetFocus(main->Window()); // focus given to the window itself goes on to the control
    EXPECT_EQ(GetFocus(), button);
}

TEST_F(PikeMainTest, DroppedListShowsTheWidestTextWithinItsMonitor)
{
    const std::wstring edge = L"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                              L"Chrome/120.0.0.0 Safari/537.36 Edg/120.0.2210.91";
    SetUserAgent(kWindowsSubKey, L"A/1.0");
    auto main = Open();
    HWND combo = Combo(*main);
    COMBOBOXINFO parts{sizeof parts, {}, {}, 0, nullptr, nullptr, nullptr};
    ASSERT_TRUE(GetComboBoxInfo(combo, &parts));
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    GetMonitorInfoW(MonitorFromWindow(combo, MONITOR_DEFAULTTONEAREST), &monitor);
    const int room = monitor.rcWork.right - monitor.rcWork.left;
    const auto width = [](HWND w) {
        RECT r;
        GetWindowRect(w, &r);
        return static_cast<int>(r.right - r.left);
    };
    const auto textWidth = [&](const std::wstring& text) {
        HDC dc = GetDC(combo);
        SelectObject(dc, GetWindowFont(combo));
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        ReleaseDC(combo, dc);
        return static_cast<int>(size.cx);
    };
    // Drops the list; gives the width it dropped to.
    const auto drop = [&] {
        ComboBox_ShowDropdown(combo, TRUE);
        PumpMessages();
        const int dropped = width(parts.hwndList);
        RECT list;
        GetWindowRect(parts.hwndList, &list);
        EXPECT_GE(list.left, monitor.rcWork.left);
        EXPECT_LE(list.right, monitor.rcWork.right) << "on the combo box's monitor";
        ComboBox_ShowDropdown(combo, FALSE);
        PumpMessages();
        return dropped;
    };
    // The same after the editor saved these lines.
    const auto dropAfterSaving = [&](const std::wstring& lines) {
        Click(main->Window(), PikeMain::Command2);
        SetWindowTextW(Control(main->Editor()->Window(), UAEditForm::UANameTextBox), lines.c_str());
        Click(main->Editor()->Window(), UAEditForm::cmdOK);
        return drop();
    };

    EXPECT_EQ(dropAfterSaving(L"A/1.0\r\nB/2.0"), width(combo)) << "never narrower than the combo box";
    std::wstring many = L"A/1.0\r\n" + edge;
    for (int i = 0; i < 20; ++i)
        many += L"\r\nB/" + std::to_wstring(i);
    const int wide = dropAfterSaving(many);
    EXPECT_LT(wide, textWidth(edge) * 5 / 4);
    ComboBox_ShowDropdown(combo, TRUE);
    RECT inside;
    GetClientRect(parts.hwndList, &inside); // beside the scroll bar that a long list has
    ComboBox_ShowDropdown(combo, FALSE);
    EXPECT_GE(inside.right, textWidth(edge) + Twips(90, GetDpiForWindow(combo))) << "the items' own margins too";

    // Next to the right edge of the screen, and with a text wider than the screen.
    RECT frame;
    GetWindowRect(main->Window(), &frame);
    SetWindowPos(main->Window(), nullptr, monitor.rcWork.right - (frame.right - frame.left) / 3, frame.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER);
    EXPECT_EQ(dropAfterSaving(std::wstring(400, L'W')), room);
    EXPECT_EQ(dropAfterSaving(L"A/1.0"), width(combo)) << "follows the list when it shrinks";

    // On a monitor of another DPI, measured with the font for it.
    const std::wstring firefox = L"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:121.0) Gecko/20100101 Firefox/121.0";
    SetWindowPos(main->Window(), nullptr, monitor.rcWork.left, monitor.rcWork.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    const int before = dropAfterSaving(firefox);
    ChangeDpi(main->Window(), GetDpiForWindow(main->Window()) * 3 / 2);
    const int after = drop(); // the list is the same: only the new font makes it wider
    EXPECT_GE(after, textWidth(firefox));
    EXPECT_GT(after, before);
}

TEST_F(PikeMainTest, MaximisedOrMinimisedKeepsItsStateOnAMonitorOfAnotherDpi)
{
    auto main = Open();
    for (const int state : {SW_MAXIMIZE, SW_MINIMIZE}) {
        ShowWindow(main->Window(), state);
        PumpUntilSettled(main->Window());
        ASSERT_TRUE(IsZoomed(main->Window()) || IsIconic(main->Window())) << "the window manager did not take it";
        const UINT dpi = GetDpiForWindow(main->Window()) == 144 ? 192 : 144;
        RECT before;
        GetWindowRect(main->Window(), &before);
        RECT suggested = before; // the other monitor's place for it, as Windows gives it
        SendMessageW(main->Window(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        PumpUntilSettled(main->Window());
        EXPECT_EQ(IsZoomed(main->Window()), state == SW_MAXIMIZE);
        EXPECT_EQ(IsIconic(main->Window()), state == SW_MINIMIZE);
        RECT now;
        GetWindowRect(main->Window(), &now);
        EXPECT_EQ(now.right - now.left, before.right - before.left) << "not shrunk to its normal size";
        EXPECT_EQ(now.bottom - now.top, before.bottom - before.top);
        ShowWindow(main->Window(), SW_RESTORE);
    }
}

TEST_F(PikeMainTest, WindowsTextSizeIsTakenAtOnce)
{
    // Settings, Accessibility, Text size: a larger message font, announced to every window.
    auto main = Open();
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const NONCLIENTMETRICSW original = metrics;
    const auto height = [&] {
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(Combo(*main), WM_GETFONT, 0, 0)), sizeof font, &font);
        return font.lfHeight;
    };
    const LONG before = height();
    metrics.lfMessageFont.lfHeight = metrics.lfMessageFont.lfHeight * 3 / 2;
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    SendMessageW(main->Window(), WM_SETTINGCHANGE, SPI_SETNONCLIENTMETRICS, reinterpret_cast<LPARAM>(L"WindowMetrics"));
    const LONG after = height();
    SystemParametersInfoW(SPI_SETNONCLIENTMETRICS, sizeof original, const_cast<NONCLIENTMETRICSW*>(&original), 0);
    EXPECT_EQ(std::abs(after), std::abs(before) * 3 / 2) << before;
}

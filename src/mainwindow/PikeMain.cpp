#include "mainwindow/PikeMain.h"

#include "editor/UAEditForm.h"
#include "listfile/ListFile.h"
#include "listfile/SafeSave.h"
#include "mainwindow/UserAgentText.h"
#include "shell/AppGlobals.h"
#include "shell/TextEncoding.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

namespace {

constexpr wchar_t kClassName[] = L"PikerosuMain";
constexpr int kComboDropHeight = 3000;
constexpr size_t kMaxTextBytes = 1024;
constexpr wchar_t kFailureTitle[] = L"ピケロスブラウザ － 登録の失敗";

// Where the browser keeps its text, in the order asked: the first that holds one is used.
struct Location {
    SystemKind kind;
    const wchar_t* subKey;
    const wchar_t* caption;
};
constexpr Location kLocations[] = {
    {SystemKind::Windows, kWindowsSubKey, L"User Agent (Windows)"},
    {SystemKind::WindowsNT, kWindowsNTSubKey, L"User Agent (Windows NT)"},
};

const Location* LocationOf(SystemKind kind)
{
    for (const Location& location : kLocations)
        if (location.kind == kind)
            return &location;
    return nullptr;
}

// In tab order; the frame comes last so that it lies behind the others.
constexpr ChildLayout kLayout[] = {
    {PikeMain::UAName, 276, 648, 5772, 276},
    {PikeMain::Command1, 276, 1128, 1620, 336},
    {PikeMain::Command2, 2244, 1128, 2100, 336},
    {PikeMain::Frame1, 72, 192, 6156, 1464},
};

// Appends to the combo box's list with its storage reserved and redrawing off, so
// that long lists load quickly.
class ComboBoxList : public CandidateList {
public:
    explicit ComboBoxList(HWND combo) : combo_(combo) { SetWindowRedraw(combo_, FALSE); }
    ~ComboBoxList()
    {
        SetWindowRedraw(combo_, TRUE);
        InvalidateRect(combo_, nullptr, TRUE);
    }
    void Reserve(size_t count, size_t characters) override
    {
        SendMessageW(combo_, CB_INITSTORAGE, count, static_cast<LPARAM>(characters * sizeof(wchar_t)));
    }
    void Append(std::wstring_view entry) override { ComboBox_AddString(combo_, entry.data()); }

private:
    HWND combo_;
};

class WindowDC {
public:
    explicit WindowDC(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~WindowDC() { ReleaseDC(window_, dc_); }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

RECT WorkAreaOf(HWND window)
{
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    return monitor.rcWork;
}

// Keeps a dropped list that is wider than the room right of the combo box (ref) on its
// monitor. Installed for one drop-down only: a subclassed list box fills ten times slower.
LRESULT CALLBACK KeepListOnMonitor(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR combo)
{
    if (message == WM_WINDOWPOSCHANGING) {
        auto& pos = *reinterpret_cast<WINDOWPOS*>(lParam);
        if (!(pos.flags & SWP_NOMOVE)) {
            RECT now;
            GetWindowRect(list, &now);
            const int width = pos.flags & SWP_NOSIZE ? static_cast<int>(now.right - now.left) : pos.cx;
            const RECT work = WorkAreaOf(reinterpret_cast<HWND>(combo));
            pos.x = std::max(static_cast<int>(work.left), std::min(pos.x, static_cast<int>(work.right) - width));
            RemoveWindowSubclass(list, KeepListOnMonitor, id);
        }
    }
    return DefSubclassProc(list, message, wParam, lParam);
}

// Texts that differ only at their end must show whole: the list is as wide as its widest
// text, within the combo box's width and its monitor's work area. Measured when the list
// opens, once per change, so that a long list costs nothing at start-up.
void FitDropWidth(HWND combo)
{
    int widest = 0;
    {
        const WindowDC dc(combo);
        SelectObject(dc.get(), GetWindowFont(combo));
        std::wstring item;
        for (int i = 0, count = ComboBox_GetCount(combo); i < count; ++i) {
            item.resize(static_cast<size_t>(std::max(ComboBox_GetLBTextLen(combo, i), 0)) + 1);
            item.resize(static_cast<size_t>(std::max(ComboBox_GetLBText(combo, i, item.data()), 0)));
            SIZE size{};
            GetTextExtentPoint32W(dc.get(), item.data(), static_cast<int>(item.size()), &size);
            widest = std::max(widest, static_cast<int>(size.cx));
        }
    }
    const UINT dpi = GetDpiForWindow(combo);
    // The list's border, the room around an item's text, and the scroll bar of a long list.
    const int width = widest + 2 * GetSystemMetricsForDpi(SM_CXEDGE, dpi) + Twips(90, dpi) +
                      GetSystemMetricsForDpi(SM_CXVSCROLL, dpi);
    RECT box;
    GetWindowRect(combo, &box);
    const RECT work = WorkAreaOf(combo);
    const int room = work.right - work.left;
    SendMessageW(combo, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(std::min(std::max(width, static_cast<int>(box.right - box.left)), room)), 0);
}

} // namespace

PikeMain::PikeMain(Platform platform) : platform_(std::move(platform)) {}

PikeMain::~PikeMain()
{
    if (hwnd_)
        DestroyWindow(hwnd_);
}

bool PikeMain::Open(int showCommand)
{
    RegisterWindowClass(kClassName);
    const DWORD style = WS_OVERLAPPEDWINDOW;
    const RECT frame = FrameRect(kClientArea, style, 0, GetDpiForSystem());
    CreateWindowExW(0, kClassName, kAppTitle, style, frame.left, frame.top, frame.right - frame.left,
                    frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!hwnd_)
        return false;
    FitToMonitorDpi();
    Form_Load();
    ShowWindow(hwnd_, showCommand);
    return true;
}

LRESULT PikeMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        CreateHiddenLabel(hwnd_, UANameLabel, L"User Agent"); // the frame says it on screen
        CreateChild(hwnd_, WC_COMBOBOXW, L"", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP | WS_GROUP,
                    kLayout[0]);
        CreateChild(hwnd_, WC_BUTTONW, L"この内容で登録", BS_PUSHBUTTON | WS_TABSTOP, kLayout[1]);
        CreateChild(hwnd_, WC_BUTTONW, L"ブラウザリスト編集", BS_PUSHBUTTON | WS_TABSTOP, kLayout[2]);
        CreateChild(hwnd_, WC_BUTTONW, L"User Agent", BS_GROUPBOX, kLayout[3]);
        return 0;
    }
    HANDLE_MSG(hwnd_, WM_COMMAND, OnCommand);
    case WM_DESTROY:
        if (!editor_ || !editor_->IsOpen())
            platform_.lastWindowClosed();
        else
            editor_->StandAlone();
        return 0;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void PikeMain::OnCommand(HWND, int id, HWND, UINT code)
{
    if (id == UAName && code == CBN_DROPDOWN)
        UAName_DropDown();
    if (code != BN_CLICKED)
        return;
    if (id == Command1)
        Command1_Click();
    else if (id == Command2)
        Command2_Click();
}

void PikeMain::Layout(UINT dpi)
{
    font_ = PlaceChildren(hwnd_, kLayout, dpi); // the old font goes once no control uses it
    // A drop-down combo box's height includes its list; the edit field follows the font.
    HWND combo = GetDlgItem(hwnd_, UAName);
    SetWindowPos(combo, nullptr, 0, 0, Twips(kLayout[0].width, dpi), Twips(kLayout[0].height + kComboDropHeight, dpi),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ComboBox_SetMinVisible(combo, 12);
    dropWidthStale_ = true; // the font has changed
}

void PikeMain::UAName_DropDown()
{
    HWND combo = GetDlgItem(hwnd_, UAName);
    if (dropWidthStale_) {
        dropWidthStale_ = false;
        FitDropWidth(combo);
    }
    // After measuring: under Wine every message to a subclassed list box is slow.
    COMBOBOXINFO parts{sizeof parts, {}, {}, 0, nullptr, nullptr, nullptr};
    if (GetComboBoxInfo(combo, &parts))
        SetWindowSubclass(parts.hwndList, KeepListOnMonitor, 0, reinterpret_cast<DWORD_PTR>(combo));
}

void PikeMain::Closed()
{
    font_.reset();
}

void PikeMain::Message(HWND owner, const std::wstring& text, const wchar_t* title, UINT icon) const
{
    platform_.showMessage(owner, text, title, icon);
}

void PikeMain::SetFrameCaption(const wchar_t* caption)
{
    SetWindowTextW(GetDlgItem(hwnd_, Frame1), caption);
    SetWindowTextW(GetDlgItem(hwnd_, UANameLabel), caption); // the combo box's name follows it
}

void PikeMain::Form_Load()
{
    InitAppPath();
    std::wstring current;
    const Location* found = nullptr;
    for (const Location& location : kLocations) {
        current = RegReadValue(HKEY_USERS, location.subKey, kUserAgentValue, platform_.registry);
        if (!current.empty()) {
            found = &location;
            break;
        }
    }
    systemKind_ = found ? found->kind : SystemKind::Unknown;
    SetFrameCaption(found ? found->caption : L"User Agent (System Unknown!)");
    if (!found) {
        EnableWindow(GetDlgItem(hwnd_, Command1), FALSE);
        // The window is not shown yet, so the box stands on its own.
        Message(nullptr, L"システム情報を取得できませんでした。安全のため 登録ボタンを禁止します。", kAppTitle, MB_ICONWARNING);
    }
    HWND combo = GetDlgItem(hwnd_, UAName);
    ComboBox_AddString(combo, current.c_str());
    ComboBox_SetCurSel(combo, 0); // shows current, and the arrow keys step on from it
    LoadCandidates(combo);
}

void PikeMain::Command1_Click()
{
    // The button is disabled where no location was found, but a click can still be sent to it.
    const Location* location = LocationOf(systemKind_);
    if (!location)
        return;
    HWND combo = GetDlgItem(hwnd_, UAName);
    std::wstring text = GetText(combo);
    // Only what a browser can send is stored.
    const auto refused = [this](std::wstring_view candidate) {
        if (HasControlCharacter(candidate))
            Message(hwnd_, L"登録内容に改行などの制御文字が含まれているため、登録できませんでした。", kFailureTitle,
                    MB_ICONERROR);
        else if (IsBlank(candidate))
            Message(hwnd_, L"登録内容が空のため、登録できませんでした。", kFailureTitle, MB_ICONERROR);
        else
            return false;
        return true;
    };
    if (refused(text))
        return;
    if (text.size() * sizeof(wchar_t) > kMaxTextBytes) {
        Message(hwnd_, L"登録内容が 1024バイトを超えています。 超えた末尾を切り取りました。", kAppTitle, MB_ICONWARNING);
        if (!IsOpen())
            return; // closed while the warning was up: the user is gone, so is the request
        size_t keep = kMaxTextBytes / sizeof(wchar_t);
        if (TextEncoding::CharacterAt(text, keep - 1).length == 2)
            --keep; // never leave half a character behind
        text.resize(keep);
        SetWindowTextW(combo, text.c_str());
        if (refused(text)) // white space up to the cut
            return;
    }

    const LONG status = RegWriteValue(HKEY_USERS, location->subKey, kUserAgentValue, text, platform_.registry);

    if (status == 0)
        Message(hwnd_, L"システムに登録しました。登録内容は次回ブラウザを起動した時から有効となります。",
                L"ピケロスブラウザ － 登録の成立", MB_ICONINFORMATION);
    else if (status == ERROR_ACCESS_DENIED && platform_.elevated()) // the key's own permissions refuse
        Message(hwnd_, L"管理者として実行していますが、この登録場所への書き込みは許可されていないため、登録できませんでした。",
                kFailureTitle, MB_ICONERROR);
    else if (status == ERROR_ACCESS_DENIED)
        Message(hwnd_, L"登録する権限がありません。このプログラムを管理者として実行してから、もう一度登録してください。",
                kFailureTitle, MB_ICONERROR);
    else if (status == ERROR_NO_UNICODE_TRANSLATION)
        Message(hwnd_, L"登録内容に、システムの文字コードで表せない文字が含まれているため、登録できませんでした。",
                kFailureTitle, MB_ICONERROR);
    else
        Message(hwnd_, L"システムに問題があり、登録できませんでした。", kFailureTitle, MB_ICONERROR);
}

bool RunsElevated()
{
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))
        return false;
    const std::unique_ptr<void, HandleCloser> token(opened);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated;
}

void PikeMain::Command2_Click()
{
    if (!editor_)
        editor_ = std::make_unique<UAEditForm>(platform_.showMessage, platform_.files, [this] { RefreshCandidates(); },
                                               [this] {
                                                   if (!IsOpen())
                                                       platform_.lastWindowClosed();
                                               });
    editor_->Show(hwnd_);
}

void PikeMain::LoadCandidates(HWND combo)
{
    // At the start the window is not shown yet, so the boxes stand on their own.
    HWND owner = IsWindowVisible(hwnd_) ? hwnd_ : nullptr;
    ComboBoxList list(combo);
    const ReadFailure why = ReloadCandidates(
        list,
        [&](const CutOffSave& cutOff) {
            const auto [told, icon] = CutOffSaveMessage(cutOff);
            Message(owner, told, kAppTitle, icon);
        },
        platform_.files);
    if (why == ReadFailure::Busy) // rather than an empty list, as if it were the list
        Message(owner, L"ブラウザリストは保存の途中か、中断された保存を元に戻せないため、候補を読み込めませんでした。"
                L"しばらくしてから、起動し直してください。",
                kAppTitle, MB_ICONWARNING);
    dropWidthStale_ = true;
}

void PikeMain::RefreshCandidates()
{
    if (!IsOpen())
        return; // the main window was closed while the editor stayed open
    HWND combo = GetDlgItem(hwnd_, UAName);
    const std::wstring text = GetText(combo);
    ComboBox_ResetContent(combo);
    SetWindowTextW(combo, text.c_str());
    LoadCandidates(combo);
}

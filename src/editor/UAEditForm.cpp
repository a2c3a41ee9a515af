#include "editor/UAEditForm.h"

#include "listfile/ListFile.h"

#include <commctrl.h>
#include <windowsx.h>

namespace {

constexpr wchar_t kClassName[] = L"PikerosuListEditor";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;

constexpr ChildLayout kLayout[] = {
    {UAEditForm::UANameTextBox, 36, 48, 6336, 3228},
    {UAEditForm::cmdCancel, 3360, 3360, 1212, 372},
    {UAEditForm::cmdOK, 1572, 3372, 1236, 345},
};

// A multi-line edit closes its window on Escape; here Escape must do nothing.
LRESULT CALLBACK IgnoreEscape(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR)
{
    if ((message == WM_KEYDOWN || message == WM_CHAR) && wParam == VK_ESCAPE)
        return 0;
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(edit, IgnoreEscape, id);
    return DefSubclassProc(edit, message, wParam, lParam);
}

} // namespace

UAEditForm::UAEditForm(MessageBoxFn showMessage, std::function<void()> refreshMain, std::function<void()> closed)
    : showMessage_(std::move(showMessage)), refreshMain_(std::move(refreshMain)), closed_(std::move(closed))
{
}

UAEditForm::~UAEditForm()
{
    if (hwnd_)
        DestroyWindow(hwnd_);
}

void UAEditForm::Show(HWND requester)
{
    if (IsOpen()) {
        ShowWindow(hwnd_, SW_SHOWNORMAL);
        SetForegroundWindow(hwnd_);
        return;
    }
    RegisterWindowClass(kClassName);
    if (!taskbarAnchor_)
        taskbarAnchor_.reset(CreateWindowExW(0, WC_STATICW, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                             GetModuleHandleW(nullptr), nullptr));
    const RECT frame = FrameRect(kClientArea, kStyle, kExStyle, GetDpiForSystem());
    CreateWindowExW(kExStyle, kClassName, L"ブラウザリスト編集", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                    frame.right - frame.left, frame.bottom - frame.top, taskbarAnchor_.get(), nullptr,
                    GetModuleHandleW(nullptr), this);
    if (!hwnd_)
        return;
    FitToMonitorDpi();
    if (!Form_Load(requester)) {
        DestroyWindow(hwnd_);
        return;
    }
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    SetForegroundWindow(hwnd_);
}

LRESULT UAEditForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        CreateHiddenLabel(hwnd_, UANameTextBoxLabel, L"ブラウザリスト");
        HWND edit = CreateChild(hwnd_, WC_EDITW, L"",
                                ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL |
                                    WS_HSCROLL | WS_BORDER | WS_TABSTOP | WS_GROUP,
                                kLayout[0]);
        SetWindowSubclass(edit, IgnoreEscape, 0, 0);
        Edit_LimitText(edit, 0); // as large as the file is
        CreateChild(hwnd_, WC_BUTTONW, L"キャンセル", BS_PUSHBUTTON | WS_TABSTOP, kLayout[1]);
        CreateChild(hwnd_, WC_BUTTONW, L"OK", BS_PUSHBUTTON | WS_TABSTOP, kLayout[2]);
        return 0;
    }
    HANDLE_MSG(hwnd_, WM_COMMAND, OnCommand);
    case WM_CLOSE:
        cmdCancel_Click();
        return 0;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void UAEditForm::OnCommand(HWND, int id, HWND, UINT code)
{
    // Enter and Escape arrive as IDOK and IDCANCEL, which no control here has.
    if (code != BN_CLICKED)
        return;
    if (id == cmdOK)
        cmdOK_Click();
    else if (id == cmdCancel)
        cmdCancel_Click();
}

void UAEditForm::Layout(UINT dpi)
{
    font_ = PlaceChildren(hwnd_, kLayout, dpi);
}

void UAEditForm::Closed()
{
    font_.reset();
    loaded_ = {};
    closed_();
}

bool UAEditForm::Form_Load(HWND requester)
{
    auto document = ReadListFile();
    if (!document) {
        // An empty editor here would let OK replace a list the user never saw.
        showMessage_(requester,
                     L"ブラウザリストを読み込めませんでした。ほかのプログラムが使用中でないか確かめてから、"
                     L"もう一度開いてください。",
                     kAppTitle, MB_ICONWARNING);
        return false;
    }
    loaded_ = std::move(*document);
    SetWindowTextW(GetDlgItem(hwnd_, UANameTextBox), loaded_.text.c_str());
    return true;
}

void UAEditForm::cmdOK_Click()
{
    const std::wstring text = GetText(GetDlgItem(hwnd_, UANameTextBox));
    // Saving adds one line break, so drop the last one typed; an unchanged file stays unchanged.
    switch (WriteListFile(WithoutFinalLineBreak(text), loaded_)) {
    case ListWriteResult::Written:
        break;
    case ListWriteResult::Unreadable:
        showMessage_(hwnd_,
                     L"読み取れなかった文字（\uFFFD）が残っているため、保存できませんでした。"
                     L"該当する文字を直してから、もう一度 OK を押してください。",
                     kAppTitle, MB_ICONWARNING);
        return;
    case ListWriteResult::Unrepresentable:
        showMessage_(hwnd_,
                     L"システムの文字コードで表せない文字が含まれているため、保存できませんでした。"
                     L"該当する文字を直してから、もう一度 OK を押してください。",
                     kAppTitle, MB_ICONWARNING);
        return;
    case ListWriteResult::Failed:
        showMessage_(hwnd_, L"ブラウザリストを保存できませんでした。ファイルは変更されていません。", kAppTitle,
                     MB_ICONERROR);
        return;
    }
    refreshMain_();
    DestroyWindow(hwnd_);
}

void UAEditForm::cmdCancel_Click()
{
    DestroyWindow(hwnd_);
}

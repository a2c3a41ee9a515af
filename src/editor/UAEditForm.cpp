#include "editor/UAEditForm.h"

#include "listfile/ListFile.h"

#include <commctrl.h>
#include <windowsx.h>

#include <iterator>

namespace {

constexpr wchar_t kClassName[] = L"PikerosuListEditor";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;

constexpr ChildLayout kLayout[] = {
    {UAEditForm::UANameTextBox, 36, 48, 6336, 3228},
    {UAEditForm::cmdCancel, 3360, 3360, 1212, 372},
    {UAEditForm::cmdOK, 1572, 3372, 1236, 345},
};

// Edit control extended styles (Windows 10 1809), which these headers may lack.
constexpr UINT kSetExtendedStyle = 0x1500 + 10; // EM_SETEXTENDEDSTYLE
constexpr LPARAM kAllowEolAll = 0x0003;         // ES_EX_ALLOWEOL_CR | ES_EX_ALLOWEOL_LF

// The text box holds a document, not a field: a multi-line edit closes its window on
// Escape, and tabbing into it would select all of it, so the next key replaced the list.
LRESULT CALLBACK DocumentKeys(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR)
{
    if ((message == WM_KEYDOWN || message == WM_CHAR) && wParam == VK_ESCAPE)
        return 0;
    if (message == WM_GETDLGCODE)
        return DefSubclassProc(edit, message, wParam, lParam) & ~DLGC_HASSETSEL;
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(edit, DocumentKeys, id);
    return DefSubclassProc(edit, message, wParam, lParam);
}

struct Box {
    const wchar_t* text; // "%1" stands for what the box names
    UINT icon;
};

std::pair<std::wstring, UINT> Say(const Box& box, const std::wstring& named)
{
    std::wstring text = box.text;
    if (const size_t at = text.find(L"%1"); at != text.npos)
        text.replace(at, 2, named);
    return {text, box.icon};
}

// The largest list as a user reads it: "16,777,216 バイト（16 MB）". Digits by hand, since printf
// would bring its whole number formatting into the program.
std::wstring ListLimitText()
{
    const auto digits = [](size_t n, bool grouped) {
        std::wstring text;
        for (int i = 0; n || text.empty(); ++i, n /= 10)
            text.insert(0, grouped && i && i % 3 == 0 ? L"," : L"").insert(0, 1, static_cast<wchar_t>(L'0' + n % 10));
        return text;
    };
    return digits(kListLimit, true) + L" バイト（" + digits(kListLimit >> 20, false) + L" MB）";
}

} // namespace

std::pair<std::wstring, UINT> CutOffSaveMessage(const CutOffSave& cutOff)
{
    static constexpr Box kTold[] = { // by CutOffSave::Outcome
        {L"", 0},
        {L"前回のブラウザリストの保存は途中で中断されましたが、書き込みは終わっていました。"
         L"ブラウザリストは保存した内容になっています。",
         MB_ICONINFORMATION},
        {L"前回のブラウザリストの保存は途中で中断されました。ブラウザリストは保存前の内容に戻してあります。",
         MB_ICONINFORMATION},
        {L"前回のブラウザリストの保存は途中で中断されましたが、その後ブラウザリストが書き換えられたか削除されていたため、"
         L"そのままにしてあります。保存前の内容は次のファイルに残してあります：\n%1",
         MB_ICONWARNING},
    };
    static_assert(std::size(kTold) == static_cast<size_t>(CutOffSave::Outcome::KeptNewer) + 1);
    return Say(kTold[static_cast<size_t>(cutOff.outcome)], cutOff.oldBytesAt);
}

UAEditForm::UAEditForm(MessageBoxFn showMessage, FileApi files, std::function<void()> refreshMain,
                       std::function<void()> closed)
    : showMessage_(std::move(showMessage)), files_(files), refreshMain_(std::move(refreshMain)),
      closed_(std::move(closed))
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

void UAEditForm::StandAlone()
{
    if (!IsOpen())
        return;
    SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, GetWindowLongPtrW(hwnd_, GWL_EXSTYLE) | WS_EX_APPWINDOW);
    // The task bar looks at the style when a window is shown.
    const bool visible = IsWindowVisible(hwnd_);
    ShowWindow(hwnd_, SW_HIDE);
    if (visible)
        ShowWindow(hwnd_, SW_SHOW);
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
        SetWindowSubclass(edit, DocumentKeys, 0, 0);
        Edit_LimitText(edit, 0); // as large as the file is
        // LF and lone CR files show as lines, and keep their line breaks.
        SendMessageW(edit, kSetExtendedStyle, kAllowEolAll, kAllowEolAll);
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
    ReadFailure why = ReadFailure::None;
    std::optional<ListDocument> document;
    {
        const WaitCursor waiting; // a long list takes seconds to read, and to show
        document = ReadListFile(&why, Teller(requester), true, files_);
    }
    if (!document) {
        static constexpr Box kRefused[] = { // by ReadFailure
            {L"", 0},
            {L"ブラウザリストを読み込めませんでした。ほかのプログラムが使用中でないか確かめてから、もう一度開いてください。",
             MB_ICONWARNING},
            {L"ブラウザリストが大きすぎるため、読み込めませんでした。読み込めるのは %1までです。", MB_ICONWARNING},
            {L"ブラウザリストは保存の途中か、中断された保存を元に戻せないため、読み込めませんでした。"
             L"しばらくしてから、もう一度開いてください。",
             MB_ICONWARNING},
            {L"ブラウザリストはリンクですが、リンク先のファイルが見つからないため、読み込めませんでした。"
             L"リンク先のファイルがあるか確かめてから、もう一度開いてください。",
             MB_ICONWARNING},
        };
        static_assert(std::size(kRefused) == static_cast<size_t>(ReadFailure::LinkedFileMissing) + 1);
        // An empty editor here would let OK replace a list the user never saw.
        const auto [text, icon] = Say(kRefused[static_cast<size_t>(why)], ListLimitText());
        showMessage_(requester, text, kAppTitle, icon);
        return false;
    }
    loaded_ = std::move(*document);
    const WaitCursor waiting;
    SetWindowTextW(GetDlgItem(hwnd_, UANameTextBox), loaded_.text.c_str());
    return true;
}

TellCutOff UAEditForm::Teller(HWND owner) const
{
    return [this, owner](const CutOffSave& cutOff) {
        const auto [told, icon] = CutOffSaveMessage(cutOff);
        showMessage_(owner, told, kAppTitle, icon);
    };
}

void UAEditForm::cmdOK_Click()
{
    const std::wstring typed = GetText(GetDlgItem(hwnd_, UANameTextBox));
    // Saving adds one line break, so drop the last one typed; an unchanged file stays unchanged.
    const std::wstring_view text = WithoutFinalLineBreak(typed);
    const auto save = [&](OtherChanges otherChanges) {
        const WaitCursor waiting; // another copy's save may be waited for
        return WriteListFile(text, loaded_, otherChanges, files_, Teller(hwnd_));
    };
    SaveResult result = save(OtherChanges::Keep);
    if (result == SaveResult::Changed && IsOpen()) {
        const int answer = showMessage_(hwnd_,
                                        L"ブラウザリストは、編集を始めた後にほかのプログラムによって変更されています。"
                                        L"このまま保存すると、その変更は失われます。保存しますか？",
                                        kAppTitle, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        if (answer != IDYES || !IsOpen())
            return; // closed meanwhile: what it had loaded has gone with it
        result = save(OtherChanges::Overwrite);
    }
    if (!IsOpen())
        return;
    if (result == SaveResult::Saved) {
        refreshMain_();
        DestroyWindow(hwnd_);
        return;
    }
    static constexpr Box kRefused[] = { // by SaveResult
        {L"", 0},
        {L"読み取れなかった文字（\uFFFD）が残っているため、保存できませんでした。"
         L"該当する文字を直してから、もう一度 OK を押してください。",
         MB_ICONWARNING},
        {L"ブラウザリストの文字コード（Shift_JIS）で表せない文字が含まれているため、保存できませんでした。"
         L"該当する文字を直してから、もう一度 OK を押してください。", // only a Shift_JIS list lacks characters
         MB_ICONWARNING},
        {L"ブラウザリストが大きすぎるため、保存できませんでした。保存できるのは %1までです。ファイルは変更されていません。",
         MB_ICONWARNING},
        {L"ブラウザリストは読み取り専用のため、保存できませんでした。ファイルは変更されていません。", MB_ICONWARNING},
        {L"ブラウザリストを保存できませんでした。ファイルは変更されていません。", MB_ICONERROR}, // Changed, overwritten
        {L"ほかのピケロスブラウザがブラウザリストを使用中のため、保存できませんでした。ファイルは変更されていません。"
         L"しばらくしてから、もう一度 OK を押してください。",
         MB_ICONWARNING},
        {L"ブラウザリストを保存できませんでした。ファイルは変更されていません。", MB_ICONERROR},
        // The old list is in the journal, for the next read.
        {L"ブラウザリストを保存できませんでした。ブラウザリストは次に開くときに元の内容に戻します。", MB_ICONERROR},
    };
    static_assert(std::size(kRefused) == static_cast<size_t>(SaveResult::Stranded) + 1);
    const auto [message, icon] = Say(kRefused[static_cast<size_t>(result)], ListLimitText());
    showMessage_(hwnd_, message, kAppTitle, icon);
    if (result == SaveResult::Unreadable)
        SelectCharacter(text, text.find(TextEncoding::kReplacement));
    else if (result == SaveResult::Unrepresentable)
        SelectCharacter(text, FirstUnrepresentable(text, loaded_));
}

// Shows the user which character stopped the save, in a list of any length.
void UAEditForm::SelectCharacter(std::wstring_view text, size_t at)
{
    if (!IsOpen())
        return;
    HWND edit = GetDlgItem(hwnd_, UANameTextBox);
    SetFocus(edit);
    if (at >= text.size())
        return;
    Edit_SetSel(edit, at, at + TextEncoding::CharacterAt(text, at).length);
    Edit_ScrollCaret(edit);
}

void UAEditForm::cmdCancel_Click()
{
    DestroyWindow(hwnd_);
}

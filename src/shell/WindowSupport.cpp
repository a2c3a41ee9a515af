#include "shell/WindowSupport.h"

#include <commctrl.h>

int Twips(int twips, UINT dpi)
{
    return MulDiv(twips, static_cast<int>(dpi), 1440);
}

std::wstring GetText(HWND window)
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

bool HandleDialogKeys(MSG& msg)
{
    HWND root = GetAncestor(msg.hwnd, GA_ROOT);
    return root && IsDialogMessageW(root, &msg);
}

int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT style)
{
    return MessageBoxW(owner, text.c_str(), title.c_str(), style);
}

static HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int id)
{
    return CreateWindowExW(0, className, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

HWND CreateChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, const ChildLayout& at)
{
    return CreateControl(parent, className, text, WS_VISIBLE | WS_CLIPSIBLINGS | style, at.id);
}

HWND CreateHiddenLabel(HWND parent, int id, const wchar_t* text)
{
    return CreateControl(parent, WC_STATICW, text, 0, id);
}

FontHandle PlaceChildren(HWND parent, std::span<const ChildLayout> layouts, UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    FontHandle font;
    if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))
        font.reset(CreateFontIndirectW(&metrics.lfMessageFont));
    for (const ChildLayout& at : layouts) {
        HWND child = GetDlgItem(parent, at.id);
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
        SetWindowPos(child, nullptr, Twips(at.left, dpi), Twips(at.top, dpi), Twips(at.width, dpi),
                     Twips(at.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
    }
    InvalidateRect(parent, nullptr, TRUE);
    return font;
}

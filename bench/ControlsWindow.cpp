// The floor: a window with the program's controls, manifest and font, and nothing else
// (no list, no registry).
#include <windows.h>
#include <commctrl.h>

static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"ControlsWindow";
    RegisterClassW(&wc);
    const int dpi = static_cast<int>(GetDpiForSystem());
    HWND hwnd = CreateWindowW(L"ControlsWindow", L"ControlsWindow", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              MulDiv(420, dpi, 96), MulDiv(160, dpi, 96), nullptr, nullptr, instance, nullptr);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, GetDpiForSystem());
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    struct Child { const wchar_t* cls; const wchar_t* text; DWORD style; int x, y, w, h; };
    const Child children[] = {
        {WC_STATICW, L"User Agent", 0, 0, 0, 0, 0},
        {WC_COMBOBOXW, L"", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP | WS_GROUP | WS_VISIBLE, 16, 24, 385, 200},
        {WC_BUTTONW, L"この内容で登録", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 16, 60, 120, 28},
        {WC_BUTTONW, L"ブラウザリスト編集", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 140, 60, 140, 28},
        {WC_BUTTONW, L"User Agent", BS_GROUPBOX | WS_VISIBLE, 8, 4, 400, 96},
    };
    for (const Child& c : children) {
        HWND child = CreateWindowExW(0, c.cls, c.text, WS_CHILD | c.style, MulDiv(c.x, dpi, 96), MulDiv(c.y, dpi, 96),
                                     MulDiv(c.w, dpi, 96), MulDiv(c.h, dpi, 96), hwnd, nullptr, instance, nullptr);
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    ShowWindow(hwnd, show);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    DeleteObject(font);
    return 0;
}

#pragma once
// What both windows share: the window procedure pattern, DPI scaling, fonts, message boxes.
#include <windows.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <type_traits>

inline constexpr wchar_t kAppTitle[] = L"ピケロスブラウザ";

// Layouts are drawn in twips (1/1440 inch) so they keep their size at any DPI.
int Twips(int twips, UINT dpi);

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

std::wstring GetText(HWND window);

// Gives Tab, Shift+Tab, Enter and Escape their dialog meaning in the window the message
// is for; true when the message has been handled.
bool HandleDialogKeys(MSG& msg);

// A modal box (MessageBoxW's style, MB_OK when only an icon is given) giving the button
// pressed. The windows take it as a parameter so that tests can read and answer it.
using MessageBoxFn = std::function<int(HWND owner, const std::wstring& text, const std::wstring& title, UINT style)>;
int ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT style);

// The hourglass while work that may take seconds runs on the window's thread, as Windows
// programs show it; the cursor that was there comes back after.
class WaitCursor {
public:
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, IDC_WAIT))) {}
    ~WaitCursor() { SetCursor(previous_); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_;
};

// A child control placed in twips relative to its parent's client area.
struct ChildLayout {
    int id;
    int left, top, width, height;
};
HWND CreateChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, const ChildLayout& at);
// Screen readers name a control by the label just before it in z-order: create this one
// right before the control it names. It stays hidden where the window shows the name otherwise.
HWND CreateHiddenLabel(HWND parent, int id, const wchar_t* text);
// Moves the children to their places for the window's DPI and gives them the system's
// message font at that DPI. The caller keeps the font for as long as the children use it.
[[nodiscard]] FontHandle PlaceChildren(HWND parent, std::span<const ChildLayout> layouts, UINT dpi);

// A window that owns its state, with one static window procedure that finds it.
// Derived classes provide HandleMessage, Layout(dpi) and Closed(), and destroy their
// window in their own destructor while their members still live.
template <class Derived>
class BaseWindow {
public:
    BaseWindow() = default;
    BaseWindow(const BaseWindow&) = delete;
    BaseWindow& operator=(const BaseWindow&) = delete;

    HWND Window() const { return hwnd_; }
    bool IsOpen() const { return hwnd_ != nullptr; }

protected:
    ~BaseWindow() = default;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE) {
            auto* self = static_cast<Derived*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            self->hwnd_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
        auto* self = reinterpret_cast<Derived*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (!self)
            return DefWindowProcW(hwnd, message, wParam, lParam);
        switch (message) {
        case WM_ACTIVATE: // keep the keyboard focus on the control the user left it on
            if (LOWORD(wParam) == WA_INACTIVE)
                self->RememberFocus();
            else if (!HIWORD(wParam))
                self->RestoreFocus();
            return 0;
        case WM_SETFOCUS: // restored from the task bar, or activated while minimised
            self->RestoreFocus();
            return 0;
        case WM_SIZE:
            if (wParam == SIZE_MINIMIZED)
                self->RememberFocus();
            break;
        case WM_NEXTDLGCTL: // a multi-line edit passing Tab on
            SetFocus(LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                                    : GetNextDlgTabItem(hwnd, GetFocus(), wParam != 0));
            return 0;
        case DM_GETDEFID: { // Enter presses the focused push button, and no button otherwise
            HWND focus = GetFocus();
            if (focus && IsChild(hwnd, focus) &&
                (SendMessageW(focus, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)))
                return MAKELRESULT(GetDlgCtrlID(focus), DC_HASDEFID);
            return 0;
        }
        case WM_GETDPISCALEDSIZE: // keep the client area's size in twips, not just scaled
            *reinterpret_cast<SIZE*>(lParam) = self->FrameSize(static_cast<UINT>(wParam));
            return TRUE;
        case WM_SETTINGCHANGE: // Windows' text size is the message font's
            if (wParam == SPI_SETNONCLIENTMETRICS)
                self->Layout(GetDpiForWindow(hwnd));
            break;
        case WM_DPICHANGED: {
            const RECT& to = *reinterpret_cast<const RECT*>(lParam);
            // Maximised or minimised, the window keeps that state in the place Windows gives it.
            const SIZE size = IsZoomed(hwnd) || IsIconic(hwnd) ? SIZE{to.right - to.left, to.bottom - to.top}
                                                               : self->FrameSize(HIWORD(wParam));
            SetWindowPos(hwnd, nullptr, to.left, to.top, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
            self->Layout(HIWORD(wParam));
            return 0;
        }
        }
        const LRESULT result = self->HandleMessage(message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            self->hwnd_ = nullptr;
            self->focus_ = nullptr;
            self->Closed();
        }
        return result;
    }

    static void RegisterWindowClass(const wchar_t* name)
    {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
        wc.hIconSm = static_cast<HICON>(LoadImageW(wc.hInstance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                   LR_SHARED)); // loaded again each time a window opens
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = name;
        RegisterClassExW(&wc); // fails harmlessly when already registered
    }

    // The outer rectangle of a window whose client area is given in twips.
    static RECT FrameRect(const ChildLayout& client, DWORD style, DWORD exStyle, UINT dpi)
    {
        const int left = Twips(client.left, dpi), top = Twips(client.top, dpi);
        RECT frame{left, top, left + Twips(client.width, dpi), top + Twips(client.height, dpi)};
        AdjustWindowRectExForDpi(&frame, style, FALSE, exStyle, dpi);
        return frame;
    }

    // The outer size that gives the window its client area (Derived::kClientArea) at dpi.
    SIZE FrameSize(UINT dpi) const
    {
        const RECT frame = FrameRect(Derived::kClientArea, static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_STYLE)),
                                     static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_EXSTYLE)), dpi);
        return {frame.right - frame.left, frame.bottom - frame.top};
    }

    // Windows are created at the system DPI; the monitor one lands on may have another.
    void FitToMonitorDpi()
    {
        const UINT dpi = GetDpiForWindow(hwnd_);
        const SIZE size = FrameSize(dpi);
        SetWindowPos(hwnd_, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        static_cast<Derived*>(this)->Layout(dpi);
    }

    HWND hwnd_ = nullptr;

private:
    void RememberFocus()
    {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus))
            focus_ = focus;
    }
    void RestoreFocus()
    {
        if (HWND focus = GetFocus(); focus && IsChild(hwnd_, focus))
            return; // still where the user left it
        SetFocus(focus_ && IsChild(hwnd_, focus_) ? focus_ : GetNextDlgTabItem(hwnd_, nullptr, FALSE));
    }

    HWND focus_ = nullptr;
};

#include "WindowTestSupport.h"

#include "TestSupport.h"
#include "shell/AppGlobals.h"

#include <windowsx.h>

#include <array>

void WindowTest::SetUp()
{
    InitAppPath();
    DeleteFileW(ListPath().c_str());
    DeleteKeyTree(HKEY_USERS, kWindowsSubKey);
    DeleteKeyTree(HKEY_USERS, kWindowsNTSubKey);
}

void WindowTest::TearDown()
{
    PumpMessages();
    SetFileAttributesW(ListPath().c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(ListPath().c_str());
    DeleteKeyTree(HKEY_USERS, kWindowsSubKey);
    DeleteKeyTree(HKEY_USERS, kWindowsNTSubKey);
    // Leave no quit request behind for the next test.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

std::wstring WindowTest::ListPath() const
{
    return AppPath + L"PIKEROSU.DAT";
}

void WindowTest::WriteList(const std::string& bytes) const
{
    WriteBytes(ListPath(), bytes);
}

std::string WindowTest::ReadList() const
{
    return ReadBytes(ListPath());
}

void WindowTest::SetUserAgent(const wchar_t* subKey, const std::wstring& text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, subKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), 0);
    RegSetValueExW(key, kUserAgentValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::wstring WindowTest::StoredUserAgent(const wchar_t* subKey)
{
    DWORD size = 0;
    if (RegGetValueW(HKEY_USERS, subKey, kUserAgentValue, RRF_RT_REG_SZ, nullptr, nullptr, &size))
        return L"<missing>";
    std::wstring text(size / sizeof(wchar_t), L'\0');
    RegGetValueW(HKEY_USERS, subKey, kUserAgentValue, RRF_RT_REG_SZ, nullptr, text.data(), &size);
    text.resize(size / sizeof(wchar_t) - 1);
    return text;
}

bool WindowTest::HasUserAgent(const wchar_t* subKey)
{
    return RegGetValueW(HKEY_USERS, subKey, kUserAgentValue, RRF_RT_ANY, nullptr, nullptr, nullptr) == 0;
}

Platform WindowTest::RecordingPlatform()
{
    Platform platform;
    platform.showMessage = [this](HWND owner, const std::wstring& text, const std::wstring& title, UINT style) {
        HWND main = FindWindowW(L"PikerosuMain", nullptr);
        messages.push_back({owner, text, title, style, main && IsWindowVisible(main)});
        return (style & MB_TYPEMASK) == MB_OK ? IDOK : answer;
    };
    platform.lastWindowClosed = [this] { ++lastWindowClosedCalls; };
    return platform;
}

std::vector<Box> WindowTest::Boxes() const
{
    std::vector<Box> boxes;
    for (const ShownMessage& m : messages)
        boxes.push_back({m.text, m.title, m.style});
    return boxes;
}

void PrintTo(const Box& box, std::ostream* out)
{
    *out << testing::PrintToString(box.text) << " titled " << testing::PrintToString(box.title) << " style 0x"
         << std::hex << box.style << std::dec;
}

HWND Control(HWND window, int id)
{
    return GetDlgItem(window, id);
}

std::vector<std::wstring> ComboList(HWND combo)
{
    std::vector<std::wstring> items;
    const int count = ComboBox_GetCount(combo);
    for (int i = 0; i < count; ++i) {
        std::wstring item(static_cast<size_t>(ComboBox_GetLBTextLen(combo, i)) + 1, L'\0');
        item.resize(static_cast<size_t>(ComboBox_GetLBText(combo, i, item.data())));
        items.push_back(item);
    }
    return items;
}

void Click(HWND window, int id)
{
    SendMessageW(Control(window, id), BM_CLICK, 0, 0);
    PumpMessages();
}

void TypeText(HWND target, const std::wstring& text)
{
    for (wchar_t c : text)
        SendMessageW(target, WM_CHAR, c, 1);
}

void PressKey(HWND target, WPARAM key)
{
    SetFocus(target);
    MSG msg{target, WM_KEYDOWN, key, 1, GetTickCount(), {}};
    if (!HandleDialogKeys(msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    msg.message = WM_KEYUP;
    if (!HandleDialogKeys(msg))
        DispatchMessageW(&msg);
    PumpMessages();
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (!HandleDialogKeys(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void PumpUntilSettled(HWND window)
{
    const auto looks = [window] {
        RECT r{};
        GetWindowRect(window, &r);
        return std::array<LONG, 6>{r.left, r.top, r.right, r.bottom, IsZoomed(window), IsIconic(window)};
    };
    auto last = looks();
    for (int still = 0, waited = 0; still < 5 && waited < 2000; waited += 20) {
        Sleep(20);
        PumpMessages();
        const auto now = looks();
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

void ExpectClientArea(HWND window, int width, int height)
{
    const UINT dpi = GetDpiForWindow(window);
    RECT client, frame;
    GetClientRect(window, &client);
    GetWindowRect(window, &frame);
    EXPECT_NEAR(client.right, Twips(width, dpi), 1) << dpi;
    EXPECT_NEAR(client.bottom, Twips(height, dpi), 1) << dpi;
    SIZE asked{};
    ASSERT_TRUE(SendMessageW(window, WM_GETDPISCALEDSIZE, dpi, reinterpret_cast<LPARAM>(&asked)));
    EXPECT_EQ(asked.cx, frame.right - frame.left);
    EXPECT_EQ(asked.cy, frame.bottom - frame.top);
}

void ExpectControls(HWND window, std::initializer_list<ChildLayout> controls, UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi));
    for (const ChildLayout& at : controls) {
        HWND control = Control(window, at.id);
        RECT r;
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_NEAR(r.left, Twips(at.left, dpi), 1) << at.id << " at " << dpi;
        EXPECT_NEAR(r.top, Twips(at.top, dpi), 1) << at.id << " at " << dpi;
        EXPECT_NEAR(r.right - r.left, Twips(at.width, dpi), 1) << at.id << " at " << dpi;
        LOGFONTW font{};
        ASSERT_TRUE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font))
            << "control " << at.id << " uses a font that is gone";
        EXPECT_EQ(font.lfHeight, metrics.lfMessageFont.lfHeight) << at.id << " at " << dpi;
    }
}

void ChangeDpi(HWND window, UINT dpi)
{
    RECT now;
    GetWindowRect(window, &now);
    const UINT old = GetDpiForWindow(window);
    RECT suggested{now.left, now.top, now.left + MulDiv(now.right - now.left, static_cast<int>(dpi), static_cast<int>(old)),
                   now.top + MulDiv(now.bottom - now.top, static_cast<int>(dpi), static_cast<int>(old))};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    PumpMessages();
    SIZE asked{};
    ASSERT_TRUE(SendMessageW(window, WM_GETDPISCALEDSIZE, dpi, reinterpret_cast<LPARAM>(&asked)));
    GetWindowRect(window, &now);
    EXPECT_EQ(now.right - now.left, asked.cx) << "sized from its twips, not by the suggestion";
    EXPECT_EQ(now.bottom - now.top, asked.cy);
}

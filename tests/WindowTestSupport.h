#pragma once
// Drives the real windows in this process: a list file beside the test program, the two
// registry locations in the test prefix, and a record of the message boxes.
#include "mainwindow/PikeMain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct ShownMessage {
    HWND owner;
    std::wstring text;
    std::wstring title;
    UINT style;
    bool mainWindowVisible; // whether the main window was already on screen
};

// A message box as the user sees it; tests compare the boxes a step showed as one list.
struct Box {
    std::wstring text;
    std::wstring title;
    UINT style;
    bool operator==(const Box&) const = default;
};
void PrintTo(const Box& box, std::ostream* out);

class WindowTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The main window loads from the folder of the running program.
    std::wstring ListPath() const;
    void WriteList(const std::string& bytes) const;
    std::string ReadList() const;

    static void SetUserAgent(const wchar_t* subKey, const std::wstring& text);
    static std::wstring StoredUserAgent(const wchar_t* subKey); // raw, as another program sees it
    static bool HasUserAgent(const wchar_t* subKey);

    Platform RecordingPlatform();
    std::vector<Box> Boxes() const; // the messages, as boxes
    std::vector<ShownMessage> messages;
    int answer = IDNO; // to a box with more than one button; IDOK to the others
    int lastWindowClosedCalls = 0;
};

HWND Control(HWND window, int id);
std::vector<std::wstring> ComboList(HWND combo);
void Click(HWND window, int id);
void TypeText(HWND target, const std::wstring& text); // as keyboard characters
void PressKey(HWND target, WPARAM key);              // through the dialog key handling
void PumpMessages();
// Under Wine an X window manager maximises and restores a window when it gets to it: pumps
// until the window's place and state have held for a moment (two seconds at most).
void PumpUntilSettled(HWND window);

// The controls stand where their twips put them at dpi (within one pixel), and every
// control uses a live font of the message font's height at dpi.
void ExpectControls(HWND window, std::initializer_list<ChildLayout> controls, UINT dpi);
// The client area has its size in twips at the window's own DPI, and the size the window
// asks for at that DPI is the size it has.
void ExpectClientArea(HWND window, int width, int height);
// Sends the window what Windows sends when it moves to a monitor of another DPI, with a
// suggestion scaled from the old size as Windows makes it; the window must size itself.
void ChangeDpi(HWND window, UINT dpi);

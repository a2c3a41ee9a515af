#pragma once
// The main window: finds where the browser keeps its User Agent text, offers the
// current text and the candidates, and registers the chosen one.
#include "listfile/ListFile.h"
#include "registry/VoAPI.h"
#include "shell/WindowSupport.h"

#include <memory>
#include <string>

class UAEditForm;

enum class SystemKind : int { Unknown = 0, Windows = 1, WindowsNT = 2 };

inline constexpr wchar_t kWindowsSubKey[] = L".Default\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
inline constexpr wchar_t kWindowsNTSubKey[] = L".Default\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Internet Settings";
inline constexpr wchar_t kUserAgentValue[] = L"User Agent";

// Whether this process runs with an administrator's full rights (elevated).
bool RunsElevated();

// The outside world as the windows see it; tests replace parts of it.
struct Platform {
    MessageBoxFn showMessage = ShowMessageBox;
    RegistryApi registry;
    std::function<bool()> elevated = RunsElevated;
    FileApi files;
    std::function<void()> lastWindowClosed = [] { PostQuitMessage(0); };
};

class PikeMain : public BaseWindow<PikeMain> {
public:
    // The names the program has always used: UAName is the combo box of texts, Frame1 the group
    // box around it, Command1 the register button, Command2 the one that opens the list editor.
    enum ControlId { UAName = 101, Frame1, Command1, Command2, UANameLabel };
    // The client area stands at this stored place on the screen (twips).
    static constexpr ChildLayout kClientArea{0, 3036, 2520, 6288, 1920};

    explicit PikeMain(Platform platform = {});
    ~PikeMain();

    // Creates the window, runs Form_Load while it is still hidden, then shows it.
    bool Open(int showCommand);

    SystemKind Kind() const { return systemKind_; }
    UAEditForm* Editor() const { return editor_.get(); }

private:
    friend class BaseWindow<PikeMain>;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(HWND hwnd, int id, HWND control, UINT code);
    void Layout(UINT dpi);
    void Closed();

    void SetFrameCaption(const wchar_t* caption);
    void Form_Load(); // the start-up: finds the text and fills the list (its old name)
    void Command1_Click();
    void Command2_Click();
    void UAName_DropDown();
    void LoadCandidates(HWND combo); // appends the list file's candidates
    void RefreshCandidates();
    void Message(HWND owner, const std::wstring& text, const wchar_t* title, UINT icon) const;

    Platform platform_;
    SystemKind systemKind_ = SystemKind::Unknown;
    bool dropWidthStale_ = true;
    FontHandle font_;
    std::unique_ptr<UAEditForm> editor_;
};

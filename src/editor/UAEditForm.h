#pragma once
// The list editor: the whole list file as one block of text, saved on OK.
#include "listfile/ListFile.h"
#include "shell/WindowSupport.h"

#include <functional>
#include <memory>

// What the user is told of a save that was cut off and put right (CutOffSave::Outcome::None: nothing
// to tell), and the box's icon.
std::pair<std::wstring, UINT> CutOffSaveMessage(const CutOffSave& cutOff);

class UAEditForm : public BaseWindow<UAEditForm> {
public:
    enum ControlId { UANameTextBox = 201, cmdCancel, cmdOK, UANameTextBoxLabel };
    static constexpr ChildLayout kClientArea{0, 0, 0, 6408, 3816}; // placed where the system chooses

    // refreshMain runs after a successful save; closed runs whenever the window has gone.
    UAEditForm(MessageBoxFn showMessage, FileApi files, std::function<void()> refreshMain,
               std::function<void()> closed);
    ~UAEditForm();

    // Opens the editor with the file's current content, or brings an open one to the front.
    // A list file that cannot be read is reported in a box owned by requester instead.
    void Show(HWND requester);
    // The main window has gone: the editor gets a task-bar button and a place in Alt+Tab, so
    // that a user can still get back to it.
    void StandAlone();

private:
    friend class BaseWindow<UAEditForm>;
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(HWND hwnd, int id, HWND control, UINT code);
    void Layout(UINT dpi);
    void Closed();

    bool Form_Load(HWND requester); // reads the list into the text box (its old name)
    void cmdOK_Click();
    void SelectCharacter(std::wstring_view text, size_t at);
    TellCutOff Teller(HWND owner) const; // boxes telling of a cut-off save, owned by owner
    void cmdCancel_Click();

    struct WindowDestroyer {
        void operator()(HWND window) const { DestroyWindow(window); }
    };

    MessageBoxFn showMessage_;
    FileApi files_;
    std::function<void()> refreshMain_;
    std::function<void()> closed_;
    FontHandle font_;
    ListDocument loaded_; // what the text box was filled from
    // A hidden owner keeps the editor off the task bar without tying it to the main window.
    std::unique_ptr<HWND__, WindowDestroyer> taskbarAnchor_;
};

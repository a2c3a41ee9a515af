#include "shell/Program.h"

#include "mainwindow/PikeMain.h"
#include "shell/WindowSupport.h"

#include <commctrl.h>

int RunProgram(int showCommand)
{
    // Before anything loads a DLL that is not one of Windows' own KnownDLLs: comctl32 is loaded
    // at its first use, below, and uxtheme and the rest by it.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // A system DLL's own delay-load may look beside the program all the same (Wine's comctl32
    // does, for msimg32): loaded from System32 first, that copy is the one it finds. It stays
    // loaded for the life of the process.
    LoadLibraryExW(L"msimg32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    PikeMain main;
    if (!main.Open(showCommand))
        return 1;

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (HandleDialogKeys(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

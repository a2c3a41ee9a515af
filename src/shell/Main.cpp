#include "mainwindow/PikeMain.h"

#include <commctrl.h>

#include <cstdlib>

#ifdef __GLIBCXX__
// A window program has nowhere to print why it terminates, and the default handler
// brings the C++ name demangler into the program with it.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
} // namespace __gnu_cxx

// Nothing here catches the library's exceptions, so they would end the program all the same;
// ending it at once keeps GCC's exception classes, and the strings they carry, out of it.
namespace std {
void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_bad_function_call() { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
} // namespace std
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand)
{
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

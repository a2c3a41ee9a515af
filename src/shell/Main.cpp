#include "shell/Program.h"

#include <windows.h>

#include <cstdlib>
#include <exception> // declares the handler defined below

#ifdef __GLIBCXX__
// A window program has nowhere to print why it terminates, and the default handler
// brings the C++ name demangler into the program with it.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
} // namespace __gnu_cxx

#endif

// The program runs elevated, often from a folder others may write to: the DLLs it needs load
// from System32 only, its own imports too where the linker fills this in (lld does; Windows 10
// 1607 and later honour it). Visual C++'s runtime has its own, filled by /DEPENDENTLOADFLAG.
#ifdef __MINGW32__
static constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 SearchSystem32Only()
{
    IMAGE_LOAD_CONFIG_DIRECTORY64 config{};
    config.Size = sizeof config;
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32; // DependentLoadFlags
    return config;
}
// The name is the one the linker looks for, as Visual C++'s runtime defines it.
extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = // NOLINT(clang-diagnostic-reserved-identifier)
    SearchSystem32Only();
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand)
{
    return RunProgram(showCommand);
}

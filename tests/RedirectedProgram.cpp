// The program with HKEY_USERS redirected into the key of HKEY_CURRENT_USER that its command
// line names, so that a test can use it from outside on any Windows without writing the
// machine's own registry. Built for the tests only; never shipped.
#include "shell/Program.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int showCommand)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, commandLine, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return 2;
    const LSTATUS redirected = RegOverridePredefKey(HKEY_USERS, key);
    RegCloseKey(key);
    return redirected == ERROR_SUCCESS ? RunProgram(showCommand) : 2;
}

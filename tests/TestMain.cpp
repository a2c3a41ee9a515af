#include "TestSupport.h"
#include "shell/AppGlobals.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// "--write-app-path FILE": run InitAppPath in this process and store AppPath (UTF-16) in
// FILE, so a test can start a copy of this program from another folder.
// "--save-list-in-a-loop FOLDER", "--save-list-in-turns FOLDER NAME COUNT", "--read-list-in-a-loop
// FOLDER": see SaveListInALoop, SaveListInTurns, ReadListInALoop.
// "--cut JOB AT HOW FOLDER": see cutChild.
// "--hold-desktop FILE": keeps Wine's desktop process alive until it is killed; FILE (ASCII) is
// made once the desktop is there.
int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--cut") == 0 && cutChild)
        return cutChild(argv[2], std::atoi(argv[3]), argv[4], argv[5]);
    if (argc == 3 && std::strcmp(argv[1], "--write-app-path") == 0) {
        InitAppPath();
        HANDLE h = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(h, AppPath.data(), static_cast<DWORD>(AppPath.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(h);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--hold-desktop") == 0) {
        // Under Wine the desktop process ends a second after its last window, and the next test
        // waits for it; a hidden window of a process that lives for the whole run keeps it.
        CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        WriteBytes(std::wstring(argv[2], argv[2] + std::strlen(argv[2])), ""); // the desktop is there
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--save-list-in-a-loop") == 0)
        return SaveListInALoop(argv[2]);
    if (argc == 5 && std::strcmp(argv[1], "--save-list-in-turns") == 0)
        return SaveListInTurns(argv[2], argv[3], std::atoi(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "--read-list-in-a-loop") == 0)
        return ReadListInALoop(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    // The code page and the TEMP folder a run asks for (PIKE_EXPECT_ACP, PIKE_EXPECT_TEMP): a run
    // that did not get them would pass without testing what it says.
    if (const char* acp = std::getenv("PIKE_EXPECT_ACP"); acp && GetACP() != std::strtoul(acp, nullptr, 10)) {
        std::fprintf(stderr, "The system code page is %u, not %s: the locale did not take.\n", GetACP(), acp);
        return 1;
    }
    if (const wchar_t* temp = _wgetenv(L"PIKE_EXPECT_TEMP")) {
        std::wstring got(GetTempPathW(0, nullptr), L'\0');
        got.resize(GetTempPathW(static_cast<DWORD>(got.size()), got.data()));
        if (got != std::wstring(temp) + L"\\") {
            std::fprintf(stderr, "TEMP is %ls, not %ls.\n", got.c_str(), temp);
            return 1;
        }
    }
#ifndef PIKE_USES_MACHINE_REGISTRY
    testing::AddGlobalTestEnvironment(new RegistrySandbox); // gtest owns it
#endif
    return RUN_ALL_TESTS();
}

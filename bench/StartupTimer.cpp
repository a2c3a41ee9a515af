// Starts a program several times and prints the median time from process start until
// its window with the given title is visible, in milliseconds.
// Usage: StartupTimer RUNS PROGRAM TITLE
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

static HWND VisibleWindowOf(DWORD processId, const wchar_t* title)
{
    for (HWND w = FindWindowW(nullptr, title); w; w = FindWindowExW(nullptr, w, nullptr, title)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == processId && IsWindowVisible(w))
            return w;
    }
    return nullptr;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 2;
    const int runs = _wtoi(argv[1]);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        std::wstring command = std::wstring(L"\"") + argv[2] + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        LARGE_INTEGER start, now;
        QueryPerformanceCounter(&start);
        if (!CreateProcessW(argv[2], command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return 1;
        HWND window = nullptr;
        while (!(window = VisibleWindowOf(pi.dwProcessId, argv[3])))
            Sleep(1);
        QueryPerformanceCounter(&now);
        times.push_back(1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.1f\n", times[times.size() / 2]);
    return 0;
}

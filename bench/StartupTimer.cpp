// Starts a program several times and prints the median time from process start until
// its window with the given title is visible, in milliseconds. With "dropdown", also the
// median time of its combo box's first drop-down, until the open list has painted.
// Usage: StartupTimer RUNS PROGRAM TITLE [dropdown]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

static double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

static double Median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

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
    if (argc != 4 && !(argc == 5 && std::wstring(argv[4]) == L"dropdown"))
        return 2;
    const bool dropdown = argc == 5;
    const int runs = _wtoi(argv[1]);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times, drops;
    for (int i = -1; i < runs; ++i) { // the first start warms the file cache and is not counted
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
        if (i >= 0)
            times.push_back(Milliseconds(start, now, frequency));
        if (HWND combo = FindWindowExW(window, nullptr, L"ComboBox", nullptr); dropdown && combo) {
            QueryPerformanceCounter(&start);
            SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
            COMBOBOXINFO parts{};
            parts.cbSize = sizeof parts;
            if (GetComboBoxInfo(combo, &parts) && parts.hwndList)
                RedrawWindow(parts.hwndList, nullptr, nullptr, RDW_UPDATENOW);
            SendMessageW(combo, WM_NULL, 0, 0);
            QueryPerformanceCounter(&now);
            if (i >= 0)
                drops.push_back(Milliseconds(start, now, frequency));
            SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
        }
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (dropdown && drops.size() != times.size())
        return 3;
    if (dropdown)
        std::printf("%.1f %.1f\n", Median(times), Median(drops));
    else
        std::printf("%.1f\n", Median(times));
    return 0;
}

#include "shell/AppGlobals.h"

#include "TestSupport.h"
#include "listfile/ListFile.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(AppPath, DirectoryKeepsExactlyOneSeparator)
{
    EXPECT_EQ(DirectoryOfModule(L"C:\\Program Files\\Pike\\pikerosu.exe"), L"C:\\Program Files\\Pike\\");
    EXPECT_EQ(DirectoryOfModule(L"C:\\pikerosu.exe"), L"C:\\");
    EXPECT_EQ(DirectoryOfModule(L"\\\\server\\share\\pikerosu.exe"), L"\\\\server\\share\\");
    EXPECT_EQ(DirectoryOfModule(L"D:\\ツール\\表示\\pikerosu.exe"), L"D:\\ツール\\表示\\");
}

TEST(AppPath, InitAppPathNamesThisProgramsFolderEveryTime)
{
    const std::wstring saved = AppPath;
    InitAppPath();
    const std::wstring first = AppPath;
    InitAppPath();
    EXPECT_EQ(AppPath, first);
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first.back(), L'\\');
    EXPECT_NE(first[first.size() - 2], L'\\');
    EXPECT_TRUE(FileExists(first + L"pike_tests.exe"));
    EXPECT_EQ(ListFilePath(), first + L"PIKEROSU.DAT");
    AppPath = saved;
}

TEST(AppPath, FoundFromAJapaneseFolder)
{
    TempAppFolder folder(L"ピケロス 表ソ");
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::wstring copy = folder.path() + L"probe.exe";
    ASSERT_TRUE(CopyFileW(self.c_str(), copy.c_str(), FALSE));

    // The probe writes its AppPath to a file whose name is plain ASCII.
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring out = std::wstring(temp) + L"pike-apppath-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    std::wstring command = L"\"" + copy + L"\" --write-app-path \"" + out + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(copy.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    const std::string bytes = ReadBytes(out);
    DeleteFileW(out.c_str());
    const std::wstring reported(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    // The same folder, however TEMP spells it (a short 8.3 name on a forge's runner).
    EXPECT_TRUE(reported.ends_with(L'\\')) << testing::PrintToString(reported);
    EXPECT_EQ(FinalPath(reported), FinalPath(folder.path()));
}

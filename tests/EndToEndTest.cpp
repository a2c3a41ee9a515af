// Starts the built program and uses it from outside, as a person would: through its
// windows, their controls, and keyboard and mouse messages.
#include "TestSupport.h"

#include <windows.h>

#include <commctrl.h>
#include <windowsx.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace {

const wchar_t kSubKey[] = L".Default\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::wstring BuiltProgram()
{
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    self.resize(self.rfind(L'\\')); // tests folder
    self.resize(self.rfind(L'\\') + 1);
    return self + L"Pikerosu.exe";
}

std::wstring TestsFolder()
{
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return self.substr(0, self.rfind(L'\\') + 1);
}

// Copies of the DLLs a program loads that are not Windows' KnownDLLs, each leaving a marker
// when loaded, go beside it, and Wine is told to prefer them for that program (its per-program
// DllOverrides), as Windows does for such DLLs. Wine's own libraries load version.dll and
// imm32.dll before any of the program's code runs, so those two are not planted: that is Wine's
// matter (on Windows, imm32 is a KnownDLL). comctl32 is not planted either: the program's
// manifest takes version 6 from the side-by-side store.
class PlantedDlls {
public:
    PlantedDlls(const std::wstring& folder, const std::wstring& program)
        : folder_(folder), key_(L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides")
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), 0);
        for (const wchar_t* dll : kNames) {
            EXPECT_TRUE(CopyFileW((TestsFolder() + L"planted\\" + dll + L".dll").c_str(), (folder + dll + L".dll").c_str(), FALSE));
            RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native,builtin"), sizeof L"native,builtin");
        }
        RegCloseKey(key);
    }
    ~PlantedDlls() { DeleteKeyTree(HKEY_CURRENT_USER, key_.substr(0, key_.rfind(L'\\'))); }
    std::vector<std::wstring> Loaded() const
    {
        std::vector<std::wstring> loaded;
        for (const std::wstring& name : FileNames(folder_))
            if (name.ends_with(L".loaded"))
                loaded.push_back(name);
        return loaded;
    }

private:
    static constexpr const wchar_t* kNames[] = {L"uxtheme", L"dwmapi", L"msimg32"};
    std::wstring folder_, key_;
};

HWND WaitForWindow(const wchar_t* className, const wchar_t* title, DWORD processId)
{
    for (int i = 0; i < 300; ++i) {
        for (HWND w = FindWindowW(className, title); w; w = FindWindowExW(nullptr, w, className, title)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == processId && IsWindowVisible(w))
                return w;
        }
        Sleep(50);
    }
    return nullptr;
}

// GetWindowText does not ask a control of another process for its text; WM_GETTEXT does.
size_t TextLength(HWND window)
{
    return static_cast<size_t>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
}

std::wstring TextOf(HWND window)
{
    std::wstring text(TextLength(window) + 1, L'\0');
    text.resize(static_cast<size_t>(SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
}

std::vector<std::wstring> ListOf(HWND combo)
{
    std::vector<std::wstring> items;
    for (int i = 0, n = ComboBox_GetCount(combo); i < n; ++i) {
        std::wstring item(static_cast<size_t>(ComboBox_GetLBTextLen(combo, i)) + 1, L'\0');
        item.resize(static_cast<size_t>(ComboBox_GetLBText(combo, i, item.data())));
        items.push_back(item);
    }
    return items;
}

// What `reg query` prints for the value, as a user would check it.
std::string RegQuery()
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &inherit, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = write;
    PROCESS_INFORMATION pi{};
    std::wstring command = std::wstring(L"reg.exe query \"HKEY_USERS\\") + kSubKey + L"\" /v \"User Agent\"";
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return "reg.exe did not start";
    CloseHandle(write);
    std::string output;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read, chunk, sizeof chunk, &got, nullptr) && got)
        output.append(chunk, got);
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(read);
    return output;
}

// The value as the program reads it back, through the ANSI code page.
std::wstring StoredText(const ScratchKey& key)
{
    DWORD size = 0;
    if (RegGetValueW(key.root(), key.subKey().c_str(), L"User Agent", RRF_RT_REG_SZ, nullptr, nullptr, &size))
        return L"(no value)";
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(key.root(), key.subKey().c_str(), L"User Agent", RRF_RT_REG_SZ, nullptr, text.data(), &size))
        return L"(no value)";
    text.resize(text.find(L'\0'));
    return text;
}

void ConfirmBox(const wchar_t* title, const wchar_t* text, DWORD processId)
{
    HWND box = WaitForWindow(L"#32770", title, processId);
    ASSERT_TRUE(box) << "no message box";
    HWND label = GetDlgItem(box, 0xFFFF);
    EXPECT_EQ(TextOf(label), text);
    SendMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
}

// Where the program under test finds HKEY_USERS: the machine's own (the real program, in Wine's
// throwaway prefix), or a scratch key of HKEY_CURRENT_USER, which the test build of the program
// takes from its command line.
struct ProgramUnderTest {
    std::wstring built;
    std::wstring redirectTo; // empty: the machine's HKEY_USERS
};

// Its window station has no visible desktop where the tests run as a service.
bool HasVisibleDesktop()
{
    USEROBJECTFLAGS flags{};
    return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE);
}

void PickRegisterEditAndQuit(const ProgramUnderTest& under)
{
    const bool machine = under.redirectTo.empty();
    // The program in a folder of its own, with its own list.
    TempAppFolder folder(L"ピケロス");
    const std::wstring program = folder.path() + L"Pikerosu.exe";
    ASSERT_TRUE(CopyFileW(under.built.c_str(), program.c_str(), FALSE));
    // The registered text goes through the ANSI code page, so where that is not Japanese the
    // candidate is one every code page holds.
    const std::wstring picked = GetACP() == 932 ? L"Mozilla/5.0 (表示テスト)" : L"Mozilla/5.0 (test)";
    const std::wstring list = L"# 候補\r\n" + picked + L"\r\nOpera/9.80\r\n";
    WriteBytes(folder.path() + L"PIKEROSU.DAT", Sjis(list.c_str()));
    // It runs elevated: none of them may load.
    std::optional<PlantedDlls> planted;
    if (machine)
        planted.emplace(folder.path(), L"Pikerosu.exe");
    const HKEY root = machine ? HKEY_USERS : HKEY_CURRENT_USER;
    const std::wstring subKey = machine ? std::wstring(kSubKey) : under.redirectTo + L"\\" + kSubKey;
    DeleteKeyTree(root, subKey);
    ScratchKey key(root, subKey);
    const std::wstring old = L"Mozilla/4.0 (compatible; MSIE 6.0)";
    key.SetRaw(L"User Agent", REG_SZ, old.c_str(), static_cast<DWORD>((old.size() + 1) * sizeof(wchar_t)));

    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring command = L"\"" + program + L"\" " + under.redirectTo;
    ASSERT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);

    HWND main = WaitForWindow(nullptr, L"ピケロスブラウザ", pi.dwProcessId);
    ASSERT_TRUE(main);
    HWND combo = FindWindowExW(main, nullptr, WC_COMBOBOXW, nullptr);
    HWND registerButton = FindWindowExW(main, nullptr, WC_BUTTONW, L"この内容で登録");
    HWND editButton = FindWindowExW(main, nullptr, WC_BUTTONW, L"ブラウザリスト編集");
    ASSERT_TRUE(combo && registerButton && editButton);
    EXPECT_TRUE(FindWindowExW(main, nullptr, WC_BUTTONW, L"User Agent (Windows)"));
    EXPECT_EQ(ListOf(combo), (std::vector<std::wstring>{old, picked, L"Opera/9.80"}));

    // Pick the first candidate with the keyboard, then press the register button.
    SetForegroundWindow(main);
    HWND comboEdit = FindWindowExW(combo, nullptr, WC_EDITW, nullptr);
    PostMessageW(comboEdit, WM_KEYDOWN, VK_DOWN, 1);
    for (int i = 0; i < 100 && TextOf(combo) == old; ++i)
        Sleep(20);
    EXPECT_EQ(TextOf(combo), picked);
    // Tab to the register button and press Enter: the keys go through the program's own loop.
    const auto focus = [&] {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        return GetGUIThreadInfo(pi.dwThreadId, &info) ? info.hwndFocus : nullptr;
    };
    PostMessageW(comboEdit, WM_KEYDOWN, VK_TAB, 1);
    for (int i = 0; i < 100 && focus() != registerButton; ++i)
        Sleep(20);
    ASSERT_EQ(focus(), registerButton) << "Tab moves on to the next control";
    PostMessageW(registerButton, WM_KEYDOWN, VK_RETURN, 1);
    ConfirmBox(L"ピケロスブラウザ \uFF0D 登録の成立",
               L"システムに登録しました。登録内容は次回ブラウザを起動した時から有効となります。", pi.dwProcessId);
    if (machine) {
        const std::string query = RegQuery();
        EXPECT_NE(query.find(Sjis(picked.c_str())), std::string::npos) << query;
    } else {
        EXPECT_EQ(StoredText(key), picked);
    }

    // Add a line in the list editor and save it.
    PostMessageW(editButton, BM_CLICK, 0, 0);
    HWND editor = WaitForWindow(nullptr, L"ブラウザリスト編集", pi.dwProcessId);
    ASSERT_TRUE(editor);
    HWND textBox = FindWindowExW(editor, nullptr, WC_EDITW, nullptr);
    const size_t end = TextLength(textBox);
    SendMessageW(textBox, EM_SETSEL, end, static_cast<LPARAM>(end));
    for (wchar_t c : std::wstring(L"NewBrowser/1.0 (新規)"))
        SendMessageW(textBox, WM_CHAR, c, 1);
    SendMessageW(FindWindowExW(editor, nullptr, WC_BUTTONW, L"OK"), BM_CLICK, 0, 0);
    for (int i = 0; i < 100 && IsWindow(editor); ++i)
        Sleep(20);
    EXPECT_FALSE(IsWindow(editor));
    EXPECT_EQ(ListOf(combo), (std::vector<std::wstring>{picked, L"Opera/9.80", L"NewBrowser/1.0 (新規)"}));
    EXPECT_EQ(ReadBytes(folder.path() + L"PIKEROSU.DAT"),
              Sjis((list + L"NewBrowser/1.0 (新規)\r\n").c_str()));

    // Open the editor again and close both windows; the program ends cleanly.
    PostMessageW(editButton, BM_CLICK, 0, 0);
    editor = WaitForWindow(nullptr, L"ブラウザリスト編集", pi.dwProcessId);
    ASSERT_TRUE(editor);
    PostMessageW(main, WM_CLOSE, 0, 0);
    Sleep(200);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the editor keeps it running";
    PostMessageW(editor, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(exitCode, 0u);
    if (planted) {
        EXPECT_EQ(planted->Loaded(), std::vector<std::wstring>{});
    }
}

} // namespace

TEST(EndToEnd, PickRegisterEditAndQuit)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "starts the real program, which writes HKEY_USERS: runs only in Wine's throwaway prefix";
    PickRegisterEditAndQuit({BuiltProgram(), L""});
}

// The same, with the program that takes HKEY_USERS from a scratch key: on a real Windows too.
TEST(EndToEnd, PickRegisterEditAndQuitWithTheRegistryRedirected)
{
    if (!HasVisibleDesktop())
        GTEST_SKIP() << "these tests run without a visible desktop (as a service), where no window can be used";
    const ScratchKey scratch(HKEY_CURRENT_USER, TestRegistryRoot());
    PickRegisterEditAndQuit({TestsFolder() + L"redirected_pikerosu.exe", scratch.subKey()});
}


TEST(EndToEnd, PlantedDllsLoadIntoAProgramThatDoesNotStopThem)
{
    // The planted DLLs above would load: the other test program takes comctl32 the usual way.
    if (!RunningUnderWine())
        GTEST_SKIP() << "tells Wine to prefer DLLs beside a program";
    TempAppFolder folder;
    const std::wstring probe = folder.path() + L"probe.exe";
    ASSERT_TRUE(CopyFileW((TestsFolder() + L"pike_tests.exe").c_str(), probe.c_str(), FALSE));
    const PlantedDlls planted(folder.path(), L"probe.exe");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring command = L"\"" + probe + L"\" --gtest_filter=PikeMainTest.MissingListFileStillOpens";
    ASSERT_TRUE(CreateProcessW(probe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &si, &pi));
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    const auto loaded = planted.Loaded();
    EXPECT_NE(std::find(loaded.begin(), loaded.end(), L"uxtheme.dll.loaded"), loaded.end())
        << testing::PrintToString(loaded);
}

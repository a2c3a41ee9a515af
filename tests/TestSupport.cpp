#include "TestSupport.h"

#include "shell/TextEncoding.h"
#include "shell/AppGlobals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace {

std::wstring TempRoot()
{
    const DWORD size = GetTempPathW(0, nullptr);
    std::wstring path(size, L'\0');
    path.resize(GetTempPathW(size, path.data()));
    return path;
}

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = dir + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(full + L"\\");
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

} // namespace

TempAppFolder::TempAppFolder(const std::wstring& leaf) : savedAppPath_(AppPath)
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::wstring unique = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    if (info)
        for (const char* c = info->name(); *c; ++c)
            if (isalnum(static_cast<unsigned char>(*c)))
                unique.insert(unique.begin(), static_cast<wchar_t>(*c));
    path_ = TempRoot() + unique + L"\\";
    CreateDirectoryW(path_.c_str(), nullptr);
    path_ += leaf + L"\\";
    if (!CreateDirectoryW(path_.c_str(), nullptr))
        throw std::runtime_error("cannot create a test folder");
    AppPath = path_;
}

TempAppFolder::~TempAppFolder()
{
    AppPath = savedAppPath_;
    RemoveTree(path_.substr(0, path_.rfind(L'\\', path_.size() - 2) + 1));
}

std::string ReadBytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open a test file");
    std::string bytes(GetFileSize(h, nullptr), '\0');
    DWORD got = 0;
    ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(h);
    bytes.resize(got);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create a test file");
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

using UnixName = char*(CDECL*)(const wchar_t*);

UnixName WineUnixName()
{
    return reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

// Starts a Unix program on files, under Wine; it does not wait for it.
bool RunUnix(const wchar_t* program, const std::wstring& options, std::initializer_list<std::wstring> paths)
{
    std::wstring command = std::wstring(program) + L" " + options;
    for (const std::wstring& path : paths) {
        char* name = WineUnixName()(path.c_str()); // UTF-8
        command += L" \"" + TextEncoding::Decode(name, TextEncoding::Encoding::Utf8) + L"\"";
        HeapFree(GetProcessHeap(), 0, name);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW((L"Z:" + std::wstring(program)).c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

} // namespace

bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target)
{
    if (!WineUnixName())
        return CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
               FileExists(link);
    if (!RunUnix(L"/bin/ln", L"-s", {target, link}))
        return false;
    for (int i = 0; i < 500 && !FileExists(link); ++i)
        Sleep(10); // Wine does not wait for the Unix process it started
    return FileExists(link);
}

bool LinkTheListInto(const std::wstring& folder, const std::string& bytes)
{
    EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteBytes(folder + L"list.dat", bytes);
    return MakeSymbolicLink(ListFilePath(), folder + L"list.dat");
}

void RemoveSymbolicLink(const std::wstring& link)
{
    // Wine's DeleteFile removes the file a link points to, not the link.
    if (!WineUnixName() || !RunUnix(L"/bin/rm", L"-f", {link})) {
        DeleteFileW(link.c_str());
        return;
    }
    for (int i = 0; i < 500 && FileExists(link); ++i)
        Sleep(10);
}

namespace {

bool TakesFiles(const std::wstring& folder)
{
    const std::wstring probe = folder + L"probe";
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

// Waits for a Unix program started on the folder to make it take files, or not.
bool AwaitTakesFiles(const std::wstring& folder, bool takes)
{
    for (int i = 0; i < 500; ++i) {
        if (TakesFiles(folder) == takes)
            return true;
        Sleep(10);
    }
    return false;
}

} // namespace

UnwritableFolder::UnwritableFolder(std::wstring folder) : folder_(std::move(folder))
{
    made_ = WineUnixName() && RunUnix(L"/usr/bin/chattr", L"+i", {folder_}) && AwaitTakesFiles(folder_, false);
}

UnwritableFolder::~UnwritableFolder()
{
    if (WineUnixName() && RunUnix(L"/usr/bin/chattr", L"-i", {folder_}))
        AwaitTakesFiles(folder_, true);
    DeleteFileW((folder_ + L"probe").c_str()); // one the folder froze with
}

std::vector<std::wstring> FileNames(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (std::wstring name = found.cFileName; name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void ExpectTheCodePageAsked()
{
    if (const char* expected = std::getenv("PIKE_EXPECT_ACP")) {
        ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected))) << "the locale did not take";
    }
}

std::string FileIdentity(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool got = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!got)
        return "missing";
    return std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow) + " written " +
           std::to_string(info.ftLastWriteTime.dwHighDateTime) + ":" + std::to_string(info.ftLastWriteTime.dwLowDateTime);
}

namespace {

std::wstring Leaf(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

std::wstring LeafOf(HANDLE file)
{
    std::wstring name(32768, L'\0');
    name.resize(GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), 0));
    return Leaf(name);
}

void Record(std::wstring event)
{
    faults.events.push_back(std::move(event));
}

BOOL WINAPI FaultyWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    const std::wstring leaf = LeafOf(file);
    Record(L"write " + leaf);
    if (faults.listWritesFailing > 0 && leaf.find(L'-') == std::wstring::npos) { // not a file of the save's own
        --faults.listWritesFailing;
        WriteFile(file, data, size / 2, written, overlapped);
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI RecordedFlush(HANDLE file)
{
    Record(L"flush " + LeafOf(file));
    if (!faults.appearsOnFlush.empty())
        WriteBytes(std::exchange(faults.appearsOnFlush, {}), "");
    return FlushFileBuffers(file);
}

bool Fail(DWORD error)
{
    SetLastError(error);
    return false;
}

// A rename fails before it happens, or, as Windows allows where its write-through does not
// finish, after it; it may also be busy for a moment, or cut off on a FAT disk.
BOOL Rename(const std::wstring& from, const std::wstring& to, bool replace, const wchar_t* how,
            const std::function<BOOL()>& rename)
{
    Record(L"move " + Leaf(from) + L" " + Leaf(to) + how);
    if (faults.slowMoves)
        Sleep(faults.slowMoves);
    if (faults.onMove)
        std::exchange(faults.onMove, {})();
    if (faults.busyMoves > 0) {
        --faults.busyMoves;
        return Fail(ERROR_SHARING_VIOLATION);
    }
    if (faults.movesFailBefore)
        return Fail(ERROR_IO_DEVICE);
    if (faults.fatCut) {
        // What the FAT driver does: the target's entry goes first; the stick is pulled before the
        // new one is written, and no rename comes through until it is back.
        if (replace)
            DeleteFileW(to.c_str());
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    const BOOL moved = rename();
    if (moved && faults.movesFailAfter)
        return Fail(ERROR_IO_DEVICE);
    return moved;
}

BOOL WINAPI FaultyMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    return Rename(from, to, flags & MOVEFILE_REPLACE_EXISTING, flags & MOVEFILE_WRITE_THROUGH ? L" write-through" : L"",
                  [&] { return MoveFileExW(from, to, flags); });
}

std::wstring PathOf(HANDLE file)
{
    std::wstring name(32768, L'\0');
    name.resize(GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), 0));
    return name;
}

BOOL WINAPI FaultySetInfo(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (kind == FileDispositionInfo) {
        Record(L"remove " + LeafOf(file));
        if (faults.removesFail)
            return Fail(ERROR_ACCESS_DENIED);
        return SetFileInformationByHandle(file, kind, info, size);
    }
    if (kind == FileBasicInfo)
        Record(L"attributes " + LeafOf(file) + L" " + std::to_wstring(static_cast<FILE_BASIC_INFO*>(info)->FileAttributes));
    if (kind != FileRenameInfo && kind != static_cast<FILE_INFO_BY_HANDLE_CLASS>(22)) // FileRenameInfoEx
        return SetFileInformationByHandle(file, kind, info, size);
    auto* rename = static_cast<FILE_RENAME_INFO*>(info);
    DWORD flags = 0;
    std::memcpy(&flags, info, sizeof flags);
    const std::wstring to(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    const bool replace = kind == FileRenameInfo ? flags != 0 : flags & FILE_RENAME_FLAG_REPLACE_IF_EXISTS;
    if (kind != FileRenameInfo && !faults.posixRenames) { // as Wine 8, FAT and Windows before 10 1809 answer
        Record(L"move " + LeafOf(file) + L" " + Leaf(to) + L" posix");
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Windows replaces the target even while it is open, where every handle shares delete: its name
    // goes at once, and the open handles stay valid. Wine renames over no open file, but moves one
    // that shares delete out of the way.
    const bool posix = kind != FileRenameInfo;
    return Rename(PathOf(file), to, replace, posix ? L" posix" : L"", [&] {
        const std::wstring aside = to + L".replaced";
        const bool moved = posix && replace && MoveFileExW(to.c_str(), aside.c_str(), 0);
        if (posix && replace && !moved && GetLastError() != ERROR_FILE_NOT_FOUND)
            return FALSE;
        std::memset(info, 0, sizeof flags);
        rename->ReplaceIfExists = replace;
        const BOOL renamed = SetFileInformationByHandle(file, FileRenameInfo, info, size);
        if (moved)
            DeleteFileW(aside.c_str()); // gone once the last handle is closed
        return renamed;
    });
}

BOOL WINAPI FaultyGetInfo(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    const bool list = LeafOf(file).find(L'-') == std::wstring::npos; // not a file of the save's own
    if (kind == FileStreamInfo && list && faults.listHasStreams) {
        if (size < 2 * sizeof(FILE_STREAM_INFO))
            return Fail(ERROR_MORE_DATA);
        std::memset(info, 0, size);
        auto* stream = static_cast<FILE_STREAM_INFO*>(info);
        stream->NextEntryOffset = sizeof(FILE_STREAM_INFO); // ::$DATA, then :Zone.Identifier:$DATA
        return TRUE;
    }
    const BOOL got = GetFileInformationByHandleEx(file, kind, info, size);
    if (got && kind == FileBasicInfo && list)
        static_cast<FILE_BASIC_INFO*>(info)->FileAttributes |= faults.listAttributes;
    return got;
}

DWORD WINAPI FaultyGetSecurity(HANDLE file, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner, PSID* group,
                               PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    const DWORD got = GetSecurityInfo(file, type, which, owner, group, dacl, sacl, descriptor);
    static SID localSystem{SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}};
    if (got == ERROR_SUCCESS && owner && faults.listHasOtherOwner && LeafOf(file).find(L'-') == std::wstring::npos)
        *owner = &localSystem;
    return got;
}

} // namespace

FileApi FaultyFiles()
{
    faults = {};
    return {FaultyWrite, RecordedFlush, FaultyMove, FaultySetInfo, FaultyGetInfo, FaultyGetSecurity};
}

std::wstring CutOffWriteInPlace(const std::wstring& path, const std::string& old, const std::string& bytes)
{
    WriteBytes(path, old);
    const FileApi api = FaultyFiles();
    faults.listHasStreams = true; // written in place
    faults.listWritesFailing = 2;
    SaveReport report;
    EXPECT_EQ(SaveFile(path, bytes, 1 << 20, [](auto&) { return true; }, api, &report), SaveResult::Stranded);
    EXPECT_TRUE(DeleteFileW(report.keptAt.c_str())) << "what the failed save handed over";
    const size_t cut = std::min(old.size(), bytes.size()) / 2;
    WriteBytes(path, bytes.substr(0, cut) + old.substr(cut));
    EXPECT_TRUE(FileExists(path + L".before-save-0"));
    return path + L".before-save-0";
}

namespace {

std::string ManyLines(const char* browser, int count)
{
    std::string list = "# saved by turns\r\n";
    for (int i = 0; i < count; ++i)
        list += std::string(browser) + "/" + std::to_string(i) + " (Windows NT 10.0; Win64; x64)\r\n";
    return list;
}

} // namespace

const std::string& SavedListA()
{
    static const std::string list = ManyLines("Mozilla", 24000);
    return list;
}

const std::string& SavedListB()
{
    static const std::string list = ManyLines("Opera", 30000);
    return list;
}

namespace {

// A slow disk: 64 KiB a write, a millisecond each, so that a kill often lands inside one.
BOOL WINAPI SlowWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    Sleep(1);
    return WriteFile(file, data, std::min<DWORD>(size, 1 << 16), written, overlapped);
}

void UseFolder(const char* folder)
{
    AppPath = TextEncoding::Decode(folder, TextEncoding::Encoding::Ansi, CP_ACP) + L"\\";
}

} // namespace

FileApi SlowFiles()
{
    FileApi slow;
    slow.write = SlowWrite;
    return slow;
}

int SaveListInALoop(const char* folder)
{
    UseFolder(folder);
    for (bool a = false;; a = !a) {
        const auto loaded = ReadListFile();
        if (!loaded)
            return 2;
        const std::string& next = a ? SavedListA() : SavedListB();
        const std::wstring text = TextEncoding::Decode(next, TextEncoding::Encoding::Ansi, 932);
        const ListWriteResult result = WriteListFile(WithoutFinalLineBreak(text), *loaded, OtherChanges::Keep, SlowFiles());
        if (result != ListWriteResult::Written)
            return 10 + static_cast<int>(result);
    }
}

int SaveListInTurns(const char* folder, const char* name, int count)
{
    UseFolder(folder);
    const FileApi slowRenames = FaultyFiles();
    std::string log;
    for (int i = 0; i < count; ++i) {
        faults.slowMoves = 30; // wide enough for the other copy to slip in, were it not kept out
        const auto loaded = ReadListFile();
        if (!loaded)
            return 2;
        const std::wstring predecessor = loaded->text.substr(0, loaded->text.find(L'\r'));
        const std::wstring mine = TextEncoding::Decode(name, TextEncoding::Encoding::Ansi, CP_ACP) + L"-" +
                                  std::to_wstring(i);
        std::wstring text = mine;
        text.append(L"\r\nafter ").append(predecessor);
        if (WriteListFile(text, *loaded, OtherChanges::Keep, slowRenames) == ListWriteResult::Written) {
            std::wstring line = mine;
            line.append(L" ").append(predecessor).append(L"\n");
            log += TextEncoding::Encode(line, TextEncoding::Encoding::Utf8, CP_UTF8).value();
        }
    }
    WriteBytes(AppPath + TextEncoding::Decode(name, TextEncoding::Encoding::Ansi, CP_ACP) + L".log", log);
    return 0;
}

int PutRightTheList(const char* folder)
{
    UseFolder(folder);
    const CutOffSave cutOff = PutRightCutOffListSave(SlowFiles());
    if (cutOff.outcome != CutOffSave::Outcome::None) {
        const std::wstring told = AppPath + L"told.log";
        WriteBytes(told, (FileExists(told) ? ReadBytes(told) : std::string()) + "told\n");
    }
    ForgetCutOffListSave(cutOff);
    return 0;
}

HANDLE StartThisProgram(const std::wstring& arguments)
{
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    std::wstring command = L"\"" + self + L"\" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &child))
        return nullptr;
    CloseHandle(child.hThread);
    return child.hProcess;
}

ScratchKey::ScratchKey(HKEY root, std::wstring subKey) : root_(root), subKey_(std::move(subKey))
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        throw std::runtime_error("cannot create a test key");
    RegCloseKey(key);
}

ScratchKey::~ScratchKey()
{
    DeleteKeyTree(root_, subKey_);
}

void ScratchKey::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) const
{
    if (RegSetKeyValueW(root_, subKey_.c_str(), name, type, data, size))
        throw std::runtime_error("cannot set a test value");
}

void ScratchKey::SetAnsiBytes(const char* name, DWORD type, const std::string& bytes) const
{
    HKEY key = nullptr;
    RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_SET_VALUE, &key);
    const LONG status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                       static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    if (status)
        throw std::runtime_error("cannot set a test value");
}

bool ScratchKey::GetAnsiBytes(const char* name, DWORD& type, std::string& bytes) const
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_READ, &key))
        return false;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        bytes.assign(size, '\0');
        status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
        bytes.resize(size);
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::wstring& subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &key))
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteKeyTree(HKEY root, const std::wstring& subKey)
{
    RegDeleteTreeW(root, subKey.c_str());
    RegDeleteKeyW(root, subKey.c_str());
}

std::string Sjis(const wchar_t* text)
{
    return *TextEncoding::Encode(text, TextEncoding::Encoding::Ansi, 932);
}

std::string Utf8(const wchar_t* text)
{
    return *TextEncoding::Encode(text, TextEncoding::Encoding::Utf8);
}

std::string Utf16LE(const wchar_t* text)
{
    return "\xFF\xFE" + *TextEncoding::Encode(text, TextEncoding::Encoding::Utf16LE);
}

const std::wstring& TestRegistryRoot()
{
    static const std::wstring root = L"Software\\PikerosuTests-" + std::to_wstring(GetCurrentProcessId());
    return root;
}

void RegistrySandbox::SetUp()
{
    HKEY users = nullptr;
    const std::wstring path = TestRegistryRoot() + L"\\Users";
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &users, nullptr) ||
        RegOverridePredefKey(HKEY_USERS, users)) {
        std::fputs("cannot redirect HKEY_USERS into a scratch key; no test runs\n", stderr);
        std::exit(1); // never run against the machine's own registry
    }
    RegCloseKey(users);
}

void RegistrySandbox::TearDown()
{
    RegOverridePredefKey(HKEY_USERS, nullptr);
    DeleteKeyTree(HKEY_CURRENT_USER, TestRegistryRoot());
}

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::optional<std::string> LongPathsUnavailable(bool underWine, std::optional<DWORD> longPathsEnabled)
{
    if (underWine || longPathsEnabled == 1u)
        return std::nullopt;
    return longPathsEnabled ? "long paths are off on this Windows (LongPathsEnabled is " +
                                  std::to_string(*longPathsEnabled) + ")"
                            : "long paths are off on this Windows (no LongPathsEnabled)";
}

std::optional<DWORD> LongPathsEnabledSetting()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem", L"LongPathsEnabled",
                     RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

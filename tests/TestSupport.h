#pragma once
// Real files and registry keys for tests, each removed again by its owner.
#include "listfile/ListFile.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Keeps every registry change of a test process inside one scratch key under
// HKEY_CURRENT_USER: HKEY_USERS is redirected into it, and it is deleted at the end.
class RegistrySandbox : public testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};
// The scratch key's path under HKEY_CURRENT_USER.
const std::wstring& TestRegistryRoot();

bool RunningUnderWine();

// Why this process cannot use paths longer than MAX_PATH, or nothing where it can: its
// manifest asks for them, and Windows grants them only while LongPathsEnabled is 1; Wine
// always does.
std::optional<std::string> LongPathsUnavailable(bool underWine, std::optional<DWORD> longPathsEnabled);
std::optional<DWORD> LongPathsEnabledSetting(); // HKLM\SYSTEM\CurrentControlSet\Control\FileSystem

// A fresh folder under %TEMP%; AppPath points into it while the object lives.
class TempAppFolder {
public:
    explicit TempAppFolder(const std::wstring& leaf = L"pike");
    ~TempAppFolder();
    TempAppFolder(const TempAppFolder&) = delete;
    TempAppFolder& operator=(const TempAppFolder&) = delete;

    const std::wstring& path() const { return path_; } // ends with "\"

private:
    std::wstring path_;
    std::wstring savedAppPath_;
};

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
// A symbolic link to a file (a Unix one under Wine, whose CreateSymbolicLinkW does nothing);
// false where the system does not let this user make one.
bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target);
void RemoveSymbolicLink(const std::wstring& link); // once its target is reachable
// Makes PIKEROSU.DAT a symbolic link to list.dat, holding bytes, in a new folder; false where
// this user may not create links.
bool LinkTheListInto(const std::wstring& folder, const std::string& bytes);
// A folder in which no file can be created while this lives: under Wine, where root may write
// anywhere, made immutable (chattr +i). made() is false where that cannot be done.
class UnwritableFolder {
public:
    explicit UnwritableFolder(std::wstring folder); // ends with "\\"
    ~UnwritableFolder();
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;
    bool made() const { return made_; }

private:
    std::wstring folder_;
    bool made_ = false;
};
std::vector<std::wstring> FileNames(const std::wstring& folder); // sorted; folder ends with "\"
// Where a file really is, as the system names it (long names, links followed); the path where not.
std::wstring FinalPath(const std::wstring& path);
// The identity and last-write time of a file, as backup and sync tools compare them.
std::string FileIdentity(const std::wstring& path);

// Failures that Wine does not produce on demand, and what Windows does that Wine does not, injected
// into a save or a read through FaultyFiles(); and what the save did, in order ("create NAME", with
// " following links" where a link under the name would be followed, "write NAME", "flush NAME",
// "remove NAME").
struct FileFaults {
    int listWritesFailing = 0;  // this many writes into the list itself fail halfway
    bool removesFail = false;
    bool noFinalPath = false;   // GetFinalPathNameByHandleW fails, as on some RAM disks
    bool mutexDenied = false;   // another copy's turn cannot be joined (another session's, elevated)
    std::function<void()> onWrite; // at each write of the save's: another program's doing
    // Opens asking for any of these rights fail with ERROR_ACCESS_DENIED: a standard user in a folder
    // only administrators may write, a read-only share.
    DWORD deniedAccess = 0;
    int readsLocked = 0;           // this many reads meet a range another program holds locked
    unsigned long long idHigh = 0; // the high half of every 128-bit file ID (ReFS)
    std::map<std::wstring, DWORD> reparseTags; // name -> the reparse tag its file carries
    bool fat = false; // a FAT or exFAT volume, which gives neither tags nor 128-bit IDs
    // Links under these names, which Windows follows on a create without FILE_FLAG_OPEN_REPARSE_POINT
    // (dangling or not) to create their target, and Wine refuses: name -> target.
    std::map<std::wstring, std::wstring> links;
    std::wstring mutexName, mutexSecurity; // of the turn, as created
    std::vector<std::wstring> events;
};
inline FileFaults faults;
FileApi FaultyFiles(); // resets faults; another copy's turn is waited for 300 ms
FileApi SlowFiles();   // a slow disk: 64 KiB a write, a millisecond each

// What a save in place cut off midway leaves: path holds old, cut by bytes, and beside it the
// journal, whose path is returned. (The save writes and puts back halfway, and both fail.)
std::wstring CutOffWriteInPlace(const std::wstring& path, const std::string& old, const std::string& bytes);

// Two lists of about 1 MB each, and a child process that saves them by turns as the
// PIKEROSU.DAT in folder (ANSI, without a final backslash) until it is killed.
const std::string& SavedListA();
const std::string& SavedListB();
int SaveListInALoop(const char* folder);
// A child process that saves the list in folder `count` times, each list naming itself and the
// list it replaced, and writes "NAME PREDECESSOR" for each save that succeeded to folder\name.log.
int SaveListInTurns(const char* folder, const char* name, int count);
// A child process that reads the list in folder in a loop, as another program would, until
// folder\stop appears, and writes "WHOLE HALF REFUSED" (the reads that gave SavedListA() or
// SavedListB(), another text, or an error) to folder\reader.log; folder\reading once it has read.
int ReadListInALoop(const char* folder);
// A child process that saves the list in folder, or puts a cut-off save of it right (job "save" or
// "start"), and is cut off at its step `at` (how: "kill", "half", "power-gone", "power-zeros"); the
// test program that has the tables which cut it sets this.
inline int (*cutChild)(const char* job, int at, const char* how, const char* folder) = nullptr;
// Runs this test program with these arguments; its process, or nothing.
HANDLE StartThisProgram(const std::wstring& arguments);

// A key created for one test and deleted with everything below it afterwards.
class ScratchKey {
public:
    ScratchKey(HKEY root, std::wstring subKey);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY root() const { return root_; }
    const std::wstring& subKey() const { return subKey_; }
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) const;
    void SetAnsiBytes(const char* name, DWORD type, const std::string& bytes) const;
    // Raw bytes and type as the ANSI API reports them; false when the value is missing.
    bool GetAnsiBytes(const char* name, DWORD& type, std::string& bytes) const;

private:
    HKEY root_;
    std::wstring subKey_;
};

bool KeyExists(HKEY root, const std::wstring& subKey);
void DeleteKeyTree(HKEY root, const std::wstring& subKey);

std::string Sjis(const wchar_t* text); // test texts to their code page 932 bytes
std::string Utf8(const wchar_t* text);
std::string Utf16LE(const wchar_t* text); // with its byte-order mark

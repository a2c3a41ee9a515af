#pragma once
// Real files and registry keys for tests, each removed again by its owner.
#include "listfile/ListFile.h"

#include <windows.h>

#include <gtest/gtest.h>

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
// The system code page is the one PIKE_EXPECT_ACP names, where a run sets it.
void ExpectTheCodePageAsked();

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
std::vector<std::wstring> FileNames(const std::wstring& folder); // sorted; folder ends with "\"
// The identity and last-write time of a file, as backup and sync tools compare them.
std::string FileIdentity(const std::wstring& path);

// Failures that Wine does not produce on demand, injected into a save through FaultyFiles().
struct FileFaults {
    int busyReplaces = 0;      // ReplaceFile first fails this many times with a sharing violation
    bool replaceLosesOld = false;     // then fails after moving the old file to the backup name
    bool replaceDeletesOld = false;   // or after deleting it, as without a backup name
    bool movesFail = false;           // MoveFileEx fails
    int listWritesFailing = 0;        // this many writes into the list itself fail halfway
    std::wstring appearsOnFlush;      // another program creates this (empty) file at the first flush
    int flushes = 0;                  // FlushFileBuffers calls so far
    int flushesBeforeReplace = -1;    // as ReplaceFile was called
};
inline FileFaults faults;
FileApi FaultyFiles(); // resets faults

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

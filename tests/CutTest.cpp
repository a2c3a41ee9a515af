// A save, and a start that puts a cut-off save right, cut off at every step they take, as SQLite tests
// its journal: a child process does the job through a file layer whose Nth step (a create, a write, a
// flush, an end set, a delete marked or undone) ends it at once, as a kill or a crash would, for
// N = 1, 2, ... until the job finishes first. Each write is cut in its middle too, and a power cut,
// at each step and right after the last, loses what each file received since its last flush: gone
// back, or zeros over its range with its length kept. After each cut this process reads the list
// twice, as a copy already running would. No clock decides where a cut lands.
#include "TestSupport.h"
#include "shell/AppGlobals.h"
#include "shell/TextEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class How { Kill, Half, PowerGone, PowerZeros };
constexpr const char* kHow[] = {"kill", "half", "power-gone", "power-zeros"};

// The child's layer. Its steps are counted until the one it is cut at.
struct CutLayer {
    int at = 0, steps = 0;
    How how = How::Kill;
    struct Unflushed {
        std::string atFlush; // the file as its last flush left it
        std::vector<std::pair<LONGLONG, DWORD>> ranges;
    };
    std::map<std::wstring, Unflushed> unflushed; // by the file's path, whichever handle wrote
    std::map<HANDLE, std::wstring> paths;
} cut;

std::string ReadBytesOf(HANDLE file)
{
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN);
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    return bytes;
}

// Through a handle of its own, or else through one of the job's still open that denies writing.
void Lose(const std::wstring& path, const CutLayer::Unflushed& lost)
{
    const FileHandle own = OpenFile({}, path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    for (const auto& [handle, name] : cut.paths) {
        HANDLE file = own ? own.get() : handle;
        if (!own && name != path)
            continue;
        DWORD done = 0;
        if (cut.how == How::PowerGone) {
            SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN);
            WriteFile(file, lost.atFlush.data(), static_cast<DWORD>(lost.atFlush.size()), &done, nullptr);
            SetEndOfFile(file);
        }
        for (const auto& [offset, size] : cut.how == How::PowerZeros ? lost.ranges : decltype(lost.ranges){}) {
            const std::string zeros(size, '\0');
            LARGE_INTEGER at{};
            at.QuadPart = offset;
            SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
            WriteFile(file, zeros.data(), size, &done, nullptr);
        }
        if (own)
            return;
    }
}

void LosePower()
{
    if (cut.how == How::PowerGone || cut.how == How::PowerZeros)
        for (const auto& [path, lost] : cut.unflushed)
            Lose(path, lost);
}

// Before each step: ends the process where it is the one to cut.
void Step(bool isWrite, HANDLE file = nullptr, const void* data = nullptr, DWORD size = 0)
{
    if (cut.how == How::Half && !isWrite)
        return;
    if (++cut.steps < cut.at)
        return;
    DWORD done = 0;
    if (cut.how == How::Half)
        WriteFile(file, data, size / 2, &done, nullptr);
    LosePower();
    TerminateProcess(GetCurrentProcess(), 99); // the system closes the handles, frees locks and mutex
}

// What a file held at its last flush, before it is first changed after it.
void Changing(HANDLE file, DWORD size)
{
    LARGE_INTEGER here{};
    SetFilePointerEx(file, LARGE_INTEGER{}, &here, FILE_CURRENT);
    auto [entry, first] = cut.unflushed.try_emplace(cut.paths[file]);
    if (first) {
        entry->second.atFlush = ReadBytesOf(file);
        SetFilePointerEx(file, here, nullptr, FILE_BEGIN);
    }
    entry->second.ranges.emplace_back(here.QuadPart, size);
}

HANDLE WINAPI CutCreate(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                        DWORD flags, HANDLE templateFile)
{
    if (disposition != OPEN_EXISTING)
        Step(false);
    HANDLE file = CreateFileW(name, access, share, security, disposition, flags, templateFile);
    cut.paths[file] = name; // also where the value was another's, closed since
    return file;
}

BOOL WINAPI CutWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    Step(true, file, data, size);
    Changing(file, size);
    return WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI CutFlush(HANDLE file)
{
    Step(false);
    cut.unflushed.erase(cut.paths[file]);
    return FlushFileBuffers(file);
}

BOOL WINAPI CutSetInfo(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    Step(false);
    if (kind == FileEndOfFileInfo)
        Changing(file, 0);
    return SetFileInformationByHandle(file, kind, info, size);
}

// The lists the tables save and put right: of a size that takes the journal several writes.
struct List {
    const char* what;
    std::string (*bytes)(const wchar_t* text);
    bool hardLinked;
};
const List kLists[] = {
    {"Shift_JIS", Sjis, false},
    {"Shift_JIS, hard-linked", Sjis, true},
    {"UTF-16", Utf16LE, false},
};
constexpr wchar_t kOldText[] = L"# ブラウザ\r\nMozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\nMozilla/5.0 (X11)\r\n";
constexpr wchar_t kNewText[] = L"# 新しいリスト\r\nMozilla/5.0 (Windows NT 10.0; Win64; x64)\r\nOpera/9.80\r\n";
constexpr wchar_t kUsersText[] = L"# the user's own\r\n";

std::wstring Told() { return AppPath + L"..\\told.log"; }



// Saves the new list over the one in folder, or reads it putting a cut-off save right, cut at step
// `at`; tells into told.log in the folder above.
int CutChild(const char* job, int at, const char* how, const char* folder)
{
    cut.at = at;
    cut.how = static_cast<How>(std::find_if(std::begin(kHow), std::end(kHow),
                                            [&](const char* name) { return std::strcmp(name, how) == 0; }) -
                               std::begin(kHow));
    AppPath = TextEncoding::Decode(folder, TextEncoding::Encoding::Ansi, CP_ACP) + L"\\";
    FileApi api;
    api.create = CutCreate;
    api.write = CutWrite;
    api.flush = CutFlush;
    api.setInfo = CutSetInfo;
    api.piece = 64;
    const TellCutOff tell = [&](const CutOffSave& cutOff) {
        const std::wstring log = Told();
        WriteBytes(log, (FileExists(log) ? ReadBytes(log) : std::string()) +
                            Utf8((std::to_wstring(static_cast<int>(cutOff.outcome)) + L" " + cutOff.oldBytesAt + L"\n").c_str()));
    };
    const auto loaded = ReadListFile(nullptr, tell, false, api);
    if (!loaded)
        return 2;
    if (std::strcmp(job, "save") == 0 &&
        WriteListFile(WithoutFinalLineBreak(kNewText), *loaded, OtherChanges::Keep, api, tell) != SaveResult::Saved)
        return 3;
    // Power lost right after the job: its files are closed, and what they did not flush is lost too.
    if ((cut.how == How::PowerGone || cut.how == How::PowerZeros) && cut.steps + 1 == cut.at) {
        LosePower();
        return 99;
    }
    return 0;
}

const bool registered = (cutChild = CutChild, true);



std::string ListId()
{
    const std::string identity = FileIdentity(ListFilePath());
    return identity.substr(0, identity.find(' '));
}

// Does the job in a child cut at step `at`: true where it was cut, false where it finished first.
bool CutAt(const char* job, int at, How how)
{
    const std::wstring folder = AppPath.substr(0, AppPath.size() - 1);
    const std::string args = std::string("--cut ") + job + " " + std::to_string(at) + " " + kHow[static_cast<int>(how)];
    HANDLE child = StartThisProgram(TextEncoding::Decode(args, TextEncoding::Encoding::Ansi, CP_ACP) + L" \"" + folder + L"\"");
    EXPECT_NE(child, nullptr);
    DWORD code = 1;
    if (child) {
        EXPECT_EQ(WaitForSingleObject(child, 60000), WAIT_OBJECT_0);
        GetExitCodeProcess(child, &code);
        CloseHandle(child);
    }
    EXPECT_TRUE(code == 0 || code == 99) << "the job failed by itself: " << code;
    return code == 99;
}

// After any cut, as a copy already running reads it, twice: the list holds one of `whole`, it is the
// same file (and its other name the same bytes), the user is told at most once and never at the next
// read, and nothing lies beside it but files of the old list that a box named.
void ExpectOneWholeList(const std::vector<std::string>& whole, const std::string& old, const std::string& id,
                        const std::wstring& other)
{
    std::vector<std::wstring> named;
    std::istringstream log(FileExists(Told()) ? ReadBytes(Told()) : "");
    for (std::string line; std::getline(log, line);)
        named.push_back(TextEncoding::Decode(line.substr(line.find(' ') + 1), TextEncoding::Encoding::Utf8));
    int tellings = 0;
    const TellCutOff tell = [&](const CutOffSave& cutOff) {
        ++tellings;
        named.push_back(cutOff.oldBytesAt);
    };
    const auto read = ReadListFile(nullptr, tell, false);
    ASSERT_TRUE(read) << "a whole list is read";
    EXPECT_NE(std::ranges::find(whole, read->bytes), whole.end()) << read->bytes;
    EXPECT_LE(tellings, 1);
    const int told = tellings;
    EXPECT_TRUE(ReadListFile(nullptr, tell, false));
    EXPECT_EQ(tellings, told) << "never at the next read";
    EXPECT_EQ(ListId(), id) << "the same file";
    if (!other.empty()) {
        EXPECT_EQ(ReadBytes(other), read->bytes);
    }
    for (const std::wstring& name : FileNames(AppPath)) {
        if (name == L"PIKEROSU.DAT")
            continue;
        EXPECT_NE(std::ranges::find(named, UserPath(AppPath + name)), named.end()) << "named by no box: " << name.c_str();
        EXPECT_EQ(ReadBytes(AppPath + name), old) << name.c_str();
    }
}

// Cuts the job at every step it takes, from the state `set` leaves each time; how many cuts there were.
int CutAtEveryStep(const char* job, How how, const std::function<void()>& set,
                   const std::function<void()>& check)
{
    int cuts = 0;
    for (int at = 1; at < 1000; ++at) {
        SCOPED_TRACE(at);
        for (const std::wstring& name : FileNames(AppPath))
            if (name != L"PIKEROSU.DAT")
                DeleteFileW((AppPath + name).c_str());
        DeleteFileW(Told().c_str());
        set();
        if (!CutAt(job, at, how))
            break;
        ++cuts;
        const auto* result = testing::UnitTest::GetInstance()->current_test_info()->result();
        const int failures = result->total_part_count();
        check();
        if (result->total_part_count() != failures)
            break; // the first cut that leaves the list wrong says it all
    }
    return cuts;
}

constexpr How kHows[] = {How::Kill, How::Half, How::PowerGone, How::PowerZeros};

} // namespace

TEST(SafeSave, ASaveCutOffAtEveryStepLeavesOneWholeList)
{
    for (const List& list : kLists)
        for (const How how : kHows) {
            SCOPED_TRACE(std::string(list.what) + ", " + kHow[static_cast<int>(how)]);
            TempAppFolder folder;
            const std::string old = list.bytes(kOldText), bytes = list.bytes(kNewText);
            WriteBytes(ListFilePath(), old);
            const std::wstring other = list.hardLinked ? AppPath + L"..\\other name.dat" : L"";
            if (list.hardLinked) {
                ASSERT_TRUE(CreateHardLinkW(other.c_str(), ListFilePath().c_str(), nullptr));
            }
            const std::string id = ListId();
            const int cuts = CutAtEveryStep(
                "save", how, [&] { WriteBytes(ListFilePath(), old); },
                [&] { ExpectOneWholeList({old, bytes}, old, id, other); });
            std::cout << list.what << ", " << kHow[static_cast<int>(how)] << ": a save cut at " << cuts << " steps\n";
            EXPECT_GT(cuts, 1) << "a cut that never comes proves nothing";
        }
}

TEST(SafeSave, AStartCutOffAtEveryStepOfPuttingRightLeavesOneWholeList)
{
    const struct {
        const char* what;
        const List& list;
        bool writtenSince; // by another program, after the save was cut off
    } states[] = {{"half written", kLists[1], false}, {"written since", kLists[2], true}};
    for (const auto& state : states)
        for (const How how : kHows) {
            SCOPED_TRACE(std::string(state.what) + ", " + kHow[static_cast<int>(how)]);
            TempAppFolder folder;
            const std::string old = state.list.bytes(kOldText), users = state.list.bytes(kUsersText);
            const std::wstring other = state.list.hardLinked ? AppPath + L"..\\other name.dat" : L"";
            WriteBytes(ListFilePath(), old);
            if (state.list.hardLinked) {
                ASSERT_TRUE(CreateHardLinkW(other.c_str(), ListFilePath().c_str(), nullptr));
            }
            const std::wstring journal = CutOffWriteInPlace(ListFilePath(), old, state.list.bytes(kNewText));
            if (state.writtenSince)
                WriteBytes(ListFilePath(), users);
            const std::string id = ListId(), cutOff = ReadBytes(ListFilePath()), journalBytes = ReadBytes(journal);
            const int cuts = CutAtEveryStep(
                "start", how,
                [&] {
                    WriteBytes(ListFilePath(), cutOff);
                    WriteBytes(journal, journalBytes);
                },
                [&] { ExpectOneWholeList({state.writtenSince ? users : old}, old, id, other); });
            std::cout << state.what << ", " << kHow[static_cast<int>(how)] << ": a start cut at " << cuts << " steps\n";
            EXPECT_GT(cuts, 1) << "a cut that never comes proves nothing";
        }
}

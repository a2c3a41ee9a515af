#include "listfile/SafeSave.h"

#include "TestSupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr size_t kLimit = 1 << 20;

const LastLook kAnything = [](const std::optional<std::string>&) { return true; };

std::string Hex(unsigned long long value)
{
    char digits[17];
    snprintf(digits, sizeof digits, "%llx", value);
    return digits;
}

unsigned long long Fnv1a(const std::string& bytes)
{
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

long long Time(FILETIME time)
{
    return static_cast<long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

std::wstring Widen(const std::string& ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace

TEST(SafeSave, ACutOffWriteInPlaceIsPutBackAndAFinishedOneKept)
{
    // What a start finds beside a hard-linked file after a save that wrote it in place was cut off.
    const std::string oldBytes = "old list\r\nsecond line\r\n", newBytes = "the new list\r\n";
    const std::string journal = ".before-save-" + Hex(newBytes.size()) + "-" + Hex(Fnv1a(newBytes));
    const struct {
        const char* what;
        std::string file, journalName;
        bool playedBack;
        std::string after;
        bool journalStays;
    } cases[] = {
        {"not begun", oldBytes, journal, false, oldBytes, false},
        {"finished", newBytes, journal, false, newBytes, false},
        {"half written", "the new list\r\nd line\r\n", journal, true, oldBytes, false},
        {"cut short", "the new", journal, true, oldBytes, false},
        {"a name that is not a journal's", "mixed", ".before-save-zz", false, "mixed", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempAppFolder folder;
        const std::wstring path = folder.path() + L"list.dat", other = folder.path() + L"other name.dat";
        WriteBytes(path, c.file);
        ASSERT_TRUE(CreateHardLinkW(other.c_str(), path.c_str(), nullptr));
        WriteBytes(path + Widen(c.journalName), oldBytes);
        EXPECT_EQ(PlayBackCutOffSave(path, kLimit), c.playedBack);
        EXPECT_EQ(ReadBytes(other), c.after) << "every name sees it";
        EXPECT_EQ(FileExists(path + Widen(c.journalName)), c.journalStays);
        EXPECT_FALSE(PlayBackCutOffSave(path, kLimit)) << "once";
    }
}

TEST(SafeSave, LeftoversOfCutOffSavesGoAndOnlyThey)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    WriteBytes(path, "old\r\n");
    WriteBytes(path + L".saving-1234-0", "a save that was cut off");
    WriteBytes(path + L".saving-99-1", "a save still being written");
    HANDLE running = CreateFileW((path + L".saving-99-1").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(running, INVALID_HANDLE_VALUE);
    WriteBytes(path + L".1a-2b-0.tmp", "an older release's file, which may hold a list");
    WriteBytes(folder.path() + L"list.dat.txt", "the user's own");

    ASSERT_EQ(SaveFile(path, "new\r\n", kLimit, kAnything), SaveResult::Saved);
    CloseHandle(running);
    EXPECT_EQ(ReadBytes(path), "new\r\n");
    EXPECT_EQ(FileNames(folder.path()),
              (std::vector<std::wstring>{L"list.dat", L"list.dat.1a-2b-0.tmp", L"list.dat.saving-99-1", L"list.dat.txt"}));
}

TEST(SafeSave, TwoSavesAtOnceTakeTurnsAndTheSecondSeesTheFirst)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        const std::string loaded = "round " + std::to_string(round) + "\r\n";
        WriteBytes(path, loaded);
        const auto unchanged = [&](const std::optional<std::string>& now) { return now == loaded; };
        SaveResult results[2];
        const std::string lists[2] = {std::string(300000, 'a'), std::string(200000, 'b')};
        std::thread second([&] { results[1] = SaveFile(path, lists[1], kLimit, unchanged); });
        results[0] = SaveFile(path, lists[0], kLimit, unchanged);
        second.join();
        const int saved = results[0] == SaveResult::Saved ? 0 : 1;
        EXPECT_EQ(results[saved], SaveResult::Saved);
        EXPECT_EQ(results[1 - saved], SaveResult::Refused) << "the other saw a list it had not loaded";
        EXPECT_EQ(ReadBytes(path), lists[saved]);
    }
    EXPECT_EQ(FileNames(folder.path()), std::vector<std::wstring>{L"list.dat"});
}

TEST(SafeSave, AFileHeldForAMomentIsWaitedFor)
{
    // A virus scanner opens the file, shared with nobody, as the save takes its last look.
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    WriteBytes(path, "old\r\n");
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread scanner([held] {
        Sleep(300);
        CloseHandle(held);
    });
    const SaveResult result = SaveFile(path, "new\r\n", kLimit, kAnything);
    scanner.join();
    EXPECT_EQ(result, SaveResult::Saved);
    EXPECT_EQ(ReadBytes(path), "new\r\n");
}

TEST(SafeSave, TheNewFileKeepsWhatTheUserSeesOfTheOld)
{
    TempAppFolder folder;
    const std::wstring path = folder.path() + L"list.dat";
    WriteBytes(path, "old\r\n");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | WRITE_DAC | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILE_BASIC_INFO basic{};
    basic.CreationTime.QuadPart = 130000000000000000ll; // 2012
    basic.FileAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic));
    // Permissions of the file's own, not the folder's: everybody may do anything.
    PSECURITY_DESCRIPTOR wanted = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                     &wanted, nullptr));
    PACL wantedDacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorDacl(wanted, &present, &wantedDacl, &defaulted);
    const DWORD set = SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, wantedDacl, nullptr);
    CloseHandle(file);
    ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
    const auto dacl = [](const std::wstring& of) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        GetNamedSecurityInfoW(of.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              &descriptor);
        wchar_t* text = nullptr;
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr);
        std::wstring result = text ? text : L"none";
        LocalFree(text);
        LocalFree(descriptor);
        return result;
    };
    const std::wstring before = dacl(path);
    WIN32_FILE_ATTRIBUTE_DATA was{};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &was));
    const bool keepsCreationTimes = Time(was.ftCreationTime) == basic.CreationTime.QuadPart;
    LocalFree(wanted);

    ASSERT_EQ(SaveFile(path, "new\r\n", kLimit, kAnything), SaveResult::Saved);
    EXPECT_EQ(ReadBytes(path), "new\r\n");
    WIN32_FILE_ATTRIBUTE_DATA now{};
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &now));
    EXPECT_EQ(now.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    if (keepsCreationTimes) { // Wine's file systems do not
        EXPECT_EQ(Time(now.ftCreationTime), basic.CreationTime.QuadPart);
    }
    EXPECT_EQ(dacl(path), before);
}

TEST(SafeSave, PathsInMessagesAreAsAUserTypesThem)
{
    const struct {
        const wchar_t *system, *user;
    } cases[] = {
        {L"\\\\?\\C:\\Tools\\PIKEROSU.DAT", L"C:\\Tools\\PIKEROSU.DAT"},
        {L"\\\\?\\UNC\\server\\share\\PIKEROSU.DAT", L"\\\\server\\share\\PIKEROSU.DAT"},
        {L"C:\\Tools\\PIKEROSU.DAT", L"C:\\Tools\\PIKEROSU.DAT"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UserPath(c.system), c.user);
}

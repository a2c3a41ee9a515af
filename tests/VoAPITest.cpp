#include "registry/VoAPI.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

const std::wstring kTestKey = TestRegistryRoot() + L"\\VoAPI";

std::string Repeat(char c, size_t n) { return std::string(n, c); }

} // namespace

TEST(VoAPI, WrittenTextReadsBackInTheSystemCodePage)
{
    // Stored through the ANSI code page: a text beyond ASCII that it holds, as its bytes.
    const struct {
        UINT codePage;
        std::wstring text;
        std::string bytes;
    } cases[] = {
        {932, L"Mozilla/4.0 (compatible; ピケロス 表ソ)", Sjis(L"Mozilla/4.0 (compatible; ピケロス 表ソ)")},
        {1252, L"Mozilla/4.0 (compatible; caf\u00E9)", "Mozilla/4.0 (compatible; caf\xE9)"},
        {CP_UTF8, L"Mozilla/4.0 (ピケロス \U0001F600)", Utf8(L"Mozilla/4.0 (ピケロス \U0001F600)")},
    };
    const auto c = std::find_if(std::begin(cases), std::end(cases), [](auto& c) { return c.codePage == GetACP(); });
    if (c == std::end(cases))
        GTEST_SKIP() << "no text chosen for code page " << GetACP();
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    ASSERT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", c->text), 0);
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"User Agent"), c->text);

    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(key.GetAnsiBytes("User Agent", type, bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, c->bytes + '\0') << "stored with its terminating zero";
}

TEST(VoAPI, EmptyTextIsAStringHoldingTheTerminator)
{
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    ASSERT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", L""), 0);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(key.GetAnsiBytes("User Agent", type, bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, std::string(1, '\0'));
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"User Agent"), L"");
}

TEST(VoAPI, LongValuesAreWrittenAndReadWhole)
{
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    for (size_t length : {256u, 257u, 1000u, 5000u}) {
        const std::wstring text(length, L'x');
        ASSERT_EQ(RegWriteValue(key.root(), key.subKey(), L"Long", text), 0) << length;
        EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Long"), text) << length;
    }
    // Written by another program, without a terminator.
    key.SetAnsiBytes("Exact256", REG_SZ, Repeat('a', 256));
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Exact256"), std::wstring(256, L'a'));
    key.SetAnsiBytes("Long1000", REG_SZ, Repeat('b', 1000));
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Long1000"), std::wstring(1000, L'b'));
}

TEST(VoAPI, TextEndsAtTheFirstZero)
{
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    key.SetAnsiBytes("Zero", REG_SZ, std::string("front\0back", 10));
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Zero"), L"front");
}

TEST(VoAPI, TextOtherProgramsWroteReadsExactly)
{
    // Characters code page 932 lacks, which an ANSI read would turn into look-alikes or "?".
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    for (const std::wstring text : {L"caf\u00E9 \u301C \U0001F600", L"\u00AB\u00E0\uD55C"}) {
        key.SetRaw(L"Wide", REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Wide"), text);
        // Without a terminator, and with half a unit left over.
        key.SetRaw(L"Wide", REG_SZ, text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t) + 1));
        EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Wide"), text);
    }
}

TEST(VoAPI, OnlyStringValuesReadAsText)
{
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    const DWORD number = 0x41424344;
    key.SetRaw(L"Number", REG_DWORD, &number, sizeof number);
    key.SetRaw(L"Bytes", REG_BINARY, "text", 4);
    // As a deployment tool or a policy may store it: its text, not expanded.
    const std::wstring expandable = L"Mozilla/5.0 (%PROCESSOR_ARCHITECTURE%)";
    key.SetRaw(L"Expandable", REG_EXPAND_SZ, expandable.c_str(),
               static_cast<DWORD>((expandable.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Expandable"), expandable);
    ASSERT_EQ(RegWriteValue(key.root(), key.subKey(), L"Expandable", L"Opera/9.80"), 0);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(key.GetAnsiBytes("Expandable", type, bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << "registering replaces it with a string value";
    EXPECT_EQ(bytes, std::string("Opera/9.80") + '\0') << "with its terminating zero";
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Number"), L"");
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Bytes"), L"");
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"Missing"), L"");
}

TEST(VoAPI, MissingKeyReadsEmptyAndWritesNothing)
{
    const std::wstring missing = TestRegistryRoot() + L"\\NoSuchKey";
    DeleteKeyTree(HKEY_CURRENT_USER, missing);
    EXPECT_EQ(RegReadValue(HKEY_CURRENT_USER, missing, L"User Agent"), L"");
    EXPECT_EQ(RegWriteValue(HKEY_CURRENT_USER, missing, L"User Agent", L"text"), kKeyNotOpened);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, missing));
}

TEST(VoAPI, UnrepresentableTextIsRefusedAndTheOldValueKept)
{
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    ASSERT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", L"old"), 0);
    // Half a surrogate pair, which no code page holds, and what the system code page lacks,
    // which a best fit would store as a look-alike.
    std::vector<std::wstring> lacking{L"new \xD800"};
    if (GetACP() != CP_UTF8)
        lacking.insert(lacking.end(), {L"new \U0001F600", L"\uD55C\uAE00"});
    if (GetACP() == 932)
        lacking.push_back(L"caf\u00E9");
    for (const std::wstring& text : lacking)
        EXPECT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", text), ERROR_NO_UNICODE_TRANSLATION)
            << testing::PrintToString(text);
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"User Agent"), L"old");
}

// Failures the real registry will not produce on demand.
namespace {
int g_opened = 0;
int g_closed = 0;
LONG WINAPI OpenCounting(HKEY root, LPCSTR sub, DWORD options, REGSAM sam, PHKEY key)
{
    const LONG status = RegOpenKeyExA(root, sub, options, sam, key);
    g_opened += status == ERROR_SUCCESS;
    return status;
}
LONG WINAPI CloseCounting(HKEY key)
{
    ++g_closed;
    return RegCloseKey(key);
}
LONG WINAPI SetRefused(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) { return ERROR_ACCESS_DENIED; }
LONG WINAPI QueryRefused(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_ACCESS_DENIED; }
LONG WINAPI OpenDenied(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_ACCESS_DENIED; }
LONG WINAPI OpenMissing(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
// The value grows between the size asked for and the read: the first answer is too small.
int g_queries = 0;
LONG WINAPI QueryGrowing(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    ++g_queries;
    const LONG status = RegQueryValueExW(key, name, reserved, type, data, size);
    if (!data && status == ERROR_SUCCESS)
        *size /= 4;
    return status;
}
} // namespace

TEST(VoAPI, PlatformStatusPassesThroughAndEveryKeyIsClosed)
{
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    ASSERT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", L"kept"), 0);
    g_opened = g_closed = 0;

    RegistryApi api;
    api.open = OpenCounting;
    api.close = CloseCounting;
    api.set = SetRefused;
    api.query = QueryRefused;
    EXPECT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", L"new", api), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"User Agent", api), L"");
    EXPECT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", L"new \xD800", api),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(g_opened, 3);
    EXPECT_EQ(g_closed, 3);
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"User Agent"), L"kept");

    // A key that exists but may not be written says so; any other refusal is "not opened".
    api = RegistryApi{};
    api.open = OpenDenied;
    EXPECT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", L"new", api), ERROR_ACCESS_DENIED);
    api.open = OpenMissing;
    EXPECT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", L"new", api), kKeyNotOpened);
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"User Agent"), L"kept");
}

TEST(VoAPI, ValueThatGrowsWhileReadIsReadAgainWhole)
{
    ScratchKey key(HKEY_CURRENT_USER, kTestKey);
    const std::wstring text(600, L'g');
    ASSERT_EQ(RegWriteValue(key.root(), key.subKey(), L"User Agent", text), 0);
    RegistryApi api;
    api.query = QueryGrowing;
    g_queries = 0;
    EXPECT_EQ(RegReadValue(key.root(), key.subKey(), L"User Agent", api), text);
    EXPECT_GE(g_queries, 3) << "asked the size, read too little, read again";
}

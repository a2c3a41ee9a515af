// Usage: version_check PROGRAM. Reads the program's version resource as Explorer does and
// says what differs from the release's; exits 1 when anything does.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int faults = 0;

void Fault(const std::wstring& what)
{
    std::fwprintf(stderr, L"%ls\n", what.c_str());
    ++faults;
}

std::wstring Hex(unsigned value)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%04X", value);
    return text;
}

BOOL CALLBACK Language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR)
{
    if (language != MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT))
        Fault(L"a resource in language " + Hex(language) + L", not Japanese (0x0411)");
    return TRUE;
}

BOOL CALLBACK Name(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR)
{
    EnumResourceLanguagesW(module, type, name, Language, 0);
    return TRUE;
}

BOOL CALLBACK Type(HMODULE module, LPWSTR type, LONG_PTR)
{
    EnumResourceNamesW(module, type, Name, 0);
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: version_check PROGRAM\n");
        return 2;
    }
    const wchar_t* program = argv[1];
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeW(program, &ignored));
    if (block.empty() || !GetFileVersionInfoW(program, 0, static_cast<DWORD>(block.size()), block.data())) {
        std::fwprintf(stderr, L"%ls has no version resource\n", program);
        return 1;
    }
    const auto query = [&](const std::wstring& path) -> std::pair<void*, UINT> {
        void* value = nullptr;
        UINT size = 0;
        if (!VerQueryValueW(block.data(), path.c_str(), &value, &size))
            return {nullptr, 0};
        return {value, size};
    };

    const auto [fixed, fixedSize] = query(L"\\");
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    if (fixedSize < sizeof *info || info->dwFileVersionMS != 0x00010000 || info->dwFileVersionLS != 0x00000002 ||
        info->dwProductVersionMS != 0x00010000 || info->dwProductVersionLS != 0x00000002)
        Fault(L"the file and product version are not 1.0.0.2");

    const auto [translation, translationSize] = query(L"\\VarFileInfo\\Translation");
    const auto* pair = static_cast<const WORD*>(translation);
    if (translationSize < 4 || pair[0] != 0x0411 || pair[1] != 1200)
        Fault(L"the translation is not Japanese in Unicode (0x0411, 1200)");

    const struct {
        const wchar_t* name;
        const wchar_t* expected;
    } strings[] = {
        {L"FileDescription", L"ピケロスブラウザ"},
        {L"ProductName", L"ピケロスブラウザ"},
        {L"FileVersion", L"1.00.0002"},
        {L"ProductVersion", L"1.00.0002"},
        {L"OriginalFilename", L"Pikerosu.exe"},
    };
    for (const auto& s : strings) {
        const auto [value, length] = query(std::wstring(L"\\StringFileInfo\\041104B0\\") + s.name);
        const std::wstring text = value ? std::wstring(static_cast<const wchar_t*>(value)).substr(0, length) : L"(none)";
        if (text != s.expected) {
            std::wstring codes;
            for (const wchar_t c : text)
                codes += L" " + Hex(c);
            Fault(std::wstring(s.name) + L" is not " + s.expected + L" but" + codes);
        }
    }

    HMODULE module = LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        Fault(L"its resources cannot be read");
    else {
        EnumResourceTypesW(module, Type, 0);
        FreeLibrary(module);
    }
    std::fwprintf(stderr, L"%ls: %d fault(s) in its version resource\n", program, faults);
    return faults ? 1 : 0;
}

#include "registry/VoAPI.h"

#include "shell/TextEncoding.h"

#include <algorithm>

namespace {

std::optional<std::string> Ansi(std::wstring_view text)
{
    return TextEncoding::Encode(text, TextEncoding::Encoding::Ansi);
}

// Owns one open key and closes it with the same API that opened it.
class OpenKey {
public:
    OpenKey(const RegistryApi& api, HKEY root, std::wstring_view subKey, REGSAM access) : api_(api)
    {
        const auto name = Ansi(subKey);
        status_ = name ? api_.open(root, name->c_str(), 0, access, &key_) : ERROR_FILE_NOT_FOUND;
        if (status_ != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~OpenKey()
    {
        if (key_)
            api_.close(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    HKEY get() const { return key_; }
    LONG status() const { return status_; }

private:
    const RegistryApi& api_;
    HKEY key_ = nullptr;
    LONG status_ = ERROR_SUCCESS;
};

} // namespace

std::wstring RegReadValue(HKEY root, std::wstring_view subKey, std::wstring_view valueName,
                          const RegistryApi& api)
{
    OpenKey key(api, root, subKey, KEY_READ);
    if (!key.get())
        return {};

    // Read as UTF-16, so text that the code page lacks comes through exactly. Ask for the
    // size first, then read; the value may grow in between, so read again.
    const std::wstring name(valueName);
    DWORD type = 0;
    DWORD size = 0;
    LONG status = api.query(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    std::wstring data;
    for (int attempt = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++attempt) {
        if (attempt == 8)
            return {};
        data.resize(size / sizeof(wchar_t) + 1);
        const DWORD capacity = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD got = capacity;
        status = api.query(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
        if (status == ERROR_SUCCESS) {
            data.resize(std::min(got, capacity) / sizeof(wchar_t));
            break;
        }
        size = std::max(got, capacity * 2); // grew: take what it asks for, at least double
    }
    // A text a deployment tool stored as expandable is still the text; shown as it is stored.
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};

    const size_t end = data.find(L'\0');
    if (end != std::wstring::npos)
        data.resize(end);
    return data;
}

LONG RegWriteValue(HKEY root, std::wstring_view subKey, std::wstring_view valueName,
                   std::wstring_view text, const RegistryApi& api)
{
    OpenKey key(api, root, subKey, KEY_SET_VALUE);
    if (!key.get())
        return key.status() == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : kKeyNotOpened;
    const auto name = Ansi(valueName);
    const auto data = Ansi(text);
    if (!name || !data)
        return ERROR_NO_UNICODE_TRANSLATION;

    // String values carry their terminating zero; c_str() provides it.
    return api.set(key.get(), name->c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data->c_str()),
                   static_cast<DWORD>(data->size() + 1));
}

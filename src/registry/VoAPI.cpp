#include "registry/VoAPI.h"

#include "shell/AnsiCodePage.h"

#include <algorithm>

namespace {

// Owns one open key and closes it with the same API that opened it.
class OpenKey {
public:
    OpenKey(const RegistryApi& api, HKEY root, std::wstring_view subKey, REGSAM access) : api_(api)
    {
        const auto name = AnsiCodePage::FromWide(subKey);
        if (!name || api_.open(root, name->c_str(), 0, access, &key_) != ERROR_SUCCESS)
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

private:
    const RegistryApi& api_;
    HKEY key_ = nullptr;
};

} // namespace

std::wstring RegReadValue(HKEY root, std::wstring_view subKey, std::wstring_view valueName,
                          const RegistryApi& api)
{
    const auto name = AnsiCodePage::FromWide(valueName);
    if (!name)
        return {};
    OpenKey key(api, root, subKey, KEY_READ);
    if (!key.get())
        return {};

    // Ask for the size first, then read; the value may grow in between, so read again.
    DWORD type = 0;
    DWORD size = 0;
    LONG status = api.query(key.get(), name->c_str(), nullptr, &type, nullptr, &size);
    std::string data;
    for (int attempt = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++attempt) {
        if (attempt == 8)
            return {};
        data.resize(size);
        DWORD got = size;
        status = api.query(key.get(), name->c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(data.data()), &got);
        if (status == ERROR_SUCCESS) {
            data.resize(std::min(got, size));
            break;
        }
        size = std::max(got, size * 2 + 16); // grew: take what it asks for, at least double
    }
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return {};

    const size_t end = data.find('\0');
    if (end != std::string::npos)
        data.resize(end);
    return AnsiCodePage::ToWide(data);
}

LONG RegWriteValue(HKEY root, std::wstring_view subKey, std::wstring_view valueName,
                   std::wstring_view text, const RegistryApi& api)
{
    OpenKey key(api, root, subKey, KEY_SET_VALUE);
    if (!key.get())
        return kKeyNotOpened;
    const auto name = AnsiCodePage::FromWide(valueName);
    const auto data = AnsiCodePage::FromWide(text);
    if (!name || !data)
        return ERROR_NO_UNICODE_TRANSLATION;

    // String values carry their terminating zero; c_str() provides it.
    return api.set(key.get(), name->c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data->c_str()),
                   static_cast<DWORD>(data->size() + 1));
}

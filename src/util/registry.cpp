#include "util/registry.h"

#include "util/handles.h"
#include "util/text.h"

namespace
{
LSTATUS WriteRegValue(const std::wstring& subKey, const std::wstring& valueName, DWORD type, const BYTE* data, DWORD size)
{
    UniqueRegKey key;
    LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                 nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    return RegSetValueExW(key.get(), valueName.c_str(), 0, type, data, size);
}
} // namespace

LSTATUS WriteRegString(const std::wstring& subKey, const std::wstring& valueName, const std::string& text)
{
    std::wstring wide = Utf8ToWide(text);
    // Two bytes per unit plus the terminating zero.
    return WriteRegValue(subKey, valueName, REG_SZ, (const BYTE*)wide.c_str(), (DWORD)((wide.size() + 1) * sizeof(wchar_t)));
}

LSTATUS WriteRegDword(const std::wstring& subKey, const std::wstring& valueName, DWORD value)
{
    return WriteRegValue(subKey, valueName, REG_DWORD, (const BYTE*)&value, sizeof(value));
}

std::string ReadRegString(const std::wstring& subKey, const std::wstring& valueName)
{
    wchar_t buf[kMaxRegStringLength + 2] = {};
    // The zero always fits: one unit of the buffer is never offered.
    DWORD size = (DWORD)((kMaxRegStringLength + 1) * sizeof(wchar_t));
    // RRF_NOEXPAND keeps a REG_EXPAND_SZ value its own type, so the REG_SZ
    // restriction refuses it instead of expanding it into a REG_SZ.
    LSTATUS rc = RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), valueName.c_str(),
                              RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, buf, &size);
    if (rc != ERROR_SUCCESS)
        return std::string();
    return WideToUtf8(std::wstring(buf));
}

bool ReadRegDword(const std::wstring& subKey, const std::wstring& valueName, DWORD& value)
{
    DWORD data = 0, size = sizeof(data);
    if (RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), valueName.c_str(), RRF_RT_REG_DWORD, nullptr, &data, &size) !=
        ERROR_SUCCESS)
        return false;
    value = data;
    return true;
}

#include "util/system_paths.h"

#include "util/text.h"

#include <vector>

std::wstring KnownFolderPath(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &path);
    std::wstring result;
    if (SUCCEEDED(hr) && path)
        result = path;
    // The shell's buffer is freed on failure as well.
    CoTaskMemFree(path);
    return result;
}

std::string ExecutablePath()
{
    std::vector<wchar_t> buf(260);
    for (;;)
    {
        DWORD n = GetModuleFileNameW(nullptr, buf.data(), (DWORD)buf.size());
        if (n == 0)
            return std::string();
        if (n < buf.size())
            return WideToUtf8(std::wstring(buf.data(), n));
        // Truncated: the longest path Windows knows is 32767 units.
        if (buf.size() >= 65536)
            return std::string();
        buf.resize(buf.size() * 2);
    }
}

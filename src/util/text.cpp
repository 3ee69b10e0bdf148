#include "util/text.h"

#include <windows.h>

#include <cstdio>

std::wstring Utf8ToWide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    // The length is passed explicitly so embedded zero bytes convert too.
    int len = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    if (len <= 0)
        return std::wstring();
    std::wstring wide((size_t)len, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), wide.data(), len);
    return wide;
}

std::string WideToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int len = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    if (len <= 0)
        return std::string();
    std::string utf8((size_t)len, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), utf8.data(), len, nullptr, nullptr);
    return utf8;
}

std::string FormatSize(uint64_t bytes)
{
    char buf[48];
    double n = (double)bytes;
    if (bytes >= 1073741824ull)
        snprintf(buf, sizeof(buf), "%.1f GB", n / 1073741824.0);
    else
        snprintf(buf, sizeof(buf), "%.0f MB", n / 1048576.0);
    return buf;
}

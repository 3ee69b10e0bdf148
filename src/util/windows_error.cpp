#include "util/windows_error.h"

#include "util/text.h"

std::string WindowsErrorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    // No inserts: a message with %1 would otherwise read arguments that are not there.
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, (LPWSTR)&buffer, 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.' || text.back() == L'\x3002'))
        text.pop_back();
    if (text.empty())
        return "Error " + std::to_string(code);
    return WideToUtf8(text);
}

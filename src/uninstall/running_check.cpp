#include "uninstall/running_check.h"

#include <windows.h>
#include <tlhelp32.h>

namespace fs = std::filesystem;

namespace
{
// Only A to Z: the comparison must not depend on the user's locale.
std::wstring AsciiLower(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z')
            c = (wchar_t)(c - L'A' + L'a');
    return text;
}

// An error leaves whatever the operation returned (an empty path matches
// every process, which errs on the side of refusing).
std::wstring CanonicalLower(const fs::path& path)
{
    std::error_code ec;
    return AsciiLower(fs::weakly_canonical(path, ec).wstring());
}
} // namespace

bool IsRunningFrom(const std::wstring& exeName, const fs::path& folder)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;

    // No separator is required after the prefix: a sibling folder whose name
    // starts with the install folder's name counts as well.
    const std::wstring prefix = CanonicalLower(folder);
    const std::wstring name = AsciiLower(exeName);
    bool running = false;

    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !running; more = Process32NextW(snapshot, &entry))
    {
        if (AsciiLower(entry.szExeFile) != name)
            continue;
        // A process we cannot inspect might be running from the folder.
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process)
        {
            running = true;
            break;
        }
        wchar_t image[520];
        DWORD length = 520;
        BOOL got = QueryFullProcessImageNameW(process, 0, image, &length);
        CloseHandle(process);
        if (!got)
        {
            running = true;
            break;
        }
        std::wstring path = CanonicalLower(fs::path(std::wstring(image, length)));
        if (path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0)
            running = true;
    }

    CloseHandle(snapshot);
    return running;
}

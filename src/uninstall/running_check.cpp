#include "uninstall/running_check.h"

#include "util/file_identity.h"
#include "util/handles.h"

#include <windows.h>
#include <tlhelp32.h>

namespace fs = std::filesystem;

namespace
{
// An error leaves whatever the operation returned (an empty path matches
// every process, which errs on the side of refusing).
std::wstring Canonical(const fs::path& path)
{
    std::error_code ec;
    return fs::weakly_canonical(path, ec).wstring();
}
} // namespace

bool IsRunningFrom(const std::wstring& exeName, const fs::path& folder)
{
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;

    // No separator is required after the prefix: a sibling folder whose name
    // starts with the install folder's name counts as well.
    const std::wstring prefix = Canonical(folder);
    bool running = false;

    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more && !running;
         more = Process32NextW(snapshot.get(), &entry))
    {
        if (!PathsEqualIgnoreCase(entry.szExeFile, exeName))
            continue;
        // A process we cannot inspect might be running from the folder.
        UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process)
        {
            running = true;
            break;
        }
        wchar_t image[520];
        DWORD length = 520;
        BOOL got = QueryFullProcessImageNameW(process.get(), 0, image, &length);
        process.reset();
        if (!got)
        {
            running = true;
            break;
        }
        if (PathStartsWithIgnoreCase(Canonical(fs::path(std::wstring(image, length))), prefix))
            running = true;
    }
    return running;
}

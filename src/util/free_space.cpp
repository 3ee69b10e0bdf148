#include "util/free_space.h"

#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>

#include <filesystem>

uint64_t FreeSpaceAt(const std::string& path)
{
    std::filesystem::path p(Utf8ToWide(path));
    // Walk up to the nearest thing that exists; a failed query counts as absent.
    while (!p.empty())
    {
        if (PathAttributes(p.wstring()) != INVALID_FILE_ATTRIBUTES)
            break;
        std::filesystem::path parent = p.parent_path();
        if (parent.empty() || parent == p)
            break;
        p = parent;
    }
    ULARGE_INTEGER avail = {}, total = {}, free = {};
    // The normal form as well, in case a volume answers only to that.
    if (!GetDiskFreeSpaceExW(LongPath(p.wstring()).c_str(), &avail, &total, &free) &&
        !GetDiskFreeSpaceExW(p.c_str(), &avail, &total, &free))
        return 0;
    return avail.QuadPart;
}

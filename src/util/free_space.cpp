#include "util/free_space.h"

#include "util/text.h"

#include <windows.h>

#include <filesystem>

uint64_t FreeSpaceAt(const std::string& path)
{
    std::filesystem::path p(Utf8ToWide(path));
    // Walk up to the nearest thing that exists; a failed status query counts as absent.
    while (!p.empty())
    {
        std::error_code ec;
        std::filesystem::file_status st = std::filesystem::status(p, ec);
        if (!ec && std::filesystem::exists(st))
            break;
        std::filesystem::path parent = p.parent_path();
        if (parent.empty() || parent == p)
            break;
        p = parent;
    }
    ULARGE_INTEGER avail = {}, total = {}, free = {};
    if (!GetDiskFreeSpaceExW(p.c_str(), &avail, &total, &free))
        return 0;
    return avail.QuadPart;
}

#include "package/archive_source.h"

#include "util/long_path.h"

#include <windows.h>

#include <algorithm>
#include <climits>

bool OpenArchiveCursor(const ArchiveSource& source, ArchiveCursor& cursor)
{
    cursor.source = &source;
    const DWORD share = source.available ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    cursor.file.reset(CreateFileW(LongPath(source.path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return (bool)cursor.file;
}

uint64_t ArchiveAvailable(const ArchiveCursor& cursor)
{
    if (cursor.source && cursor.source->available)
        return cursor.source->available->load();
    LARGE_INTEGER length = {};
    if (!cursor.file || !GetFileSizeEx(cursor.file.get(), &length) || length.QuadPart < 0)
        return 0;
    return (uint64_t)length.QuadPart;
}

// Every reader has a handle of its own, so the file pointer is never shared.
// Moving it first, rather than passing the position in an OVERLAPPED, spares
// Wine a server round trip on every read.
size_t ReadArchive(ArchiveCursor& cursor, uint64_t offset, void* buffer, size_t size)
{
    if (cursor.source && cursor.source->available)
    {
        const uint64_t there = cursor.source->available->load();
        if (offset >= there)
            return 0;
        size = (size_t)std::min<uint64_t>(size, there - offset);
    }
    LARGE_INTEGER position = {};
    position.QuadPart = (LONGLONG)offset;
    if (offset > (uint64_t)LLONG_MAX || !SetFilePointerEx(cursor.file.get(), position, nullptr, FILE_BEGIN))
        return 0;
    size_t done = 0;
    while (done < size)
    {
        DWORD got = 0;
        if (!ReadFile(cursor.file.get(), (char*)buffer + done, (DWORD)std::min<size_t>(size - done, 1u << 30), &got,
                      nullptr) ||
            got == 0)
            break;
        done += got;
    }
    return done;
}

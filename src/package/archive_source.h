// One reader's own view of the game archive (package/unpack.h, ArchiveSource):
// bytes at an offset, never past what is there so far. The unpack's workers
// read through nothing else, so the archive could come from other files
// (one per part of a download, say) without them knowing.
#pragma once
#include "package/unpack.h"
#include "util/handles.h"

#include <cstddef>
#include <cstdint>

struct ArchiveCursor
{
    const ArchiveSource* source = nullptr;
    UniqueFile           file;
};

// False when the archive cannot be opened. A complete archive is opened with
// no write sharing: nobody may change it while it is read. One that is still
// being written is opened beside its writer.
bool OpenArchiveCursor(const ArchiveSource& source, ArchiveCursor& cursor);
// Bytes in place from the start of the archive so far (its size once complete).
uint64_t ArchiveAvailable(const ArchiveCursor& cursor);
// Reads `size` bytes at `offset`; what it could read (less at the end of what
// is there, or on an error). Never reads past ArchiveAvailable.
size_t ReadArchive(ArchiveCursor& cursor, uint64_t offset, void* buffer, size_t size);

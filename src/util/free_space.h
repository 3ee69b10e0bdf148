// Free disk space for a folder that usually does not exist yet.
#pragma once
#include <cstdint>
#include <string>

// Bytes available to this user on the volume of the nearest existing ancestor
// of `path`; 0 when the query fails (callers treat 0 as "unknown").
uint64_t FreeSpaceAt(const std::string& path);

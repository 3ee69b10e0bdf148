// Writes to files: every byte or an error, and whole-file replacements that
// leave either the old file or the new one, never a mixture or a truncated file.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

// Writes all `size` bytes at the file's position, however many calls that
// takes. ERROR_SUCCESS, or the system's error code (ERROR_WRITE_FAULT when a
// call writes nothing).
DWORD WriteAll(HANDLE file, const void* data, size_t size);

// Writes `bytes` to a temporary file beside `path` (path + ".tmp"), flushes
// it to the disk, then puts it in place of `path` in one step. ERROR_SUCCESS,
// or the system's error code of the step that failed; on failure `path` is as
// it was and the temporary file is gone.
DWORD WriteFileAtomically(const std::wstring& path, const std::string& bytes);

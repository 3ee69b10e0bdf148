// Whole-file writes that leave either the old file or the new one, never a
// mixture or a truncated file.
#pragma once
#include <windows.h>

#include <string>

// Writes `bytes` to a temporary file beside `path` (path + ".tmp"), flushes
// it to the disk, then puts it in place of `path` in one step. ERROR_SUCCESS,
// or the system's error code of the step that failed; on failure `path` is as
// it was and the temporary file is gone.
DWORD WriteFileAtomically(const std::wstring& path, const std::string& bytes);

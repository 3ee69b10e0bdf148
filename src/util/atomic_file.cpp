#include "util/atomic_file.h"

#include "util/handles.h"
#include "util/long_path.h"

#include <algorithm>

DWORD WriteAll(HANDLE file, const void* data, size_t size)
{
    const char* at = (const char*)data;
    while (size > 0)
    {
        DWORD written = 0;
        if (!WriteFile(file, at, (DWORD)std::min<size_t>(size, 1u << 30), &written, nullptr))
            return GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        at += written;
        size -= written;
    }
    return ERROR_SUCCESS;
}

namespace
{
DWORD WriteAndFlush(const std::wstring& path, const std::string& bytes)
{
    UniqueFile file(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return GetLastError();
    if (DWORD err = WriteAll(file.get(), bytes.data(), bytes.size()); err != ERROR_SUCCESS)
        return err;
    // Before the rename: a crash after it must find the new bytes on the disk.
    if (!FlushFileBuffers(file.get()))
        return GetLastError();
    HANDLE raw = file.release();
    if (!CloseHandle(raw))
        return GetLastError();
    return ERROR_SUCCESS;
}
} // namespace

DWORD WriteFileAtomically(const std::wstring& path, const std::string& bytes)
{
    const std::wstring tmp = LongPath(path + L".tmp");
    DWORD err = WriteAndFlush(path + L".tmp", bytes);
    if (err == ERROR_SUCCESS &&
        !MoveFileExW(tmp.c_str(), LongPath(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        err = GetLastError();
    if (err != ERROR_SUCCESS)
        DeleteFileW(tmp.c_str());
    return err;
}

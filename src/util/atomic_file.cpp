#include "util/atomic_file.h"

#include "util/handles.h"
#include "util/long_path.h"

#include <algorithm>

namespace
{
DWORD WriteAndFlush(const std::wstring& path, const std::string& bytes)
{
    UniqueFile file(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return GetLastError();
    size_t done = 0;
    while (done < bytes.size())
    {
        DWORD chunk = (DWORD)std::min<size_t>(bytes.size() - done, 1u << 30);
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr))
            return GetLastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        done += written;
    }
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

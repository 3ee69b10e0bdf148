#include "util/file_identity.h"

#include "util/handles.h"
#include "util/long_path.h"

namespace
{
bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info)
{
    // Backup semantics open folders too; no access rights are needed for the identity.
    UniqueFile h(CreateFileW(LongPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return h && GetFileInformationByHandle(h.get(), &info);
}

bool EqualOrdinalIgnoreCase(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength)
{
    return CompareStringOrdinal(a, (int)aLength, b, (int)bLength, TRUE) == CSTR_EQUAL;
}
} // namespace

bool SameFileObject(const std::wstring& a, const std::wstring& b)
{
    BY_HANDLE_FILE_INFORMATION x = {}, y = {};
    if (a.empty() || b.empty() || !FileIdentity(a, x) || !FileIdentity(b, y))
        return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

bool PathsEqualIgnoreCase(const std::wstring& a, const std::wstring& b)
{
    return EqualOrdinalIgnoreCase(a.data(), a.size(), b.data(), b.size());
}

bool PathStartsWithIgnoreCase(const std::wstring& path, const std::wstring& prefix)
{
    return path.size() >= prefix.size() && EqualOrdinalIgnoreCase(path.data(), prefix.size(), prefix.data(), prefix.size());
}

bool IsInsideFolder(const std::wstring& path, const std::wstring& folder)
{
    const std::wstring base = WithoutTrailingSeparators(folder);
    if (base.empty())
        return true;
    if (!PathStartsWithIgnoreCase(path, base))
        return false;
    if (path.size() == base.size())
        return true;
    const wchar_t next = path[base.size()];
    // A root such as "C:\" already ends with its separator.
    const wchar_t last = base.back();
    return next == L'\\' || next == L'/' || last == L'\\' || last == L'/';
}

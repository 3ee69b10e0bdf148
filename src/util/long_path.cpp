#include "util/long_path.h"

#include <filesystem>

namespace
{
bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool IsDrivePath(const std::wstring& p) { return p.size() >= 3 && IsLetter(p[0]) && p[1] == L':' && IsSep(p[2]); }

// "\\server\share" with both names present; "\\?\" and "\\.\" are not servers.
bool IsUncPath(const std::wstring& p)
{
    if (p.size() < 5 || !IsSep(p[0]) || !IsSep(p[1]))
        return false;
    size_t server = 2, serverEnd = server;
    while (serverEnd < p.size() && !IsSep(p[serverEnd]))
        serverEnd++;
    std::wstring name = p.substr(server, serverEnd - server);
    if (name.empty() || name == L"?" || name == L".")
        return false;
    return serverEnd + 1 < p.size() && !IsSep(p[serverEnd + 1]);
}
} // namespace

bool IsFullPath(const std::wstring& path)
{
    return IsDrivePath(path) || IsUncPath(path);
}

bool IsFullPath(const std::string& path)
{
    // Only ASCII decides; the rest of the text need not be converted.
    std::wstring head;
    for (size_t i = 0; i < path.size() && i < 260; i++)
        head.push_back((unsigned char)path[i] < 0x80 ? (wchar_t)path[i] : L'x');
    return IsFullPath(head);
}

std::wstring FullPathName(const std::wstring& path)
{
    if (path.empty() || path.find(L'\0') != std::wstring::npos)
        return std::wstring();
    DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (need == 0)
        return std::wstring();
    std::wstring full(need, L'\0');
    DWORD got = GetFullPathNameW(path.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need)
        return std::wstring();
    full.resize(got);
    return full;
}

std::wstring LongPath(const std::wstring& path)
{
    if (!IsFullPath(path))
        return path;
    std::wstring full = FullPathName(path);
    if (full.empty())
        return path;
    if (IsDrivePath(full))
        return L"\\\\?\\" + full;
    if (IsUncPath(full))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return path;
}

DWORD PathAttributes(const std::wstring& path)
{
    if (path.empty())
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(LongPath(path).c_str());
}

bool IsFolder(const std::wstring& path)
{
    DWORD attrs = PathAttributes(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeFolders(const std::wstring& folder)
{
    // The missing folders from the deepest up, then made from the top down;
    // a loop rather than recursion, since a long path has many levels.
    std::vector<std::wstring> missing;
    std::filesystem::path p(folder);
    while (!p.empty())
    {
        if (!p.has_filename() && p.has_relative_path())
        {
            p = p.parent_path();    // "C:\a\" is "C:\a"
            continue;
        }
        DWORD attrs = PathAttributes(p.wstring());
        if (attrs != INVALID_FILE_ATTRIBUTES)
        {
            if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
                return false;
            break;
        }
        missing.push_back(p.wstring());
        std::filesystem::path parent = p.parent_path();
        if (parent == p)
            break;
        p = parent;
    }
    for (size_t i = missing.size(); i-- > 0;)
        CreateDirectoryW(LongPath(missing[i]).c_str(), nullptr);
    return IsFolder(folder);
}

bool ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries)
{
    std::wstring base = folder;
    while (!base.empty() && IsSep(base.back()))
        base.pop_back();
    WIN32_FIND_DATAW found = {};
    HANDLE find = FindFirstFileExW(LongPath(base + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do
    {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        FolderEntry e;
        e.path = base + L"\\" + name;
        e.attributes = found.dwFileAttributes;
        entries.push_back(e);
    } while (FindNextFileW(find, &found));
    DWORD err = GetLastError();
    FindClose(find);
    return err == ERROR_NO_MORE_FILES;
}

bool WalkFolder(const std::wstring& folder, std::vector<FolderEntry>& entries)
{
    // A list of folders still to read rather than recursion: a long path can
    // be thousands of levels deep. Each folder's entries are taken in order,
    // and a folder's contents follow it directly.
    struct Pending
    {
        std::vector<FolderEntry> entries;
        size_t next = 0;
    };
    std::vector<Pending> stack(1);
    bool complete = ListFolder(folder, stack.back().entries);
    while (!stack.empty())
    {
        Pending& top = stack.back();
        if (top.next == top.entries.size())
        {
            stack.pop_back();
            continue;
        }
        const FolderEntry e = top.entries[top.next++];
        entries.push_back(e);
        if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        {
            Pending inner;
            if (!ListFolder(e.path, inner.entries))
                complete = false;
            stack.push_back(std::move(inner));
        }
    }
    return complete;
}

std::wstring WithoutTrailingSeparators(std::wstring path)
{
    while (!path.empty() && IsSep(path.back()))
    {
        if (path.size() == 3 && path[1] == L':')
            break;
        if (path.size() == 1)
            break;
        path.pop_back();
    }
    return path;
}

void RemoveTree(const std::wstring& folder)
{
    // A linked folder loses only the link, never what it points at.
    const DWORD attributes = PathAttributes(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || RemoveDirectoryW(LongPath(folder).c_str()))
    {
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            RemoveDirectoryW(LongPath(folder).c_str());
        return;
    }
    // Contents first, deepest last in the walk, so every folder is empty by
    // the time it is removed.
    std::vector<FolderEntry> entries;
    WalkFolder(folder, entries);
    for (size_t i = entries.size(); i-- > 0;)
    {
        const FolderEntry& e = entries[i];
        const std::wstring entry = LongPath(e.path);
        if (e.attributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            // A linked folder loses only the link.
            RemoveDirectoryW(entry.c_str());
            continue;
        }
        if (e.attributes & FILE_ATTRIBUTE_READONLY)
        {
            DWORD rest = e.attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY;
            SetFileAttributesW(entry.c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL);
        }
        DeleteFileW(entry.c_str());
    }
    RemoveDirectoryW(LongPath(folder).c_str());
}

uint64_t RegularFileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data) &&
        !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    return 0;
}

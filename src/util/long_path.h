// Paths at the Windows border: the extended form that lifts the old limit of
// 260 characters, and the few file-system calls that must go through it.
// Inside, paths stay in their normal form (what the registry, the log, the
// shortcuts and the pages show).
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A full folder path: a drive letter, a colon and a backslash (or slash), or
// a UNC path "\\server\share". Not "Games", "\Games", "C:Games", nor an
// already extended or device path ("\\?\...", "\\.\...").
bool IsFullPath(const std::string& path);
bool IsFullPath(const std::wstring& path);

// The system's full form of `path`, resolved against the current folder
// where it is relative; empty when the system cannot give one.
std::wstring FullPathName(const std::wstring& path);

// The extended form of a full path ("\\?\C:\..." or "\\?\UNC\server\share\..."),
// normalised first by the system's own rules (separators, "." and "..",
// trailing dots and spaces) so that it names exactly what the normal form
// names. Every other path comes back unchanged.
std::wstring LongPath(const std::wstring& path);

// Attributes of what is at `path`; INVALID_FILE_ATTRIBUTES when nothing is
// there or it cannot be asked.
DWORD PathAttributes(const std::wstring& path);
bool IsFolder(const std::wstring& path);

// Size of the regular file at `path`; 0 when there is none (nothing, a folder
// or a device). What an earlier download left is measured so: anything else at
// the path counts as nothing to resume.
uint64_t RegularFileSize(const std::wstring& path);

// Creates `folder` with all missing parents; true when it is a folder afterwards.
bool MakeFolders(const std::wstring& folder);

struct FolderEntry
{
    std::wstring path;      // folder + "\" + name, in the normal form
    DWORD attributes = 0;
};
// The entries of one folder ("." and ".." left out); false when it cannot be read.
bool ListFolder(const std::wstring& folder, std::vector<FolderEntry>& entries);

// Every entry below `folder`, each folder before what it holds, in listing
// order. A linked folder (a junction or symbolic link) is listed but never
// entered. False when some folder could not be read; the walk still goes
// on past it.
bool WalkFolder(const std::wstring& folder, std::vector<FolderEntry>& entries);

// `path` without the separators that end it ("C:\a\b\" -> "C:\a\b",
// "Game/" -> "Game"); a drive's root keeps its own ("C:\").
std::wstring WithoutTrailingSeparators(std::wstring path);

// Deletes `folder` with everything inside it, read-only files included. A
// linked folder inside (a junction or symbolic link) loses only the link,
// never what it points at. Errors are passed over.
void RemoveTree(const std::wstring& folder);

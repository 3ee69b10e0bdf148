// Whether two paths name the same file or folder.
#pragma once
#include <string>

// Same volume and file index: one object, however the two paths are spelt
// (case, 8.3 names, separators, links). False when either cannot be opened.
bool SameFileObject(const std::wstring& a, const std::wstring& b);

// Ordinal comparison ignoring case, as the file system compares names; it
// does not depend on the user's locale.
bool PathsEqualIgnoreCase(const std::wstring& a, const std::wstring& b);
bool PathStartsWithIgnoreCase(const std::wstring& path, const std::wstring& prefix);

// `path` is `folder` itself or lies below it, by their text compared as the
// file system compares names ("C:\Games\Ostrel\a" is inside "c:\games",
// "C:\Games2" is not). Both in the same form (both full or both relative,
// without "." or ".."); either separator. Everything is inside "".
bool IsInsideFolder(const std::wstring& path, const std::wstring& folder);

// Is a program of this name running from inside a folder?
#pragma once
#include <filesystem>
#include <string>

// True also when a process of that name exists but cannot be inspected.
bool IsRunningFrom(const std::wstring& exeName, const std::filesystem::path& folder);

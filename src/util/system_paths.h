// Where Windows keeps the user's folders, and where this program runs from.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <string>

// Empty when the shell cannot give the folder.
std::wstring KnownFolderPath(REFKNOWNFOLDERID id);
// UTF-8 path of the running program's executable; empty on failure.
std::string ExecutablePath();

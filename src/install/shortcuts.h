// Shortcuts, the setup copy and the registry records of an installation.
#pragma once
#include <windows.h>
#include <shlobj.h>

#include <string>

// Empty when the shell cannot give the folder.
std::wstring KnownFolderPath(REFKNOWNFOLDERID id);
bool CreateShortcut(const std::wstring& linkPath, const std::wstring& target, const std::wstring& workingDir);
void WriteRegString(const std::wstring& subKey, const std::wstring& valueName, const std::string& text);
void WriteUninstallFlag(const std::wstring& valueName);
std::string ExecutablePath();

struct RegistrationParams
{
    bool        desktopShortcut = false;
    bool        startMenuShortcut = false;
    std::string launcherPath;   // full path of "Ostrel Launcher.exe"
    std::string installDir;
    std::string gameDir;        // "" after a launcher-only install
    std::string dataDir;
};

// The last step of an install; nothing in it can fail the install.
void MakeShortcutsAndRegister(const RegistrationParams& params);

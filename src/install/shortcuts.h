// Shortcuts, the setup copy and the registry records of an installation.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

// S_OK when the shell link was saved at `linkPath`, else the failing call's HRESULT.
HRESULT CreateShortcut(const std::wstring& linkPath, const std::wstring& target, const std::wstring& workingDir);

struct RegistrationParams
{
    bool        desktopShortcut = false;
    bool        startMenuShortcut = false;
    std::string launcherPath;   // full path of "Ostrel Launcher.exe"
    std::string installDir;
    std::string gameDir;        // "" after a launcher-only install
    std::string gameExe;        // "" after a launcher-only install
    bool        gameDirCreated = false;
    std::string dataDir;
};

struct RegistrationResult
{
    std::string error;      // the user's sentence when the install cannot count as done
    std::string notes;      // what was skipped although the install succeeded (a shortcut)
};

// The last step of an install. A shortcut that cannot be made is logged and
// noted; a failed setup copy or registry record fails the install, since such
// an installation could not be uninstalled.
RegistrationResult MakeShortcutsAndRegister(const RegistrationParams& params, const std::function<void(const std::string&)>& log);

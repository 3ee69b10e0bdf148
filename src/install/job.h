// Records shared with, and handed to, the worker and game threads.
//
// Rules of the job block (the job* members of InstallerApp):
// - numbers and flags are sequentially consistent atomics, read without a lock;
//   the four strings are touched only under jobMutex;
// - a job ends by writing jobSucceeded, then jobFinished, then jobBusy, so a
//   reader that sees the job ended also sees its outcome;
// - clearing jobBusy is a worker's last write into the InstallerApp. Shutdown
//   waits for it (or ends the process) before the object is destroyed, so no
//   worker can ever write into a destroyed InstallerApp.
#pragma once
#include "net/http.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class InstallerApp;

// What the install worker is doing (jobStage), as the progress page shows it.
enum InstallStage : int32_t
{
    Stage_CheckServer = 0,
    Stage_Launcher = 1,
    Stage_Game = 2,
    Stage_Link = 3,     // also the stage of a skipped game
    Stage_Shortcuts = 4,
    Stage_Done = 5,
};

// What the uninstall worker is doing (jobStage).
enum UninstallStage : int32_t
{
    UninstallStage_Game = 0,
    UninstallStage_Launcher = 1,
    UninstallStage_CleanUp = 2,
    UninstallStage_Done = 3,
};

struct InstallArgs
{
    InstallerApp* app = nullptr;
    std::string   installDir;
    bool          desktopShortcut = true;
    bool          startMenuShortcut = true;
    bool          includeGame = true;
    ProxySignIn   proxySignIn;
    std::shared_ptr<std::atomic<bool>> alive;
};

struct UninstallArgs
{
    InstallerApp* app = nullptr;
    std::string   installDir;   // existingInstallDir
    std::string   gameDir;      // existingGameDir
    std::string   gameExe;      // the rest of the install record (state/install_record.h)
    bool          gameDirCreated = false;
    bool          recordComplete = false;
    bool          removeLauncherData = false;
    std::shared_ptr<std::atomic<bool>> alive;
};

// Worker bodies.
void RunInstall(InstallArgs& args);     // install/install_sequence.cpp
void RunUninstall(UninstallArgs& args); // uninstall/uninstall_sequence.cpp

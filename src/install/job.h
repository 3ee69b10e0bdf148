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
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class InstallerApp;

// Between the install worker and the game thread; shared ownership.
struct InstallJob
{
    std::atomic<int32_t>  phase{0};         // 0 downloading, 1 checking, 2 unpacking
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<uint64_t> bytesTotal{0};
    std::atomic<bool>     cancel{false};
    std::atomic<bool>     finished{false};  // written last of all
    std::atomic<bool>     succeeded{false}; // written before finished
    std::mutex            mutex;            // guards error and gameDir
    std::string           error;
    std::string           gameDir;
};

struct GameJobParams
{
    std::string url;
    std::string token;
    std::string sha256;
    uint64_t    size = 0;
    std::string installDir;
    std::string exeName;
};

struct InstallArgs
{
    InstallerApp* app = nullptr;
    std::string   installDir;
    bool          desktopShortcut = true;
    bool          startMenuShortcut = true;
    bool          includeGame = true;
    std::shared_ptr<std::atomic<bool>> alive;
};

struct UninstallArgs
{
    InstallerApp* app = nullptr;
    std::string   installDir;   // existingInstallDir
    std::string   gameDir;      // existingGameDir
    bool          removeLauncherData = false;
    std::shared_ptr<std::atomic<bool>> alive;
};

// Worker bodies.
void RunInstall(InstallArgs& args);     // install/install_sequence.cpp
void RunUninstall(UninstallArgs& args); // uninstall/uninstall_sequence.cpp

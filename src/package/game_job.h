// The game archive's own thread: download with resume, digest, unpack.
#pragma once
#include "net/http.h"
#include "package/unpack.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Where the game job is (InstallJob::phase, copied to InstallerApp::gamePhase).
enum GamePhase : int32_t
{
    GamePhase_Download = 0,
    GamePhase_Check = 1,
    GamePhase_Unpack = 2,
    GamePhase_Wait = 3,     // downloading, but waiting to resume by itself
};

// Between the install worker and the game thread; shared ownership.
struct InstallJob
{
    std::atomic<int32_t>  phase{GamePhase_Download};
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<uint64_t> bytesTotal{0};
    std::atomic<bool>     cancel{false};
    std::atomic<bool>     finished{false};  // written last of all (EndGameJob)
    std::atomic<bool>     succeeded{false}; // written before finished
    std::mutex            mutex;            // guards the strings and lists below
    std::condition_variable finishedChanged;   // told when finished is set
    std::string           error;
    std::string           gameDir;
    std::string           waitText;         // the status line while phase is GamePhase_Wait
    std::vector<std::string> logLines;      // for installer.log, taken by the install worker
};

struct GameJobParams
{
    std::string url;
    std::string token;
    std::string sha256;
    uint64_t    size = 0;
    std::string installDir;
    std::string exeName;
    DownloadPolicy download;    // how long the download keeps trying by itself
    UnpackOptions  unpack;      // the setup's own game folder, and the journal before the move into place
    // Once the game is in place, before the archive goes (the journal again).
    std::function<void()> placed;
    ProxySignIn    proxySignIn;
};

// Copies both into a new detached thread running RunGameJob; throws
// std::system_error when the thread cannot be created.
void StartGameJob(const GameJobParams& params, std::shared_ptr<InstallJob> job);
void RunGameJob(const GameJobParams& params, InstallJob& job);

// The game thread's last word: finished, and whoever waits is told.
void EndGameJob(InstallJob& job);
// Waits up to `ms` for the end of the game job; true once it has ended.
bool WaitForGameJob(InstallJob& job, int ms);

// The lines the game thread has for installer.log since the last call (it has
// no InstallerApp of its own); the install worker writes them.
std::vector<std::string> TakeGameJobLog(InstallJob& job);
std::string GameJobWaitText(InstallJob& job);

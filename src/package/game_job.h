// The game archive's own thread: download with resume, digest, unpack.
#pragma once
#include "net/http.h"

#include <atomic>
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
    std::atomic<bool>     finished{false};  // written last of all
    std::atomic<bool>     succeeded{false}; // written before finished
    std::mutex            mutex;            // guards the strings and lists below
    std::string           error;
    std::string           gameDir;
    std::string           waitText;         // the status line while phase is GamePhase_Wait
    std::vector<std::string> logLines;      // for installer.log, taken by the install worker
    // What the unpack made, relative to the install folder (see UnpackResult),
    // for the install record; filled whenever the unpack ran.
    std::vector<std::string> createdFiles;
    std::vector<std::string> createdFolders;
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
    ProxySignIn    proxySignIn;
};

// Copies both into a new detached thread running RunGameJob; throws
// std::system_error when the thread cannot be created.
void StartGameJob(const GameJobParams& params, std::shared_ptr<InstallJob> job);
void RunGameJob(const GameJobParams& params, InstallJob& job);

// The lines the game thread has for installer.log since the last call (it has
// no InstallerApp of its own); the install worker writes them.
std::vector<std::string> TakeGameJobLog(InstallJob& job);
std::string GameJobWaitText(InstallJob& job);

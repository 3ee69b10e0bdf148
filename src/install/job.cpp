#include "install/job.h"

#include "install/log.h"
#include "package/game_job.h"
#include "state/installer_app.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace
{
// Thread entry for both kinds of worker. The argument record belongs to the
// thread. A worker whose thread starts after shutdown began does no work, but
// still clears jobBusy: shutdown keeps the InstallerApp alive until it does.
template <typename Args, typename Body>
void WorkerEntry(std::unique_ptr<Args> args, Body body)
{
    if (args->alive->load())
    {
        body(*args);
        return;
    }
    args->app->jobBusy.store(false);
}

const char* kNoThread = "Couldn't start the installer's worker thread - close some programs and try again.";

// What both kinds of job reset when they start.
void BeginJob(InstallerApp& app, const char* status)
{
    app.jobBusy.store(true);
    app.jobFinished.store(false);
    app.jobSucceeded.store(false);
    app.cancelRequested.store(false);
    app.jobBytesDone.store(0);
    app.jobBytesTotal.store(0);
    std::lock_guard<std::mutex> lock(app.jobMutex);
    app.errorText.clear();
    app.jobNotes.clear();
    app.statusText = status;
}

// The end of a failed job, in the order readers rely on.
void EndJobFailed(InstallerApp& app, const std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(app.jobMutex);
        app.errorText = message;
    }
    app.jobSucceeded.store(false);
    app.jobFinished.store(true);
    app.jobBusy.store(false);
}
} // namespace

void InstallerApp::StartInstall()
{
    if (jobBusy.load())
        return;
    BeginJob(*this, "Checking the server...");
    gamePhase.store(GamePhase_Download);
    jobStage.store(Stage_CheckServer);
    speedLastBytes = 0;
    speedLastTime = 0.0;
    speedBytesPerSec = 0.0;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        gameDirResult.clear();
    }
    page = Page_Progress;

    auto args = std::make_unique<InstallArgs>();
    args->app = this;
    args->installDir = installDir;
    args->desktopShortcut = desktopShortcut;
    args->startMenuShortcut = startMenuShortcut;
    args->includeGame = includeGame;
    args->proxySignIn = ProxySignInForRequests();
    args->alive = alive;
    try
    {
        std::thread(WorkerEntry<InstallArgs, void (*)(InstallArgs&)>, std::move(args), &RunInstall).detach();
    }
    catch (const std::system_error&)
    {
        // Never leave the job block busy: the page shows the failure and Retry.
        Fail(kNoThread);
    }
}

void InstallerApp::StartUninstall()
{
    if (jobBusy.load() || !existingInstall)
        return;
    // The stage, the game phase and the speed figures stay as they were.
    BeginJob(*this, "Preparing...");
    page = Page_Removing;

    auto args = std::make_unique<UninstallArgs>();
    args->app = this;
    args->installDir = existingInstallDir;
    args->gameDir = existingGameDir;
    args->gameExe = existingGameExe;
    args->gameDirCreated = existingGameDirCreated;
    args->recordComplete = existingRecordComplete;
    args->removeLauncherData = removeLauncherData;
    args->alive = alive;
    try
    {
        std::thread(WorkerEntry<UninstallArgs, void (*)(UninstallArgs&)>, std::move(args), &RunUninstall).detach();
    }
    catch (const std::system_error&)
    {
        FailUninstall(kNoThread);
    }
}

void InstallerApp::SetStatus(int stage, const std::string& text)
{
    jobStage.store(stage);
    std::lock_guard<std::mutex> lock(jobMutex);
    statusText = text;
}

// The end of a job that did all it had to, in the order readers rely on.
void InstallerApp::Succeed()
{
    jobSucceeded.store(true);
    jobFinished.store(true);
    jobBusy.store(false);
}

void InstallerApp::Fail(const std::string& message)
{
    // Never a failure without words, on the page or in the log.
    const std::string text = message.empty() ? std::string("The install didn't finish.") : message;
    AppendLog(*this, "FAILED: " + text);
    EndJobFailed(*this, text);
}

void InstallerApp::FailUninstall(const std::string& message)
{
    const std::string text = message.empty() ? std::string("The removal didn't finish.") : message;
    AppendLog(*this, "uninstall FAILED: " + text);
    EndJobFailed(*this, text);
}

void InstallerApp::WaitForWorkerOrExit(int code)
{
    // A worker that is still running got the cancel request; give it time to
    // reach its end. If it does not, end the process here, before the object
    // could be destroyed under it. TerminateProcess, not ExitProcess: the
    // worker may hold C runtime locks that an orderly exit would wait for.
    for (int i = 0; i < 100 && jobBusy.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (jobBusy.load())
        TerminateProcess(GetCurrentProcess(), (UINT)code);
    // After its last write a worker still uninitialises COM and frees its
    // arguments, which hold a share of `alive`. Let it finish that before the
    // process ends, so exit never races a thread that is winding down.
    for (int i = 0; i < 50 && alive.use_count() > 1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

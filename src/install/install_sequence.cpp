#include "install/job.h"
#include "install/install_plan.h"

#include "install/log.h"
#include "install/settings_link.h"
#include "install/shortcuts.h"
#include "net/http.h"
#include "package/game_job.h"
#include "package/sha256.h"
#include "state/install_document.h"
#include "state/installer_app.h"
#include "util/free_space.h"
#include "util/long_path.h"
#include "util/text.h"

#include <nlohmann/json.hpp>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace
{
const uint64_t kSpaceMargin = 67108864;     // 64 MiB on top of what the files need
const int kLauncherAttempts = 2;
const char* kBadAnswer = "The server's answer wasn't what the installer expects.";

// Sizes come from the server: a sum must not wrap round into a small need.
uint64_t AddSaturated(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::string SystemMessage(DWORD code) { return std::system_category().message((int)code); }

std::string Utf8Path(const fs::path& p) { return WideToUtf8(p.wstring()); }

// One pass of the install; returns the sentence to fail with, or sets `done`
// once the job block says "Done.".
std::string Install(InstallArgs& args, bool& done)
{
    InstallerApp* app = args.app;
    const std::string& dirText = args.installDir;
    const fs::path dir(Utf8ToWide(dirText));

    AppendLog(*app, "install to " + dirText + (args.includeGame ? " (launcher + game)" : " (launcher only)"));
    // A relative folder would land wherever this process happens to run.
    if (!IsFullPath(dirText))
        return "The install folder must be a full path, such as C:\\Games\\Ostrel.";
    // The records of the installation must read back at start-up (at most
    // 2047 characters each), the game folder "...\Ostrel" included, or no
    // uninstall could ever find what this one made.
    if (dir.wstring().size() + 7 > 2047)
        return "The install folder's path is too long - choose a shorter folder.";
    app->SetStatus(Stage_CheckServer, "Checking the server...");

    HttpResult answer = HttpGet(app->serverUrl + "/api/launcher/v1/install", "");
    if (!answer.Ok())
        return answer.ErrorMessage();
    InstallPlan plan;
    if (!ReadInstallPlan(answer.body, args.includeGame, plan))
        return kBadAnswer;

    if (!MakeFolders(dir.wstring()))
        return "Couldn't create " + dirText + " - choose another folder (or run the installer as administrator).";

    uint64_t free = FreeSpaceAt(dirText);
    uint64_t need = args.includeGame ? AddSaturated(plan.gameSize, plan.gameUnpackedSize) : plan.launcherSize;
    need = AddSaturated(need, kSpaceMargin);
    if (free != 0 && free < need)
        return "Not enough free space on that drive: Ostrel needs " + FormatSize(need) + " while installing, " +
               FormatSize(free) + " is free.";
    if (app->cancelRequested.load())
        return "Cancelled.";

    // The launcher: downloaded into a .part file that a later run resumes.
    app->SetStatus(Stage_Launcher, "Downloading the Ostrel launcher...");
    app->jobBytesDone.store(0);
    app->jobBytesTotal.store(0);
    const fs::path part = dir / L"Ostrel Launcher.exe.part";
    const fs::path exe = dir / L"Ostrel Launcher.exe";
    const fs::path old = dir / L"Ostrel Launcher.old.exe";
    const std::string launcherUrl = app->downloadUrl + "/api/launcher/v1/app/" + plan.launcherSha256;
    for (int attempt = 1;; attempt++)
    {
        // Hashed while it downloads; a .part left by an earlier run is read first.
        DigestStream digest;
        StartDigest(digest, Utf8Path(part));
        DownloadObserver observer = DigestObserver(digest);
        observer.pause = [app](const DownloadPause& pause) {
            if (pause.starting)
                AppendLog(*app, DownloadResumeLogText("the launcher download", pause));
            app->SetStatus(Stage_Launcher,
                           pause.secondsLeft > 0 ? DownloadPauseText(pause) : "Downloading the Ostrel launcher...");
        };
        HttpResult r = HttpDownload(launcherUrl, "", Utf8Path(part), &app->jobBytesDone, &app->jobBytesTotal,
                                    &app->cancelRequested, &observer);
        if (app->cancelRequested.load())
            return "Cancelled.";
        if (!r.Ok())
            return r.ErrorMessage();
        // A digest that cannot be computed never counts as a match.
        std::string computed = FinishDigest(digest);
        if (!computed.empty() && computed == plan.launcherSha256)
            break;
        // Damaged, or the stale rest of another build: start again from nothing.
        DeleteFileW(LongPath(part.wstring()).c_str());
        if (attempt >= kLauncherAttempts)
            return "The launcher download was damaged twice - check your connection and try again.";
    }

    const std::wstring partLong = LongPath(part.wstring()), exeLong = LongPath(exe.wstring()),
                       oldLong = LongPath(old.wstring());
    DeleteFileW(oldLong.c_str());
    if (GetFileAttributesW(exeLong.c_str()) != INVALID_FILE_ATTRIBUTES)
        MoveFileExW(exeLong.c_str(), oldLong.c_str(), 0);
    if (!MoveFileExW(partLong.c_str(), exeLong.c_str(), MOVEFILE_REPLACE_EXISTING))
        return "Couldn't put the launcher in place (" + SystemMessage(GetLastError()) + "). Close Ostrel if it is running.";
    {
        std::lock_guard<std::mutex> lock(app->jobMutex);
        app->launcherPathResult = Utf8Path(exe);
    }

    std::string gameDir;
    if (!args.includeGame)
    {
        app->SetStatus(Stage_Link, "The game was skipped - only the launcher is installed.");
    }
    else
    {
        app->SetStatus(Stage_Game, "Downloading the game...");
        app->jobBytesDone.store(0);
        app->jobBytesTotal.store(0);
        app->gamePhase.store(GamePhase_Download);

        auto job = std::make_shared<InstallJob>();
        GameJobParams params;
        params.url = app->downloadUrl + "/api/launcher/v1/install/game/" + plan.gameSha256;
        params.token = "";
        params.sha256 = plan.gameSha256;
        params.size = plan.gameSize;
        params.installDir = dirText;
        params.exeName = plan.gameExe;
        try
        {
            StartGameJob(params, job);
        }
        catch (const std::system_error&)
        {
            return "Couldn't start the game download - close some programs and try again.";
        }

        // Relay the game thread's progress and forward a cancel request.
        for (;;)
        {
            bool finished = job->finished.load();
            app->gamePhase.store((uint32_t)job->phase.load());
            app->jobBytesDone.store(job->bytesDone.load());
            app->jobBytesTotal.store(job->bytesTotal.load());
            // The game thread's resume notes and its "trying again" line.
            for (const std::string& line : TakeGameJobLog(*job))
                AppendLog(*app, line);
            if (job->phase.load() == GamePhase_Wait)
                app->SetStatus(Stage_Game, GameJobWaitText(*job));
            if (finished)
                break;
            if (app->cancelRequested.load())
                job->cancel.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
        }

        std::string jobError;
        {
            std::lock_guard<std::mutex> lock(job->mutex);
            jobError = job->error;
            gameDir = job->gameDir;
        }
        if (!job->succeeded.load())
        {
            if (app->cancelRequested.load())
                return "Cancelled.";
            return jobError.empty() ? std::string("The game install didn't finish.") : jobError;
        }
        {
            std::lock_guard<std::mutex> lock(app->jobMutex);
            app->gameDirResult = gameDir;
        }

        app->SetStatus(Stage_Link, "Linking the game to the launcher...");
        std::string linkError = LinkGameInLauncherSettings(app->dataDir, gameDir);
        if (!linkError.empty())
            return linkError;
    }

    // From here on nothing can fail the install, and a cancel no longer counts.
    app->SetStatus(Stage_Shortcuts, "Making shortcuts...");
    RegistrationParams reg;
    reg.desktopShortcut = args.desktopShortcut;
    reg.startMenuShortcut = args.startMenuShortcut;
    reg.launcherPath = Utf8Path(exe);
    reg.installDir = dirText;
    reg.gameDir = gameDir;
    reg.dataDir = app->dataDir;
    MakeShortcutsAndRegister(reg);

    app->SetStatus(Stage_Done, "Done.");
    done = true;
    return std::string();
}
} // namespace

bool ReadInstallPlan(const std::string& body, bool includeGame, InstallPlan& plan)
{
    json doc = json::parse(body, nullptr, false);
    if (!doc.is_object())
        return false;
    auto launcher = doc.find("launcher");
    if (launcher == doc.end() || !launcher->is_object())
        return false;
    if (!ReadJsonString(*launcher, "sha256", plan.launcherSha256) || !ReadJsonSize(*launcher, "size", plan.launcherSize))
        return false;
    if (!includeGame)
        return true;
    auto game = doc.find("game");
    if (game == doc.end() || !game->is_object())
        return false;
    return ReadJsonString(*game, "sha256", plan.gameSha256) && ReadJsonSize(*game, "size", plan.gameSize) &&
           ReadJsonSize(*game, "unpacked", plan.gameUnpackedSize) && ReadJsonString(*game, "exe", plan.gameExe);
}

void RunInstall(InstallArgs& args)
{
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    InstallerApp* app = args.app;
    std::string failure;
    bool done = false;
    try
    {
        failure = Install(args, done);
    }
    catch (const std::exception& e)
    {
        // Only running out of memory gets here; the job must still end.
        failure = std::string("The install stopped unexpectedly (") + e.what() + ").";
        done = false;
    }
    if (!done && failure.empty())
        failure = "The install didn't finish.";
    // Ending the job is the last touch of the InstallerApp (install/job.h).
    if (done)
    {
        app->jobSucceeded.store(true);
        app->jobFinished.store(true);
        app->jobBusy.store(false);
    }
    else
    {
        app->Fail(failure);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}

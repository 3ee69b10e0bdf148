#include "install/job.h"

#include "install/install_sequence.h"
#include "install/log.h"
#include "install/settings_link.h"
#include "install/shortcuts.h"
#include "net/http.h"
#include "package/game_job.h"
#include "package/sha256.h"
#include "state/install_document.h"
#include "state/install_record.h"
#include "state/installer_app.h"
#include "util/file_identity.h"
#include "util/free_space.h"
#include "util/long_path.h"
#include "util/registry.h"
#include "util/text.h"
#include "util/windows_error.h"

#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace
{
const int kLauncherAttempts = 2;
const char* kTooLong = "The install folder's path is too long - choose a shorter folder.";

std::string Utf8Path(const fs::path& p) { return WideToUtf8(p.wstring()); }

// `item` (relative) lies in `folder` (relative) or is that folder itself.
bool IsWithin(const std::wstring& item, const std::wstring& folder)
{
    if (folder.empty())
        return true;
    return PathStartsWithIgnoreCase(item, folder) && (item.size() == folder.size() || item[folder.size()] == L'\\');
}

std::wstring WithoutTrailingSeparators(std::wstring path)
{
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

// Whether every file below `gameDir` is one this unpack wrote (and no link
// leads elsewhere): then nothing of anyone else is in it, though the folder
// was there before, as after an interrupted run.
bool HoldsOnlyMadeFiles(const fs::path& dir, const std::wstring& gameDir, const Manifest& made)
{
    std::set<std::wstring> madeFiles;
    for (const std::string& file : made.files)
        madeFiles.insert((dir / fs::path(Utf8ToWide(file))).lexically_normal().wstring());
    std::vector<std::wstring> folders = { gameDir };
    while (!folders.empty())
    {
        std::wstring next = folders.back();
        folders.pop_back();
        std::vector<FolderEntry> entries;
        if (!ListFolder(next, entries))
            return false;
        for (const FolderEntry& e : entries)
        {
            if (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                return false;
            if (e.attributes & FILE_ATTRIBUTE_DIRECTORY)
                folders.push_back(e.path);
            else if (!madeFiles.count(fs::path(e.path).lexically_normal().wstring()))
                return false;
        }
    }
    return true;
}

// Writes the manifest of what this install made (merged with an earlier
// install's into the same folder) and says whether the game folder is ours
// whole. "" or the user's sentence.
std::string RecordGameFiles(const InstallerApp& app, const fs::path& dir, const std::string& gameDir,
                            const Manifest& made, bool& gameDirCreated)
{
    const std::string dirText = WideToUtf8(dir.wstring());
    InstallRecord previous = ReadInstallRecord(app.dataDir);
    Manifest previousManifest;
    if (!previous.installDir.empty() && SameFileObject(Utf8ToWide(previous.installDir), dir.wstring()))
        ReadManifest(dir.wstring(), previousManifest);
    else
        previous = InstallRecord();
    const bool onlyMade = !PathsEqualIgnoreCase(Utf8ToWide(gameDir), dir.wstring()) &&
                          HoldsOnlyMadeFiles(dir, Utf8ToWide(gameDir), made);
    GameRecord record = PlanGameRecord(dirText, gameDir, made, onlyMade, previous, previousManifest);
    gameDirCreated = record.gameDirCreated;
    if (record.manifest.files.empty() && record.manifest.folders.empty())
        return std::string();
    DWORD err = WriteManifest(dir.wstring(), record.manifest);
    if (err == ERROR_SUCCESS)
        return std::string();
    return "Couldn't write the list of the game's files into " + dirText + " (" + WindowsErrorText(err) + ").";
}

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
    if (!RecordFits(dirText))
        return kTooLong;
    app->SetStatus(Stage_CheckServer, "Checking the server...");

    HttpResult answer = HttpGet(app->serverUrl + "/api/launcher/v1/install", "", &args.proxySignIn);
    if (!answer.Ok())
        return answer.ErrorMessage();
    InstallInfo plan = ReadInstallDocument(answer.body, args.includeGame);
    if (!plan.ok)
        return plan.error;

    if (!MakeFolders(dir.wstring()))
        return "Couldn't create " + dirText + " - choose another folder (or run the installer as administrator).";

    uint64_t free = FreeSpaceAt(dirText);
    uint64_t need = SpaceNeeded(plan, args.includeGame);
    if (free != 0 && free < need)
        return "Not enough free space on that drive: Ostrel needs " + FormatSize(need) + " while installing, " +
               FormatSize(free) + " is free.";
    // Found now rather than after the downloads: a launcher holding its
    // settings would otherwise fail the install at its very end.
    if (args.includeGame)
    {
        std::string settings = CheckLauncherSettings(app->dataDir);
        if (!settings.empty())
            return settings;
    }
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
                                    &app->cancelRequested, &observer, nullptr, &args.proxySignIn);
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
        return "Couldn't put the launcher in place (" + WindowsErrorText(GetLastError()) + "). Close Ostrel if it is running.";
    {
        std::lock_guard<std::mutex> lock(app->jobMutex);
        app->launcherPathResult = Utf8Path(exe);
    }

    std::string gameDir;
    std::string gameExe = plan.gameExe;
    bool gameDirCreated = false;
    if (!args.includeGame)
    {
        // A launcher-only install over an earlier full one into the same
        // folder leaves that game where it is: its record stays, or no
        // uninstall would ever remove it.
        const InstallRecord previous = ReadInstallRecord(app->dataDir);
        const bool sameFolder =
            !previous.installDir.empty() && SameFileObject(Utf8ToWide(previous.installDir), dir.wstring());
        if (sameFolder && previous.complete && !previous.gameDir.empty())
        {
            gameDir = previous.gameDir;
            gameExe = previous.gameExe;
            gameDirCreated = previous.gameDirCreated;
        }
        else
        {
            gameExe.clear();
        }
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
        params.proxySignIn = args.proxySignIn;
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
        Manifest made;
        {
            std::lock_guard<std::mutex> lock(job->mutex);
            jobError = job->error;
            gameDir = job->gameDir;
            made.files = job->createdFiles;
            made.folders = job->createdFolders;
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
        if (Utf8ToWide(gameDir).size() > kMaxRegStringLength)
            return kTooLong;

        std::string recordError = RecordGameFiles(*app, dir, gameDir, made, gameDirCreated);
        if (!recordError.empty())
            return recordError;

        app->SetStatus(Stage_Link, "Linking the game to the launcher...");
        std::string linkError = LinkGameInLauncherSettings(app->dataDir, gameDir);
        if (!linkError.empty())
            return linkError;
    }

    // From here on a cancel no longer counts.
    app->SetStatus(Stage_Shortcuts, "Making shortcuts...");
    RegistrationParams reg;
    reg.desktopShortcut = args.desktopShortcut;
    reg.startMenuShortcut = args.startMenuShortcut;
    reg.launcherPath = Utf8Path(exe);
    reg.installDir = dirText;
    reg.gameDir = gameDir;
    reg.gameExe = gameExe;
    reg.gameDirCreated = gameDirCreated;
    reg.dataDir = app->dataDir;
    RegistrationResult registered = MakeShortcutsAndRegister(reg, [app](const std::string& line) { AppendLog(*app, line); });
    if (!registered.error.empty())
        return registered.error;
    {
        std::lock_guard<std::mutex> lock(app->jobMutex);
        app->jobNotes = registered.notes;
    }

    app->SetStatus(Stage_Done, "Done.");
    done = true;
    return std::string();
}
} // namespace

bool RecordFits(const std::string& installDir)
{
    return Utf8ToWide(installDir).size() + 7 <= kMaxRegStringLength;
}

GameRecord PlanGameRecord(const std::string& installDir, const std::string& gameDir, const Manifest& made,
                          bool onlyMadeInside, const InstallRecord& previous, const Manifest& previousManifest)
{
    const std::wstring dir = WithoutTrailingSeparators(Utf8ToWide(installDir));
    const std::wstring game = WithoutTrailingSeparators(Utf8ToWide(gameDir));
    std::wstring relative;
    if (PathStartsWithIgnoreCase(game, dir) && game.size() > dir.size())
    {
        relative = game.substr(dir.size());
        while (!relative.empty() && (relative.front() == L'\\' || relative.front() == L'/'))
            relative.erase(0, 1);
    }

    GameRecord record;
    if (!relative.empty())
    {
        for (const std::string& folder : made.folders)
            if (PathsEqualIgnoreCase(Utf8ToWide(folder), relative))
                record.gameDirCreated = true;
        if (onlyMadeInside)
            record.gameDirCreated = true;
        // A re-install over the game an earlier install had made: the folder
        // exists now, but it is still the setup's.
        if (previous.complete && previous.gameDirCreated &&
            PathsEqualIgnoreCase(WithoutTrailingSeparators(Utf8ToWide(previous.gameDir)), game))
            record.gameDirCreated = true;
    }

    record.manifest = previousManifest;
    Manifest outside;
    for (const std::string& file : made.files)
        if (!record.gameDirCreated || !IsWithin(Utf8ToWide(file), relative))
            outside.files.push_back(file);
    for (const std::string& folder : made.folders)
        if (!record.gameDirCreated || !IsWithin(Utf8ToWide(folder), relative))
            outside.folders.push_back(folder);
    MergeManifest(record.manifest, outside);
    return record;
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
        app->Succeed();
    else
        app->Fail(failure);
    if (SUCCEEDED(com))
        CoUninitialize();
}

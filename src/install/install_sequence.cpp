#include "install/job.h"

#include "install/install_sequence.h"
#include "install/log.h"
#include "install/settings_link.h"
#include "install/shortcuts.h"
#include "net/http.h"
#include "package/game_job.h"
#include "package/unpack.h"
#include "package/verified_download.h"
#include "state/document_signature.h"
#include "state/install_document.h"
#include "state/install_journal.h"
#include "state/install_record.h"
#include "state/installed_layout.h"
#include "state/installer_app.h"
#include "util/file_identity.h"
#include "util/free_space.h"
#include "util/long_path.h"
#include "util/registry.h"
#include "util/test_pause.h"
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
bool IsRegularFileAt(const fs::path& path)
{
    const DWORD attributes = PathAttributes(path.wstring());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

const char* kTooLong = "The install folder's path is too long - choose a shorter folder.";

std::string Utf8Path(const fs::path& p) { return WideToUtf8(p.wstring()); }

// Whether every file below `gameDir` is one this unpack wrote (and no link
// leads elsewhere): then nothing of anyone else is in it, though the folder
// was there before, as after an interrupted run.
bool HoldsOnlyMadeFiles(const fs::path& dir, const std::wstring& gameDir, const Manifest& made)
{
    std::set<std::wstring> madeFiles;
    for (const std::string& file : made.files)
        madeFiles.insert((dir / fs::path(Utf8ToWide(file))).lexically_normal().wstring());
    std::vector<FolderEntry> entries;
    if (!WalkFolder(gameDir, entries))
        return false;
    for (const FolderEntry& e : entries)
    {
        if (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return false;
        if (!(e.attributes & FILE_ATTRIBUTE_DIRECTORY) && !madeFiles.count(fs::path(e.path).lexically_normal().wstring()))
            return false;
    }
    return true;
}

// What an earlier install (or a killed run) recorded for this folder; an
// empty record when it recorded another folder or nothing.
InstallRecord RecordOfFolder(const std::string& dataDir, const fs::path& dir)
{
    InstallRecord previous = ReadInstallRecord(dataDir);
    if (previous.installDir.empty() || !SameFileObject(Utf8ToWide(previous.installDir), dir.wstring()))
        return InstallRecord();
    return previous;
}

// Writes the manifest of what the move into place is about to make (merged
// with an earlier install's into the same folder) and says whether the game
// folder is ours whole. "" or the user's sentence.
std::string RecordGameFiles(const std::string& dataDir, const fs::path& dir, const std::string& gameDir,
                            const Manifest& made, bool& gameDirCreated)
{
    const std::string dirText = WideToUtf8(dir.wstring());
    const InstallRecord previous = RecordOfFolder(dataDir, dir);
    Manifest previousManifest;
    if (!previous.installDir.empty())
        ReadManifest(dir.wstring(), previousManifest);
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

    // Fetched and checked again: this answer may differ from the server check's.
    HttpResult answer = FetchInstallDocument(app->serverUrl, app->signingKeys, &args.proxySignIn);
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

    // From here on whatever the install makes is recorded, whenever it stops.
    std::string begun = BeginInstallRecord(app->dataDir, dirText);
    if (!begun.empty())
        return begun;

    // The launcher: downloaded into a .part file that a later run resumes.
    app->SetStatus(Stage_Launcher, "Downloading the Ostrel launcher...");
    app->jobBytesDone.store(0);
    app->jobBytesTotal.store(0);
    const fs::path part = dir / kLauncherPartName;
    const fs::path exe = dir / kLauncherExeName;
    const fs::path old = dir / kLauncherOldName;
    VerifiedDownload launcher;
    launcher.url = app->downloadUrl + kLauncherDownloadPath + plan.launcherSha256;
    launcher.path = Utf8Path(part);
    launcher.sha256 = plan.launcherSha256;
    launcher.damagedTwice = "The launcher download was damaged twice - check your connection and try again.";
    launcher.bytesDone = &app->jobBytesDone;
    launcher.bytesTotal = &app->jobBytesTotal;
    launcher.cancel = &app->cancelRequested;
    launcher.signIn = &args.proxySignIn;
    launcher.pause = [app](const DownloadPause& pause) {
        if (pause.starting)
            AppendLog(*app, DownloadResumeLogText("the launcher download", pause));
        app->SetStatus(Stage_Launcher,
                       pause.secondsLeft > 0 ? DownloadPauseText(pause) : "Downloading the Ostrel launcher...");
    };
    VerifiedResult fetched = DownloadVerified(launcher);
    if (fetched.outcome == VerifiedResult::Cancelled)
        return "Cancelled.";
    if (fetched.outcome == VerifiedResult::Failed)
        return fetched.error;

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
    const InstallRecord previous = RecordOfFolder(app->dataDir, dir);
    InstallJournal journal;
    const bool journalled = ReadInstallJournal(dir.wstring(), journal);
    if (!args.includeGame)
    {
        // A launcher-only install over an earlier full one into the same
        // folder leaves that game where it is: its record stays, or no
        // uninstall would ever remove it.
        if (previous.complete && !previous.gameDir.empty())
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
    else if (journalled && journal.state == InstallJournal::Placed && journal.sha256 == plan.gameSha256 &&
             IsRegularFileAt(fs::path(Utf8ToWide(journal.gameDir)) / Utf8ToWide(journal.gameExe)))
    {
        // A run killed after this very game was in place: what is left to do
        // is the rest of the install, and the archive it no longer needs.
        AppendLog(*app, "the game is already in place in " + journal.gameDir);
        DeleteFileW(LongPath((dir / kArchiveName).wstring()).c_str());
        RemoveTree(StagingFolder(dirText));
        gameDir = journal.gameDir;
        gameExe = journal.gameExe;
        gameDirCreated = journal.gameDirCreated;
        {
            std::lock_guard<std::mutex> lock(app->jobMutex);
            app->gameDirResult = gameDir;
        }
        app->SetStatus(Stage_Link, "Linking the game to the launcher...");
        std::string linkError = LinkGameInLauncherSettings(app->dataDir, gameDir);
        if (!linkError.empty())
            return linkError;
    }
    else
    {
        app->SetStatus(Stage_Game, "Downloading the game...");
        app->jobBytesDone.store(0);
        app->jobBytesTotal.store(0);
        app->gamePhase.store(GamePhase_Download);

        auto job = std::make_shared<InstallJob>();
        GameJobParams params;
        params.url = app->downloadUrl + kGameDownloadPath + plan.gameSha256;
        params.token = "";
        params.sha256 = plan.gameSha256;
        params.size = plan.gameSize;
        params.installDir = dirText;
        params.exeName = plan.gameExe;
        // A game folder an earlier install (or a killed run) made is ours, and
        // the game keeps going there.
        if (previous.complete && previous.gameDirCreated)
            params.unpack.ownGameDir = previous.gameDir;
        // Before the first file moves into place: the manifest and the journal
        // say what is about to be made, so that a kill from here on leaves
        // nothing that the next run or the uninstall could not tell apart.
        const std::string dataDir = app->dataDir, sha = plan.gameSha256, exeName = plan.gameExe;
        params.unpack.beforePlacing = [dataDir, dir, sha, exeName](const Placement& placement) {
            Manifest made;
            made.files = placement.files;
            made.folders = placement.folders;
            bool created = false;
            std::string error = RecordGameFiles(dataDir, dir, placement.gameDir, made, created);
            if (!error.empty())
                return error;
            InstallJournal intent;
            intent.state = InstallJournal::Placing;
            intent.sha256 = sha;
            intent.gameDir = placement.gameDir;
            intent.gameExe = exeName;
            intent.gameDirCreated = created;
            DWORD err = WriteInstallJournal(dir.wstring(), intent);
            if (err != ERROR_SUCCESS)
                return "Couldn't write " + WideToUtf8((dir / kJournalName).wstring()) + " (" + WindowsErrorText(err) + ").";
            PauseForTest("placing");
            return std::string();
        };
        params.placed = [dir]() {
            PauseForTest("moved");
            InstallJournal done;
            if (ReadInstallJournal(dir.wstring(), done))
            {
                done.state = InstallJournal::Placed;
                WriteInstallJournal(dir.wstring(), done);
            }
            PauseForTest("placed");
        };
        params.proxySignIn = args.proxySignIn;
        try
        {
            StartGameJob(params, job);
        }
        catch (const std::system_error&)
        {
            return "Couldn't start the game download - close some programs and try again.";
        }

        // Relay the game thread's progress and forward a cancel request; its
        // end is told at once, the rest every 120 ms.
        for (;;)
        {
            bool finished = WaitForGameJob(*job, 120);
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
        if (Utf8ToWide(gameDir).size() > kMaxRegStringLength)
            return kTooLong;
        InstallJournal placed;
        if (ReadInstallJournal(dir.wstring(), placed))
            gameDirCreated = placed.gameDirCreated;

        app->SetStatus(Stage_Link, "Linking the game to the launcher...");
        std::string linkError = LinkGameInLauncherSettings(app->dataDir, gameDir);
        if (!linkError.empty())
            return linkError;
    }
    PauseForTest("linked");

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
    // Everything is recorded for good: the journal and the mark go last.
    EndInstallRecord(app->dataDir, dirText);

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
        if (!record.gameDirCreated || !IsInsideFolder(Utf8ToWide(file), relative))
            outside.files.push_back(file);
    for (const std::string& folder : made.folders)
        if (!record.gameDirCreated || !IsInsideFolder(Utf8ToWide(folder), relative))
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

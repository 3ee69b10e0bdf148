#include "uninstall/uninstall_sequence.h"

#include "install/job.h"
#include "install/log.h"
#include "install/settings_link.h"
#include "package/unpack.h"
#include "state/install_record.h"
#include "state/installed_layout.h"
#include "state/installer_app.h"
#include "uninstall/running_check.h"
#include "util/file_identity.h"
#include "util/handles.h"
#include "util/long_path.h"
#include "util/system_paths.h"
#include "util/test_pause.h"
#include "util/text.h"
#include "util/windows_error.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace
{
bool IsReparsePoint(const fs::path& path)
{
    DWORD attrs = PathAttributes(path.wstring());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsRegularFile(const fs::path& path)
{
    DWORD attrs = PathAttributes(path.wstring());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

void ClearReadOnly(const fs::path& file)
{
    DWORD attrs = PathAttributes(file.wstring());
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_READONLY))
        return;
    DWORD rest = attrs & ~(DWORD)FILE_ATTRIBUTE_READONLY;
    SetFileAttributesW(LongPath(file.wstring()).c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL);
}

fs::path WithoutTrailingSeparator(const fs::path& path)
{
    return fs::path(WithoutTrailingSeparators(path.lexically_normal().wstring()));
}

// `game` lies below `installDir` (at most `depth` levels down) through real
// folders only: no link on the way could lead the removal elsewhere.
bool IsBelow(fs::path game, const fs::path& installDir, int depth)
{
    game = WithoutTrailingSeparator(game);
    if (game.empty() || installDir.empty() || !IsFolder(game.wstring()) || IsReparsePoint(game))
        return false;
    for (int i = 0; i < depth; i++)
    {
        fs::path parent = game.parent_path();
        if (parent.empty() || parent == game)
            return false;
        if (SameFileObject(parent.wstring(), installDir.wstring()))
            return true;
        if (IsReparsePoint(parent))
            return false;
        game = parent;
    }
    return false;
}

// Every regular file under `folder`, in walk order; linked folders are not
// entered. (The C runtime's directory reading behind std::filesystem stops
// short at 260 characters, silently.)
std::vector<fs::path> CollectFiles(const fs::path& folder)
{
    std::vector<FolderEntry> entries;
    WalkFolder(folder.wstring(), entries);
    std::vector<fs::path> files;
    for (const FolderEntry& e : entries)
        if (!(e.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
            files.push_back(fs::path(e.path));
    return files;
}

// The one way the uninstall deletes a file: "" once it is gone (also when it
// was gone already), else the sentence with the system's reason, which the
// log gets too.
std::string RemoveFile(InstallerApp& app, const fs::path& file, bool log = true)
{
    ClearReadOnly(file);
    if (DeleteFileW(LongPath(file.wstring()).c_str()))
        return std::string();
    const DWORD error = GetLastError();
    if (PathAttributes(file.wstring()) == INVALID_FILE_ATTRIBUTES)
        return std::string();
    const std::string sentence = "Couldn't delete " + WideToUtf8(file.wstring()) + " (" + WindowsErrorText(error) + ").";
    if (log)
        AppendLog(app, "uninstall: " + sentence);
    return sentence;
}

// Deletes each file, counting in the job block; "" or the failure sentence.
std::string DeleteFiles(InstallerApp& app, const std::vector<fs::path>& files)
{
    app.jobBytesTotal.store(files.size());
    app.jobBytesDone.store(0);
    for (const fs::path& file : files)
    {
        std::string failure = RemoveFile(app, file);
        if (!failure.empty())
            return failure;
        app.jobBytesDone.fetch_add(1);
    }
    return std::string();
}

// Deletes a key that this setup's keys left behind, only while it holds
// nothing at all (no values, no subkeys).
void DeleteKeyIfEmpty(const std::wstring& subKey)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return;
    DWORD subKeys = 1, values = 1;
    LSTATUS rc = RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                  nullptr, nullptr, nullptr);
    key.reset();
    if (rc == ERROR_SUCCESS && subKeys == 0 && values == 0)
        RegDeleteKeyW(HKEY_CURRENT_USER, subKey.c_str());
}

// Something deliberately left on disk: told on the Removed page and in the log
// (unless the log went with the launcher's data).
void Keep(InstallerApp& app, const std::string& sentence, bool log = true)
{
    if (log)
        AppendLog(app, "uninstall kept: " + sentence);
    std::lock_guard<std::mutex> lock(app.jobMutex);
    app.jobNotes += sentence + "\n";
}

// A shortcut that stays is told, but stops nothing: the record does not
// describe shortcuts, and the user can delete one like any other.
void DeleteShortcuts(InstallerApp& app)
{
    const KNOWNFOLDERID* folders[] = { &FOLDERID_Desktop, &FOLDERID_Programs };
    for (const wchar_t* name : kShortcutNames)
        for (const KNOWNFOLDERID* id : folders)
        {
            // Without the folder there is no place to look: never guess one.
            std::wstring folder = KnownFolderPath(*id);
            if (folder.empty())
                continue;
            const fs::path link = fs::path(folder) / name;
            if (!RemoveFile(app, link).empty())
                Keep(app, "The shortcut " + WideToUtf8(link.wstring()) + " couldn't be deleted.", false);
        }
}

// The launcher's files and what the setup keeps for itself in the install
// folder (a download, the staging folder, the journal, the manifest), in
// whatever state a killed run left them. "" or the failure sentence.
std::string RemoveLauncherAndBookkeeping(InstallerApp& app, const fs::path& installDir)
{
    for (const wchar_t* name : kLauncherFileNames)
    {
        std::string failure = RemoveFile(app, installDir / name);
        if (!failure.empty())
            return failure;
    }
    for (const wchar_t* name : kBookkeepingNames)
    {
        const fs::path item = installDir / name;
        if (IsFolder(item.wstring()))
        {
            RemoveTree(item.wstring());
            if (PathAttributes(item.wstring()) != INVALID_FILE_ATTRIBUTES)
                return "Couldn't delete " + WideToUtf8(item.wstring()) + " - is the game still running?";
            continue;
        }
        std::string failure = RemoveFile(app, item);
        if (!failure.empty())
            return failure;
    }
    return std::string();
}

// A registry tree of the installation; "" when it is gone.
std::string DeleteRegistryTree(InstallerApp& app, const std::wstring& key, bool log)
{
    const LSTATUS rc = RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
        return std::string();
    const std::string sentence = "Couldn't remove the installation's record from the registry (" +
                                 WindowsErrorText((DWORD)rc) + ").";
    if (log)
        AppendLog(app, "uninstall: " + sentence);
    return sentence;
}

// An entry of the manifest, checked as strictly as an archive entry: relative,
// no "..", no drive or stream. Its folders must be real folders below the
// install folder, not links someone put there since.
bool ManifestPathIsSafe(const fs::path& installDir, const std::string& relative)
{
    if (!IsSafeEntryName(relative))
        return false;
    fs::path walk = installDir;
    fs::path rel(Utf8ToWide(relative));
    for (auto it = rel.begin(); it != rel.end(); ++it)
    {
        auto next = it;
        if (++next == rel.end())
            break;
        walk /= *it;
        if (IsReparsePoint(walk))
            return false;
    }
    return true;
}

// The files the manifest lists, then its folders that are empty now, deepest
// first. "" or the failure sentence.
std::string RemoveManifest(InstallerApp& app, const fs::path& installDir, const Manifest& manifest)
{
    std::vector<fs::path> files;
    for (const std::string& item : manifest.files)
    {
        fs::path file = installDir / fs::path(Utf8ToWide(item));
        if (ManifestPathIsSafe(installDir, item) && IsRegularFile(file))
            files.push_back(file);
    }
    std::string failure = DeleteFiles(app, files);
    if (!failure.empty())
        return failure;

    std::vector<std::string> folders = manifest.folders;
    std::stable_sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
        return std::count_if(a.begin(), a.end(), [](char c) { return c == '\\' || c == '/'; }) >
               std::count_if(b.begin(), b.end(), [](char c) { return c == '\\' || c == '/'; });
    });
    int kept = 0;
    std::string firstKept;
    for (const std::string& item : folders)
    {
        fs::path folder = installDir / fs::path(Utf8ToWide(item));
        if (!ManifestPathIsSafe(installDir, item) || !IsFolder(folder.wstring()) || IsReparsePoint(folder))
            continue;
        if (!RemoveDirectoryW(LongPath(folder.wstring()).c_str()) && IsFolder(folder.wstring()))
        {
            if (kept++ == 0)
                firstKept = WideToUtf8(folder.wstring());
        }
    }
    if (kept == 1)
        Keep(app, "The folder " + firstKept + " was kept: it holds files that Setup didn't install.");
    else if (kept > 1)
        Keep(app, std::to_string(kept) + " game folders, " + firstKept +
                      " among them, were kept: they hold files that Setup didn't install.");
    return std::string();
}

// The game step by the install record. "" when the uninstall may go on.
std::string RemoveRecordedGame(InstallerApp& app, const UninstallArgs& args)
{
    const fs::path installDir(Utf8ToWide(args.installDir));
    if (!args.gameDir.empty() && args.gameDirCreated)
    {
        const fs::path game(Utf8ToWide(args.gameDir));
        if (IsBelow(game, installDir, 64))
        {
            std::string failure = DeleteFiles(app, CollectFiles(game));
            if (!failure.empty())
                return failure;
            RemoveTree(game.wstring());
            if (IsFolder(game.wstring()))
                Keep(app, "The game folder " + args.gameDir + " couldn't be removed completely.");
        }
        else if (PathAttributes(game.wstring()) != INVALID_FILE_ATTRIBUTES)
            Keep(app, "The game folder " + args.gameDir + " was kept: it is no longer inside " + args.installDir + ".");
        else
        {
            std::lock_guard<std::mutex> lock(app.jobMutex);
            app.statusText = "The game folder was not found - skipped.";
        }
    }
    Manifest manifest;
    if (ReadManifest(installDir.wstring(), manifest))
        return RemoveManifest(app, installDir, manifest);
    if (!args.gameDir.empty() && !args.gameDirCreated)
    {
        // The record says the game went into a folder that held other files,
        // and only the list could tell them apart.
        if (IsFolder(Utf8ToWide(args.gameDir)))
            Keep(app, "The game's files in " + args.gameDir + " were kept: the list of the files Setup installed (" +
                          WideToUtf8(kManifestName) + ") is missing.");
    }
    return std::string();
}
} // namespace

std::string RemoveGameFolder(InstallerApp& app, const std::string& installDir, const std::string& gameDir)
{
    if (gameDir.empty())
        return std::string();
    const fs::path game(Utf8ToWide(gameDir));
    const fs::path dir(Utf8ToWide(installDir));
    // Installs made before the record: the game folder is ours only when it is
    // a real folder directly in the install folder that holds Playden.exe.
    if (!IsBelow(game, dir, 1) || !IsRegularFile(WithoutTrailingSeparator(game) / Utf8ToWide(kOldGameExe)))
    {
        {
            std::lock_guard<std::mutex> lock(app.jobMutex);
            app.statusText = "The game folder was not found - skipped.";
        }
        if (PathAttributes(game.wstring()) != INVALID_FILE_ATTRIBUTES)
            Keep(app, "The folder " + gameDir + " was kept: it doesn't look like the game Setup installed.");
        return std::string();
    }
    std::vector<fs::path> files = CollectFiles(game);
    // The executable that marks the folder as ours goes last, so that a Retry
    // after a failed delete still recognises the folder.
    const std::wstring marker = (WithoutTrailingSeparator(game) / Utf8ToWide(kOldGameExe)).wstring();
    std::stable_partition(files.begin(), files.end(),
                          [&](const fs::path& f) { return !PathsEqualIgnoreCase(f.wstring(), marker); });
    std::string failure = DeleteFiles(app, files);
    if (!failure.empty())
        return failure;
    RemoveTree(game.wstring());
    return std::string();
}

std::wstring SelfRemovalParameters(const std::wstring& setupCopy, const std::wstring& folder)
{
    // cmd expands %...% (and !...! with delayed expansion) even inside quotes,
    // and a quote of our own would end the quoting: such a path could turn
    // into another one. Better to leave the copy than to delete elsewhere.
    const wchar_t* unsafe = L"%!\"^&";
    if (setupCopy.empty() || folder.empty() || setupCopy.find_first_of(unsafe) != std::wstring::npos ||
        folder.find_first_of(unsafe) != std::wstring::npos)
        return std::wstring();
    // Started as this process ends, it tries again and again for about 30
    // seconds, so a slow exit (a busy machine, an antivirus holding the file)
    // still ends with the copy gone; the folder goes once it is empty. The
    // attempts are spelt out: cmd's own loops misparse under some shells.
    // cmd takes at most 8191 characters: fewer attempts for a long path.
    static const int kWaitsMany[] = { 2, 3, 4, 6, 8, 13 };     // pings: about 1, 3, 6, 11, 18, 30 s
    static const int kWaitsFew[] = { 2, 30 };
    for (const auto& waits : { std::vector<int>(std::begin(kWaitsMany), std::end(kWaitsMany)),
                               std::vector<int>(std::begin(kWaitsFew), std::end(kWaitsFew)) })
    {
        std::wstring params = L"/c";
        for (size_t i = 0; i < waits.size(); i++)
            params += std::wstring(i ? L" &" : L"") + L" ping -n " + std::to_wstring(waits[i]) +
                      L" 127.0.0.1 >nul & del /f /q \"" + setupCopy + L"\" >nul 2>&1 & rmdir \"" + folder +
                      L"\" >nul 2>&1";
        if (params.size() <= 8000)
            return params;
    }
    return std::wstring();
}

namespace
{
// One pass of the removal; "" when it reached "Done.".
std::string Uninstall(UninstallArgs& args)
{
    InstallerApp* app = args.app;
    const std::string dataDir = app->dataDir;
    const fs::path installDir(Utf8ToWide(args.installDir));
    AppendLog(*app, "uninstall from " + args.installDir);

    // Installs made before the record ran Playden.exe, the only game there was.
    const std::string gameExe = args.recordComplete ? args.gameExe : std::string(kOldGameExe);
    if (IsRunningFrom(kLauncherExeName, installDir) ||
        (!gameExe.empty() && IsRunningFrom(Utf8ToWide(gameExe), installDir)))
        return "Close the Ostrel launcher and the game first, then try again.";
    // Nothing is touched while the launcher holds its settings.
    if (!args.removeLauncherData)
    {
        std::string settings = CheckLauncherSettings(dataDir);
        if (!settings.empty())
            return settings;
    }

    app->SetStatus(UninstallStage_Game, "Removing the game...");
    std::string failure = args.recordComplete ? RemoveRecordedGame(*app, args)
                                              : RemoveGameFolder(*app, args.installDir, args.gameDir);
    if (!failure.empty())
        return failure;

    PauseForTest("game-removed");

    app->SetStatus(UninstallStage_Launcher, "Removing the launcher...");
    if (!installDir.empty())
    {
        failure = RemoveLauncherAndBookkeeping(*app, installDir);
        if (!failure.empty())
            return failure;
    }
    DeleteShortcuts(*app);

    app->SetStatus(UninstallStage_CleanUp, "Cleaning up...");
    if (args.removeLauncherData)
    {
        DeleteLauncherData(dataDir);
        const std::string folder = LauncherDataFolderPath(dataDir);
        if (IsFolder(Utf8ToWide(folder)))
            Keep(*app, "The launcher's data folder " + folder + " couldn't be deleted completely - is the launcher running?",
                 false);
    }
    else
    {
        failure = UnlinkGameFromLauncherSettings(dataDir, args.gameDir);
        if (!failure.empty())
            return failure;
    }
    PauseForTest("cleaned-up");

    // installer.log went with the launcher's data: writing it now would make it again.
    const bool log = !args.removeLauncherData;

    bool selfRemoval = false;
    if (!installDir.empty())
    {
        const fs::path setupCopy = installDir / kSetupCopyName;
        selfRemoval = PathAttributes(setupCopy.wstring()) != INVALID_FILE_ATTRIBUTES &&
                      SameFileObject(setupCopy.wstring(), Utf8ToWide(ExecutablePath()));
        if (selfRemoval)
        {
            // A running program cannot delete its own file: cmd does it once
            // this process has ended (StartSelfRemoval).
            std::wstring params = SelfRemovalParameters(setupCopy.wstring(), installDir.wstring());
            if (params.empty())
                Keep(*app, "Setup's own copy " + WideToUtf8(setupCopy.wstring()) +
                              " was kept: the system's command line can't take its folder's name safely.",
                     log);
            std::lock_guard<std::mutex> lock(app->jobMutex);
            app->selfRemoval = params;
        }
        else
        {
            failure = RemoveFile(*app, setupCopy, log);
            if (!failure.empty())
                return failure;
            RemoveDirectoryW(LongPath(installDir.wstring()).c_str());
        }
        // What is left besides the copy is the user's: the folder stays for it.
        std::vector<FolderEntry> left;
        if (ListFolder(installDir.wstring(), left))
        {
            size_t others = 0;
            for (const FolderEntry& e : left)
                if (!(selfRemoval && PathsEqualIgnoreCase(e.path, setupCopy.wstring())))
                    others++;
            if (others > 0)
                Keep(*app, "The folder " + args.installDir + " was kept: it holds files that Setup didn't install.", log);
        }
    }

    // Last of all the record, now that everything it describes is gone or
    // deliberately kept (and said so): a run stopped before here finds it again.
    // (Only the copy that runs this removal outlives it, for cmd to delete.)
    if (dataDir.empty())
    {
        failure = DeleteRegistryTree(*app, OSTREL_UNINSTALL_KEY, log);
        if (!failure.empty())
            return failure;
    }
    const std::wstring installerKey = InstallerRegKey(dataDir);
    failure = DeleteRegistryTree(*app, installerKey, log);
    if (!failure.empty())
        return failure;
    DeleteKeyIfEmpty(installerKey.substr(0, installerKey.rfind(L'\\')));

    app->SetStatus(UninstallStage_Done, "Done.");
    if (log)
        AppendLog(*app, "uninstall done");
    return std::string();
}
} // namespace

void RunUninstall(UninstallArgs& args)
{
    InstallerApp* app = args.app;
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string failure;
    try
    {
        failure = Uninstall(args);
    }
    catch (const std::exception& e)
    {
        // Only running out of memory gets here; the job must still end.
        failure = std::string("The removal stopped unexpectedly (") + e.what() + ").";
    }
    // Ending the job is the last touch of the InstallerApp (install/job.h).
    if (failure.empty())
        app->Succeed();
    else
        app->FailUninstall(failure);
    if (SUCCEEDED(com))
        CoUninitialize();
}

void InstallerApp::StartSelfRemoval()
{
    std::wstring params;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        params = selfRemoval;
    }
    if (params.empty())
        return;
    // The system's own cmd.exe, never one found beside us, run in the system
    // folder: with the install folder as its current folder it could not
    // remove it.
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    std::wstring cmd = std::wstring(system, n) + L"\\cmd.exe";
    HINSTANCE started = ShellExecuteW(nullptr, L"open", cmd.c_str(), params.c_str(), system, SW_HIDE);
    if ((INT_PTR)started <= 32)
        AppendLog(*this, "uninstall: couldn't start the removal of Setup's own copy (" +
                             WindowsErrorText(GetLastError()) + ")");
}

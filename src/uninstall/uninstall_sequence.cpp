#include "uninstall/uninstall_sequence.h"

#include "install/job.h"
#include "install/settings_link.h"
#include "install/shortcuts.h"
#include "state/installer_app.h"
#include "uninstall/running_check.h"
#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace
{
const wchar_t* const kLauncherFiles[] = {
    L"Ostrel Launcher.exe", L"Ostrel Launcher.old.exe", L"Ostrel Launcher.exe.part",
    L"Ostrel Launcher.old2.exe", L"Ostrel Launcher.old3.exe",
};
const wchar_t* const kShortcutNames[] = { L"Ostrel Launcher.lnk", L"Ostrel.lnk" };
const wchar_t* const kGameExe = L"Playden.exe";
const wchar_t* const kSetupCopy = L"Ostrel Setup.exe";

// The system's sentence for an error code, without the trailing period and
// line end that FormatMessage puts there (the caller adds its own ").").
std::string SystemMessage(DWORD code)
{
    std::string text = std::system_category().message((int)code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

bool IsReparsePoint(const fs::path& path)
{
    DWORD attrs = PathAttributes(path.wstring());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Volume and file index: the same object whatever the spelling of the paths.
bool SameFileObject(const fs::path& a, const fs::path& b)
{
    BY_HANDLE_FILE_INFORMATION infoA = {}, infoB = {};
    bool gotA = false, gotB = false;
    HANDLE ha = CreateFileW(LongPath(a.wstring()).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (ha != INVALID_HANDLE_VALUE)
    {
        gotA = GetFileInformationByHandle(ha, &infoA) != 0;
        CloseHandle(ha);
    }
    HANDLE hb = CreateFileW(LongPath(b.wstring()).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hb != INVALID_HANDLE_VALUE)
    {
        gotB = GetFileInformationByHandle(hb, &infoB) != 0;
        CloseHandle(hb);
    }
    return gotA && gotB && infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow;
}

void ClearReadOnly(const fs::path& file)
{
    DWORD attrs = PathAttributes(file.wstring());
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_READONLY))
        return;
    DWORD rest = attrs & ~(DWORD)FILE_ATTRIBUTE_READONLY;
    SetFileAttributesW(LongPath(file.wstring()).c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL);
}

// The recorded game folder is ours only when it is a real folder directly in
// the install folder that holds the game's executable. Anything else (moved,
// edited registry value, a link to elsewhere) is left alone.
bool IsOurGameFolder(fs::path game, const fs::path& installDir)
{
    game = game.lexically_normal();
    if (!game.has_filename())
        game = game.parent_path();
    if (game.empty() || installDir.empty() || !IsFolder(game.wstring()) || IsReparsePoint(game))
        return false;
    fs::path parent = game.parent_path();
    if (parent.empty() || parent == game || !SameFileObject(parent, installDir))
        return false;
    DWORD exe = PathAttributes((game / kGameExe).wstring());
    return exe != INVALID_FILE_ATTRIBUTES && !(exe & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

// Every regular file under `folder`, in walk order. Linked folders are not
// entered; the walk stops at its first error. (The C runtime's directory
// reading behind std::filesystem stops short at 260 characters, silently.)
std::vector<fs::path> CollectFiles(const fs::path& folder)
{
    std::vector<fs::path> files;
    std::vector<std::wstring> folders = { folder.wstring() };
    while (!folders.empty())
    {
        std::wstring next = folders.back();
        folders.pop_back();
        std::vector<FolderEntry> entries;
        if (!ListFolder(next, entries))
            break;
        // Reversed onto the stack, so folders are walked in listing order.
        for (size_t i = entries.size(); i-- > 0;)
        {
            const FolderEntry& e = entries[i];
            if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) && !(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                folders.push_back(e.path);
        }
        for (const FolderEntry& e : entries)
            if (!(e.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)))
                files.push_back(fs::path(e.path));
    }
    return files;
}

// Deletes a key that this setup's keys left behind, only while it holds
// nothing at all (no values, no subkeys).
void DeleteKeyIfEmpty(const std::wstring& subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD subKeys = 1, values = 1;
    LSTATUS rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                  nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && subKeys == 0 && values == 0)
        RegDeleteKeyW(HKEY_CURRENT_USER, subKey.c_str());
}

void DeleteShortcuts()
{
    const KNOWNFOLDERID* folders[] = { &FOLDERID_Desktop, &FOLDERID_Programs };
    for (const wchar_t* name : kShortcutNames)
        for (const KNOWNFOLDERID* id : folders)
        {
            // Without the folder there is no place to look: never guess one.
            std::wstring folder = KnownFolderPath(*id);
            if (!folder.empty())
                DeleteFileW((fs::path(folder) / name).c_str());
        }
}

// Ends the job as failed; COM goes with it.
void Fail(InstallerApp* app, const std::string& message, bool comInitialised)
{
    app->FailUninstall(message);
    if (comInitialised)
        CoUninitialize();
}
} // namespace

std::string RemoveGameFolder(InstallerApp& app, const std::string& installDir, const std::string& gameDir)
{
    if (gameDir.empty())
        return std::string();
    const fs::path game(Utf8ToWide(gameDir));
    if (!IsOurGameFolder(game, fs::path(Utf8ToWide(installDir))))
    {
        std::lock_guard<std::mutex> lock(app.jobMutex);
        app.statusText = "The game folder was not found - skipped.";
        return std::string();
    }
    std::vector<fs::path> files = CollectFiles(game);
    // The executable that marks the folder as ours goes last, so that a Retry
    // after a failed delete still recognises the folder.
    std::wstring marker = game.wstring();
    while (!marker.empty() && (marker.back() == L'\\' || marker.back() == L'/'))
        marker.pop_back();
    marker = marker + L"\\" + kGameExe;
    std::stable_partition(files.begin(), files.end(),
                          [&](const fs::path& f) { return _wcsicmp(f.c_str(), marker.c_str()) != 0; });
    app.jobBytesTotal.store(files.size());
    app.jobBytesDone.store(0);
    for (const fs::path& file : files)
    {
        ClearReadOnly(file);
        if (!DeleteFileW(LongPath(file.wstring()).c_str()))
        {
            DWORD error = GetLastError();
            // Gone anyway (deleted by someone else meanwhile): not a failure.
            if (PathAttributes(file.wstring()) != INVALID_FILE_ATTRIBUTES)
                return "Couldn't delete " + WideToUtf8(file.wstring()) + " (" + SystemMessage(error) + ").";
        }
        app.jobBytesDone.fetch_add(1);
    }
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
    return L"/c ping 127.0.0.1 -n 4 >nul & del /f /q \"" + setupCopy + L"\" & rmdir \"" + folder + L"\"";
}

void RunUninstall(UninstallArgs& args)
{
    InstallerApp* app = args.app;
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool comInitialised = SUCCEEDED(com);
    const std::string dataDir = app->dataDir;
    const fs::path installDir(Utf8ToWide(args.installDir));

    if (IsRunningFrom(L"Ostrel Launcher.exe", installDir) || IsRunningFrom(kGameExe, installDir))
    {
        Fail(app, "Close the Ostrel launcher and the game first, then try again.", comInitialised);
        return;
    }

    app->SetStatus(UninstallStage_Game, "Removing the game...");
    std::string failure = RemoveGameFolder(*app, args.installDir, args.gameDir);
    if (!failure.empty())
    {
        Fail(app, failure, comInitialised);
        return;
    }

    app->SetStatus(UninstallStage_Launcher, "Removing the launcher...");
    if (!installDir.empty())
        for (const wchar_t* name : kLauncherFiles)
            DeleteFileW(LongPath((installDir / name).wstring()).c_str());
    DeleteShortcuts();

    app->SetStatus(UninstallStage_CleanUp, "Cleaning up...");
    if (args.removeLauncherData)
        DeleteLauncherData(dataDir);
    else
        UnlinkGameFromLauncherSettings(dataDir, args.gameDir);

    const std::wstring installerKey = InstallerRegKey(dataDir);
    RegDeleteTreeW(HKEY_CURRENT_USER, installerKey.c_str());
    DeleteKeyIfEmpty(installerKey.substr(0, installerKey.rfind(L'\\')));
    if (dataDir.empty())
        RegDeleteTreeW(HKEY_CURRENT_USER, OSTREL_UNINSTALL_KEY);

    if (!installDir.empty())
    {
        const fs::path setupCopy = installDir / kSetupCopy;
        if (PathAttributes(setupCopy.wstring()) != INVALID_FILE_ATTRIBUTES && SameFileObject(setupCopy, fs::path(Utf8ToWide(ExecutablePath()))))
        {
            // A running program cannot delete its own file: cmd does it once
            // we have exited, and the folder with it only when empty. It is
            // the system's own cmd.exe, never one found beside us, and it runs
            // in the system folder: with F as its current folder it could not
            // remove F.
            std::wstring params = SelfRemovalParameters(setupCopy.wstring(), installDir.wstring());
            wchar_t system[MAX_PATH];
            UINT n = GetSystemDirectoryW(system, MAX_PATH);
            if (!params.empty() && n > 0 && n < MAX_PATH)
            {
                std::wstring cmd = std::wstring(system, n) + L"\\cmd.exe";
                ShellExecuteW(nullptr, L"open", cmd.c_str(), params.c_str(), system, SW_HIDE);
            }
        }
        else
        {
            ClearReadOnly(setupCopy);
            DeleteFileW(LongPath(setupCopy.wstring()).c_str());
            RemoveDirectoryW(LongPath(installDir.wstring()).c_str());
        }
    }

    app->SetStatus(UninstallStage_Done, "Done.");
    app->jobSucceeded.store(true);
    app->jobFinished.store(true);
    app->jobBusy.store(false);
    // The app may be gone from here on.
    if (comInitialised)
        CoUninitialize();
}

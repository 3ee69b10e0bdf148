#include "state/installer_app.h"

#include "state/install_record.h"

#include "util/free_space.h"
#include "util/long_path.h"
#include "util/text.h"

#include <filesystem>

void InstallerApp::Init(HWND wnd, const std::string& server, const std::string& data, const std::string& dir)
{
    window = wnd;
    // Used exactly as given: no slash trimmed, no scheme added.
    serverUrl = server.empty() ? std::string("https://" OSTREL_SERVER_HOST) : server;
    dataDir = data;
    installDir = dir.empty() ? DefaultInstallDir() : FullInstallDir(dir);

    InstallRecord record = ReadInstallRecord(dataDir);
    existingInstall = false;
    existingInstallDir = record.installDir;
    existingGameDir = record.gameDir;
    existingGameExe = record.gameExe;
    existingGameDirCreated = record.gameDirCreated;
    existingRecordComplete = record.complete;
    if (!existingInstallDir.empty())
    {
        std::error_code ec;
        existingInstall = std::filesystem::is_directory(std::filesystem::path(Utf8ToWide(existingInstallDir)), ec);
    }
    if (uninstallMode && existingInstall)
        page = Page_Uninstall;

    FetchInfo();
}

std::string FullInstallDir(const std::string& dir)
{
    if (dir.empty() || IsFullPath(dir))
        return dir;
    // As command-line programs do: against the current folder, now, once.
    std::wstring full = FullPathName(Utf8ToWide(dir));
    return full.empty() ? dir : WideToUtf8(full);
}

std::string DefaultInstallDir()
{
    DWORD drives = GetLogicalDrives();
    uint64_t best = 0;
    std::string candidate;
    for (int i = 0; i < 26; i++)
    {
        if (!(drives & (1u << i)))
            continue;
        wchar_t root[4] = { (wchar_t)(L'A' + i), L':', L'\\', 0 };
        if (GetDriveTypeW(root) != DRIVE_FIXED)
            continue;
        std::string rootUtf8 = WideToUtf8(root);
        uint64_t free = FreeSpaceAt(rootUtf8);
        // Strictly greater: on a tie the earlier letter keeps its place.
        if (free > best)
        {
            best = free;
            candidate = rootUtf8 + "Ostrel";
        }
    }
    return candidate.empty() ? std::string("C:\\Ostrel") : candidate;
}

#include "state/installer_app.h"

#include "util/free_space.h"
#include "util/long_path.h"
#include "util/text.h"

#include <filesystem>

const wchar_t* InstallerRegKey(const std::string& dataDir)
{
    return dataDir.empty() ? L"Software\\Ostrel\\Installer" : L"Software\\OstrelTest\\Installer";
}

void InstallerApp::Init(HWND wnd, const std::string& server, const std::string& data, const std::string& dir)
{
    window = wnd;
    // Used exactly as given: no slash trimmed, no scheme added.
    serverUrl = server.empty() ? std::string("https://" OSTREL_SERVER_HOST) : server;
    dataDir = data;
    installDir = dir.empty() ? DefaultInstallDir() : FullInstallDir(dir);

    const wchar_t* key = InstallerRegKey(dataDir);
    existingInstall = false;
    existingInstallDir = ReadRegString(key, L"InstallDir");
    existingGameDir = ReadRegString(key, L"GameDir");
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

std::string ReadRegString(const std::wstring& subKey, const std::wstring& valueName)
{
    wchar_t buf[2048] = {};     // 4096 bytes, of which 4094 are offered: the zero always fits
    DWORD size = 4094;
    // RRF_NOEXPAND keeps a REG_EXPAND_SZ value its own type, so the REG_SZ
    // restriction refuses it instead of expanding it into a REG_SZ.
    LSTATUS rc = RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), valueName.c_str(),
                              RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, buf, &size);
    if (rc != ERROR_SUCCESS)
        return std::string();
    return WideToUtf8(std::wstring(buf));
}

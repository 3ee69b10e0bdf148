#include "install/shortcuts.h"

#include "state/installer_app.h"
#include "util/long_path.h"
#include "util/text.h"
#include "version.h"

#include <shobjidl.h>

#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

std::wstring KnownFolderPath(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &path);
    std::wstring result;
    if (SUCCEEDED(hr) && path)
        result = path;
    // The shell's buffer is freed on failure as well.
    CoTaskMemFree(path);
    return result;
}

bool CreateShortcut(const std::wstring& linkPath, const std::wstring& target, const std::wstring& workingDir)
{
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void**)&link)) || !link)
        return false;
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(workingDir.c_str());
    link->SetDescription(L"Ostrel Launcher");
    link->SetIconLocation(target.c_str(), 0);
    bool saved = false;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file)) && file)
    {
        saved = SUCCEEDED(file->Save(linkPath.c_str(), TRUE));
        file->Release();
    }
    link->Release();
    return saved;
}

namespace
{
void WriteRegValue(const std::wstring& subKey, const std::wstring& valueName, DWORD type, const BYTE* data, DWORD size)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, valueName.c_str(), 0, type, data, size);
    RegCloseKey(key);
}

void PlaceShortcut(REFKNOWNFOLDERID folderId, const std::wstring& target, const std::wstring& workingDir)
{
    // No known folder, no shortcut: never guess another place for it.
    std::wstring folder = KnownFolderPath(folderId);
    if (folder.empty())
        return;
    CreateShortcut((fs::path(folder) / L"Ostrel Launcher.lnk").wstring(), target, workingDir);
}
} // namespace

void WriteRegString(const std::wstring& subKey, const std::wstring& valueName, const std::string& text)
{
    std::wstring wide = Utf8ToWide(text);
    // Two bytes per unit plus the terminating zero.
    WriteRegValue(subKey, valueName, REG_SZ, (const BYTE*)wide.c_str(), (DWORD)((wide.size() + 1) * sizeof(wchar_t)));
}

void WriteUninstallFlag(const std::wstring& valueName)
{
    DWORD one = 1;
    WriteRegValue(OSTREL_UNINSTALL_KEY, valueName, REG_DWORD, (const BYTE*)&one, sizeof(one));
}

std::string ExecutablePath()
{
    std::vector<wchar_t> buf(260);
    for (;;)
    {
        DWORD n = GetModuleFileNameW(nullptr, buf.data(), (DWORD)buf.size());
        if (n == 0)
            return std::string();
        if (n < buf.size())
            return WideToUtf8(std::wstring(buf.data(), n));
        // Truncated: the longest path Windows knows is 32767 units.
        if (buf.size() >= 65536)
            return std::string();
        buf.resize(buf.size() * 2);
    }
}

void MakeShortcutsAndRegister(const RegistrationParams& params)
{
    std::wstring target = Utf8ToWide(params.launcherPath);
    std::wstring dir = Utf8ToWide(params.installDir);
    if (params.desktopShortcut)
        PlaceShortcut(FOLDERID_Desktop, target, dir);
    if (params.startMenuShortcut)
        PlaceShortcut(FOLDERID_Programs, target, dir);

    fs::path setupCopy = fs::path(dir) / L"Ostrel Setup.exe";
    std::string self = ExecutablePath();
    // Fails harmlessly when the setup runs from that very file.
    if (!self.empty())
        CopyFileW(LongPath(Utf8ToWide(self)).c_str(), LongPath(setupCopy.wstring()).c_str(), FALSE);

    const wchar_t* key = InstallerRegKey(params.dataDir);
    WriteRegString(key, L"InstallDir", params.installDir);
    WriteRegString(key, L"GameDir", params.gameDir);

    // A test run (with a data folder) never appears in the installed-programs list.
    if (!params.dataDir.empty())
        return;
    WriteRegString(OSTREL_UNINSTALL_KEY, L"DisplayName", "Ostrel");
    WriteRegString(OSTREL_UNINSTALL_KEY, L"Publisher", "Ostrel");
    WriteRegString(OSTREL_UNINSTALL_KEY, L"DisplayVersion", OSTREL_VERSION);
    WriteRegString(OSTREL_UNINSTALL_KEY, L"InstallLocation", params.installDir);
    WriteRegString(OSTREL_UNINSTALL_KEY, L"DisplayIcon", params.launcherPath);
    std::string uninstall = "\"";
    uninstall += WideToUtf8(setupCopy.wstring());
    uninstall += "\" --uninstall";
    WriteRegString(OSTREL_UNINSTALL_KEY, L"UninstallString", uninstall);
    WriteUninstallFlag(L"NoModify");
    WriteUninstallFlag(L"NoRepair");
}

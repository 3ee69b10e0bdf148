#include "install/shortcuts.h"

#include "state/install_record.h"
#include "state/installed_layout.h"
#include "state/installer_app.h"
#include "util/file_identity.h"
#include "util/long_path.h"
#include "util/registry.h"
#include "util/system_paths.h"
#include "util/test_pause.h"
#include "util/text.h"
#include "util/windows_error.h"
#include "version.h"

#include <shobjidl.h>
#include <wrl/client.h>

#include <filesystem>

namespace fs = std::filesystem;
using Microsoft::WRL::ComPtr;

HRESULT CreateShortcut(const std::wstring& linkPath, const std::wstring& target, const std::wstring& workingDir)
{
    ComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link));
    if (FAILED(hr))
        return hr;
    if (FAILED(hr = link->SetPath(target.c_str())) || FAILED(hr = link->SetWorkingDirectory(workingDir.c_str())) ||
        FAILED(hr = link->SetDescription(L"Ostrel Launcher")) || FAILED(hr = link->SetIconLocation(target.c_str(), 0)))
        return hr;
    ComPtr<IPersistFile> file;
    if (FAILED(hr = link.As(&file)))
        return hr;
    return file->Save(linkPath.c_str(), TRUE);
}

namespace
{
// "" when made, else why not. No known folder, no shortcut: never guess
// another place for it.
std::string PlaceShortcut(REFKNOWNFOLDERID folderId, const std::wstring& target, const std::wstring& workingDir)
{
    std::wstring folder = KnownFolderPath(folderId);
    if (folder.empty())
        return "Windows didn't say where that folder is";
    HRESULT hr = CreateShortcut((fs::path(folder) / kShortcutName).wstring(), target, workingDir);
    return SUCCEEDED(hr) ? std::string() : WindowsErrorText((DWORD)hr);
}

std::string EntryFailure(LSTATUS rc)
{
    return "Couldn't add Ostrel to the list of installed programs (" + WindowsErrorText((DWORD)rc) +
           ") - without it Ostrel could not be uninstalled.";
}
} // namespace

RegistrationResult MakeShortcutsAndRegister(const RegistrationParams& params, const std::function<void(const std::string&)>& log)
{
    RegistrationResult result;
    std::wstring target = Utf8ToWide(params.launcherPath);
    std::wstring dir = Utf8ToWide(params.installDir);
    struct { bool wanted; const KNOWNFOLDERID* folder; const char* name; } shortcuts[] = {
        { params.desktopShortcut, &FOLDERID_Desktop, "desktop" },
        { params.startMenuShortcut, &FOLDERID_Programs, "Start menu" },
    };
    for (const auto& s : shortcuts)
    {
        if (!s.wanted)
            continue;
        std::string why = PlaceShortcut(*s.folder, target, dir);
        if (why.empty())
            continue;
        log(std::string("shortcut skipped: the ") + s.name + " shortcut couldn't be made (" + why + ")");
        result.notes += std::string("The ") + s.name + " shortcut couldn't be made.\n";
    }

    // The uninstall entry runs this copy. When the setup already runs from it
    // (a re-install started by the copy) there is nothing to copy.
    fs::path setupCopy = fs::path(dir) / kSetupCopyName;
    std::wstring self = Utf8ToWide(ExecutablePath());
    if (self.empty())
    {
        result.error = "Couldn't find the setup program's own file to copy it into " + params.installDir + ".";
        return result;
    }
    if (!SameFileObject(self, setupCopy.wstring()))
    {
        // Copied beside its place and moved over it in one step: the copy an
        // earlier install's uninstall entry runs is never half of a file.
        const std::wstring copyLong = LongPath(setupCopy.wstring()),
                           tempLong = LongPath((fs::path(dir) / kSetupCopyTempName).wstring());
        bool copied = CopyFileW(LongPath(self).c_str(), tempLong.c_str(), FALSE);
        PauseForTest("setup-copy");
        copied = copied && MoveFileExW(tempLong.c_str(), copyLong.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!copied)
        {
            const DWORD err = GetLastError();
            DeleteFileW(tempLong.c_str());
            result.error = "Couldn't copy the setup program into " + params.installDir + " (" + WindowsErrorText(err) +
                           ") - without it Ostrel could not be uninstalled.";
            return result;
        }
    }

    InstallRecord record;
    record.installDir = params.installDir;
    record.gameDir = params.gameDir;
    record.gameExe = params.gameExe;
    record.gameDirCreated = params.gameDirCreated;
    result.error = WriteInstallRecord(params.dataDir, record);
    if (!result.error.empty())
        return result;

    // A test run (with a data folder) never appears in the installed-programs list.
    if (!params.dataDir.empty())
        return result;
    std::string uninstall = "\"";
    uninstall += WideToUtf8(setupCopy.wstring());
    uninstall += "\" --uninstall";
    struct { const wchar_t* name; std::string text; } values[] = {
        { L"DisplayName", "Ostrel" },
        { L"Publisher", "Ostrel" },
        { L"DisplayVersion", OSTREL_VERSION },
        { L"InstallLocation", params.installDir },
        { L"DisplayIcon", params.launcherPath },
        { L"UninstallString", uninstall },
    };
    for (const auto& v : values)
    {
        LSTATUS rc = WriteRegString(OSTREL_UNINSTALL_KEY, v.name, v.text);
        if (rc != ERROR_SUCCESS)
        {
            result.error = EntryFailure(rc);
            return result;
        }
    }
    for (const wchar_t* flag : { L"NoModify", L"NoRepair" })
    {
        LSTATUS rc = WriteRegDword(OSTREL_UNINSTALL_KEY, flag, 1);
        if (rc != ERROR_SUCCESS)
        {
            result.error = EntryFailure(rc);
            return result;
        }
    }
    return result;
}

#include <doctest.h>

#include "install/shortcuts.h"
#include "state/install_record.h"
#include "state/installer_app.h"
#include "test_support.h"
#include "util/registry.h"
#include "util/system_paths.h"
#include "util/text.h"

#include <windows.h>
#include <shobjidl.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace
{
const wchar_t* kTestKey = L"Software\\OstrelTest\\Installer";
const wchar_t* kRealKey = L"Software\\Ostrel\\Installer";

struct ComScope
{
    ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComScope() { CoUninitialize(); }
};

struct LinkInfo
{
    bool         loaded = false;
    std::wstring target, pidlTarget, workingDir, description, icon, arguments;
    int          iconIndex = -1;
};

LinkInfo ReadLink(const std::wstring& path)
{
    LinkInfo info;
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void**)&link)))
        return info;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void**)&file)))
    {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ)))
        {
            wchar_t buf[1024] = {};
            info.loaded = true;
            if (SUCCEEDED(link->GetPath(buf, 1024, nullptr, SLGP_RAWPATH)))
                info.target = buf;
            PIDLIST_ABSOLUTE pidl = nullptr;
            if (SUCCEEDED(link->GetIDList(&pidl)) && pidl)
            {
                buf[0] = 0;
                if (SHGetPathFromIDListW(pidl, buf))
                    info.pidlTarget = buf;
                CoTaskMemFree(pidl);
            }
            buf[0] = 0;
            if (SUCCEEDED(link->GetWorkingDirectory(buf, 1024)))
                info.workingDir = buf;
            buf[0] = 0;
            if (SUCCEEDED(link->GetDescription(buf, 1024)))
                info.description = buf;
            buf[0] = 0;
            if (SUCCEEDED(link->GetArguments(buf, 1024)))
                info.arguments = buf;
            buf[0] = 0;
            if (SUCCEEDED(link->GetIconLocation(buf, 1024, &info.iconIndex)))
                info.icon = buf;
        }
        file->Release();
    }
    link->Release();
    return info;
}

// Type and raw bytes of one value, so the stored size is checked too.
struct RegValue
{
    bool        found = false;
    DWORD       type = 0;
    std::string bytes;
};

RegValue ReadValue(const wchar_t* key, const wchar_t* name)
{
    RegValue v;
    BYTE buf[8192];
    DWORD size = sizeof(buf);
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &v.type, buf, &size) == ERROR_SUCCESS)
    {
        v.found = true;
        v.bytes.assign((const char*)buf, size);
    }
    return v;
}

// A REG_SZ value as written by the installer: UTF-16 with its zero counted.
std::string SzBytes(const std::string& utf8)
{
    std::wstring w = Utf8ToWide(utf8);
    return std::string((const char*)w.c_str(), (w.size() + 1) * sizeof(wchar_t));
}

bool KeyExists(const wchar_t* key)
{
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

// Shortcuts go to the prefix's Desktop and Start menu; tools/wine-prefix makes
// those real folders inside the prefix, so only write there in such a prefix.
bool InPreparedTestPrefix()
{
    std::string prefix = EnvVar("WINEPREFIX");
    if (prefix.empty() || prefix[0] != '/')
        return false;
    std::string marker = "Z:" + prefix + "/.ostrel-ready";
    for (char& c : marker)
        if (c == '/')
            c = '\\';
    return PathExists(marker);
}
} // namespace

TEST_CASE("a shell link with target, working folder, description and icon")
{
    ComScope com;
    std::string dir = MakeTempDir("link \xc3\x96");
    std::wstring target = Utf8ToWide(dir + "\\Ostrel Launcher.exe");
    WriteFileBytes(dir + "\\Ostrel Launcher.exe", "MZ");
    std::wstring linkPath = Utf8ToWide(dir + "\\Ostrel Launcher.lnk");
    CHECK(SUCCEEDED(CreateShortcut(linkPath, target, Utf8ToWide(dir))));

    LinkInfo info = ReadLink(linkPath);
    REQUIRE(info.loaded);
    CHECK(info.target == target);
    CHECK(info.pidlTarget == target);
    CHECK(info.workingDir == Utf8ToWide(dir));
    CHECK(info.description == L"Ostrel Launcher");
    CHECK(info.icon == target);
    CHECK(info.iconIndex == 0);
    CHECK(info.arguments.empty());

    // A folder that does not exist: no link, and the caller is told.
    CHECK(FAILED(CreateShortcut(Utf8ToWide(dir + "\\missing\\x.lnk"), target, Utf8ToWide(dir))));
}

TEST_CASE("ExecutablePath names this test program")
{
    std::string path = ExecutablePath();
    CHECK(path.size() > 4);
    CHECK(path.substr(path.size() - 4) == ".exe");
    CHECK(PathExists(path));
}

TEST_CASE("registration with a data folder: test key only, shortcuts in the known folders")
{
    ComScope com;
    REQUIRE(InPreparedTestPrefix());
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    bool uninstallBefore = KeyExists(OSTREL_UNINSTALL_KEY);
    std::string realBefore = ReadRegString(kRealKey, L"InstallDir");

    std::string dir = MakeTempDir("Spiele \xc3\x96strel \xe6\xb8\xb8\xe6\x88\x8f");
    RegistrationParams p;
    p.desktopShortcut = true;
    p.startMenuShortcut = true;
    p.launcherPath = dir + "\\Ostrel Launcher.exe";
    p.installDir = dir;
    p.gameDir = dir + "\\Ostrel";
    p.gameExe = "Spiel.exe";
    p.gameDirCreated = true;
    p.dataDir = MakeTempDir("reg-data");
    WriteFileBytes(p.launcherPath, "MZ");
    WriteFileBytes(dir + "\\Ostrel Setup.exe", "an older copy");
    std::vector<std::string> logged;
    RegistrationResult r = MakeShortcutsAndRegister(p, [&](const std::string& line) { logged.push_back(line); });
    CHECK(r.error.empty());
    CHECK(r.notes.empty());
    CHECK(logged.empty());

    // The record the uninstall works from.
    InstallRecord record = ReadInstallRecord(p.dataDir);
    CHECK(record.complete);
    CHECK(record.gameExe == "Spiel.exe");
    CHECK(record.gameDirCreated);

    // Non-ASCII folder names arrive as the same text in UTF-16, zero counted.
    RegValue installDir = ReadValue(kTestKey, L"InstallDir");
    CHECK(installDir.type == REG_SZ);
    CHECK(installDir.bytes == SzBytes(dir));
    RegValue gameDir = ReadValue(kTestKey, L"GameDir");
    CHECK(gameDir.type == REG_SZ);
    CHECK(gameDir.bytes == SzBytes(dir + "\\Ostrel"));
    CHECK(KeyExists(OSTREL_UNINSTALL_KEY) == uninstallBefore);
    CHECK(ReadRegString(kRealKey, L"InstallDir") == realBefore);

    // The setup copy replaces an older one, byte for byte.
    CHECK(ReadFileBytes(dir + "\\Ostrel Setup.exe") == ReadFileBytes(ExecutablePath()));

    for (REFKNOWNFOLDERID id : { FOLDERID_Desktop, FOLDERID_Programs })
    {
        std::wstring folder = KnownFolderPath(id);
        REQUIRE_FALSE(folder.empty());
        std::wstring linkPath = (fs::path(folder) / L"Ostrel Launcher.lnk").wstring();
        LinkInfo info = ReadLink(linkPath);
        CHECK(info.loaded);
        // Wine keeps the raw path in the ANSI code page only; the item list holds the exact name.
        CHECK(info.pidlTarget == Utf8ToWide(p.launcherPath));
        CHECK(info.workingDir == Utf8ToWide(dir));
        DeleteFileW(linkPath.c_str());
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
}

TEST_CASE("registration without a data folder writes the uninstall entry")
{
    ComScope com;
    REQUIRE(InPreparedTestPrefix());
    RegDeleteTreeW(HKEY_CURRENT_USER, kRealKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, OSTREL_UNINSTALL_KEY);

    std::string dir = MakeTempDir("reg-real");
    std::wstring desktopLink = (fs::path(KnownFolderPath(FOLDERID_Desktop)) / L"Ostrel Launcher.lnk").wstring();
    std::wstring programsLink = (fs::path(KnownFolderPath(FOLDERID_Programs)) / L"Ostrel Launcher.lnk").wstring();
    DeleteFileW(desktopLink.c_str());
    DeleteFileW(programsLink.c_str());

    RegistrationParams p;           // both shortcut options off; launcher only
    p.launcherPath = dir + "\\Ostrel Launcher.exe";
    p.installDir = dir;
    CHECK(MakeShortcutsAndRegister(p, [](const std::string&) {}).error.empty());

    CHECK(ReadValue(kRealKey, L"InstallDir").bytes == SzBytes(dir));
    RegValue game = ReadValue(kRealKey, L"GameDir");
    CHECK(game.found);
    CHECK(game.type == REG_SZ);
    CHECK(game.bytes == std::string(2, '\0'));

    struct Sz { const wchar_t* name; std::string text; };
    const Sz strings[] = {
        { L"DisplayName", "Ostrel" },
        { L"Publisher", "Ostrel" },
        { L"DisplayVersion", "1.0" },
        { L"InstallLocation", dir },
        { L"DisplayIcon", dir + "\\Ostrel Launcher.exe" },
        { L"UninstallString", "\"" + dir + "\\Ostrel Setup.exe\" --uninstall" },
    };
    for (const Sz& s : strings)
    {
        CAPTURE(WideToUtf8(s.name));
        RegValue v = ReadValue(OSTREL_UNINSTALL_KEY, s.name);
        CHECK(v.type == REG_SZ);
        CHECK(v.bytes == SzBytes(s.text));
    }
    for (const wchar_t* flag : { L"NoModify", L"NoRepair" })
    {
        RegValue v = ReadValue(OSTREL_UNINSTALL_KEY, flag);
        CHECK(v.type == REG_DWORD);
        CHECK(v.bytes == std::string("\x01\0\0\0", 4));
    }
    // Nothing else: no size, date or help link.
    HKEY k = nullptr;
    REQUIRE(RegOpenKeyExW(HKEY_CURRENT_USER, OSTREL_UNINSTALL_KEY, 0, KEY_READ, &k) == ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(k);
    CHECK(values == 8);

    // Options off: no links, but the setup copy is there.
    CHECK_FALSE(PathExists(WideToUtf8(desktopLink)));
    CHECK_FALSE(PathExists(WideToUtf8(programsLink)));
    CHECK(PathExists(dir + "\\Ostrel Setup.exe"));

    RegDeleteTreeW(HKEY_CURRENT_USER, kRealKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, OSTREL_UNINSTALL_KEY);
}

TEST_CASE("a setup copy that cannot be made fails the registration before any record is written")
{
    ComScope com;
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    std::string dir = MakeTempDir("reg-nocopy");
    // A folder where the copy should go: no file can take its name.
    REQUIRE(CreateDirectoryW(Utf8ToWide(dir + "\\Ostrel Setup.exe").c_str(), nullptr));
    RegistrationParams p;
    p.launcherPath = dir + "\\Ostrel Launcher.exe";
    p.installDir = dir;
    p.dataDir = MakeTempDir("reg-nocopy-data");
    RegistrationResult r = MakeShortcutsAndRegister(p, [](const std::string&) {});
    CHECK(r.error.rfind("Couldn't copy the setup program into " + dir + " (", 0) == 0);
    CHECK(r.error.find(") - without it Ostrel could not be uninstalled.") != std::string::npos);
    CHECK_FALSE(KeyExists(kTestKey));
}

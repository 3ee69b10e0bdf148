#include <doctest.h>

#include "state/installer_app.h"
#include "test_support.h"
#include "util/registry.h"
#include "util/system_paths.h"
#include "util/text.h"

#include <windows.h>

namespace
{
const wchar_t* kTestKey = L"Software\\OstrelTest\\Installer";
const wchar_t* kRealKey = L"Software\\Ostrel\\Installer";

void SetValue(const wchar_t* key, const wchar_t* name, DWORD type, const std::wstring& text)
{
    HKEY k = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) == ERROR_SUCCESS);
    RegSetValueExW(k, name, 0, type, (const BYTE*)text.c_str(), (DWORD)((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
}

// A refused port: the server check started by Init ends at once.
const char* kNoServer = "http://127.0.0.1:9";

struct App : InstallerApp
{
    ~App() { alive->store(false); }
};
} // namespace

TEST_CASE("ReadRegString takes only REG_SZ values that fit")
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    SetValue(kTestKey, L"Plain", REG_SZ, L"C:\\Spiele\\\u00d6strel");
    SetValue(kTestKey, L"Expand", REG_EXPAND_SZ, L"%TEMP%\\Ostrel");
    SetValue(kTestKey, L"Fits", REG_SZ, std::wstring(2046, L'a'));
    SetValue(kTestKey, L"TooLong", REG_SZ, std::wstring(2047, L'a'));
    CHECK(ReadRegString(kTestKey, L"Plain") == "C:\\Spiele\\\xc3\x96strel");
    CHECK(ReadRegString(kTestKey, L"Expand").empty());
    CHECK(ReadRegString(kTestKey, L"Fits") == std::string(2046, 'a'));
    CHECK(ReadRegString(kTestKey, L"TooLong").empty());
    CHECK(ReadRegString(kTestKey, L"Missing").empty());
    CHECK(ReadRegString(L"Software\\OstrelTest\\NoSuchKey", L"Plain").empty());
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
}

TEST_CASE("Init: addresses, folders and the earlier installation")
{
    std::string installed = MakeTempDir("installed");
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);

    SUBCASE("defaults without options")
    {
        App app;
        app.Init(nullptr, "", "", "");
        CHECK(app.serverUrl == "https://" OSTREL_SERVER_HOST);
        // The drive with the most free space: where two drives share one
        // file system (C: and Z: under Wine), whatever else writes to it may
        // tip the choice between two calls, so either pick is right.
        REQUIRE(app.installDir.size() == 9);
        CHECK(app.installDir.substr(1) == ":\\Ostrel");
        CHECK(GetDriveTypeA(app.installDir.substr(0, 3).c_str()) == DRIVE_FIXED);
        CHECK(app.dataDir.empty());
        CHECK(app.infoJob != nullptr);     // the server check started at once
        CHECK_FALSE(app.infoDone);
    }
    SUBCASE("values are used exactly as given")
    {
        App app;
        app.Init(nullptr, "http://127.0.0.1:9/", "D:\\data", "E:\\Games\\Ostrel");
        CHECK(app.serverUrl == "http://127.0.0.1:9/");
        CHECK(app.dataDir == "D:\\data");
        CHECK(app.installDir == "E:\\Games\\Ostrel");
    }
    SUBCASE("a relative --dir is resolved against the current folder once, at start-up")
    {
        // The temporary folder is on C:, so "C:Games" is relative to it too.
        const std::string cwd = MakeTempDir("init-cwd");
        wchar_t before[MAX_PATH * 4];
        DWORD n = GetCurrentDirectoryW(MAX_PATH * 4, before);
        REQUIRE(n > 0);
        REQUIRE(cwd.compare(0, 3, "C:\\") == 0);
        REQUIRE(SetCurrentDirectoryW(Utf8ToWide(cwd).c_str()));
        struct Case
        {
            std::string dir, expected;
        };
        const Case cases[] = {
            { "Games\\Ostrel", cwd + "\\Games\\Ostrel" },
            { ".\\Games\\..\\Ostrel", cwd + "\\Ostrel" },
            { "\\Games\\Ostrel", "C:\\Games\\Ostrel" },
            { "C:Games", cwd + "\\Games" },
            { "Spiele \xc3\x96strel", cwd + "\\Spiele \xc3\x96strel" },
            // Full paths are kept exactly as typed.
            { "C:/Games/./Ostrel", "C:/Games/./Ostrel" },
            { "\\\\server\\share\\Ostrel", "\\\\server\\share\\Ostrel" },
        };
        for (const Case& c : cases)
        {
            CAPTURE(c.dir);
            App app;
            app.Init(nullptr, kNoServer, "C:\\data", c.dir);
            CHECK(app.installDir == c.expected);
        }
        SetCurrentDirectoryW(std::wstring(before, n).c_str());
    }
    SUBCASE("a data folder selects the test key only")
    {
        SetValue(kTestKey, L"InstallDir", REG_SZ, Utf8ToWide(installed));
        SetValue(kTestKey, L"GameDir", REG_SZ, Utf8ToWide(installed + "\\Ostrel"));
        App app;
        app.uninstallMode = true;
        app.Init(nullptr, kNoServer, "C:\\data", "");
        CHECK(app.existingInstall);
        CHECK(app.existingInstallDir == installed);
        CHECK(app.existingGameDir == installed + "\\Ostrel");
        CHECK(app.page == Page_Uninstall);

        App normal;     // without --data the test key is not seen
        normal.uninstallMode = true;
        std::string realBefore = ReadRegString(kRealKey, L"InstallDir");
        normal.Init(nullptr, kNoServer, "", "");
        CHECK(normal.existingInstallDir == realBefore);
    }
    SUBCASE("a recorded folder that is gone, or a file, is no installation")
    {
        WriteFileBytes(installed + "\\file", "x");
        for (std::string recorded : { installed + "\\gone", installed + "\\file" })
        {
            SetValue(kTestKey, L"InstallDir", REG_SZ, Utf8ToWide(recorded));
            App app;
            app.uninstallMode = true;
            app.Init(nullptr, kNoServer, "C:\\data", "");
            CHECK_FALSE(app.existingInstall);
            CHECK(app.existingInstallDir == recorded);
            CHECK(app.page == Page_Welcome);
        }
    }
    SUBCASE("without --uninstall the wizard opens on Welcome")
    {
        SetValue(kTestKey, L"InstallDir", REG_SZ, Utf8ToWide(installed));
        App app;
        app.Init(nullptr, kNoServer, "C:\\data", "");
        CHECK(app.existingInstall);
        CHECK(app.page == Page_Welcome);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
}

TEST_CASE("DefaultInstallDir proposes Ostrel on the fixed drive with the most space")
{
    std::string dir = DefaultInstallDir();
    REQUIRE(dir.size() == 9);
    CHECK(dir.substr(1) == ":\\Ostrel");
    wchar_t root[4] = { (wchar_t)dir[0], L':', L'\\', 0 };
    CHECK(GetDriveTypeW(root) == DRIVE_FIXED);
    ULARGE_INTEGER chosen = {};
    GetDiskFreeSpaceExW(root, &chosen, nullptr, nullptr);
    DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; i++)
    {
        wchar_t other[4] = { (wchar_t)(L'A' + i), L':', L'\\', 0 };
        if (!(drives & (1u << i)) || GetDriveTypeW(other) != DRIVE_FIXED)
            continue;
        ULARGE_INTEGER avail = {};
        if (GetDiskFreeSpaceExW(other, &avail, nullptr, nullptr))
            // Drives may share one disk whose free space moves while other
            // tests write: allow for that between the two readings.
            CHECK(avail.QuadPart <= chosen.QuadPart + 256ull * 1048576);
    }
}

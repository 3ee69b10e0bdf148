#include <doctest.h>

#include "install/job.h"
#include "install/shortcuts.h"
#include "package/sha256.h"
#include "standin_process.h"
#include "state/installer_app.h"
#include "test_server.h"
#include "test_support.h"
#include "uninstall/uninstall_sequence.h"
#include "util/long_path.h"
#include "util/registry.h"
#include "util/system_paths.h"
#include "util/text.h"

#include <miniz.h>
#include <nlohmann/json.hpp>

#include <windows.h>
#include <shlobj.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace
{
const wchar_t* kTestKey = L"Software\\OstrelTest\\Installer";
const wchar_t* kRealKey = L"Software\\Ostrel\\Installer";

std::string U8(const fs::path& p) { return WideToUtf8(p.wstring()); }

bool Exists(const fs::path& p)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

bool KeyExists(const wchar_t* subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// All values of one key (these keys have no subkeys), to put back what a test
// that touches the real keys found there.
struct KeySnapshot
{
    std::wstring key;
    bool existed = false;
    struct Value
    {
        std::wstring name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;

    explicit KeySnapshot(const std::wstring& subKey) : key(subKey)
    {
        HKEY k = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
            return;
        existed = true;
        for (DWORD i = 0;; i++)
        {
            wchar_t name[16384];
            DWORD nameLen = 16384, type = 0, size = 0;
            if (RegEnumValueW(k, i, name, &nameLen, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                break;
            Value v;
            v.name.assign(name, nameLen);
            v.type = type;
            v.data.resize(size);
            DWORD got = size;
            RegQueryValueExW(k, v.name.c_str(), nullptr, nullptr, v.data.data(), &got);
            values.push_back(v);
        }
        RegCloseKey(k);
    }
    void Restore() const
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        if (!existed)
            return;
        HKEY k = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) != ERROR_SUCCESS)
            return;
        for (const Value& v : values)
            RegSetValueExW(k, v.name.c_str(), 0, v.type, v.data.data(), (DWORD)v.data.size());
        RegCloseKey(k);
    }
};

fs::path Desktop() { return KnownFolderPath(FOLDERID_Desktop); }
fs::path Programs() { return KnownFolderPath(FOLDERID_Programs); }

// A directory link at `link` to `target`. Under Wine, CreateSymbolicLinkW
// reports success without making anything, while a Unix link shows as a
// reparse point: make that one with the host's ln then.
bool MakeDirLink(const fs::path& link, const fs::path& target)
{
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && Exists(link))
        return true;
    typedef char*(CDECL * UnixName)(LPCWSTR);
    UnixName unixName = (UnixName)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (!unixName)
        return false;
    char* t = unixName(target.c_str());
    char* l = unixName(link.c_str());
    if (!t || !l)
        return false;
    std::string cmd = std::string("/bin/ln -s \"") + t + "\" \"" + l + "\"";
    HeapFree(GetProcessHeap(), 0, t);
    HeapFree(GetProcessHeap(), 0, l);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA("Z:\\bin\\ln", cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // A host program's handle does not tell when it ended: wait for the link.
    for (int i = 0; i < 100 && !Exists(link); i++)
        Sleep(20);
    return Exists(link);
}

// What an install leaves behind, made by hand: the game folder (with a
// read-only file and an empty folder), the launcher's files, the setup copy,
// shortcuts, the launcher's settings and the installer's key.
struct Installed
{
    fs::path root, inst, game, data;
    std::vector<fs::path> gameFiles, ourFiles;

    Installed(const char* name, bool withGame)
    {
        root = Utf8ToWide(MakeTempDir(name));
        inst = root / L"Inst";
        data = root / L"data";
        if (withGame)
        {
            game = inst / L"Ostrel";
            gameFiles = { game / L"Playden.exe", game / L"data" / L"level1.pak", game / L"data" / L"sub" / L"readme.txt",
                          game / L"Playden_Data" / L"boot.cfg" };
            for (const fs::path& f : gameFiles)
                WriteFileBytes(U8(f), "game");
            fs::create_directories(game / L"saves");
            SetFileAttributesW((game / L"data" / L"sub" / L"readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        }
        for (const wchar_t* n : { L"Ostrel Launcher.exe", L"Ostrel Launcher.old.exe", L"Ostrel Launcher.exe.part",
                                  L"Ostrel Launcher.old2.exe", L"Ostrel Launcher.old3.exe", L"Ostrel Setup.exe" })
            ourFiles.push_back(inst / n);
        for (const fs::path& dir : { Desktop(), Programs() })
            for (const wchar_t* n : { L"Ostrel Launcher.lnk", L"Ostrel.lnk" })
                ourFiles.push_back(dir / n);
        for (const fs::path& f : ourFiles)
            WriteFileBytes(U8(f), "ours");
        json settings = { { "channel", "2024july" }, { "gameDir2024July", U8(game) }, { "signIn", "kept" } };
        WriteFileBytes(U8(data / L"settings.json"), settings.dump(1));
        WriteRegString(kTestKey, L"InstallDir", U8(inst));
        WriteRegString(kTestKey, L"GameDir", U8(game));
    }

    json Settings() const { return json::parse(ReadFileBytes(U8(data / L"settings.json")), nullptr, false); }
};

// As StartUninstall prepares the job block, then the worker on this thread.
void RunJob(InstallerApp& app, const Installed& s, bool removeData = false)
{
    app.dataDir = U8(s.data);
    app.jobBusy.store(true);
    app.jobFinished.store(false);
    app.jobSucceeded.store(false);
    app.jobBytesDone.store(0);
    app.jobBytesTotal.store(0);
    {
        std::lock_guard<std::mutex> lock(app.jobMutex);
        app.errorText.clear();
        app.statusText = "Preparing...";
    }
    UninstallArgs args;
    args.app = &app;
    args.installDir = U8(s.inst);
    args.gameDir = U8(s.game);
    args.removeLauncherData = removeData;
    args.alive = app.alive;
    RunUninstall(args);
}

std::string ErrorText(InstallerApp& app)
{
    std::lock_guard<std::mutex> lock(app.jobMutex);
    return app.errorText;
}

std::string StatusText(InstallerApp& app)
{
    std::lock_guard<std::mutex> lock(app.jobMutex);
    return app.statusText;
}

void CheckSucceeded(InstallerApp& app)
{
    CHECK(ErrorText(app) == "");
    CHECK(StatusText(app) == "Done.");
    CHECK(app.jobStage.load() == 3);
    CHECK(app.jobSucceeded.load());
    CHECK(app.jobFinished.load());
    CHECK_FALSE(app.jobBusy.load());
}

void CheckFailed(InstallerApp& app, const std::string& error)
{
    CHECK(ErrorText(app) == error);
    CHECK_FALSE(app.jobSucceeded.load());
    CHECK(app.jobFinished.load());
    CHECK_FALSE(app.jobBusy.load());
}

void CheckAllGone(const Installed& s)
{
    for (const fs::path& f : s.gameFiles)
        CHECK_MESSAGE(!Exists(f), U8(f));
    for (const fs::path& f : s.ourFiles)
        CHECK_MESSAGE(!Exists(f), U8(f));
    if (!s.game.empty())
        CHECK_FALSE(Exists(s.game));
    CHECK_FALSE(KeyExists(kTestKey));
}

void CheckUntouched(const Installed& s)
{
    for (const fs::path& f : s.gameFiles)
        CHECK_MESSAGE(Exists(f), U8(f));
    for (const fs::path& f : s.ourFiles)
        CHECK_MESSAGE(Exists(f), U8(f));
    CHECK(ReadRegString(kTestKey, L"InstallDir") == U8(s.inst));
    CHECK(s.Settings()["gameDir2024July"] == U8(s.game));
}
} // namespace

TEST_CASE("the uninstall removes what the install made and keeps what the user added")
{
    for (bool userFiles : { false, true })
    {
        CAPTURE(userFiles);
        Installed s("us-all", true);
        const fs::path notes = s.inst / L"my notes.txt", mod = s.inst / L"Mods" / L"extra.dat",
                       otherLink = Desktop() / L"Ostrel Launcher (2).lnk";
        if (userFiles)
        {
            WriteFileBytes(U8(notes), "mine");
            WriteFileBytes(U8(mod), "mine");
            WriteFileBytes(U8(otherLink), "mine");
        }
        InstallerApp app;
        RunJob(app, s);
        CheckSucceeded(app);
        CheckAllGone(s);
        // Every game file was counted.
        CHECK(app.jobBytesTotal.load() == s.gameFiles.size());
        CHECK(app.jobBytesDone.load() == s.gameFiles.size());
        // The launcher keeps its settings, without the link to the removed game.
        json settings = s.Settings();
        CHECK(settings["gameDir2024July"] == "");
        CHECK(settings["channel"] == "2024july");
        CHECK(settings["signIn"] == "kept");
        CHECK(Exists(s.data / L"settings.json"));
        // The install folder goes only when nothing of the user's is left in it.
        CHECK(Exists(s.inst) == userFiles);
        CHECK(Exists(notes) == userFiles);
        CHECK(Exists(mod) == userFiles);
        CHECK(Exists(otherLink) == userFiles);
        fs::remove(otherLink);
    }
}

TEST_CASE("asked to, the uninstall deletes the launcher's whole data folder")
{
    Installed s("us-data", true);
    WriteFileBytes(U8(s.data / L"installer.log"), "20240101-000000  Done.\n");
    WriteFileBytes(U8(s.data / L"session" / L"token"), "secret");
    InstallerApp app;
    RunJob(app, s, true);
    CheckSucceeded(app);
    CheckAllGone(s);
    CHECK_FALSE(Exists(s.data));
}

TEST_CASE("the uninstall refuses while the launcher or the game runs from the install folder")
{
    struct Case
    {
        const wchar_t* runAs;   // below the test's root folder
        bool refuses;
    };
    const Case cases[] = {
        { L"Inst\\Ostrel Launcher.exe", true },
        { L"Inst\\Ostrel\\Playden.exe", true },
        { L"Inst\\Ostrel\\bin\\PLAYDEN.EXE", true },
        // A sibling folder whose name starts with the install folder's name.
        { L"Inst-old\\Ostrel Launcher.exe", true },
        // The same programs elsewhere do not stop it.
        { L"Elsewhere\\Ostrel Launcher.exe", false },
        { L"Elsewhere\\Playden.exe", false },
    };
    for (const Case& c : cases)
    {
        CAPTURE(WideToUtf8(c.runAs));
        Installed s("us-busy", true);
        const std::string before = ReadFileBytes(U8(s.data / L"settings.json"));
        InstallerApp app;
        {
            StandinProcess p(s.root / c.runAs);
            REQUIRE(p.started);
            RunJob(app, s);
        }
        if (c.refuses)
        {
            CheckFailed(app, "Close the Ostrel launcher and the game first, then try again.");
            CheckUntouched(s);
            CHECK(ReadFileBytes(U8(s.data / L"settings.json")) == before);
            CHECK(app.jobBytesTotal.load() == 0);
            CHECK(StatusText(app) == "Preparing...");
        }
        else
        {
            CheckSucceeded(app);
            CheckAllGone(s);
        }
    }
}

TEST_CASE("a recorded game folder that is not ours is skipped and left alone")
{
    const fs::path root(Utf8ToWide(MakeTempDir("us-skip")));
    const fs::path inst = root / L"Inst";
    fs::create_directories(inst);
    auto game = [](const fs::path& dir, bool withExe) {
        WriteFileBytes(U8(dir / L"data.pak"), "x");
        if (withExe)
            WriteFileBytes(U8(dir / L"Playden.exe"), "x");
        return dir;
    };
    fs::path outside = game(root / L"Outside" / L"Ostrel", true);
    fs::path noExe = game(inst / L"NoGame", false);
    fs::path deeper = game(inst / L"Games" / L"Ostrel", true);
    fs::path exeIsFolder = game(inst / L"Odd", false);
    fs::create_directories(exeIsFolder / L"Playden.exe");
    // The install folder itself, holding the executable, is not a game folder in it.
    WriteFileBytes(U8(inst / L"Playden.exe"), "x");

    const fs::path cases[] = {
        inst / L"Gone",
        outside,
        noExe,
        deeper,
        exeIsFolder,
        inst,
        inst / L".",
        deeper / L"..",
        inst / L"NoGame" / L".." / L".",
    };
    for (const fs::path& g : cases)
    {
        CAPTURE(U8(g));
        InstallerApp app;
        CHECK(RemoveGameFolder(app, U8(inst), U8(g)) == "");
        CHECK(StatusText(app) == "The game folder was not found - skipped.");
        CHECK(app.jobBytesTotal.load() == 0);
    }
    for (const fs::path& f : { outside / L"Playden.exe", outside / L"data.pak", noExe / L"data.pak",
                               deeper / L"Playden.exe", exeIsFolder / L"data.pak", inst / L"Playden.exe" })
        CHECK_MESSAGE(Exists(f), U8(f));

    // An empty record (launcher-only install) is not a skip: nothing is said.
    InstallerApp app;
    app.statusText = "Removing the game...";
    CHECK(RemoveGameFolder(app, U8(inst), "") == "");
    CHECK(StatusText(app) == "Removing the game...");

    // The whole uninstall goes on past a skipped folder.
    Installed s("us-skip-run", false);
    s.game = outside;
    InstallerApp run;
    RunJob(run, s);
    CheckSucceeded(run);
    CHECK(Exists(outside / L"Playden.exe"));
    CHECK(Exists(outside / L"data.pak"));
    CHECK_FALSE(Exists(s.inst / L"Ostrel Launcher.exe"));
}

TEST_CASE("the game folder is recognised however the record spells it")
{
    struct Case
    {
        const wchar_t* suffix;  // appended to the install folder's text
        bool upper;             // the record in upper case
    };
    const Case cases[] = { { L"\\Ostrel", false }, { L"\\Ostrel\\", false }, { L"\\Ostrel", true },
                           { L"\\.\\Ostrel", false } };
    for (const Case& c : cases)
    {
        CAPTURE(WideToUtf8(c.suffix));
        CAPTURE(c.upper);
        Installed s("us-spell", true);
        std::wstring g = s.inst.wstring() + c.suffix;
        if (c.upper)
            for (wchar_t& ch : g)
                if (ch >= L'a' && ch <= L'z')
                    ch = (wchar_t)(ch - L'a' + L'A');
        InstallerApp app;
        CHECK(RemoveGameFolder(app, U8(s.inst), WideToUtf8(g)) == "");
        CHECK(app.jobBytesDone.load() == s.gameFiles.size());
        CHECK_FALSE(Exists(s.game));
    }
}

TEST_CASE("a linked folder inside the game folder loses only the link")
{
    Installed s("us-link", true);
    const fs::path saves = s.root / L"My Saves";
    WriteFileBytes(U8(saves / L"slot1.sav"), "precious");
    WriteFileBytes(U8(saves / L"deep" / L"slot2.sav"), "precious");
    if (!MakeDirLink(s.game / L"saves-link", saves))
    {
        MESSAGE("no directory links here: skipped");
        return;
    }
    REQUIRE(Exists(s.game / L"saves-link" / L"slot1.sav"));
    InstallerApp app;
    RunJob(app, s);
    CheckSucceeded(app);
    CHECK(app.jobBytesTotal.load() == s.gameFiles.size());
    for (const fs::path& f : s.gameFiles)
        CHECK_MESSAGE(!Exists(f), U8(f));
    // (Wine cannot remove a host link through any Windows call, so the link
    // and with it the game folder may stay there; Windows removes both.)
    CHECK(ReadFileBytes(U8(saves / L"slot1.sav")) == "precious");
    CHECK(ReadFileBytes(U8(saves / L"deep" / L"slot2.sav")) == "precious");
}

TEST_CASE("a locked game file stops the uninstall, and Retry finishes it")
{
    Installed s("us-lock", true);
    const fs::path locked = s.game / L"data" / L"level1.pak";
    HANDLE h = CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);

    InstallerApp app;
    RunJob(app, s);
    const std::string error = ErrorText(app);
    CHECK_FALSE(app.jobSucceeded.load());
    CHECK(app.jobFinished.load());
    CHECK_FALSE(app.jobBusy.load());
    const std::string head = "Couldn't delete " + U8(locked) + " (";
    REQUIRE(error.size() > head.size() + 2);
    CHECK(error.compare(0, head.size(), head) == 0);
    CHECK(error.substr(error.size() - 2) == ").");
    // The system's own words, without a period of their own before ")."
    CHECK(error[head.size()] != ')');
    CHECK(error.substr(error.size() - 3) != ".).");
    CHECK(app.jobStage.load() == 0);
    CHECK(app.jobBytesDone.load() < app.jobBytesTotal.load());
    CHECK(Exists(locked));
    // Nothing after the game step was touched.
    for (const fs::path& f : s.ourFiles)
        CHECK_MESSAGE(Exists(f), U8(f));
    CHECK(ReadRegString(kTestKey, L"GameDir") == U8(s.game));
    CHECK(s.Settings()["gameDir2024July"] == U8(s.game));

    CloseHandle(h);
    RunJob(app, s);
    CheckSucceeded(app);
    CheckAllGone(s);
    CHECK(s.Settings()["gameDir2024July"] == "");
}

TEST_CASE("a launcher file that cannot be deleted keeps the record, and Retry finishes")
{
    Installed s("us-lock-launcher", true);
    const fs::path held = s.inst / L"Ostrel Launcher.old.exe";
    WriteFileBytes(U8(held), "an old launcher");
    // Held open without leave to delete it, as a program that runs from it.
    HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);

    InstallerApp app;
    RunJob(app, s);
    const std::string error = ErrorText(app);
    CHECK_FALSE(app.jobSucceeded.load());
    CHECK(error.rfind("Couldn't delete " + U8(held) + " (", 0) == 0);
    // The system's reason is in the log too, and the record stays for Retry.
    const std::string log = ReadFileBytes(U8(s.data / L"installer.log"));
    CHECK(log.find("uninstall: " + error) != std::string::npos);
    CHECK(ReadRegString(kTestKey, L"InstallDir") == U8(s.inst));

    CloseHandle(h);
    RunJob(app, s);
    CheckSucceeded(app);
    CheckAllGone(s);
}

TEST_CASE("a launcher-only installation")
{
    Installed s("us-launcher", false);
    WriteFileBytes(U8(s.data / L"settings.json"), R"({"channel":"2024july"})");
    InstallerApp app;
    RunJob(app, s);
    CheckSucceeded(app);
    CheckAllGone(s);
    CHECK_FALSE(Exists(s.inst));
    CHECK(app.jobBytesTotal.load() == 0);
    CHECK(app.jobBytesDone.load() == 0);
    // No link to remove: the settings file is left as it was.
    CHECK(ReadFileBytes(U8(s.data / L"settings.json")) == R"({"channel":"2024july"})");
}

TEST_CASE("the installer's key and the uninstall entry: by data folder")
{
    const KeySnapshot realKey(kRealKey), entry(OSTREL_UNINSTALL_KEY);
    const fs::path localData = fs::path(KnownFolderPath(FOLDERID_LocalAppData)) / L"OstrelLauncher";
    const bool localDataExisted = Exists(localData);
    const bool logExisted = Exists(localData / L"installer.log");

    Installed s("us-keys", true);
    WriteRegString(kRealKey, L"InstallDir", "C:\\Somewhere\\Else");
    WriteRegString(OSTREL_UNINSTALL_KEY, L"DisplayName", "Ostrel");
    WriteRegDword(OSTREL_UNINSTALL_KEY, L"NoModify", 1);

    // With a data folder only the test key goes; a normal installation stays.
    InstallerApp app;
    RunJob(app, s);
    CheckSucceeded(app);
    CHECK_FALSE(KeyExists(kTestKey));
    CHECK(ReadRegString(kRealKey, L"InstallDir") == "C:\\Somewhere\\Else");
    CHECK(ReadRegString(OSTREL_UNINSTALL_KEY, L"DisplayName") == "Ostrel");

    // Without one, the normal key and the uninstall entry go, the test key stays.
    Installed t("us-keys-real", false);
    InstallerApp real;
    real.jobBusy.store(true);
    UninstallArgs args;
    args.app = &real;
    args.installDir = U8(t.inst);
    args.alive = real.alive;
    RunUninstall(args);
    CheckSucceeded(real);
    CHECK_FALSE(KeyExists(kRealKey));
    CHECK_FALSE(KeyExists(OSTREL_UNINSTALL_KEY));
    CHECK(ReadRegString(kTestKey, L"InstallDir") == U8(t.inst));
    CHECK_FALSE(Exists(t.inst));

    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    realKey.Restore();
    entry.Restore();
    // Made by this test's uninstall: its log lines.
    std::error_code ec;
    if (!logExisted)
        fs::remove(localData / L"installer.log", ec);
    if (!localDataExisted)
        fs::remove(localData, ec);
}

TEST_CASE("no empty parent key is left behind, and none that holds anything is deleted")
{
    const wchar_t* parent = L"Software\\OstrelTest";
    for (bool otherValue : { false, true })
    {
        CAPTURE(otherValue);
        Installed s("us-parent", false);
        if (otherValue)
            WriteRegString(parent, L"Other", "kept");
        InstallerApp app;
        RunJob(app, s);
        CheckSucceeded(app);
        CHECK(KeyExists(parent) == otherValue);
        RegDeleteTreeW(HKEY_CURRENT_USER, parent);
    }
}

TEST_CASE("the self-removal command")
{
    // Attempt after attempt for about 30 seconds: delete the copy, remove the
    // folder when empty.
    const std::wstring attempt = L" 127.0.0.1 >nul & del /f /q \"C:\\Ostrel\\Ostrel Setup.exe\" >nul 2>&1 & rmdir \"C:\\Ostrel\" >nul 2>&1";
    std::wstring expected = L"/c";
    int waited = 0;
    for (int wait : { 2, 3, 4, 6, 8, 13 })
    {
        expected += std::wstring(waited ? L" &" : L"") + L" ping -n " + std::to_wstring(wait) + attempt;
        waited += wait - 1;
    }
    CHECK(waited == 30);
    CHECK(SelfRemovalParameters(L"C:\\Ostrel\\Ostrel Setup.exe", L"C:\\Ostrel") == expected);
    // Past cmd's 8191 characters a long folder gets fewer attempts, then none.
    const std::wstring longer = L"C:\\" + std::wstring(1000, L'l');
    const std::wstring fewer = SelfRemovalParameters(longer + L"\\Ostrel Setup.exe", longer);
    CHECK(fewer.find(L"ping -n 30") != std::wstring::npos);
    CHECK(fewer.size() <= 8000);
    const std::wstring longest = L"C:\\" + std::wstring(2000, L'l');
    CHECK(SelfRemovalParameters(longest + L"\\Ostrel Setup.exe", longest).empty());
    const std::wstring spiele = L"D:\\Spiele\\\u00d6strel \u6e38\u620f";
    CHECK(SelfRemovalParameters(spiele + L"\\Ostrel Setup.exe", spiele).find(L"\"" + spiele + L"\\Ostrel Setup.exe\"") !=
          std::wstring::npos);
    // Characters cmd could expand or read as syntax: no command at all.
    for (const wchar_t* folder : { L"C:\\100%Games", L"C:\\%USERPROFILE%", L"C:\\Wow!", L"C:\\A & B", L"C:\\x^y",
                                   L"C:\\q\"" })
    {
        CAPTURE(WideToUtf8(folder));
        CHECK(SelfRemovalParameters(std::wstring(folder) + L"\\Ostrel Setup.exe", folder).empty());
    }
    CHECK(SelfRemovalParameters(L"", L"").empty());
}

TEST_CASE("run from the setup copy in the install folder, the copy and the folder go after it exited")
{
    const fs::path root(Utf8ToWide(MakeTempDir("us-self")));
    const fs::path inst = root / L"Inst", data = root / L"data";
    const fs::path copy = inst / L"Ostrel Setup.exe";
    WriteFileBytes(U8(inst / L"Ostrel Launcher.exe"), "launcher");
    WriteRegString(kTestKey, L"InstallDir", U8(inst));
    {
        StandinProcess p(copy, L"--uninstall \"" + inst.wstring() + L"\" \"\" \"" + data.wstring() + L"\"");
        REQUIRE(p.started);
        REQUIRE(p.Wait(30000) == 0);
    }
    CHECK_FALSE(Exists(inst / L"Ostrel Launcher.exe"));
    CHECK_FALSE(KeyExists(kTestKey));
    // The delayed command waits about three seconds.
    for (int i = 0; i < 150 && Exists(inst); i++)
        Sleep(100);
    CHECK_FALSE(Exists(copy));
    CHECK_FALSE(Exists(inst));
}

TEST_CASE("an install folder with % or ! in its name keeps the setup copy rather than let cmd expand it")
{
    // Were the names handed to cmd, %OSTREL_DECOY% would expand to the decoy
    // folder beside them and its own "Ostrel Setup.exe" would go instead.
    const fs::path root(Utf8ToWide(MakeTempDir("us-percent")));
    const fs::path decoy = root / L"decoy";
    WriteFileBytes(U8(decoy / L"Ostrel Setup.exe"), "not ours");
    WriteFileBytes(U8(decoy / L"keep.txt"), "not ours");
    REQUIRE(SetEnvironmentVariableW(L"OSTREL_DECOY", L"decoy"));
    REQUIRE(SetEnvironmentVariableW(L"x", L"decoy"));
    const fs::path data = root / L"data";
    const wchar_t* const unsafe[] = { L"%OSTREL_DECOY%", L"!x!", L"100% sure!", L"%TEMP%" };
    std::vector<std::unique_ptr<StandinProcess>> runs;
    for (const wchar_t* name : unsafe)
    {
        const fs::path inst = root / name;
        WriteFileBytes(U8(inst / L"Ostrel Launcher.exe"), "launcher");
        runs.push_back(std::make_unique<StandinProcess>(
            inst / L"Ostrel Setup.exe", L"--uninstall \"" + inst.wstring() + L"\" \"\" \"" + data.wstring() + L"\""));
        REQUIRE(runs.back()->started);
        CHECK(runs.back()->Wait(30000) == 0);
    }
    // A plain folder last: once its delayed command has run, any command for
    // the folders before it would have run too.
    const fs::path plain = root / L"plain";
    {
        StandinProcess p(plain / L"Ostrel Setup.exe",
                         L"--uninstall \"" + plain.wstring() + L"\" \"\" \"" + data.wstring() + L"\"");
        REQUIRE(p.started);
        REQUIRE(p.Wait(30000) == 0);
    }
    runs.clear();
    for (int i = 0; i < 150 && Exists(plain); i++)
        Sleep(100);
    REQUIRE_FALSE(Exists(plain));

    for (const wchar_t* name : unsafe)
    {
        CAPTURE(WideToUtf8(name));
        const fs::path inst = root / name;
        CHECK_FALSE(Exists(inst / L"Ostrel Launcher.exe"));     // the rest of the uninstall ran
        CHECK(Exists(inst / L"Ostrel Setup.exe"));
        CHECK(Exists(inst));
    }
    CHECK(ReadFileBytes(U8(decoy / L"Ostrel Setup.exe")) == "not ours");
    CHECK(ReadFileBytes(U8(decoy / L"keep.txt")) == "not ours");
    SetEnvironmentVariableW(L"OSTREL_DECOY", nullptr);
    SetEnvironmentVariableW(L"x", nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
}

namespace
{
// A registry key tree as text ("" when the key is absent): every subkey,
// value name, type and data.
std::string RegTree(HKEY parent, const std::wstring& subKey)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::string();
    std::set<std::string> lines;
    for (DWORD i = 0;; i++)
    {
        wchar_t name[16384];
        DWORD nameLen = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &nameLen, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        std::wstring valueName(name, nameLen);
        RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, data.data(), &size);
        std::string line = WideToUtf8(valueName);
        line += ':';
        line += std::to_string(type);
        line += ':';
        line.append((const char*)data.data(), size);
        lines.insert(line);
    }
    std::vector<std::wstring> subKeys;
    for (DWORD i = 0;; i++)
    {
        wchar_t name[256];
        DWORD nameLen = 256;
        if (RegEnumKeyExW(key, i, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subKeys.emplace_back(name, nameLen);
    }
    for (const std::wstring& sub : subKeys)
    {
        std::string line = WideToUtf8(sub);
        line += "\\{" + RegTree(key, sub) + "}";
        lines.insert(line);
    }
    RegCloseKey(key);
    std::string out = "{";
    for (const std::string& l : lines)
        out += l + "\n";
    return out + "}";
}

// Every file and folder below `dir` with the files' sizes, one per line.
std::set<std::string> FileTree(const fs::path& dir)
{
    std::set<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    {
        std::string rel = U8(it->path().lexically_relative(dir));
        std::error_code e2;
        out.insert(it->is_directory(e2) ? rel + "\\" : rel + " " + std::to_string(it->file_size(e2)));
    }
    return out;
}

// What an install and an uninstall can change in the prefix.
struct PrefixState
{
    std::set<std::string> root, desktop, programs, localData;
    std::string testKey, realKey, entry;

    bool operator==(const PrefixState&) const = default;
};

PrefixState TakeState(const fs::path& root)
{
    PrefixState st;
    st.root = FileTree(root);
    st.desktop = FileTree(Desktop());
    st.programs = FileTree(Programs());
    st.localData = FileTree(fs::path(KnownFolderPath(FOLDERID_LocalAppData)) / L"OstrelLauncher");
    st.testKey = RegTree(HKEY_CURRENT_USER, L"Software\\OstrelTest");
    st.realKey = RegTree(HKEY_CURRENT_USER, L"Software\\Ostrel");
    st.entry = RegTree(HKEY_CURRENT_USER, OSTREL_UNINSTALL_KEY);
    return st;
}

bool WaitForJob(InstallerApp& app)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!(app.jobFinished.load() && !app.jobBusy.load()))
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
} // namespace

TEST_CASE("an install followed by an uninstall leaves the prefix as it was, apart from the user's files")
{
    // Served once for every case: the launcher, a game archive and the
    // install information, under one prefix for both server addresses.
    const std::string prefix = UniqueUrlPath("us-roundtrip");
    const std::string launcher = "MZ launcher stand-in" + std::string(200000, 'L');
    const std::string game = MakeZip({ { "Playden-2024-07/Playden.exe", "MZ game" },
                                       { "Playden-2024-07/Data/level1.pak", std::string(50000, 'p') },
                                       { "Playden-2024-07/Data/Maps/one.map", "map" } });
    const std::string launcherSha = Sha256Of(launcher), gameSha = Sha256Of(game);
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/app/" + launcherSha, launcher));
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/install/game/" + gameSha, game));
    const json doc = { { "launcher", { { "sha256", launcherSha }, { "size", launcher.size() } } },
                       { "game", { { "sha256", gameSha }, { "size", game.size() }, { "unpacked", 50010 } } } };
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/install", doc.dump()));

    struct Case
    {
        bool withDataDir;       // --data given: test key, no uninstall entry
        bool removeData;        // "Also delete my launcher settings and sign-in"
        bool userFile;          // the user adds a file to the install folder meanwhile
    };
    const Case cases[] = { { true, true, false }, { true, true, true }, { true, false, false }, { false, true, false } };
    for (const Case& c : cases)
    {
        CAPTURE(c.withDataDir);
        CAPTURE(c.removeData);
        CAPTURE(c.userFile);
        const KeySnapshot realKey(kRealKey), entry(OSTREL_UNINSTALL_KEY);
        // An empty parent key that other tests left holds nothing, and the
        // uninstall would rightly take it away: start without it.
        for (const wchar_t* parent : { L"Software\\OstrelTest", L"Software\\Ostrel" })
            if (RegTree(HKEY_CURRENT_USER, parent) == "{}")
                RegDeleteKeyW(HKEY_CURRENT_USER, parent);
        const fs::path root(Utf8ToWide(MakeTempDir("us-roundtrip")));
        WriteFileBytes(U8(root / L"unrelated.txt"), "there before");
        const std::string dataDir = c.withDataDir ? U8(root / L"data") : std::string();
        const std::string serverUrl = TestServerUrl() + prefix;
        const PrefixState before = TakeState(root);

        {
            InstallerApp app;
            app.serverUrl = serverUrl;
            app.downloadUrl = serverUrl;
            app.dataDir = dataDir;
            app.installDir = U8(root / L"Inst \u00d6strel");
            app.StartInstall();
            REQUIRE(WaitForJob(app));
            REQUIRE(app.jobSucceeded.load());
        }
        const fs::path inst = root / L"Inst \u00d6strel";
        REQUIRE(Exists(inst / L"Ostrel" / L"Playden.exe"));
        REQUIRE(Exists(Desktop() / L"Ostrel Launcher.lnk"));
        REQUIRE(Exists(Programs() / L"Ostrel Launcher.lnk"));
        CHECK(Exists(inst / L"Ostrel Setup.exe"));
        CHECK(KeyExists(OSTREL_UNINSTALL_KEY) == !c.withDataDir);
        if (c.userFile)
            WriteFileBytes(U8(inst / L"my notes.txt"), "mine");

        {
            // As a later start of the setup finds the installation and removes it.
            InstallerApp app;
            app.uninstallMode = true;
            app.Init(nullptr, serverUrl, dataDir, "");
            REQUIRE(app.existingInstall);
            CHECK(app.page == Page_Uninstall);
            app.removeLauncherData = c.removeData;
            app.StartUninstall();
            REQUIRE(WaitForJob(app));
            CHECK(ErrorText(app) == "");
            CHECK(app.jobSucceeded.load());
        }

        PrefixState expected = before;
        if (c.userFile)
        {
            expected.root.insert(U8(fs::path(L"Inst \u00d6strel")) + "\\");
            expected.root.insert(U8(fs::path(L"Inst \u00d6strel") / L"my notes.txt") + " 4");
        }
        PrefixState after = TakeState(root);
        if (!c.removeData)
        {
            // The launcher keeps its settings, only without the removed game.
            CHECK(ReadFileBytes(dataDir + "\\settings.json") == "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"\"\n}");
            std::set<std::string> kept = FileTree(root / L"data");
            CHECK(kept == std::set<std::string>{ "installer.log " + std::to_string(ReadFileBytes(dataDir + "\\installer.log").size()),
                                                 "settings.json " + std::to_string(ReadFileBytes(dataDir + "\\settings.json").size()) });
            for (const std::string& k : kept)
                expected.root.insert("data\\" + k);
            expected.root.insert("data\\");
        }
        CHECK(after.root == expected.root);
        CHECK(after.desktop == expected.desktop);
        CHECK(after.programs == expected.programs);
        // Asked to, the uninstall takes the launcher's whole data folder, with
        // whatever earlier runs had logged there.
        if (c.removeData && !c.withDataDir)
            expected.localData.clear();
        CHECK(after.localData == expected.localData);
        CHECK(after.testKey == expected.testKey);
        CHECK(after.realKey == expected.realKey);
        CHECK(after.entry == expected.entry);

        realKey.Restore();
        entry.Restore();
    }
    ResetServer(prefix);
}

namespace
{
// Every file and folder below `dir` (folders with a trailing backslash),
// however deep: std::filesystem's walk stops short at 260 characters.
std::set<std::wstring> DeepTree(const std::wstring& dir)
{
    std::set<std::wstring> out;
    std::vector<std::wstring> folders = { dir };
    while (!folders.empty())
    {
        std::wstring folder = folders.back();
        folders.pop_back();
        std::vector<FolderEntry> entries;
        ListFolder(folder, entries);
        for (const FolderEntry& e : entries)
        {
            bool isDir = (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            out.insert(e.path.substr(dir.size() + 1) + (isDir ? L"\\" : L""));
            if (isDir)
                folders.push_back(e.path);
        }
    }
    return out;
}
} // namespace

TEST_CASE("an install folder and game files past 260 characters install and uninstall completely")
{
    // Game entries far below the game folder, so that their full paths pass
    // 260 characters by a long way, and a launcher data folder as deep.
    const std::string deepDirs = std::string(60, 'm') + "/" + std::string(60, 'n') + "/" + std::string(60, 'o');
    const std::string prefix = UniqueUrlPath("us-long");
    const std::string launcher = "MZ launcher stand-in" + std::string(100000, 'L');
    const std::string game = MakeZip({ { "Playden-2024-07/Playden.exe", "MZ game" },
                                       { "Playden-2024-07/Data/" + deepDirs + "/level1.pak", std::string(50000, 'p') },
                                       { "Playden-2024-07/Data/" + deepDirs + "/", "" },
                                       { "Playden-2024-07/Data/one.map", "map" } });
    const std::string launcherSha = Sha256Of(launcher), gameSha = Sha256Of(game);
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/app/" + launcherSha, launcher));
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/install/game/" + gameSha, game));
    const json doc = { { "launcher", { { "sha256", launcherSha }, { "size", launcher.size() } } },
                       { "game", { { "sha256", gameSha }, { "size", game.size() }, { "unpacked", 50010 } } } };
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/install", doc.dump()));
    const std::string serverUrl = TestServerUrl() + prefix;

    const fs::path root(Utf8ToWide(MakeTempDir("us-long")));
    fs::path base = root;
    for (int i = 0; i < 5; i++)
        base /= L"Ostrel Games Folder With A Rather Long Name " + std::to_wstring(i);
    const fs::path inst = base / L"Inst \u00d6strel", data = base / L"data";
    REQUIRE(inst.wstring().size() > 260);
    const fs::path gameDir = inst / L"Ostrel";
    const fs::path deepFile = gameDir / L"Data" / fs::path(Utf8ToWide(deepDirs)).make_preferred() / L"level1.pak";
    REQUIRE(deepFile.wstring().size() > 440);
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);

    {
        InstallerApp app;
        app.serverUrl = serverUrl;
        app.downloadUrl = serverUrl;
        app.dataDir = U8(data);
        app.installDir = U8(inst);
        app.StartInstall();
        REQUIRE(WaitForJob(app));
        CHECK(ErrorText(app) == "");
        REQUIRE(app.jobSucceeded.load());
        // Records, settings and results hold the normal form of the paths.
        std::lock_guard<std::mutex> lock(app.jobMutex);
        CHECK(app.gameDirResult == U8(gameDir));
        CHECK(app.launcherPathResult == U8(inst / L"Ostrel Launcher.exe"));
    }
    CHECK(ReadFileBytes(U8(inst / L"Ostrel Launcher.exe")) == launcher);
    CHECK(ReadFileBytes(U8(gameDir / L"Playden.exe")) == "MZ game");
    CHECK(ReadFileBytes(U8(deepFile)) == std::string(50000, 'p'));
    CHECK(PathAttributes((inst / L"Ostrel Setup.exe").wstring()) != INVALID_FILE_ATTRIBUTES);
    CHECK_FALSE(Exists(inst / L"Ostrel.download.zip"));
    CHECK(ReadRegString(kTestKey, L"InstallDir") == U8(inst));
    CHECK(ReadRegString(kTestKey, L"GameDir") == U8(gameDir));
    json settings = json::parse(ReadFileBytes(U8(data / L"settings.json")), nullptr, false);
    CHECK(settings["gameDir2024July"] == U8(gameDir));
    CHECK(ReadFileBytes(U8(data / L"installer.log")).find("install to " + U8(inst) + " (launcher + game)") !=
          std::string::npos);

    {
        InstallerApp app;
        app.uninstallMode = true;
        app.Init(nullptr, serverUrl, U8(data), "");
        REQUIRE(app.existingInstall);
        app.StartUninstall();
        REQUIRE(WaitForJob(app));
        CHECK(ErrorText(app) == "");
        CHECK(app.jobSucceeded.load());
        CHECK(app.jobBytesDone.load() == 3);
    }
    // Only the folders above the install folder and the launcher's own files stay.
    std::set<std::wstring> expected;
    std::wstring chain;
    for (int i = 0; i < 5; i++)
    {
        chain += (i ? L"\\" : L"") + std::wstring(L"Ostrel Games Folder With A Rather Long Name ") + std::to_wstring(i);
        expected.insert(chain + L"\\");
    }
    expected.insert(chain + L"\\data\\");
    expected.insert(chain + L"\\data\\settings.json");
    expected.insert(chain + L"\\data\\installer.log");
    CHECK(DeepTree(root.wstring()) == expected);
    CHECK(json::parse(ReadFileBytes(U8(data / L"settings.json")), nullptr, false)["gameDir2024July"] == "");
    CHECK_FALSE(KeyExists(kTestKey));
    CHECK_FALSE(Exists(Desktop() / L"Ostrel Launcher.lnk"));
    CHECK_FALSE(Exists(Programs() / L"Ostrel Launcher.lnk"));
    ResetServer(prefix);
}

namespace
{
// Serves a launcher and a game archive under `prefix`, with an install
// document that names `exe` (the document's default when empty).
void PublishLauncherAndGame(const std::string& prefix, const std::string& launcher, const std::string& game,
                            const std::string& exe)
{
    const std::string launcherSha = Sha256Of(launcher), gameSha = Sha256Of(game);
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/app/" + launcherSha, launcher));
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/install/game/" + gameSha, game));
    json doc = { { "launcher", { { "sha256", launcherSha }, { "size", launcher.size() } } },
                 { "game", { { "sha256", gameSha }, { "size", game.size() } } } };
    if (!exe.empty())
        doc["game"]["exe"] = exe;
    REQUIRE(ServeFile(prefix + "/api/launcher/v1/install", doc.dump()));
}

// A whole install without shortcuts, which must succeed.
void InstallWithoutShortcuts(const std::string& serverUrl, const std::string& dataDir, const fs::path& inst,
                             bool includeGame)
{
    InstallerApp app;
    app.serverUrl = serverUrl;
    app.downloadUrl = serverUrl;
    app.dataDir = dataDir;
    app.installDir = U8(inst);
    app.includeGame = includeGame;
    app.desktopShortcut = false;
    app.startMenuShortcut = false;
    app.StartInstall();
    REQUIRE(WaitForJob(app));
    REQUIRE(ErrorText(app) == "");
}
} // namespace

TEST_CASE("every archive layout uninstalls to exactly the user's own files")
{
    struct Layout
    {
        const char* name;
        std::vector<ZipEntry> entries;
        const char* exe;                // the document's "exe"
        const char* gameDir;            // where the game lands, relative to the install folder ("" = itself)
        std::vector<std::string> userFiles;     // in the install folder before the install
    };
    const Layout layouts[] = {
        { "one folder deep, named Ostrel", { { "Ostrel/Playden.exe", "MZ" }, { "Ostrel/Data/a.pak", "aaaa" } },
          "Playden.exe", "Ostrel", {} },
        { "one folder deep, another name", { { "Build-7/Playden.exe", "MZ" }, { "Build-7/Data/a.pak", "aaaa" } },
          "Playden.exe", "Ostrel", {} },
        { "at the archive's root, empty folder", { { "Playden.exe", "MZ" }, { "Data/a.pak", "aaaa" }, { "Data/Maps/", "" } },
          "Playden.exe", "", {} },
        { "at the archive's root, folder with the user's files",
          { { "Playden.exe", "MZ" }, { "Data/a.pak", "aaaa" }, { "Data/Maps/one.map", "m" } },
          "Playden.exe", "", { "notes.txt", "Data\\mine.sav" } },
        { "nested two deep, with a file beside the game folder",
          { { "Top/readme.txt", "r" }, { "Top/Game/Playden.exe", "MZ" }, { "Top/Game/Data/a.pak", "aaaa" } },
          "Playden.exe", "Top\\Ostrel", {} },
        { "another executable name", { { "Spiel/Spiel.exe", "MZ" }, { "Spiel/x.dat", "x" } }, "Spiel.exe", "Ostrel", {} },
    };
    const std::string launcher = "MZ launcher stand-in" + std::string(1000, 'L');
    for (const Layout& l : layouts)
    {
        CAPTURE(l.name);
        const std::string prefix = UniqueUrlPath("us-layout");
        PublishLauncherAndGame(prefix, launcher, MakeZip(l.entries), l.exe);
        RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);

        const fs::path root(Utf8ToWide(MakeTempDir("us-layout")));
        const fs::path inst = root / L"Inst";
        for (const std::string& f : l.userFiles)
            WriteFileBytes(U8(inst / Utf8ToWide(f)), "mine");
        const std::string dataDir = U8(root / L"data");
        const std::string serverUrl = TestServerUrl() + prefix;
        const std::set<std::string> before = FileTree(root);
        InstallWithoutShortcuts(serverUrl, dataDir, inst, true);
        const fs::path gameDir = inst / Utf8ToWide(l.gameDir);
        REQUIRE(Exists(gameDir / Utf8ToWide(l.exe)));

        InstallerApp app;
        app.uninstallMode = true;
        app.Init(nullptr, serverUrl, dataDir, "");
        REQUIRE(app.existingInstall);
        CHECK(app.existingRecordComplete);
        CHECK(app.existingGameExe == l.exe);
        app.removeLauncherData = true;
        {
            // The recorded executable running from the game folder stops the removal.
            StandinProcess running(gameDir / Utf8ToWide(l.exe));
            REQUIRE(running.started);
            app.StartUninstall();
            REQUIRE(WaitForJob(app));
            CHECK(ErrorText(app) == "Close the Ostrel launcher and the game first, then try again.");
        }
        app.StartUninstall();
        REQUIRE(WaitForJob(app));
        CHECK(ErrorText(app) == "");
        CHECK(app.jobSucceeded.load());
        std::string notes;
        {
            std::lock_guard<std::mutex> lock(app.jobMutex);
            notes = app.jobNotes;
        }
        std::set<std::string> after = FileTree(root);
        if (l.userFiles.empty())
        {
            CHECK(after == before);
            CHECK(notes == "");
        }
        else
        {
            CHECK(after == before);
            // Said plainly on the Removed page: the folder stays for the user's files.
            CHECK(notes.find("The folder " + U8(inst) + " was kept: it holds files that Setup didn't install.") !=
                  std::string::npos);
        }
        CHECK_FALSE(KeyExists(kTestKey));
        ResetServer(prefix);
    }
}

TEST_CASE("a record of a game folder the setup didn't make, without its list, keeps the folder and says so")
{
    Installed s("us-nolist", true);
    WriteRegString(kTestKey, L"GameExe", "Playden.exe");
    WriteRegDword(kTestKey, L"GameDirCreated", 0);
    InstallerApp app;
    app.dataDir = U8(s.data);
    app.jobBusy.store(true);
    UninstallArgs args;
    args.app = &app;
    args.installDir = U8(s.inst);
    args.gameDir = U8(s.game);
    args.gameExe = "Playden.exe";
    args.recordComplete = true;
    args.alive = app.alive;
    RunUninstall(args);
    CheckSucceeded(app);
    for (const fs::path& f : s.gameFiles)
        CHECK(Exists(f));
    CHECK(app.jobNotes.find("were kept: the list of the files Setup installed (Ostrel.files) is missing.") != std::string::npos);
    // The log says the same.
    CHECK(ReadFileBytes(U8(s.data / L"installer.log")).find("  uninstall kept: The game's files in " + U8(s.game)) !=
          std::string::npos);
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
}

TEST_CASE("the self-removal outlasts a slow exit")
{
    const fs::path root(Utf8ToWide(MakeTempDir("us-slow")));
    const fs::path inst = root / L"Inst";
    const fs::path copy = inst / L"Ostrel Setup.exe";
    WriteFileBytes(U8(copy), "copy");
    // Held as a running program holds its own file: no delete while open.
    HANDLE held = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    InstallerApp app;
    app.selfRemoval = SelfRemovalParameters(copy.wstring(), inst.wstring());
    app.StartSelfRemoval();
    Sleep(8000);
    CHECK(Exists(copy));
    CloseHandle(held);
    for (int i = 0; i < 300 && Exists(inst); i++)
        Sleep(100);
    CHECK_FALSE(Exists(copy));
    CHECK_FALSE(Exists(inst));
}

TEST_CASE("a launcher-only re-install keeps the game's record, so the uninstall still removes the game")
{
    const std::string launcher = "MZ launcher stand-in" + std::string(1000, 'L');
    const std::string game = MakeZip({ { "Build-7/Playden.exe", "MZ" }, { "Build-7/Data/a.pak", "aaaa" } });
    const std::string prefix = UniqueUrlPath("us-relaunch");
    PublishLauncherAndGame(prefix, launcher, game, "");
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);

    const fs::path root(Utf8ToWide(MakeTempDir("us-relaunch")));
    const fs::path inst = root / L"Inst";
    const std::string dataDir = U8(root / L"data");
    const std::string serverUrl = TestServerUrl() + prefix;
    const std::set<std::string> before = FileTree(root);
    for (bool includeGame : { true, false })
    {
        CAPTURE(includeGame);
        InstallWithoutShortcuts(serverUrl, dataDir, inst, includeGame);
    }
    REQUIRE(Exists(inst / L"Ostrel" / L"Playden.exe"));

    InstallerApp app;
    app.uninstallMode = true;
    app.Init(nullptr, serverUrl, dataDir, "");
    REQUIRE(app.existingInstall);
    CHECK(app.existingGameDir == U8(inst / L"Ostrel"));
    CHECK(app.existingGameExe == "Playden.exe");
    app.removeLauncherData = true;
    app.StartUninstall();
    REQUIRE(WaitForJob(app));
    CHECK(ErrorText(app) == "");
    CHECK(FileTree(root) == before);
    CHECK_FALSE(KeyExists(kTestKey));
    ResetServer(prefix);
}

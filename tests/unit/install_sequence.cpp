// The whole install worker, driven without a window against the local test
// server. A data folder is always given, so only the test registry key is used.
#include <doctest.h>

#include "install/install_sequence.h"
#include "install/job.h"
#include "install/shortcuts.h"
#include "net/http.h"
#include "package/sha256.h"
#include "state/document_signature.h"
#include "state/install_journal.h"
#include "state/installer_app.h"
#include "test_server.h"
#include "test_support.h"
#include "util/free_space.h"
#include "util/registry.h"
#include "util/system_paths.h"
#include "util/text.h"

#include <miniz.h>
#include <nlohmann/json.hpp>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace
{
const wchar_t* kTestKey = L"Software\\OstrelTest\\Installer";
const char* kBadAnswer = "The server's answer wasn't what the installer expects.";

fs::path Wide(const std::string& utf8) { return fs::path(Utf8ToWide(utf8)); }

// Top-level names of a folder, sorted, folders marked with a trailing backslash.
std::string Listing(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(Wide(dir), ec))
        names.insert(WideToUtf8(e.path().filename().wstring()) + (e.is_directory() ? "\\" : ""));
    std::string out;
    for (const std::string& n : names)
        out += (out.empty() ? "" : "|") + n;
    return out;
}

// Log lines without their time stamps.
std::vector<std::string> LogMessages(const std::string& dataDir)
{
    std::string text = ReadFileBytes(dataDir + "\\installer.log");
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        lines.push_back(line.size() > 17 ? line.substr(17) : "?" + line);
        at = end + 2;
    }
    return lines;
}

// One install against its own paths on the test server. The launcher, the
// game archive and the install-information document are served under a
// prefix that both the server address and the download address point at.
struct Scene
{
    std::string prefix;
    std::string launcher;
    std::string launcherSha;
    std::string game;
    std::string gameSha;
    std::string root;
    InstallerApp app;
    std::vector<int> stagesSeen;

    explicit Scene(const std::string& name)
    {
        prefix = UniqueUrlPath(name);
        launcher = "MZ stand-in launcher " + name + std::string(300000, 'L');
        launcherSha = Sha256Of(launcher);
        game = MakeZip({ { "Playden-2024-07/Playden.exe", "MZ game" },
                         { "Playden-2024-07/Data/level1.pak", std::string(70000, 'p') } });
        gameSha = Sha256Of(game);
        root = MakeTempDir(name);
        app.serverUrl = TestServerUrl() + prefix;
        app.downloadUrl = TestServerUrl() + prefix;
        app.dataDir = root + "\\data";
        app.installDir = root + "\\Spiele \xc3\x96strel";
        app.desktopShortcut = false;
        app.startMenuShortcut = false;
        RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
        REQUIRE(ServeFile(LauncherUrl(), launcher));
        REQUIRE(ServeFile(GameUrl(), game));
        ServeDocument(Document());
    }

    ~Scene()
    {
        // A failed check must not destroy the object under a running worker.
        app.cancelRequested.store(true);
        app.alive->store(false);
        app.WaitForWorkerOrExit(99);
        RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
        ResetServer(prefix);
    }

    std::string LauncherUrl() const { return prefix + "/api/launcher/v1/app/" + launcherSha; }
    std::string GameUrl() const { return prefix + "/api/launcher/v1/install/game/" + gameSha; }
    std::string Dir(const std::string& name) const { return app.installDir + "\\" + name; }

    json Document() const
    {
        return json{ { "launcher", { { "sha256", launcherSha }, { "size", launcher.size() } } },
                     { "game", { { "sha256", gameSha }, { "size", game.size() }, { "unpacked", 70007 },
                                 { "exe", "Playden.exe" }, { "folder", "Ostrel" } } } };
    }
    void ServeDocument(const json& doc) { ServeText(doc.dump()); }
    void ServeText(const std::string& text) { REQUIRE(ServeFile(prefix + "/api/launcher/v1/install", text)); }

    // Starts the job and waits for its end; `tick` runs on every poll.
    void Run(const std::function<void()>& tick = nullptr)
    {
        stagesSeen.clear();
        app.StartInstall();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!(app.jobFinished.load() && !app.jobBusy.load()))
        {
            int stage = app.jobStage.load();
            if (stagesSeen.empty() || stagesSeen.back() != stage)
                stagesSeen.push_back(stage);
            if (tick)
                tick();
            if (std::chrono::steady_clock::now() > deadline)
            {
                FAIL_CHECK("the install did not end");
                app.cancelRequested.store(true);
                app.WaitForWorkerOrExit(98);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stagesSeen.push_back(app.jobStage.load());
    }

    std::string Error()
    {
        std::lock_guard<std::mutex> lock(app.jobMutex);
        return app.errorText;
    }
    std::string Status()
    {
        std::lock_guard<std::mutex> lock(app.jobMutex);
        return app.statusText;
    }
    int LauncherRequests() const
    {
        auto log = RequestLog(LauncherUrl());
        return (int)log.size();
    }
};

// The install record names the folder and says the install did not finish.
bool RecordedUnfinished(const std::string& installDir)
{
    DWORD unfinished = 0;
    return ReadRegString(kTestKey, L"InstallDir") == installDir && ReadRegDword(kTestKey, L"Unfinished", unfinished) &&
           unfinished == 1;
}

std::string Settings(const std::string& gameDir)
{
    std::string escaped;
    for (char c : gameDir)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"" + escaped + "\"\n}";
}
} // namespace

TEST_CASE("a full install puts exactly the launcher, the game, the settings, the log and the registry values in place")
{
    Scene s("full");
    s.Run();
    CHECK(s.Error() == "");
    REQUIRE(s.app.jobSucceeded.load());
    CHECK(s.Status() == "Done.");
    CHECK(s.app.jobStage.load() == 5);
    // The stage only ever moves forward.
    CHECK(std::is_sorted(s.stagesSeen.begin(), s.stagesSeen.end()));

    const std::string gameDir = s.Dir("Ostrel");
    CHECK(Listing(s.app.installDir) == "Ostrel Launcher.exe|Ostrel Setup.exe|Ostrel\\");
    CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.exe")) == s.launcher);
    CHECK(ReadFileBytes(gameDir + "\\Playden.exe") == "MZ game");
    CHECK(ReadFileBytes(gameDir + "\\Data\\level1.pak") == std::string(70000, 'p'));
    CHECK(ReadFileBytes(s.Dir("Ostrel Setup.exe")) == ReadFileBytes(ExecutablePath()));
    {
        std::lock_guard<std::mutex> lock(s.app.jobMutex);
        CHECK(s.app.launcherPathResult == s.Dir("Ostrel Launcher.exe"));
        CHECK(s.app.gameDirResult == gameDir);
    }

    CHECK(ReadFileBytes(s.app.dataDir + "\\settings.json") == Settings(gameDir));
    CHECK(Listing(s.app.dataDir) == "installer.log|settings.json");
    CHECK(LogMessages(s.app.dataDir) == std::vector<std::string>{ "install to " + s.app.installDir + " (launcher + game)" });

    CHECK(ReadRegString(kTestKey, L"InstallDir") == s.app.installDir);
    CHECK(ReadRegString(kTestKey, L"GameDir") == gameDir);

    // Both downloads came from the download address, whole.
    auto launcherLog = RequestLog(s.LauncherUrl());
    REQUIRE(launcherLog.size() == 1);
    CHECK(launcherLog[0].range == "");
    CHECK(launcherLog[0].authorization == "");
    CHECK(RequestLog(s.GameUrl()).size() >= 1);
}

TEST_CASE("a launcher-only install needs no game and leaves the settings alone")
{
    Scene s("launcher-only");
    json doc = s.Document();
    doc.erase("game");
    s.ServeDocument(doc);
    s.app.includeGame = false;
    WriteFileBytes(s.app.dataDir + "\\settings.json", "{\"gameDir2024July\":\"X\"}");

    std::vector<std::string> statuses;
    s.Run([&] {
        std::string st = s.Status();
        if (statuses.empty() || statuses.back() != st)
            statuses.push_back(st);
    });
    REQUIRE(s.app.jobSucceeded.load());
    CHECK(Listing(s.app.installDir) == "Ostrel Launcher.exe|Ostrel Setup.exe");
    CHECK(ReadFileBytes(s.app.dataDir + "\\settings.json") == "{\"gameDir2024July\":\"X\"}");
    CHECK(LogMessages(s.app.dataDir) == std::vector<std::string>{ "install to " + s.app.installDir + " (launcher only)" });
    CHECK(ReadRegString(kTestKey, L"InstallDir") == s.app.installDir);
    CHECK(ReadRegString(kTestKey, L"GameDir") == "");
    CHECK(RequestLog(s.GameUrl()).empty());
    CHECK(std::find(statuses.begin(), statuses.end(), "Linking the game to the launcher...") == statuses.end());
    std::lock_guard<std::mutex> lock(s.app.jobMutex);
    CHECK(s.app.gameDirResult == "");
}

TEST_CASE("answers the install cannot use stop it before anything is made")
{
    struct Case { const char* name; std::function<void(json&)> edit; const char* raw; bool includeGame; };
    const Case cases[] = {
        { "not JSON", nullptr, "<html>gateway</html>", true },
        { "an array", nullptr, "[1,2]", true },
        { "no launcher", [](json& d) { d.erase("launcher"); }, nullptr, true },
        { "launcher not an object", [](json& d) { d["launcher"] = "x"; }, nullptr, true },
        { "no game", [](json& d) { d.erase("game"); }, nullptr, true },
        { "game not an object", [](json& d) { d["game"] = json::array(); }, nullptr, true },
        { "size as a string", [](json& d) { d["game"]["size"] = "1000"; }, nullptr, true },
        { "negative size", [](json& d) { d["game"]["unpacked"] = -5; }, nullptr, true },
        { "negative fractional size", [](json& d) { d["launcher"]["size"] = -1.5; }, nullptr, false },
        { "digest as a number", [](json& d) { d["launcher"]["sha256"] = 7; }, nullptr, false },
        { "executable name as a list", [](json& d) { d["game"]["exe"] = json::array({ "a" }); }, nullptr, true },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        Scene s("bad-answer");
        if (c.raw)
            s.ServeText(c.raw);
        else
        {
            json doc = s.Document();
            c.edit(doc);
            s.ServeDocument(doc);
        }
        s.app.includeGame = c.includeGame;
        s.Run();
        CHECK_FALSE(s.app.jobSucceeded.load());
        CHECK(s.Error() == kBadAnswer);
        CHECK_FALSE(PathExists(s.app.installDir));
        CHECK(s.LauncherRequests() == 0);
    }

    // Wrong types in the game's part do not matter when the game is skipped.
    Scene s("bad-game-skipped");
    json doc = s.Document();
    doc["game"] = "none";
    s.ServeDocument(doc);
    s.app.includeGame = false;
    s.Run();
    CHECK(s.Error() == "");
    CHECK(s.app.jobSucceeded.load());
}

TEST_CASE("the space check names both sizes and downloads nothing")
{
    const uint64_t huge = 1ull << 62;
    struct Case { const char* name; uint64_t size, unpacked, launcherSize; bool includeGame; uint64_t need; };
    const Case cases[] = {
        { "game", huge, huge, 1, true, 2 * huge + 67108864 },
        // Without a saturating sum these would wrap round to a tiny need.
        { "sizes at the top of the range", UINT64_MAX, UINT64_MAX, 0, true, UINT64_MAX },
        { "launcher only", 0, 0, huge, false, huge + 67108864 },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        Scene s("space");
        json doc = s.Document();
        doc["game"]["size"] = c.size;
        doc["game"]["unpacked"] = c.unpacked;
        doc["launcher"]["size"] = c.launcherSize;
        s.ServeDocument(doc);
        s.app.includeGame = c.includeGame;
        uint64_t freeBefore = FreeSpaceAt(s.root);
        REQUIRE(freeBefore != 0);
        s.Run();
        uint64_t freeAfter = FreeSpaceAt(s.root);
        std::string head = "Not enough free space on that drive: Ostrel needs " + FormatSize(c.need) + " while installing, ";
        std::string err = s.Error();
        CHECK((err == head + FormatSize(freeBefore) + " is free." || err == head + FormatSize(freeAfter) + " is free."));
        CHECK(Listing(s.app.installDir) == "");
        CHECK(s.LauncherRequests() == 0);
        CHECK(LogMessages(s.app.dataDir).back() == "FAILED: " + err);
    }
}

TEST_CASE("a stale launcher part of another build is dropped and downloaded whole")
{
    // Shorter than the launcher: resumed into a wrong file. Longer: the
    // server answers 416 and the file is taken as complete, also wrongly.
    for (size_t staleSize : { (size_t)1000, (size_t)400000 })
    {
        CAPTURE(staleSize);
        Scene s("stale-part");
        s.app.includeGame = false;
        WriteFileBytes(s.Dir("Ostrel Launcher.exe.part"), std::string(staleSize, 'x'));
        s.Run();
        CHECK(s.Error() == "");
        CHECK(s.app.jobSucceeded.load());
        CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.exe")) == s.launcher);
        CHECK_FALSE(PathExists(s.Dir("Ostrel Launcher.exe.part")));
        auto log = RequestLog(s.LauncherUrl());
        REQUIRE(log.size() == 2);
        CHECK(log[0].range == "bytes=" + std::to_string(staleSize) + "-");
        CHECK(log[1].range == "");
    }
}

TEST_CASE("the install checks the signature of its own fetch of the document")
{
    const TestSigningKey key = MakeTestSigningKey();
    SUBCASE("signed: installs")
    {
        Scene s("signed");
        s.app.signingKeys = { key.publicKey };
        REQUIRE(ServeFile(s.prefix + "/api/launcher/v1/install/signature", TestSignature(key, s.Document().dump())));
        s.Run();
        CHECK(s.Error() == "");
        CHECK(s.app.jobSucceeded.load());
        CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.exe")) == s.launcher);
    }
    // What the server check saw is no guarantee: this answer may be another.
    SUBCASE("a document other than the signed one: nothing is made or downloaded")
    {
        Scene s("resigned");
        s.app.signingKeys = { key.publicKey };
        REQUIRE(ServeFile(s.prefix + "/api/launcher/v1/install/signature", TestSignature(key, s.Document().dump())));
        json other = s.Document();
        other["game"]["exe"] = "Other.exe";
        s.ServeDocument(other);
        s.Run();
        CHECK(s.Error() == kDocumentBadSignature);
        CHECK_FALSE(PathExists(s.app.installDir));
        CHECK(s.LauncherRequests() == 0);
        CHECK(RequestLog(s.GameUrl()).empty());
        CHECK(LogMessages(s.app.dataDir).back() == std::string("FAILED: ") + kDocumentBadSignature);
    }
    SUBCASE("no signature")
    {
        Scene s("unsigned");
        s.app.signingKeys = { key.publicKey };
        s.Run();
        CHECK(s.Error() == kDocumentNotSigned);
        CHECK_FALSE(PathExists(s.app.installDir));
        CHECK(s.LauncherRequests() == 0);
    }
}

TEST_CASE("each failing step ends with its sentence and leaves only what it should")
{
    SUBCASE("the install information cannot be fetched")
    {
        Scene s("fail-info");
        ServerFault f;
        f.status = 503;
        f.body = "{\"error\": \"Down for maintenance.\"}";
        REQUIRE(SetFault(s.prefix + "/api/launcher/v1/install", f));
        s.Run();
        CHECK(s.Error() == "Down for maintenance.");
        CHECK_FALSE(PathExists(s.app.installDir));
    }
    SUBCASE("the folder cannot be made")
    {
        Scene s("fail-folder");
        WriteFileBytes(s.root + "\\a file", "x");
        s.app.installDir = s.root + "\\a file\\Ostrel";
        s.Run();
        CHECK(s.Error() == "Couldn't create " + s.app.installDir + " - choose another folder (or run the installer as administrator).");
        CHECK(s.LauncherRequests() == 0);
    }
    SUBCASE("a folder that is not a full path")
    {
        // What the page refuses, should it ever get this far: nothing is made
        // anywhere and the server is not even asked.
        Scene s("fail-relative");
        const std::string name = "ostrel-relative-" + std::to_string(GetCurrentProcessId());
        for (const std::string& dir : { name, "\\" + name, "C:" + name })
        {
            CAPTURE(dir);
            s.app.installDir = dir;
            s.Run();
            CHECK(s.Error() == "The install folder must be a full path, such as C:\\Games\\Ostrel.");
            CHECK_FALSE(s.app.jobSucceeded.load());
            CHECK_FALSE(PathExists(dir));
            CHECK_FALSE(PathExists("C:\\" + name));
            CHECK(RequestLog(s.prefix + "/api/launcher/v1/install").empty());
            CHECK(LogMessages(s.app.dataDir).back() == "FAILED: The install folder must be a full path, such as C:\\Games\\Ostrel.");
        }
    }
    SUBCASE("a folder too long for its record to be read back")
    {
        Scene s("fail-too-long");
        std::string dir = s.root;
        while (Utf8ToWide(dir).size() + 7 <= 2047)
            dir += "\\" + std::string(100, 'd');
        s.app.installDir = dir;
        s.Run();
        CHECK(s.Error() == "The install folder's path is too long - choose a shorter folder.");
        CHECK_FALSE(PathExists(s.root + "\\" + std::string(100, 'd')));
        CHECK(RequestLog(s.prefix + "/api/launcher/v1/install").empty());
    }
    SUBCASE("the launcher arrives damaged twice")
    {
        Scene s("fail-damaged");
        ServerFault f;
        f.corrupt = 2;
        REQUIRE(SetFault(s.LauncherUrl(), f));
        s.Run();
        CHECK(s.Error() == "The launcher download was damaged twice - check your connection and try again.");
        CHECK(Listing(s.app.installDir) == "");
        CHECK(s.LauncherRequests() == 2);
    }
    SUBCASE("a digest announced in capitals never matches")
    {
        Scene s("fail-upper");
        std::string upper = s.launcherSha;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return (char)toupper((unsigned char)c); });
        REQUIRE(ServeFile(s.prefix + "/api/launcher/v1/app/" + upper, s.launcher));
        json doc = s.Document();
        doc["launcher"]["sha256"] = upper;
        s.ServeDocument(doc);
        s.Run();
        CHECK(s.Error() == "The launcher download was damaged twice - check your connection and try again.");
        CHECK(Listing(s.app.installDir) == "");
    }
    SUBCASE("the old launcher is held open and cannot be replaced")
    {
        Scene s("fail-in-place");
        WriteFileBytes(s.Dir("Ostrel Launcher.exe"), "old launcher");
        // Open without delete sharing, as a program that holds its file.
        HANDLE held = CreateFileW(Wide(s.Dir("Ostrel Launcher.exe")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        REQUIRE(held != INVALID_HANDLE_VALUE);
        s.Run();
        CloseHandle(held);
        std::string err = s.Error();
        CAPTURE(err);
        CHECK(err.rfind("Couldn't put the launcher in place (", 0) == 0);
        const std::string tail = "). Close Ostrel if it is running.";
        CHECK(err.size() > 38 + tail.size());
        CHECK(err.substr(err.size() - tail.size()) == tail);
        // The verified download waits for the next run; the old launcher is untouched.
        CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.exe.part")) == s.launcher);
        CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.exe")) == "old launcher");
        // Recorded as unfinished, so that an uninstall removes what it made.
        CHECK(RecordedUnfinished(s.app.installDir));
    }
    SUBCASE("the game archive is not a zip")
    {
        Scene s("fail-game");
        std::string notZip = "this is not a zip archive at all";
        s.gameSha = Sha256Of(notZip);
        REQUIRE(ServeFile(s.GameUrl(), notZip));
        s.ServeDocument(s.Document());
        s.Run();
        CHECK(s.Error() == "The download isn't a readable zip.");
        // The launcher is in place; the archive stays for the next run.
        CHECK(Listing(s.app.installDir) == "Ostrel Launcher.exe|Ostrel.download.zip");
        CHECK_FALSE(PathExists(s.app.dataDir + "\\settings.json"));
        // Recorded as unfinished, so that an uninstall removes what it made.
        CHECK(RecordedUnfinished(s.app.installDir));
    }
    SUBCASE("the launcher's settings are there but cannot be read: found before any download")
    {
        Scene s("fail-link");
        fs::create_directories(Wide(s.app.dataDir + "\\settings.json\\blocked"));
        s.Run();
        std::string err = s.Error();
        CAPTURE(err);
        CHECK(err == "Couldn't update the launcher's settings - is the launcher running?");
        CHECK(Listing(s.app.installDir) == "");
        CHECK(PathExists(s.app.dataDir + "\\settings.json\\blocked"));
        CHECK_FALSE(PathExists(s.app.dataDir + "\\settings.json.tmp"));
        CHECK(ReadRegString(kTestKey, L"InstallDir") == "");
        CHECK(LogMessages(s.app.dataDir).back() == "FAILED: " + err);
    }
}

TEST_CASE("a new launcher moves the previous one aside")
{
    Scene s("replace");
    s.app.includeGame = false;
    WriteFileBytes(s.Dir("Ostrel Launcher.exe"), "previous launcher");
    WriteFileBytes(s.Dir("Ostrel Launcher.old.exe"), "the one before");
    s.Run();
    REQUIRE(s.app.jobSucceeded.load());
    CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.exe")) == s.launcher);
    CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.old.exe")) == "previous launcher");
}

TEST_CASE("cancel ends the install at the next cancel point")
{
    SUBCASE("during the game download")
    {
        Scene s("cancel-game");
        // A large stored archive served slowly, so the game step is still running.
        s.game = MakeZip({ { "Playden-2024-07/Playden.exe", PatternBytes(0, 2000000), 0 } });
        s.gameSha = Sha256Of(s.game);
        REQUIRE(ServeFile(s.GameUrl(), s.game));
        ServerFault slow;
        slow.slowMs = 100;
        slow.slowChunk = 16384;
        REQUIRE(SetFault(s.GameUrl(), slow));
        s.ServeDocument(s.Document());
        bool sawGame = false;
        s.Run([&] {
            if (s.app.jobStage.load() == 2 && s.app.jobBytesDone.load() > 0)
            {
                sawGame = true;
                s.app.cancelRequested.store(true);
            }
        });
        CHECK(sawGame);
        CHECK(s.Error() == "Cancelled.");
        CHECK(LogMessages(s.app.dataDir).back() == "FAILED: Cancelled.");
        // The launcher is in place and the partial archive is kept for the next run.
        CHECK(Listing(s.app.installDir) == "Ostrel Launcher.exe|Ostrel.download.zip");
        // Recorded as unfinished, so that an uninstall removes what it made.
        CHECK(RecordedUnfinished(s.app.installDir));
    }
    SUBCASE("during the launcher download")
    {
        Scene s("cancel-launcher");
        ServerFault slow;
        slow.slowMs = 100;
        slow.slowChunk = 8192;
        REQUIRE(SetFault(s.LauncherUrl(), slow));
        s.Run([&] {
            if (s.app.jobStage.load() == 1 && s.app.jobBytesDone.load() > 0)
                s.app.cancelRequested.store(true);
        });
        CHECK(s.Error() == "Cancelled.");
        CHECK(Listing(s.app.installDir) == "Ostrel Launcher.exe.part");
    }
}

// What a run killed at some instant of the game's move into place leaves, on
// top of a finished install: the record marked unfinished with no game yet,
// the journal, and the rest as `prepare` makes it.
void LeaveKilledRun(Scene& s, InstallJournal::State state)
{
    const std::string gameDir = s.Dir("Ostrel");
    InstallJournal journal;
    journal.state = state;
    journal.sha256 = s.gameSha;
    journal.gameDir = gameDir;
    journal.gameExe = "Playden.exe";
    journal.gameDirCreated = true;
    REQUIRE(WriteInstallJournal(Wide(s.app.installDir).wstring(), journal) == ERROR_SUCCESS);
    REQUIRE(WriteRegDword(kTestKey, L"Unfinished", 1) == ERROR_SUCCESS);
    REQUIRE(WriteRegString(kTestKey, L"GameDir", "") == ERROR_SUCCESS);
    REQUIRE(WriteRegString(kTestKey, L"GameExe", "") == ERROR_SUCCESS);
    REQUIRE(WriteRegDword(kTestKey, L"GameDirCreated", 0) == ERROR_SUCCESS);
    fs::remove(Wide(s.Dir("Ostrel Setup.exe")));
    fs::remove(Wide(s.app.dataDir + "\\settings.json"));
}

// One finished install, checked as the full install above checks it.
void CheckInstalledOnce(Scene& s)
{
    REQUIRE(s.app.jobSucceeded.load());
    const std::string gameDir = s.Dir("Ostrel");
    CHECK(Listing(s.app.installDir) == "Ostrel Launcher.exe|Ostrel Launcher.old.exe|Ostrel Setup.exe|Ostrel\\");
    CHECK(ReadFileBytes(gameDir + "\\Playden.exe") == "MZ game");
    CHECK(ReadFileBytes(gameDir + "\\Data\\level1.pak") == std::string(70000, 'p'));
    CHECK(Listing(gameDir) == "Data\\|Playden.exe");
    CHECK(ReadFileBytes(s.app.dataDir + "\\settings.json") == Settings(gameDir));
    CHECK(ReadRegString(kTestKey, L"GameDir") == gameDir);
    DWORD created = 0, unfinished = 0;
    CHECK((ReadRegDword(kTestKey, L"GameDirCreated", created) && created == 1));
    CHECK_FALSE(ReadRegDword(kTestKey, L"Unfinished", unfinished));
}

TEST_CASE("a run killed during the game's move into place is finished by the next one")
{
    SUBCASE("killed halfway through the move: the move is done again from the kept archive, into the same folder")
    {
        Scene s("killed-moving");
        s.Run();
        REQUIRE(s.app.jobSucceeded.load());
        LeaveKilledRun(s, InstallJournal::Placing);
        // Half the game is in place under its new name; the verified archive is
        // still there, and the staging folder holds what nobody may trust.
        fs::remove(Wide(s.Dir("Ostrel\\Data\\level1.pak")));
        WriteFileBytes(s.Dir("Ostrel.download.zip"), s.game);
        WriteFileBytes(s.Dir("Ostrel.unpacking\\Playden-2024-07\\Playden.exe"), "not the game");
        const size_t gameRequests = RequestLog(s.GameUrl()).size();
        s.Run();
        CHECK(s.Error() == "");
        CheckInstalledOnce(s);
        // The complete archive was only confirmed, not fetched again.
        auto log = RequestLog(s.GameUrl());
        REQUIRE(log.size() == gameRequests + 1);
        CHECK(log.back().status == 416);
    }
    SUBCASE("not killed at all: a re-install goes into the game folder the first one made, not beside it")
    {
        Scene s("reinstall-same-folder");
        s.Run();
        REQUIRE(s.app.jobSucceeded.load());
        s.Run();
        CHECK(s.Error() == "");
        CheckInstalledOnce(s);
    }
    SUBCASE("killed once the game was in place: the rest of the install follows, the game is not fetched again")
    {
        Scene s("killed-placed");
        s.Run();
        REQUIRE(s.app.jobSucceeded.load());
        LeaveKilledRun(s, InstallJournal::Placed);
        WriteFileBytes(s.Dir("Ostrel.download.zip"), s.game);
        const size_t gameRequests = RequestLog(s.GameUrl()).size();
        s.Run();
        CHECK(s.Error() == "");
        CheckInstalledOnce(s);
        CHECK(RequestLog(s.GameUrl()).size() == gameRequests);
    }
}

TEST_CASE("a broken launcher download resumes by itself; Retry resumes what a failed run left")
{
    Scene s("retry");
    ServerFault drop;
    drop.dropAt = {100000};
    REQUIRE(SetFault(s.LauncherUrl(), drop));
    // While the download waits to resume, the status line says so; then the
    // server refuses the resume, which ends the run with the partial file kept.
    std::string waiting;
    s.Run([&] {
        std::string status;
        {
            std::lock_guard<std::mutex> lock(s.app.jobMutex);
            status = s.app.statusText;
        }
        if (waiting.empty() && status.rfind("Connection lost - trying again in ", 0) == 0)
        {
            waiting = status;
            CHECK(s.app.jobBytesDone.load() == 100000);
            CHECK(s.app.jobBytesTotal.load() == s.launcher.size());
            ServerFault refuse;
            refuse.status = 404;
            REQUIRE(SetFault(s.LauncherUrl(), refuse));
        }
    });
    CHECK_FALSE(waiting.empty());
    std::string err = s.Error();
    CHECK(err == "The server answered 404.");
    CHECK_FALSE(s.app.jobSucceeded.load());
    uint64_t partial = 0;
    {
        std::error_code ec;
        partial = fs::file_size(Wide(s.Dir("Ostrel Launcher.exe.part")), ec);
    }
    CHECK(partial == 100000);

    REQUIRE(ClearFault(s.LauncherUrl()));
    s.Run();
    CHECK(s.Error() == "");
    REQUIRE(s.app.jobSucceeded.load());
    CHECK(ReadFileBytes(s.Dir("Ostrel Launcher.exe")) == s.launcher);
    auto log = RequestLog(s.LauncherUrl());
    REQUIRE(log.size() == 3);
    CHECK(log[1].range == "bytes=100000-");
    CHECK(log[2].range == "bytes=100000-");
    const std::string start = "install to " + s.app.installDir + " (launcher + game)";
    CHECK(LogMessages(s.app.dataDir) ==
          std::vector<std::string>{start,
                                   "resuming the launcher download from byte 100000 in 1 s: the connection broke off",
                                   "FAILED: " + err, start});
}

TEST_CASE("the game folder's record reads back: 2046 characters fit, 2047 do not")
{
    // The game folder is the longest value recorded: at least the install folder + "\\Ostrel".
    const std::string base = "C:\\";
    const std::string fits = base + std::string(2046 - 7 - base.size(), 'a');
    const std::string over = fits + "b";
    CHECK(Utf8ToWide(fits + "\\Ostrel").size() == 2046);
    CHECK(RecordFits(fits));
    CHECK_FALSE(RecordFits(over));
    // The reader agrees with the rule, exactly at the boundary.
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    REQUIRE(WriteRegString(kTestKey, L"GameDir", fits + "\\Ostrel") == ERROR_SUCCESS);
    CHECK(ReadRegString(kTestKey, L"GameDir") == fits + "\\Ostrel");
    REQUIRE(WriteRegString(kTestKey, L"GameDir", over + "\\Ostrel") == ERROR_SUCCESS);
    CHECK(ReadRegString(kTestKey, L"GameDir") == "");
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    // Non-ASCII counts in UTF-16 units, as the registry stores it.
    CHECK(RecordFits(base + std::string(2046 - 7 - base.size() - 1, 'a') + "\xc3\x96"));
}

TEST_CASE("what the record says about the game, layout by layout")
{
    const std::string dir = "C:\\Games\\Ostrel";
    struct Case
    {
        const char* name;
        std::string gameDir;
        Manifest made;
        bool onlyMade;
        InstallRecord previous;
        bool created;
        std::vector<std::string> files, folders;    // the manifest
    };
    InstallRecord ownedBefore;
    ownedBefore.complete = true;
    ownedBefore.gameDirCreated = true;
    ownedBefore.gameDir = dir + "\\Ostrel";
    const Case cases[] = {
        { "a folder the unpack made is removed whole", dir + "\\Ostrel", { { "Ostrel\\a.exe" }, { "Ostrel" } }, false, {},
          true, {}, {} },
        { "a folder that held other files: file by file", dir + "\\Ostrel", { { "Ostrel\\a.exe" }, {} }, false, {}, false,
          { "Ostrel\\a.exe" }, {} },
        { "a folder that held only what the unpack wrote (an interrupted run's)", dir + "\\Ostrel",
          { { "Ostrel\\a.exe" }, {} }, true, {}, true, {}, {} },
        { "the install folder itself never counts as made", dir, { { "a.exe", "Data\\b" }, { "Data" } }, true, {}, false,
          { "a.exe", "Data\\b" }, { "Data" } },
        { "nested: the made parent and a file beside the game go in the list", dir + "\\Top\\Ostrel",
          { { "Top\\r.txt", "Top\\Ostrel\\a.exe" }, { "Top", "Top\\Ostrel" } }, false, {}, true, { "Top\\r.txt" },
          { "Top" } },
        { "a folder whose name only starts like the game's is not inside it", dir + "\\Ostrel",
          { { "Ostrel2\\x" }, { "Ostrel", "Ostrel2" } }, false, {}, true, { "Ostrel2\\x" }, { "Ostrel2" } },
        { "a re-install over the folder an earlier install made", dir + "\\Ostrel", { { "Ostrel\\a.exe" }, {} }, false,
          ownedBefore, true, {}, {} },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        GameRecord r = PlanGameRecord(dir, c.gameDir, c.made, c.onlyMade, c.previous, Manifest());
        CHECK(r.gameDirCreated == c.created);
        CHECK(r.manifest.files == c.files);
        CHECK(r.manifest.folders == c.folders);
    }
    // An earlier list in the same folder is kept and added to.
    Manifest earlier{ { "old.dll", "a.exe" }, { "Old" } };
    GameRecord merged = PlanGameRecord(dir, dir, { { "a.exe", "new.dll" }, {} }, false, InstallRecord(), earlier);
    CHECK(merged.manifest.files == std::vector<std::string>{ "old.dll", "a.exe", "new.dll" });
    CHECK(merged.manifest.folders == std::vector<std::string>{ "Old" });
}

TEST_CASE("the manifest reads back as it was written")
{
    const std::wstring dir = Utf8ToWide(MakeTempDir("manifest"));
    Manifest m{ { "Playden.exe", "Data\\\xc3\x96l.pak" }, { "Data", "Data\\Maps" } };
    REQUIRE(WriteManifest(dir, m) == ERROR_SUCCESS);
    Manifest back;
    REQUIRE(ReadManifest(dir, back));
    CHECK(back.files == m.files);
    CHECK(back.folders == m.folders);
    CHECK_FALSE(PathExists(WideToUtf8(dir) + "\\Ostrel.files.tmp"));
    Manifest none;
    CHECK_FALSE(ReadManifest(dir + L"\\missing", none));
}

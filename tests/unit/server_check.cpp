// The server check: FetchInfo and CollectInfo through the real request engine
// against the local test server, and the document rules of ParseInstallInfo.
#include <doctest.h>

#include "state/document_signature.h"
#include "state/installer_app.h"
#include "test_server.h"
#include "test_support.h"

#include <chrono>
#include <thread>

namespace
{
const char* kUnexpected = "The server's answer wasn't what the installer expects.";
const char* kNotReady = "The server has no download ready yet.";
const std::string kA(64, 'a');
const std::string kB(64, 'B');

const std::string kGoodDoc = "{\"launcher\": {\"sha256\": \"" + kA + "\", \"size\": 1000},"
    " \"game\": {\"sha256\": \"" + kB + "\", \"size\": 2000, \"unpacked\": 3000, \"folder\": \"Build\", \"exe\": \"Game.exe\"},"
    " \"news\": [1, 2]}";

// Polls like the frame does, until the check has ended (or 10 s passed).
void WaitForCheck(InstallerApp& app)
{
    for (int i = 0; i < 1000 && !app.infoDone; i++)
    {
        app.CollectInfo();
        if (!app.infoDone)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
} // namespace

TEST_CASE("each outcome of a server check")
{
    struct Case
    {
        const char* name;
        const char* doc;            // served at the install address; null: nothing served
        int         faultStatus;
        const char* faultBody;
        bool        ok;
        std::string error;
    };
    const Case cases[] = {
        { "usable", nullptr, 0, "", true, "" },
        { "empty body", "", 0, "", false, kUnexpected },
        { "not JSON", "<html>hello</html>", 0, "", false, kUnexpected },
        { "JSON but not an object", "[1, 2, 3]", 0, "", false, kUnexpected },
        { "no game member", "{\"launcher\": {}}", 0, "", false, kUnexpected },
        { "both members, no digests", "{\"launcher\": {}, \"game\": {}}", 0, "", false, kNotReady },
        { "404 with an empty body", nullptr, 404, "", false, "The server answered 404." },
        { "500 with an empty body", nullptr, 500, "", false, "The server answered 500." },
        { "503 explaining itself", nullptr, 503, "{\"error\": \"Back at ten.\"}", false, "Back at ten." },
        { "401", nullptr, 401, "<html/>", false, "Sign in again." },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        InstallerApp app;
        std::string prefix = UniqueUrlPath("srv");
        std::string path = prefix + "/api/launcher/v1/install";
        REQUIRE(ServeFile(path, c.doc ? c.doc : kGoodDoc));
        if (c.faultStatus)
        {
            ServerFault fault;
            fault.status = c.faultStatus;
            fault.body = c.faultBody;
            REQUIRE(SetFault(path, fault));
        }
        app.serverUrl = TestServerUrl() + prefix;
        app.FetchInfo();
        CHECK_FALSE(app.infoDone);
        CHECK(app.infoJob != nullptr);
        WaitForCheck(app);
        REQUIRE(app.infoDone);
        CHECK(app.infoJob == nullptr);
        CHECK(app.info.ok == c.ok);
        CHECK(app.info.error == c.error);
        std::vector<LoggedRequest> log = RequestLog(prefix);
        REQUIRE(log.size() == 1);
        CHECK(log[0].method == "GET");
        CHECK(log[0].path == path);
        CHECK(log[0].authorization.empty());
        if (c.ok)
        {
            CHECK(app.info.launcherSha256 == kA);
            CHECK(app.info.gameSha256 == kB);
            CHECK(app.info.launcherSize == 1000);
            CHECK(app.info.gameSize == 2000);
            CHECK(app.info.gameUnpackedSize == 3000);
            CHECK(app.info.gameExe == "Game.exe");
        }
    }
}

TEST_CASE("signed install information: the check fetches the signature and uses nothing it refuses")
{
    const TestSigningKey key = MakeTestSigningKey();
    const std::string tampered = kGoodDoc.substr(0, kGoodDoc.find("1000")) + "1001" +
                                 kGoodDoc.substr(kGoodDoc.find("1000") + 4);
    struct Case
    {
        const char* name;
        std::string doc;            // served as the document
        const char* signature;      // served at the signature's address (of kGoodDoc); null: nothing there
        int         faultStatus;
        const char* faultBody;
        std::string error;          // "" when accepted
    };
    const std::string good = TestSignature(key, kGoodDoc);
    const Case cases[] = {
        { "signed", kGoodDoc, good.c_str(), 0, "", "" },
        { "changed after signing", tampered, good.c_str(), 0, "", kDocumentBadSignature },
        { "no signature file", kGoodDoc, nullptr, 0, "", kDocumentNotSigned },
        { "an object store's 403 for a missing key", kGoodDoc, good.c_str(), 403, "<Error/>", kDocumentNotSigned },
        { "a garbled signature file", kGoodDoc, "<html>soft 404</html>", 0, "", kDocumentBadSignature },
        { "the server fails on the signature", kGoodDoc, good.c_str(), 503, "{\"error\": \"Back at ten.\"}",
          "Back at ten." },
        { "a failure that explains nothing", kGoodDoc, good.c_str(), 500, "{\"error\": \"\"}",
          "The server answered 500." },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        InstallerApp app;
        app.dataDir = MakeTempDir("check-log");
        app.signingKeys = { key.publicKey };
        std::string prefix = UniqueUrlPath("signed");
        std::string path = prefix + "/api/launcher/v1/install";
        REQUIRE(ServeFile(path, c.doc));
        if (c.signature)
            REQUIRE(ServeFile(path + "/signature", c.signature));
        if (c.faultStatus)
        {
            ServerFault fault;
            fault.status = c.faultStatus;
            fault.body = c.faultBody;
            REQUIRE(SetFault(path + "/signature", fault));
        }
        app.serverUrl = TestServerUrl() + prefix;
        app.FetchInfo();
        WaitForCheck(app);
        REQUIRE(app.infoDone);
        CHECK(app.info.error == c.error);
        CHECK(app.info.ok == c.error.empty());
        std::vector<LoggedRequest> log = RequestLog(prefix);
        REQUIRE(log.size() == 2);
        CHECK(log[0].path == path);
        CHECK(log[1].path == path + "/signature");
        const std::string logged = ReadFileBytes(app.dataDir + "\\installer.log");
        if (c.error.empty())
        {
            CHECK(app.info.launcherSize == 1000);
            CHECK(app.info.gameExe == "Game.exe");
            CHECK(logged.empty());
        }
        else
        {
            // Nothing of a refused document reaches the pages.
            CHECK(app.info.launcherSha256.empty());
            CHECK(app.info.launcherSize == 0);
            CHECK(app.info.gameSize == 0);
            CHECK(app.info.gameExe == "Playden.exe");
            // A refusal is written down; a server's trouble is not.
            CHECK((logged.find("the server check stopped: " + c.error) != std::string::npos) ==
                  IsSignatureRefusal(c.error));
        }
    }
}

TEST_CASE("a server nobody answers at")
{
    InstallerApp app;
    app.serverUrl = "http://127.0.0.1:9";
    app.FetchInfo();
    WaitForCheck(app);
    REQUIRE(app.infoDone);
    CHECK_FALSE(app.info.ok);
    CHECK(app.info.error == "Can't reach the server - check your internet connection.");
}

TEST_CASE("Try again while a check runs: the earlier answer is never shown")
{
    InstallerApp app;
    std::string prefix = UniqueUrlPath("again");
    std::string path = prefix + "/api/launcher/v1/install";
    ServerFault slow;
    slow.status = 500;
    slow.body = "{\"error\": \"stale answer\"}";
    slow.slowMs = 150;
    slow.slowChunk = 4;
    REQUIRE(SetFault(path, slow));
    app.serverUrl = TestServerUrl() + prefix;
    app.FetchInfo();

    // Once the first request is at the server, the server's answer changes and the user tries again.
    for (int i = 0; i < 500 && RequestLog(prefix).empty(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    REQUIRE(RequestLog(prefix).size() == 1);
    REQUIRE(ClearFault(path));
    REQUIRE(ServeFile(path, kGoodDoc));
    app.CollectInfo();
    CHECK_FALSE(app.infoDone);
    app.FetchInfo();
    WaitForCheck(app);
    REQUIRE(app.infoDone);
    CHECK(app.info.ok);
    CHECK(app.info.error.empty());

    // The first request ends later; its result goes nowhere.
    for (int i = 0; i < 500 && RequestLog(prefix).at(0).status == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    CHECK(RequestLog(prefix).at(0).status == 500);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 5; i++)
        app.CollectInfo();
    CHECK(app.info.ok);
    CHECK(app.info.error.empty());
    CHECK(app.infoJob == nullptr);
}

TEST_CASE("document rules: defaults, digest lengths, number forms, wrong types")
{
    struct Case
    {
        const char* name;
        std::string doc;
        bool        ok;
        std::string error;
        uint64_t    launcherSize, gameSize, unpacked;
        std::string exe;
    };
    const std::string L = "\"launcher\": {\"sha256\": \"" + kA + "\"";
    const std::string G = "\"game\": {\"sha256\": \"" + kB + "\"";
    const Case cases[] = {
        { "exe default", "{" + L + "}, " + G + "}}", true, "", 0, 0, 0, "Playden.exe" },
        { "non-hex digests of 64 characters are fine here",
          "{\"launcher\": {\"sha256\": \"" + std::string(64, 'z') + "\"}, " + G + "}}", true, "", 0, 0, 0, "Playden.exe" },
        { "one digest missing: figures kept", "{\"launcher\": {\"size\": 5}, " + G + ", \"size\": 6, \"unpacked\": 7, \"folder\": \"F\"}}",
          false, kNotReady, 5, 6, 7, "Playden.exe" },
        { "a digest of 63 characters", "{\"launcher\": {\"sha256\": \"" + std::string(63, 'a') + "\"}, " + G + "}}",
          false, kNotReady, 0, 0, 0, "Playden.exe" },
        { "floating-point sizes: integer part", "{" + L + ", \"size\": 1234.9}, " + G + ", \"size\": 1.5e3, \"unpacked\": 2E+9}}",
          true, "", 1234, 1500, 2000000000, "Playden.exe" },
        { "the largest integer", "{" + L + ", \"size\": 18446744073709551615}, " + G + "}}",
          true, "", 18446744073709551615ull, 0, 0, "Playden.exe" },
        { "size as a string", "{" + L + ", \"size\": \"1000\"}, " + G + "}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "launcher not an object", "{\"launcher\": [1], " + G + "}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "game a string", "{" + L + "}, \"game\": \"x\"}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "game null", "{" + L + "}, \"game\": null}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "digest a number", "{\"launcher\": {\"sha256\": 5}, " + G + "}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "members the installer doesn't use are not judged", "{" + L + "}, " + G + ", \"folder\": 3}}", true, "", 0, 0, 0, "Playden.exe" },
        { "size true", "{" + L + "}, " + G + ", \"size\": true}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "negative size", "{" + L + ", \"size\": -1}, " + G + "}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "negative float size", "{" + L + "}, " + G + ", \"unpacked\": -0.5}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "size beyond 64 bits", "{" + L + "}, " + G + ", \"size\": 1e30}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "truncated JSON", "{" + L + "}, " + G, false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "comments are not JSON", "{" + L + "}, /* c */ " + G + "}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
        { "keys match exactly", "{\"Launcher\": {}, " + G + "}}", false, kUnexpected, 0, 0, 0, "Playden.exe" },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        InstallInfo info;
        CHECK_NOTHROW(info = ParseInstallInfo(c.doc));
        CHECK(info.ok == c.ok);
        CHECK(info.error == c.error);
        CHECK(info.launcherSize == c.launcherSize);
        CHECK(info.gameSize == c.gameSize);
        CHECK(info.gameUnpackedSize == c.unpacked);
        CHECK(info.gameExe == c.exe);
    }
}

TEST_CASE("one reader for the pages and the install: digests, and sums that never wrap")
{
    const std::string L = "\"launcher\": {\"sha256\": \"" + kA + "\"";
    // Without the game, only the launcher's digest counts, by the same length rule.
    CHECK(ReadInstallDocument("{" + L + "}}", false).ok);
    InstallInfo shortDigest = ReadInstallDocument("{\"launcher\": {\"sha256\": \"" + std::string(63, 'a') + "\"}}", false);
    CHECK_FALSE(shortDigest.ok);
    CHECK(shortDigest.error == "The server has no download ready yet.");
    CHECK(ReadInstallDocument("{" + L + "}}", true).error == "The server's answer wasn't what the installer expects.");

    const uint64_t huge = UINT64_MAX - 10;
    InstallInfo info;
    info.launcherSize = huge;
    info.gameSize = huge;
    info.gameUnpackedSize = huge;
    CHECK(SpaceNeeded(info, true) == UINT64_MAX);
    CHECK(SpaceNeeded(info, false) == UINT64_MAX);
    CHECK(DownloadSize(info) == UINT64_MAX);
    info.launcherSize = 5;
    info.gameSize = 6;
    info.gameUnpackedSize = 7;
    CHECK(SpaceNeeded(info, true) == 13 + kSpaceMargin);
    CHECK(SpaceNeeded(info, false) == 5 + kSpaceMargin);
    CHECK(kSpaceMargin == 67108864);
    CHECK(DownloadSize(info) == 11);
}

#include <doctest.h>

#include "install/settings_link.h"
#include "install/shortcuts.h"
#include "test_support.h"
#include "util/registry.h"
#include "util/system_paths.h"
#include "util/text.h"

#include <windows.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace
{
std::string SettingsOf(const std::string& dataDir) { return ReadFileBytes(dataDir + "\\settings.json"); }
void PutSettings(const std::string& dataDir, const std::string& text) { WriteFileBytes(dataDir + "\\settings.json", text); }

// Escaped as JSON writes a Windows path.
std::string JsonPath(const std::string& path)
{
    std::string out;
    for (char c : path)
    {
        if (c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}
} // namespace

TEST_CASE("linking writes exactly the launcher's two members")
{
    std::string data = MakeTempDir("link") + "\\not\\there yet";
    // Non-ASCII stays UTF-8 in the file; no line end after the brace.
    std::string game = "C:\\Spiele\\\xc3\x96strel \xe6\xb8\xb8\xe6\x88\x8f";
    CHECK(LinkGameInLauncherSettings(data, game) == "");
    CHECK(SettingsOf(data) == "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"C:\\\\Spiele\\\\\xc3\x96strel \xe6\xb8\xb8\xe6\x88\x8f\"\n}");
    CHECK_FALSE(PathExists(data + "\\settings.json.tmp"));
}

TEST_CASE("linking keeps the launcher's other members, sorted and re-indented")
{
    std::string data = MakeTempDir("link-keep");
    PutSettings(data, "{\"zeta\":1,\"Alpha\":{\"b\":[1,2],\"a\":\"\xc3\xa4\"},\"gameDir2024July\":\"old\",\"channel\":\"beta\",\"_x\":null}");
    // A leftover temporary file of an earlier run is simply overwritten.
    WriteFileBytes(data + "\\settings.json.tmp", "garbage");
    CHECK(LinkGameInLauncherSettings(data, "D:\\G") == "");
    CHECK(SettingsOf(data) ==
          "{\n"
          " \"Alpha\": {\n"
          "  \"a\": \"\xc3\xa4\",\n"
          "  \"b\": [\n"
          "   1,\n"
          "   2\n"
          "  ]\n"
          " },\n"
          " \"_x\": null,\n"
          " \"channel\": \"2024july\",\n"
          " \"gameDir2024July\": \"D:\\\\G\",\n"
          " \"zeta\": 1\n"
          "}");
    CHECK_FALSE(PathExists(data + "\\settings.json.tmp"));
}

TEST_CASE("a settings file that is not a JSON object is replaced")
{
    const char* bad[] = { "", "{", "{\"a\":1,}", "[1,2]", "\"text\"", "null", "42",
                          "{\"a\":\"\xff\xfe\"}", "\xef\xbb\xbf{\"a\":1} trailing" };
    for (const char* text : bad)
    {
        CAPTURE(text);
        std::string data = MakeTempDir("link-bad");
        PutSettings(data, text);
        CHECK(LinkGameInLauncherSettings(data, "D:\\G") == "");
        CHECK(SettingsOf(data) == "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"D:\\\\G\"\n}");
    }
}

TEST_CASE("a game folder that is not valid UTF-8 is written, not thrown")
{
    std::string data = MakeTempDir("link-utf8");
    CHECK(LinkGameInLauncherSettings(data, "D:\\\xff" "G") == "");
    CHECK(SettingsOf(data) == "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"D:\\\\\xef\xbf\xbdG\"\n}");
}

TEST_CASE("a settings file that is there but cannot be opened is never replaced")
{
    const std::string kLocked = "Couldn't update the launcher's settings - is the launcher running?";
    SUBCASE("a folder in the file's place")
    {
        std::string data = MakeTempDir("link-blocked");
        fs::create_directories(fs::path(Utf8ToWide(data + "\\settings.json\\inner")));
        CHECK(LinkGameInLauncherSettings(data, "D:\\G") == kLocked);
        CHECK(PathExists(data + "\\settings.json\\inner"));
        CHECK_FALSE(PathExists(data + "\\settings.json.tmp"));
    }
    SUBCASE("held open without sharing by another program, then released")
    {
        std::string data = MakeTempDir("link-held");
        const std::string before = "{\"gameDir2024July\": \"C:\\\\Old\", \"token\": \"sign-in\"}";
        PutSettings(data, before);
        HANDLE held = CreateFileW(Utf8ToWide(data + "\\settings.json").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        REQUIRE(held != INVALID_HANDLE_VALUE);
        CHECK(CheckLauncherSettings(data) == kLocked);
        CHECK(LinkGameInLauncherSettings(data, "D:\\G") == kLocked);
        CHECK(UnlinkGameFromLauncherSettings(data, "C:\\Old") == kLocked);
        CloseHandle(held);
        CHECK(SettingsOf(data) == before);
        CHECK_FALSE(PathExists(data + "\\settings.json.tmp"));
        // What Retry does once the launcher has let go.
        CHECK(CheckLauncherSettings(data) == "");
        CHECK(LinkGameInLauncherSettings(data, "D:\\G") == "");
        CHECK(SettingsOf(data) == "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"D:\\\\G\",\n \"token\": \"sign-in\"\n}");
        CHECK(UnlinkGameFromLauncherSettings(data, "D:\\G") == "");
        CHECK(SettingsOf(data) == "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"\",\n \"token\": \"sign-in\"\n}");
    }
}

TEST_CASE("unlinking clears only a link to the removed game")
{
    std::string root = MakeTempDir("unlink");
    std::string game = root + "\\Ostrel";
    std::string other = root + "\\Other";
    fs::create_directories(fs::path(Utf8ToWide(game)));
    fs::create_directories(fs::path(Utf8ToWide(other)));
    std::string upper = game;
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);

    struct Case { const char* name; std::string linked; std::string removed; bool cleared; };
    const Case cases[] = {
        { "same folder", game, game, true },
        { "same folder, other spelling", game + "\\", game, true },
        { "same text in other letter case", upper, game, true },
        { "already empty", "", game, true },
        { "linked folder is gone", root + "\\Gone", game, true },
        { "another folder that still exists", other, game, false },
        { "launcher-only install, link elsewhere", other, "", false },
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        std::string data = MakeTempDir("unlink-data");
        // Written compact: a rewrite shows in the layout even when the value stays.
        PutSettings(data, "{\"gameDir2024July\":\"" + JsonPath(c.linked) + "\",\"channel\":\"2024july\",\"token\":\"t\"}");
        UnlinkGameFromLauncherSettings(data, c.removed);
        std::string kept = c.cleared ? std::string() : JsonPath(c.linked);
        CHECK(SettingsOf(data) == "{\n \"channel\": \"2024july\",\n \"gameDir2024July\": \"" + kept + "\",\n \"token\": \"t\"\n}");
    }
}

TEST_CASE("unlinking leaves files without a usable link exactly as they are")
{
    std::string game = MakeTempDir("unlink-keep-game");
    const char* texts[] = {
        "{\"channel\":\"2024july\",\"token\":\"t\"}",           // no link member
        "{\"gameDir2024July\":5,\"token\":\"t\"}",                // not a string
        "{\"gameDir2024July\":{\"path\":\"x\"},\"token\":\"t\"}",
        "{\"gameDir2024July\":null}",
        "{\"gameDir2024July\":\"x\",",                            // malformed
        "[\"gameDir2024July\"]",
    };
    for (const char* text : texts)
    {
        CAPTURE(text);
        std::string data = MakeTempDir("unlink-keep");
        PutSettings(data, text);
        UnlinkGameFromLauncherSettings(data, game);
        CHECK(SettingsOf(data) == text);
    }

    std::string empty = MakeTempDir("unlink-nofile");
    UnlinkGameFromLauncherSettings(empty, game);
    CHECK_FALSE(PathExists(empty + "\\settings.json"));
}

TEST_CASE("the launcher's data folder")
{
    SUBCASE("a given folder is used unchanged and created")
    {
        std::string data = MakeTempDir("datafolder") + "\\a\\b";
        CHECK(LauncherDataFolder(data) == data);
        CHECK(PathExists(data));
    }
    SUBCASE("by default under the user's local application data")
    {
        std::wstring local = KnownFolderPath(FOLDERID_LocalAppData);
        REQUIRE_FALSE(local.empty());
        std::string folder = LauncherDataFolder("");
        CHECK(folder == WideToUtf8((fs::path(local) / L"OstrelLauncher").wstring()));
        CHECK(PathExists(folder));
    }
    SUBCASE("deleting it takes everything inside")
    {
        std::string data = MakeTempDir("datafolder-del") + "\\data";
        WriteFileBytes(data + "\\settings.json", "{}");
        WriteFileBytes(data + "\\installer.log", "x\r\n");
        WriteFileBytes(data + "\\auth\\token.bin", "secret");
        DeleteLauncherData(data);
        CHECK_FALSE(PathExists(data));

        std::string emptyData = MakeTempDir("datafolder-del") + "\\empty";
        fs::create_directories(fs::path(Utf8ToWide(emptyData)));
        DeleteLauncherData(emptyData);
        CHECK_FALSE(PathExists(emptyData));
    }
}

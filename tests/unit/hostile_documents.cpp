// Thousands of mutated install documents and settings files: no exception may
// escape, nothing may crash, and a readable settings file keeps every member
// the setup does not own.
#include <doctest.h>

#include "install/settings_link.h"
#include "state/installer_app.h"
#include "test_support.h"

#include <nlohmann/json.hpp>

#include <random>

using json = nlohmann::json;

namespace
{
const char* kDocument = R"({"launcher":{"sha256":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef","size":12345},
 "game":{"sha256":"fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210","size":1073741824,
 "unpacked":2147483648,"folder":"Ostrel","exe":"Playden.exe"},"notes":["a",1,null]})";

const char* kSettings = R"({"channel":"2024july","gameDir2024July":"C:\\Games\\Ostrel\\Ostrel","language":"de",
 "window":{"x":10,"y":-20,"maximized":true},"recent":["a","b\u00e9"],"signIn":{"token":"t0k","expires":1.5e9},
 "volume":0.75,"extra":null})";

json RandomValue(std::mt19937& rng, int depth = 0)
{
    switch (rng() % 11)
    {
    case 0: return nullptr;
    case 1: return (rng() % 2) == 0;
    case 2: return -(int64_t)(rng() % 100000);
    case 3: return (uint64_t)rng() * 4294967296ull + rng();
    case 4: return 1.0e300 * (rng() % 3);
    case 5: return 12.75;
    case 6: return std::string(rng() % 80, (char)('a' + rng() % 26));
    case 7: return "C:\\Spiele\\\xc3\x96strel";
    case 8: return depth < 3 ? json::array({ RandomValue(rng, depth + 1), RandomValue(rng, depth + 1) }) : json::array();
    case 9: return depth < 3 ? json::object({ { "k", RandomValue(rng, depth + 1) } }) : json::object();
    default: return "";
    }
}

// Replaces, removes or adds members anywhere in the tree.
void MutateTree(json& v, std::mt19937& rng, int depth = 0)
{
    if (v.is_object() && !v.empty() && depth < 4)
    {
        auto it = v.begin();
        std::advance(it, rng() % v.size());
        switch (rng() % 4)
        {
        case 0: *it = RandomValue(rng); break;
        case 1: v.erase(it); break;
        case 2: v[std::string(1, (char)('a' + rng() % 26))] = RandomValue(rng); break;
        default: MutateTree(*it, rng, depth + 1); break;
        }
    }
    else if (rng() % 2)
        v = RandomValue(rng);
}

// Flips, inserts, deletes bytes, or cuts the text short.
std::string MutateText(std::string s, std::mt19937& rng)
{
    static const char kBytes[] = "{}[]\",:.-+eE0123456789 \\/\x00\x01\xff\xc3\x80\t\nnulltrue";
    int edits = 1 + (int)(rng() % 6);
    for (int i = 0; i < edits && !s.empty(); i++)
    {
        size_t at = rng() % s.size();
        char c = kBytes[rng() % (sizeof(kBytes) - 1)];
        switch (rng() % 4)
        {
        case 0: s[at] = c; break;
        case 1: s.insert(s.begin() + (long)at, c); break;
        case 2: s.erase(at, 1 + rng() % 4); break;
        default: s.resize(at); break;
        }
    }
    return s;
}

std::string Mutate(const char* base, std::mt19937& rng)
{
    if (rng() % 2)
        return MutateText(base, rng);
    json doc = json::parse(base);
    int n = 1 + (int)(rng() % 4);
    for (int i = 0; i < n; i++)
        MutateTree(doc, rng);
    return doc.dump();
}
} // namespace

TEST_CASE("mutated install documents")
{
    const int kDocuments = 4000;
    std::mt19937 rng(2024);
    int usable = 0, unusable = 0, thrown = 0, plans = 0;
    for (int i = 0; i < kDocuments; i++)
    {
        std::string body = Mutate(kDocument, rng);
        try
        {
            InstallInfo info = ParseInstallInfo(body);
            if (info.ok)
            {
                usable++;
                CHECK(info.error.empty());
                CHECK(info.launcherSha256.size() == 64);
                CHECK(info.gameSha256.size() == 64);
            }
            else
            {
                unusable++;
                CHECK((info.error == "The server's answer wasn't what the installer expects."
                       || info.error == "The server has no download ready yet."));
            }
            if (ReadInstallDocument(body, (i % 2) == 0).ok)
                plans++;
        }
        catch (...)
        {
            thrown++;
        }
    }
    printf("install documents tried: %d, usable: %d, refused with a sentence: %d, read by the install: %d, exceptions: %d\n",
           kDocuments, usable, unusable, plans, thrown);
    CHECK(thrown == 0);
    CHECK(usable > 0);
    CHECK(unusable > 0);
}

TEST_CASE("mutated settings files through linking and unlinking")
{
    const int kFiles = 1200;
    std::mt19937 rng(7);
    std::string dataDir = MakeTempDir("hostile-settings");
    std::string path = dataDir + "\\settings.json";
    const std::string game = "C:\\Games\\Ostrel\\Ostrel";
    int readable = 0, lost = 0, thrown = 0;

    for (int i = 0; i < kFiles; i++)
    {
        std::string text = Mutate(kSettings, rng);
        json before = json::parse(text, nullptr, false);
        bool isObject = before.is_object();
        readable += isObject ? 1 : 0;
        try
        {
            // Unlinking first: it writes only an object that holds the member.
            WriteFileBytes(path, text);
            UnlinkGameFromLauncherSettings(dataDir, game);
            std::string afterUnlink = ReadFileBytes(path);
            if (!isObject || !before.contains("gameDir2024July") || !before["gameDir2024July"].is_string())
                CHECK(afterUnlink == text);
            json unlinked = json::parse(afterUnlink, nullptr, false);
            if (isObject)
            {
                REQUIRE(unlinked.is_object());
                for (auto& [key, value] : before.items())
                    if (key != "gameDir2024July" && (!unlinked.contains(key) || unlinked[key] != value))
                        lost++;
            }

            // Linking keeps every other member of a readable file.
            WriteFileBytes(path, text);
            CHECK(LinkGameInLauncherSettings(dataDir, game).empty());
            json linked = json::parse(ReadFileBytes(path), nullptr, false);
            REQUIRE(linked.is_object());
            CHECK(linked["gameDir2024July"] == game);
            CHECK(linked["channel"] == "2024july");
            if (isObject)
                for (auto& [key, value] : before.items())
                    if (key != "gameDir2024July" && key != "channel" && (!linked.contains(key) || linked[key] != value))
                        lost++;
        }
        catch (...)
        {
            thrown++;
        }
    }
    printf("settings files tried: %d, readable: %d, members lost: %d, exceptions: %d\n", kFiles, readable, lost, thrown);
    CHECK(lost == 0);
    CHECK(thrown == 0);
}

TEST_CASE("a deeply nested settings file")
{
    // A corrupt file can nest far deeper than any launcher writes; it must not
    // take the setup down with it.
    std::string dataDir = MakeTempDir("nested-settings");
    std::string text = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    WriteFileBytes(dataDir + "\\settings.json", text);
    UnlinkGameFromLauncherSettings(dataDir, "C:\\Games\\Ostrel\\Ostrel");
    CHECK(ReadFileBytes(dataDir + "\\settings.json") == text);
    CHECK(LinkGameInLauncherSettings(dataDir, "C:\\Games\\Ostrel\\Ostrel").empty());
    CHECK_FALSE(InstallInfo().ok);
    CHECK(ParseInstallInfo("{\"launcher\":" + std::string(100000, '[') + std::string(100000, ']') + ",\"game\":{}}").error
          == "The server's answer wasn't what the installer expects.");
}

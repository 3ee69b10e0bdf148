#include <doctest.h>

#include "package/game_job.h"
#include "package/unpack.h"
#include "test_support.h"
#include "util/text.h"

#include <miniz.h>
#include <windows.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{
// A scratch folder with the archive beside the install folder, so that
// anything written next to the install folder shows up in the listing.
struct Scene
{
    std::string base;
    std::string archive;
    std::string install;

    Scene(const std::string& name, const std::vector<ZipEntry>& entries, const std::string& installName = "Games")
    {
        base = MakeTempDir(name);
        archive = base + "\\download.zip";
        install = base + "\\" + installName;
        WriteFileBytes(archive, MakeZip(entries));
        fs::create_directories(fs::path(Utf8ToWide(install)));
    }

    std::string In(const std::string& relative) const { return install + "\\" + relative; }
};

// Every file and folder below `dir`, as relative paths with "/".
std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    fs::path root(Utf8ToWide(dir));
    for (const auto& e : fs::recursive_directory_iterator(root))
        names.insert(WideToUtf8(e.path().lexically_relative(root).generic_wstring()));
    return names;
}

UnpackResult Unpack(const Scene& s, const std::string& exeName, InstallJob& job)
{
    return UnpackGameArchive(s.archive, s.install, exeName, job);
}

// Bytes that differ everywhere (no two chunks alike), compressible or not.
std::string Pattern(size_t size, uint32_t seed, bool text)
{
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++)
    {
        x = x * 1664525u + 1013904223u;
        out[i] = text ? (char)('a' + (x >> 24) % 8) : (char)(x >> 24);
    }
    return out;
}

// Little-endian fields of a zip's records.
uint32_t Le32At(const std::string& z, size_t at)
{
    return (uint32_t)(uint8_t)z[at] | (uint32_t)(uint8_t)z[at + 1] << 8 | (uint32_t)(uint8_t)z[at + 2] << 16 |
           (uint32_t)(uint8_t)z[at + 3] << 24;
}

void Put32At(std::string& z, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        z[at + i] = (char)(value >> (8 * i));
}

const char* const kDamaged =
    "The game archive is damaged: Game/data.bin doesn't unpack correctly - please report this to Ostrel.";

// Every file the unpack says it wrote can be opened with no sharing at all:
// no worker still holds it.
void CheckClosed(const Scene& s, const std::vector<std::string>& files)
{
    for (const std::string& f : files)
    {
        CAPTURE(f);
        HANDLE h = CreateFileW(Utf8ToWide(s.In(f)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        CHECK(h != INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
}
} // namespace

TEST_CASE("entry names that may be written below the install folder")
{
    struct Case
    {
        const char* name;
        bool        safe;
    };
    const Case cases[] = {
        {"a.txt", true},
        {"./a.txt", true},
        {"Game/bin/game.exe", true},
        {"Game\\data\\x.bin", true},
        {"Game/", true},
        {"a//b.txt", true},
        {".hidden", true},
        {"a.b.c", true},
        {"console.txt", true},     // only the exact device names are special
        {"COM10", true},
        {"LPT0x", true},
        {"nullable/x", true},
        {"\xC3\xBC" "ber.txt", true},
        // Escapes: parent folders, roots, drives, streams.
        {"", false},
        {"../evil.dll", false},
        {"a/../b", false},
        {"a\\..\\..\\b", false},
        {"..", false},
        {"/x.dll", false},
        {"\\x.dll", false},
        {"//server/share/x", false},
        {"C:/x.dll", false},
        {"C:x.dll", false},
        {"a.txt:stream", false},
        // Names Windows turns into devices, in any component, with any extension.
        {"CON", false},
        {"nul.txt", false},
        {"Game/aux", false},
        {"prn/readme.txt", false},
        {"COM1", false},
        {"lpt9.log", false},
        {"Com0.x", false},
        {"AUX .txt", false},
        {"CONIN$", false},
        {"conout$.log", false},
        {"COM\xC2\xB9", false},
        {"lpt\xC2\xB3.dat", false},
        // Trailing dots and spaces, which Windows strips.
        {"a.", false},
        {"a./b.txt", false},
        {"file.txt ", false},
        {"dir /file.txt", false},
        {"...", false},
        // Characters no Windows name may hold.
        {"a<b", false},
        {"a>b", false},
        {"a\"b", false},
        {"a|b", false},
        {"what?", false},
        {"*.txt", false},
        {"tab\there", false},
        {"bell\x07", false},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.name);
        CHECK(IsSafeEntryName(c.name) == c.safe);
    }
}

TEST_CASE("the game folder and its naming")
{
    struct Case
    {
        const char*              title;
        std::vector<const char*> entries;       // each holds its own name as content
        const char*              exeName;
        const char*              gameDir;       // relative to the install folder; "" = the install folder
        std::vector<const char*> present;       // relative to the install folder afterwards
    };
    const Case cases[] = {
        {"one folder deep is moved to Ostrel",
         {"Build-7/", "Build-7/game.exe", "Build-7/data/level.bin", "readme.txt"},
         "game.exe", "Ostrel", {"Ostrel/game.exe", "Ostrel/data/level.bin", "readme.txt"}},
        {"the executable's name matches in any letter case",
         {"Build-7/GAME.Exe"}, "game.exe", "Ostrel", {"Ostrel/GAME.Exe"}},
        {"two folders deep: the folder holding it is renamed beside itself",
         {"a/b/game.exe"}, "game.exe", "a/Ostrel", {"a/Ostrel/game.exe"}},
        {"a folder already called Ostrel keeps its name",
         {"Ostrel/game.exe"}, "game.exe", "Ostrel", {"Ostrel/game.exe"}},
        {"at the root the install folder is the game folder",
         {"game.exe", "data/level.bin"}, "game.exe", "", {"game.exe", "data/level.bin"}},
        {"a dot folder is the install folder itself",
         {"./game.exe"}, "game.exe", "", {"game.exe"}},
        {"first match wins over a later, longer one",
         {"x/game.exe", "longer/deeper/game.exe"}, "game.exe", "Ostrel", {"Ostrel/game.exe", "longer/deeper/game.exe"}},
        {"a root match gives way to a later one",
         {"game.exe", "sub/game.exe"}, "game.exe", "Ostrel", {"game.exe", "Ostrel/game.exe"}},
        {"a later match shorter than the current folder replaces it",
         {"a-very-long-folder-name/game.exe", "b/game.exe"}, "game.exe", "Ostrel",
         {"a-very-long-folder-name/game.exe", "Ostrel/game.exe"}},
        {"an unsafe match never names the folder",
         {"../game.exe", "Game/game.exe"}, "game.exe", "Ostrel", {"Ostrel/game.exe"}},
        {"a folder entry with the executable's name is not the executable",
         {"Game/", "Game/game.exe/", "Bin/game.exe"}, "game.exe", "Ostrel", {"Game/game.exe", "Ostrel/game.exe"}},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.title);
        std::vector<ZipEntry> entries;
        for (const char* n : c.entries)
        {
            std::string name = n;
            entries.push_back({name, name.back() == '/' ? std::string() : name});
        }
        Scene s("layout", entries);
        WriteFileBytes(s.In("Ostrel Launcher.exe"), "launcher");

        InstallJob job;
        UnpackResult r = Unpack(s, c.exeName, job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(r.error.empty());
        std::string expected = std::string(c.gameDir).empty() ? s.install : s.In(c.gameDir);
        for (char& ch : expected)
            if (ch == '/')
                ch = '\\';
        CHECK(r.gameDir == expected);
        for (const char* p : c.present)
            CHECK_MESSAGE(PathExists(s.In(p)), p);

        // The install folder never moves, and nothing appears beside it.
        CHECK(ReadFileBytes(s.In("Ostrel Launcher.exe")) == "launcher");
        for (const std::string& name : Listing(s.base))
            CHECK_MESSAGE((name == "download.zip" || name.rfind("Games", 0) == 0), name);
    }
}

TEST_CASE("a game folder is not renamed onto something named Ostrel")
{
    for (bool folder : {true, false})
    {
        CAPTURE(folder);
        Scene s("ostrel-taken", {{"Build-7/game.exe", "exe"}});
        if (folder)
            fs::create_directories(fs::path(Utf8ToWide(s.In("Ostrel"))));
        else
            WriteFileBytes(s.In("Ostrel"), "in the way");
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(r.gameDir == s.In("Build-7"));
        CHECK(ReadFileBytes(s.In("Build-7\\game.exe")) == "exe");
    }
}

TEST_CASE("the unpack lists what it made, and leaves a folder that was there before where it is")
{
    using List = std::vector<std::string>;
    SUBCASE("a new game folder: every folder and file, renamed with the folder")
    {
        Scene s("made-new", {{"Build-7/", ""}, {"Build-7/game.exe", "exe"}, {"Build-7/data/a.bin", "a"},
                             {"Build-7/./empty/", ""}});
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(r.gameDir == s.In("Ostrel"));
        CHECK(r.createdFolders == List{"Ostrel", "Ostrel\\data", "Ostrel\\empty"});
        CHECK(r.createdFiles == List{"Ostrel\\game.exe", "Ostrel\\data\\a.bin"});
    }
    SUBCASE("a game folder that already held the user's files keeps its name and is not listed")
    {
        Scene s("made-into", {{"Build-7/game.exe", "exe"}, {"Build-7/data/a.bin", "a"}});
        WriteFileBytes(s.In("Build-7\\saves.dat"), "mine");
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(r.gameDir == s.In("Build-7"));
        CHECK(ReadFileBytes(s.In("Build-7\\saves.dat")) == "mine");
        CHECK(r.createdFolders == List{"Build-7\\data"});
        CHECK(r.createdFiles == List{"Build-7\\game.exe", "Build-7\\data\\a.bin"});
    }
    SUBCASE("at the root, beside what the install folder holds")
    {
        Scene s("made-root", {{"game.exe", "exe"}, {"data/a.bin", "a"}});
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(r.createdFolders == List{"data"});
        CHECK(r.createdFiles == List{"game.exe", "data\\a.bin"});
    }
    SUBCASE("a failed unpack lists nothing and leaves nothing")
    {
        Scene s("made-failed", {{"Game/one.txt", "1"}, {"Game/two.txt", "2"}});
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Failed);
        CHECK(r.createdFolders.empty());
        CHECK(r.createdFiles.empty());
        CHECK(Listing(s.install).empty());
    }
}

TEST_CASE("the install folder itself never moves")
{
    SUBCASE("named Ostrel, with the executable at the root")
    {
        Scene s("root-ostrel", {{"game.exe", "exe"}}, "Ostrel");
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(r.gameDir == s.install);
    }
    SUBCASE("given with a trailing separator")
    {
        Scene s("root-trailing", {{"game.exe", "exe"}, {"Game/game2.exe", "x"}});
        InstallJob job;
        UnpackResult r = UnpackGameArchive(s.archive, s.install + "\\", "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(ReadFileBytes(s.In("game.exe")) == "exe");
        CHECK(ReadFileBytes(s.In("Game\\game2.exe")) == "x");
        CHECK_FALSE(PathExists(s.In("Ostrel")));
        CHECK_FALSE(PathExists(s.base + "\\Ostrel"));
    }
}

TEST_CASE("unsafe entries are skipped and nothing lands outside the install folder")
{
    const std::string drive = "C:/ostrel-unpack-test-x.dll";
    const std::string rooted = "\\ostrel-unpack-test-y.dll";
    Scene s("unsafe", {
        {"../evil.dll", "evil"},
        {"Game/../../evil2.dll", "evil"},
        {"a/../b", "evil"},
        {drive, "evil"},
        {rooted, "evil"},
        {"nul.txt", "device"},
        {"Game/COM1.dll", "device"},
        {"lpt1", "device"},
        {"trailing./x.txt", "dot"},
        {"trailing.txt.", "dot"},
        {"space.txt ", "space"},
        {"what?.txt", "bad char"},
        {"pipe|.txt", "bad char"},
        {"ctl\x01.txt", "bad char"},
        {"./a.txt", "kept"},
        {"Game/game.exe", "exe"},
    });
    InstallJob job;
    UnpackResult r = Unpack(s, "game.exe", job);
    REQUIRE(r.outcome == UnpackResult::Unpacked);
    CHECK(r.error.empty());
    CHECK(Listing(s.install) == std::set<std::string>{"a.txt", "Ostrel", "Ostrel/game.exe"});
    CHECK(ReadFileBytes(s.In("a.txt")) == "kept");
    CHECK(Listing(s.base) == std::set<std::string>{"Games", "Games/a.txt", "Games/Ostrel", "Games/Ostrel/game.exe",
                                                   "download.zip"});
    CHECK_FALSE(PathExists("C:\\ostrel-unpack-test-x.dll"));
    CHECK_FALSE(PathExists("C:\\ostrel-unpack-test-y.dll"));
    // Skipped entries add nothing to the progress; every entry counts in the total.
    CHECK(job.bytesDone.load() == 4 + 3);
    CHECK(job.bytesTotal.load() == 4 * 5 + 6 * 3 + 3 * 2 + 5 + 8 * 3 + 4 + 3);
}

TEST_CASE("large stored and deflated entries among many small ones, byte-exact and listed in archive order")
{
    // Several workers write at once; every byte must land in its own file.
    std::vector<ZipEntry> entries;
    entries.push_back({"Game/big-stored.bin", Pattern(24u << 20, 1, false), 0});
    for (int i = 0; i < 120; i++)
        entries.push_back({"Game/small/" + std::to_string(i) + ".dat", Pattern(1000 + i * 397, 10 + i, i % 2 == 0),
                           i % 3 == 0 ? 0 : 6});
    entries.push_back({"Game/big-deflated.txt", Pattern(24u << 20, 2, true), 1});
    entries.push_back({"Game/empty.txt", "", 6});
    entries.push_back({"Game/game.exe", "exe"});
    Scene s("byte-exact", entries);
    InstallJob job;
    UnpackResult r = Unpack(s, "game.exe", job);
    REQUIRE(r.outcome == UnpackResult::Unpacked);
    uint64_t total = 0;
    std::vector<std::string> expected;
    for (const ZipEntry& e : entries)
    {
        std::string relative = "Ostrel" + e.name.substr(4);
        for (char& ch : relative)
            if (ch == '/')
                ch = '\\';
        CAPTURE(relative);
        CHECK(ReadFileBytes(s.In(relative)) == e.data);
        expected.push_back(relative);
        total += e.data.size();
    }
    CHECK(r.createdFiles == expected);
    CHECK(r.createdFolders == std::vector<std::string>{"Ostrel", "Ostrel\\small"});
    CHECK(job.bytesTotal.load() == total);
    CHECK(job.bytesDone.load() == total);
    CheckClosed(s, r.createdFiles);
}

TEST_CASE("entries that land on one file are written in archive order")
{
    SUBCASE("the later entry wins, whatever the letter case, and the file is listed once")
    {
        Scene s("same-file", {{"Game/a.bin", Pattern(8u << 20, 3, true), 1}, {"GAME/./A.BIN", "second"},
                              {"Game/game.exe", "exe"}});
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(ReadFileBytes(s.In("Ostrel\\a.bin")) == "second");
        CHECK(r.createdFiles == std::vector<std::string>{"Ostrel\\a.bin", "Ostrel\\game.exe"});
    }
    SUBCASE("a file that was there before is replaced whole, whatever its letter case")
    {
        // The new contents are shorter: nothing of the old file may remain.
        Scene s("replaced", {{"Game/game.exe", "exe"}, {"Game/data.bin", "new"}});
        WriteFileBytes(s.In("Game\\DATA.BIN"), Pattern(100000, 7, true));
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(ReadFileBytes(s.In("Game\\data.bin")) == "new");
        CHECK(Listing(s.In("Game")).size() == 2);
    }
    SUBCASE("a folder entry where an earlier entry put a file leaves the file alone")
    {
        Scene s("file-then-folder", {{"Game/x", "a file"}, {"Game/x/", ""}, {"Game/game.exe", "exe"}});
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        REQUIRE(r.outcome == UnpackResult::Unpacked);
        CHECK(ReadFileBytes(s.In("Ostrel\\x")) == "a file");
    }
}

TEST_CASE("failures and their sentences")
{
    SUBCASE("no entry matches the executable: nothing of the archive is put in place")
    {
        Scene s("no-exe", {{"Game/other.exe", "x"}, {"readme.txt", "r"}});
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == "The download has no game.exe in it.");
        CHECK(Listing(s.install).empty());
    }
    SUBCASE("the archive is missing")
    {
        Scene s("no-archive", {});
        fs::remove(fs::path(Utf8ToWide(s.archive)));
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == "Couldn't open the download (an antivirus may be scanning it) - try again.");
    }
    SUBCASE("not a zip")
    {
        for (const std::string& bytes : {std::string(), std::string("this is not a zip at all, just words")})
        {
            Scene s("not-zip", {});
            WriteFileBytes(s.archive, bytes);
            InstallJob job;
            UnpackResult r = Unpack(s, "game.exe", job);
            CHECK(r.outcome == UnpackResult::Failed);
            CHECK(r.error == "The download isn't a readable zip.");
        }
    }
    SUBCASE("damaged entry data fails the CRC check and stops the unpack")
    {
        const std::string payload = "PAYLOAD-THAT-WILL-BE-DAMAGED-0123456789";
        std::string zip = MakeZip({{"Game/first.txt", "first", 0}, {"Game/data.bin", payload, 0},
                                   {"Game/game.exe", "exe", 0}});
        size_t at = zip.find(payload);
        REQUIRE(at != std::string::npos);
        zip[at + 3] ^= 0x20;
        Scene s("crc", {});
        WriteFileBytes(s.archive, zip);
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == "The game archive is damaged: Game/data.bin doesn't unpack correctly - please report this to Ostrel.");
        CHECK(Listing(s.install).empty());
        // The failed entry still counts as done. (Another worker may already
        // have begun the entry after it.)
        CHECK(job.bytesDone.load() >= 5 + payload.size());
    }
    SUBCASE("of two damaged entries the first in the archive is reported, though the second fails sooner")
    {
        // The large one is only found damaged near its end; the small one
        // right away, on another worker, while the large one still inflates.
        const std::string large = Pattern(48u << 20, 4, true);
        const std::string small = "SMALL-PAYLOAD-THAT-WILL-BE-DAMAGED";
        std::string zip = MakeZip({{"Game/first.txt", "first", 0}, {"Game/large.bin", large, 1},
                                   {"Game/small.bin", small, 0}, {"Game/game.exe", "exe", 0}});
        // The last compressed bytes of the large entry lie just before its
        // data descriptor (16 bytes) and the small entry's local header (30
        // bytes, then its name).
        size_t at = zip.find("Game/small.bin");
        REQUIRE(at != std::string::npos);
        REQUIRE(at > 30 + 16 + 8);
        zip[at - 30 - 16 - 8] ^= 0x55;
        at = zip.find(small);
        REQUIRE(at != std::string::npos);
        zip[at + 3] ^= 0x20;
        Scene s("first-failure", {});
        WriteFileBytes(s.archive, zip);
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == "The game archive is damaged: Game/large.bin doesn't unpack correctly - please report this to Ostrel.");
        CHECK(Listing(s.install).empty());
    }
    SUBCASE("an entry whose data or directory record is damaged fails, and nothing past its size is written")
    {
        // Several chunks of output, so damage found late still finds the
        // file partly written; stored and deflated.
        const std::string payload = Pattern(3u << 20, 6, true);
        for (int level : {0, 6})
        {
            CAPTURE(level);
            const std::string clean = MakeZip({{"Game/first.txt", "first", 0}, {"Game/data.bin", payload, level},
                                               {"Game/game.exe", "exe", 0}});
            // The entry's record in the central directory, found by its name.
            size_t record = std::string::npos;
            for (size_t at = clean.find("PK\x01\x02"); at != std::string::npos; at = clean.find("PK\x01\x02", at + 1))
                if (clean.compare(at + 46, 13, "Game/data.bin") == 0)
                    record = at;
            REQUIRE(record != std::string::npos);
            const size_t localHeader = Le32At(clean, record + 42);
            const uint32_t packed = Le32At(clean, record + 20);
            REQUIRE(Le32At(clean, record + 24) == payload.size());
            REQUIRE((level == 0 ? packed == payload.size() : packed < payload.size()));
            struct Damage
            {
                const char* what;
                void (*apply)(std::string& zip, size_t record, size_t localHeader, uint32_t packed);
                const char* sentence = kDamaged;
            };
            static const Damage kDamage[] = {
                {"a wrong CRC-32", [](std::string& z, size_t rec, size_t, uint32_t) { z[rec + 16] ^= 0x01; }},
                {"one byte fewer announced",
                 [](std::string& z, size_t rec, size_t, uint32_t) { Put32At(z, rec + 24, Le32At(z, rec + 24) - 1); }},
                {"one byte more announced",
                 [](std::string& z, size_t rec, size_t, uint32_t) { Put32At(z, rec + 24, Le32At(z, rec + 24) + 1); }},
                {"compressed data cut short", [](std::string& z, size_t rec, size_t, uint32_t n) { Put32At(z, rec + 20, n - 64); }},
                {"compressed bytes changed halfway",
                 [](std::string& z, size_t, size_t local, uint32_t n) { z[local + 30 + 13 + n / 2] ^= 0x5a; }},
                {"an unknown method", [](std::string& z, size_t rec, size_t, uint32_t) { z[rec + 10] = 14; },
                 "The game archive uses a compression method Setup can't unpack (LZMA) - please report this to Ostrel."},
                {"marked encrypted", [](std::string& z, size_t rec, size_t, uint32_t) { z[rec + 8] |= 0x01; },
                 "The game archive holds encrypted files Setup can't unpack (Game/data.bin) - please report this to Ostrel."},
                {"no local header where the directory points", [](std::string& z, size_t, size_t local, uint32_t) {
                     z[local] = 'X'; }},
            };
            for (const Damage& d : kDamage)
            {
                const std::string what = d.what;
                CAPTURE(what);
                std::string zip = clean;
                d.apply(zip, record, localHeader, packed);
                Scene s("entry-damage", {});
                WriteFileBytes(s.archive, zip);
                InstallJob job;
                UnpackResult r = Unpack(s, "game.exe", job);
                CHECK(r.outcome == UnpackResult::Failed);
                CHECK(r.error == d.sentence);
                CHECK(Listing(s.install).empty());
            }
        }
    }
    SUBCASE("a destination held open without sharing")
    {
        Scene s("locked", {{"Game/game.exe", "exe"}, {"Game/a.txt", "new"}});
        WriteFileBytes(s.In("Game\\a.txt"), "old");
        HANDLE h = CreateFileW(Utf8ToWide(s.In("Game\\a.txt")).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        REQUIRE(h != INVALID_HANDLE_VALUE);
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CloseHandle(h);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == "Couldn't write " + s.In("Game\\a.txt") + " - is the game still running?");
        CHECK(ReadFileBytes(s.In("Game\\a.txt")) == "old");
        // Found before anything moved into place.
        CHECK(Listing(s.install) == std::set<std::string>{"Game", "Game/a.txt"});
    }
    SUBCASE("a read-only destination")
    {
        Scene s("read-only", {{"Game/game.exe", "exe"}, {"Game/b.txt", "new"}});
        const std::wstring target = Utf8ToWide(s.In("Game\\b.txt"));
        WriteFileBytes(s.In("Game\\b.txt"), "old");
        REQUIRE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
        // Wine keeps the attribute as Unix permission bits, which root ignores:
        // there the platform itself lets the write through.
        HANDLE probe = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe != INVALID_HANDLE_VALUE)
        {
            CloseHandle(probe);
            MESSAGE("read-only files are writable here (Wine as root); read-only case not exercised");
        }
        else
        {
            InstallJob job;
            UnpackResult r = Unpack(s, "game.exe", job);
            CHECK(r.outcome == UnpackResult::Failed);
            CHECK(r.error == "Couldn't write " + s.In("Game\\b.txt") + " - is the game still running?");
            CHECK(ReadFileBytes(s.In("Game\\b.txt")) == "old");
            CHECK(Listing(s.install) == std::set<std::string>{"Game", "Game/b.txt"});
        }
        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    SUBCASE("an entry carrying the name of the archive being read")
    {
        // The download job keeps its archive in the install folder.
        std::string zip = MakeZip({{"Game/game.exe", "exe"}, {"Ostrel.download.zip", "overwritten"}});
        Scene s("self-overwrite", {});
        s.archive = s.In("Ostrel.download.zip");
        WriteFileBytes(s.archive, zip);
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == "Couldn't write " + s.archive + " - is the game still running?");
        CHECK(ReadFileBytes(s.archive) == zip);
    }
    SUBCASE("a folder where a file must go")
    {
        Scene s("folder-in-the-way", {{"Game/game.exe", "exe"}, {"Game/b.txt", "new"}});
        fs::create_directories(fs::path(Utf8ToWide(s.In("Game\\b.txt"))));
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == "Couldn't write " + s.In("Game\\b.txt") + " - is the game still running?");
        CHECK(Listing(s.install) == std::set<std::string>{"Game", "Game/b.txt"});
    }
}

TEST_CASE("an archive Setup can't unpack is refused whole, with what is wrong with it, before a byte is written")
{
    // The entry sits in the middle: entries before it would be unpacked first
    // if its method were found only when its turn came.
    struct Case
    {
        const char* what;
        uint16_t    method;
        uint16_t    flags;
        const char* sentence;
    };
    const Case cases[] = {
        {"Deflate64 (7-Zip's -mm=Deflate64)", 9, 0,
         "The game archive uses a compression method Setup can't unpack (Deflate64) - please report this to Ostrel."},
        {"BZip2", 12, 0,
         "The game archive uses a compression method Setup can't unpack (BZip2) - please report this to Ostrel."},
        {"a method nobody names", 77, 0,
         "The game archive uses a compression method Setup can't unpack (method 77) - please report this to Ostrel."},
        {"patch data", 8, 32,
         "The game archive uses a compression method Setup can't unpack (patch data) - please report this to Ostrel."},
        {"AES, which marks itself as method 99", 99, 1,
         "The game archive holds encrypted files Setup can't unpack (Game/data.bin) - please report this to Ostrel."},
        {"strong encryption", 8, 1 | 64,
         "The game archive holds encrypted files Setup can't unpack (Game/data.bin) - please report this to Ostrel."},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.what);
        std::string zip = MakeZip({{"Game/first.txt", Pattern(300000, 1, true), 6}, {"Game/data.bin", Pattern(4096, 2, false), 6},
                                   {"Game/last.txt", "last", 0}, {"Game/game.exe", "exe", 0}});
        RemarkZipEntry(zip, "Game/data.bin", c.method, c.flags);
        Scene s("unreadable", {});
        WriteFileBytes(s.archive, zip);
        InstallJob job;
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Failed);
        CHECK(r.error == c.sentence);
        CHECK(Listing(s.install).empty());
        CHECK(job.bytesDone.load() == 0);
    }
}

TEST_CASE("cancel takes effect between chunks")
{
    SUBCASE("raised before the unpack starts: nothing is written")
    {
        Scene s("cancel-early", {{"Game/game.exe", "exe"}});
        InstallJob job;
        job.cancel.store(true);
        UnpackResult r = Unpack(s, "game.exe", job);
        CHECK(r.outcome == UnpackResult::Cancelled);
        CHECK(r.error.empty());
        CHECK(Listing(s.install).empty());
    }
    SUBCASE("raised while the workers write large entries: they stop inside them, and nothing stays")
    {
        // Two large entries that several workers begin at once; the watcher
        // raises cancel as soon as the first chunk has been counted.
        const std::string big = Pattern(64u << 20, 5, true);
        std::vector<ZipEntry> entries = {{"Game/big0.bin", big, 1}, {"Game/big1.bin", big, 1}};
        for (int i = 0; i < 20; i++)
            entries.push_back({"Game/after" + std::to_string(i) + ".bin", "later"});
        entries.push_back({"Game/game.exe", "exe"});
        Scene s("cancel-mid", entries);
        InstallJob job;
        std::thread watcher([&job]() {
            while (job.bytesDone.load() == 0)
                std::this_thread::yield();
            job.cancel.store(true);
        });
        UnpackResult r = Unpack(s, "game.exe", job);
        watcher.join();
        CHECK(r.outcome == UnpackResult::Cancelled);
        CHECK(r.error.empty());
        // Stopped inside the 64 MiB entries, not at their end; the staging
        // folder went with what they had written.
        CHECK(job.bytesDone.load() > 0);
        CHECK(job.bytesDone.load() < 2 * big.size());
        CHECK(Listing(s.install).empty());
        CHECK(r.createdFiles.empty());
    }
}

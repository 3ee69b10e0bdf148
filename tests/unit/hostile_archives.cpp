// Thousands of damaged and hostile archives through the unpacker: none may
// crash or hang it, and none may write anything outside the install folder.
#include <doctest.h>

#include "package/game_job.h"
#include "package/unpack.h"
#include "test_support.h"
#include "util/text.h"

#include <miniz.h>

#include <cstdio>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace
{
struct Entry
{
    std::string name;
    std::string data;
};

// Names that try to leave the install folder or that Windows treats
// specially. Every one contains "evil" so a stray write is easy to find.
const char* const kHostileNames[] = {
    "../evil.dll", "..\\evil.dll", "a/../../evil.dll", "Ostrel/../../evil.dll",
    "C:/evil.dll", "C:evil.dll", "c:\\evil.dll", "//evil.dll", "\\evil.dll", "\\\\?\\C:\\evil.dll",
    "evil.txt:stream", "evil.txt::$DATA", "CON", "nul.evil", "AUX.txt", "COM1", "lpt1.evil",
    "Ostrel/NUL", "evil.", "evil ", "Ostrel/evil. ", "evil<.txt", "evil|x", "evil?", "evil*",
    "evil\x01.txt", "./../evil.dll", ".../evil.dll", "evil/", "Ostrel/Playden.exe/evil",
};

std::string RandomName(std::mt19937& rng)
{
    static const char* const parts[] = {"Ostrel", "data", ".", "..", "a", "Playden.exe", "PLAYDEN.EXE",
                                        "evil", "x.bin", "CON", "c:", "", "evil.", " "};
    std::string name;
    int n = 1 + (int)(rng() % 4);
    for (int i = 0; i < n; i++)
    {
        if (i)
            name += (rng() % 3) ? "/" : "\\";
        name += parts[rng() % (sizeof(parts) / sizeof(parts[0]))];
    }
    if (rng() % 20 == 0)
        name = std::string(200 + rng() % 200, 'e') + "vil";    // very long names
    return name;
}

std::string MakeZip(const std::vector<Entry>& entries)
{
    mz_zip_archive zip = {};
    REQUIRE(mz_zip_writer_init_heap(&zip, 0, 0));
    std::vector<std::string> rooted;
    for (const Entry& e : entries)
    {
        std::string name = e.name;
        // The writer refuses a leading slash; store a stand-in and patch it below.
        if (!name.empty() && name[0] == '/')
        {
            name[0] = '_';
            rooted.push_back(name);
        }
        if (!name.empty() && name.back() == '/')
            mz_zip_writer_add_mem(&zip, name.c_str(), nullptr, 0, MZ_DEFAULT_COMPRESSION);
        else
            mz_zip_writer_add_mem(&zip, name.c_str(), e.data.data(), e.data.size(), MZ_DEFAULT_COMPRESSION);
    }
    void* buf = nullptr;
    size_t size = 0;
    mz_zip_writer_finalize_heap_archive(&zip, &buf, &size);
    std::string bytes((const char*)buf, size);
    mz_zip_writer_end(&zip);
    for (const std::string& name : rooted)
        for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1))
            bytes[at] = '/';
    return bytes;
}

std::vector<Entry> BaseEntries()
{
    return {
        {"Ostrel/", ""},
        {"Ostrel/Playden.exe", std::string(3000, 'P')},
        {"Ostrel/data/level1.bin", std::string(20000, '\x11')},
        {"Ostrel/readme.txt", "Playden, July 2024"},
    };
}

// Everything below `root` that is not inside the install folder or the archive.
std::vector<std::string> StrayFiles(const fs::path& root, const fs::path& install, const fs::path& archive)
{
    std::vector<std::string> stray;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    {
        fs::path p = it->path();
        if (p == install || p == archive)
        {
            if (p == install)
                it.disable_recursion_pending();
            continue;
        }
        stray.push_back(WideToUtf8(p.wstring()));
    }
    return stray;
}

std::vector<std::string> EvilFilesIn(const fs::path& folder)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().wstring().find(L"evil") != std::wstring::npos)
            found.push_back(WideToUtf8(it->path().wstring()));
    return found;
}
} // namespace

TEST_CASE("mutated and hostile archives")
{
    const int kArchives = 2000;
    std::mt19937 rng(20240701);     // fixed seed: every run tries the same archives
    fs::path root(Utf8ToWide(MakeTempDir("hostile-archives")));
    fs::path cwd = fs::current_path();

    int unpacked = 0, failed = 0, outside = 0;
    for (int i = 0; i < kArchives; i++)
    {
        std::vector<Entry> entries = BaseEntries();
        int kind = (int)(rng() % 5);
        if (kind == 0 || kind == 1)
        {
            // Hostile names, duplicates, and a folder and a file of the same name.
            int n = 1 + (int)(rng() % 6);
            for (int k = 0; k < n; k++)
            {
                std::string name = (rng() % 2) ? std::string(kHostileNames[rng() % (sizeof(kHostileNames) / sizeof(kHostileNames[0]))])
                                               : RandomName(rng);
                entries.push_back({name, "evil"});
            }
            if (rng() % 4 == 0)
                entries.push_back({"Ostrel/Playden.exe", "second copy"});
            if (rng() % 4 == 0)
            {
                entries.push_back({"Ostrel/data/", ""});
                entries.push_back({"Ostrel/data", "a file where a folder is"});
            }
        }
        std::string zip = MakeZip(entries);
        if (kind == 2 || kind == 3)
        {
            // Flipped bytes, in the headers at the end more often than not.
            int flips = 1 + (int)(rng() % 8);
            for (int f = 0; f < flips; f++)
            {
                size_t at = (rng() % 3) ? zip.size() - 1 - rng() % std::min<size_t>(zip.size(), 200) : rng() % zip.size();
                zip[at] = (char)(zip[at] ^ (1 + rng() % 255));
            }
        }
        if (kind == 4)
            zip.resize(rng() % zip.size());

        fs::path iter = root / std::to_wstring(i);
        fs::path install = iter / L"install";
        fs::path archive = iter / L"Ostrel.download.zip";
        fs::create_directories(install);
        WriteFileBytes(WideToUtf8(archive.wstring()), zip);

        InstallJob job;
        UnpackResult r = UnpackGameArchive(WideToUtf8(archive.wstring()), WideToUtf8(install.wstring()), "Playden.exe", job);
        if (r.outcome == UnpackResult::Unpacked)
        {
            unpacked++;
            std::error_code ec;
            CHECK(fs::is_regular_file(fs::path(Utf8ToWide(r.gameDir)) / L"Playden.exe", ec));
        }
        else
        {
            failed++;
            CHECK(r.outcome == UnpackResult::Failed);
            CHECK_FALSE(r.error.empty());
        }
        std::vector<std::string> stray = StrayFiles(iter, install, archive);
        if (!stray.empty())
        {
            outside++;
            FAIL_CHECK("archive " << i << " wrote outside the install folder: " << stray[0]);
        }
        std::error_code ec;
        fs::remove_all(iter, ec);
    }
    // Absolute names would land at a drive root or the working folder.
    std::vector<std::string> escaped = EvilFilesIn(L"C:\\");
    for (const std::string& p : EvilFilesIn(cwd))
        escaped.push_back(p);
    for (const std::string& p : EvilFilesIn(root.parent_path()))
        escaped.push_back(p);
    CHECK_MESSAGE(escaped.empty(), (escaped.empty() ? "" : escaped[0]));
    if (!escaped.empty())
        outside++;

    MESSAGE("archives tried: " << kArchives << ", unpacked: " << unpacked << ", failed with a sentence: " << failed
            << ", crashes: 0, writes outside: " << outside);
    printf("archives tried: %d, unpacked: %d, failed with a sentence: %d, crashes: 0, writes outside: %d\n",
           kArchives, unpacked, failed, outside);
    CHECK(outside == 0);
    CHECK(unpacked > 0);
    CHECK(failed > 0);
}

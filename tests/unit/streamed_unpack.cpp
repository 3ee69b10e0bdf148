// The unpack that follows the archive while it is written: archives built
// byte by byte for the purpose, whose local headers say one thing and the
// central directory another, or that the stream cannot follow to the end.
// Whatever the stream made of them, the central directory wins.
#include <doctest.h>

#include "package/game_job.h"
#include "package/unpack.h"
#include "test_support.h"
#include "util/atomic_file.h"
#include "util/handles.h"
#include "util/text.h"

#include <windows.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{
void Put16(std::string& z, uint32_t v)
{
    z.push_back((char)(v & 0xff));
    z.push_back((char)((v >> 8) & 0xff));
}

void Put32(std::string& z, uint32_t v)
{
    Put16(z, v & 0xffff);
    Put16(z, v >> 16);
}

void Put64(std::string& z, uint64_t v)
{
    Put32(z, (uint32_t)v);
    Put32(z, (uint32_t)(v >> 32));
}

std::string RawDeflate(const std::string& data)
{
    z_stream z = {};
    REQUIRE(deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK);
    std::string out(deflateBound(&z, (uLong)data.size()) + 16, '\0');
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef*)out.data();
    z.avail_out = (uInt)out.size();
    REQUIRE(deflate(&z, Z_FINISH) == Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// One entry as it is written, and the lies its local header may tell.
struct RawEntry
{
    std::string name = {};          // in the central directory, and the local header unless localName says otherwise
    std::string data = {};
    int         method = 0;         // 0 stored, 8 deflated
    std::string localName = {};
    bool        descriptor = false; // sizes and CRC only after the data
    bool        zip64 = false;      // the local header's sizes in its zip64 extra field
    int64_t     localSizeDelta = 0; // added to the uncompressed size in the local header
    uint32_t    localCrcXor = 0;
    size_t      localCut = 0;       // the local header describes the data less its last bytes (stored)
    bool        listed = true;      // in the central directory
    std::string junkBefore = {};    // bytes before its local header that no header describes
};

// A zip archive from the entries; `offsets` gets each local header's offset.
std::string BuildZip(const std::vector<RawEntry>& entries)
{
    std::string z, directory;
    uint16_t listed = 0;
    for (const RawEntry& e : entries)
    {
        z += e.junkBefore;
        const uint32_t offset = (uint32_t)z.size();
        const std::string packed = e.method == 8 ? RawDeflate(e.data) : e.data;
        const uint32_t crc = (uint32_t)crc32(0, (const Bytef*)e.data.data(), (uInt)e.data.size());
        const uint16_t flags = (uint16_t)((e.descriptor ? 8 : 0) | 0x800);
        const std::string local = e.localName.empty() ? e.name : e.localName;
        uint64_t localPacked = packed.size() - e.localCut, localSize = e.data.size() - e.localCut + e.localSizeDelta;
        uint32_t localCrc = (e.localCut ? (uint32_t)crc32(0, (const Bytef*)e.data.data(), (uInt)(e.data.size() - e.localCut))
                                        : crc) ^ e.localCrcXor;
        if (e.descriptor)
            localPacked = localSize = localCrc = 0;
        std::string extra;
        if (e.zip64)
        {
            Put16(extra, 0x0001);
            Put16(extra, 16);
            Put64(extra, localSize);
            Put64(extra, localPacked);
        }
        Put32(z, 0x04034b50);
        Put16(z, e.zip64 ? 45 : 20);
        Put16(z, flags);
        Put16(z, (uint16_t)e.method);
        Put32(z, 0);
        Put32(z, localCrc);
        Put32(z, e.zip64 ? 0xFFFFFFFFu : (uint32_t)localPacked);
        Put32(z, e.zip64 ? 0xFFFFFFFFu : (uint32_t)localSize);
        Put16(z, (uint16_t)local.size());
        Put16(z, (uint16_t)extra.size());
        z += local + extra + packed;
        if (e.descriptor)
        {
            Put32(z, 0x08074b50);
            Put32(z, crc);
            Put32(z, (uint32_t)packed.size());
            Put32(z, (uint32_t)e.data.size());
        }
        if (!e.listed)
            continue;
        listed++;
        Put32(directory, 0x02014b50);
        Put16(directory, 20);
        Put16(directory, 20);
        Put16(directory, flags);
        Put16(directory, (uint16_t)e.method);
        Put32(directory, 0);
        Put32(directory, crc);
        Put32(directory, (uint32_t)packed.size());
        Put32(directory, (uint32_t)e.data.size());
        Put16(directory, (uint16_t)e.name.size());
        Put16(directory, 0);
        Put16(directory, 0);
        Put16(directory, 0);
        Put16(directory, 0);
        Put32(directory, e.name.back() == '/' ? 0x10 : 0);
        Put32(directory, offset);
        directory += e.name;
    }
    const uint32_t directoryAt = (uint32_t)z.size();
    z += directory;
    Put32(z, 0x06054b50);
    Put16(z, 0);
    Put16(z, 0);
    Put16(z, listed);
    Put16(z, listed);
    Put32(z, (uint32_t)directory.size());
    Put32(z, directoryAt);
    Put16(z, 0);
    return z;
}

// Bytes that differ everywhere, compressible.
std::string Text(size_t size, uint32_t seed)
{
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++)
    {
        x = x * 1664525u + 1013904223u;
        out[i] = (char)('a' + (x >> 24) % 16);
    }
    return out;
}

// Every file and folder below `dir`, relative, with "/".
std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    fs::path root(Utf8ToWide(dir));
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        names.insert(WideToUtf8(it->path().lexically_relative(root).generic_wstring()));
    return names;
}

bool WaitForPath(const std::string& path, int ms)
{
    for (int waited = 0; waited < ms; waited += 10)
    {
        if (PathExists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return PathExists(path);
}

// The archive written as a download writes it: what an earlier run left
// (its first `resumeAt` bytes) is there before the stream starts, the rest
// follows in blocks. Before the central directory arrives, the stream has
// had its time with every entry whose bytes are all there.
struct StreamScene
{
    std::string base, install, archive, staging;
    InstallJob  job;
    std::set<std::string> seenBeforeEnd;    // staged paths ("Game/a.txt") found before the end

    StreamScene(const std::string& name, const std::string& zip, size_t resumeAt,
                const std::vector<std::string>& streamed, const std::vector<std::string>& waited, size_t directoryAt)
    {
        base = MakeTempDir(name);
        install = base + "\\Games";
        archive = install + "\\Ostrel.download.zip";
        staging = install + "\\Ostrel.unpacking";
        WriteFileBytes(archive, zip.substr(0, resumeAt));
        std::shared_ptr<StreamedUnpack> stream = StartStreamedUnpack(Utf8ToWide(archive), install, job);
        UniqueFile file(CreateFileW(Utf8ToWide(archive).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        REQUIRE(file);
        LARGE_INTEGER zero = {};
        REQUIRE(SetFilePointerEx(file.get(), zero, nullptr, FILE_END));
        auto append = [&](size_t from, size_t to) {
            for (size_t at = from; at < to; at += 4096)
            {
                const size_t n = std::min<size_t>(4096, to - at);
                REQUIRE(WriteAll(file.get(), zip.data() + at, n) == ERROR_SUCCESS);
                StreamGrew(*stream, n);
            }
        };
        const size_t held = std::max(resumeAt, directoryAt);
        append(resumeAt, held);
        auto staged = [this](const std::string& w) {
            std::string path = staging + "\\" + w;
            for (char& c : path)
                if (c == '/')
                    c = '\\';
            return path;
        };
        for (const std::string& w : streamed)
            if (WaitForPath(staged(w), 5000))
                seenBeforeEnd.insert(w);
        // What the stream cannot reach would have had its time by now.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (const std::string& w : waited)
            if (PathExists(staged(w)))
                seenBeforeEnd.insert(w);
        append(held, zip.size());
        file.reset();
        StreamEnded(*stream);
        result = UnpackGameArchive(archive, install, "game.exe", job, UnpackOptions(), stream.get());
    }

    UnpackResult result;
    std::string In(const std::string& relative) const { return install + "\\" + relative; }
};

size_t DirectoryOffset(const std::string& zip)
{
    return zip.rfind("PK\x01\x02", std::string::npos) == std::string::npos ? zip.size()
                                                                              : zip.find("PK\x01\x02");
}
} // namespace

TEST_CASE("the central directory wins over what the local headers told the stream")
{
    const std::string big = Text(3u << 20, 9);
    struct Case
    {
        const char*                        title;
        std::vector<RawEntry>              entries;
        std::map<std::string, std::string> placed;      // below the install folder, with their bytes
        std::vector<std::string>           streamed;    // staged before the end of the download
        std::vector<std::string>           waited;      // not staged before the end
        double                             resumeAt = 0;  // fraction of the archive an earlier run left
    };
    const Case cases[] = {
        {"a name the directory spells otherwise: nothing of the local name survives",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/good.txt", .data = "good", .localName = "Game/evil.txt"},
          {.name = "Game/z.txt", .data = "z", .method = 8}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/good.txt", "good"}, {"Ostrel/z.txt", "z"}},
         {"Game/evil.txt"}, {}, 0},
        {"a local header that describes a shorter file, whole in itself",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/data.bin", .data = big, .localCut = 1000},
          {.name = "Game/after.txt", .data = "after"}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/data.bin", big}, {"Ostrel/after.txt", "after"}},
         {"Game/data.bin"}, {"Game/after.txt"}, 0},
        {"a size the directory gives otherwise",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/a.txt", .data = Text(5000, 1), .method = 8, .localSizeDelta = 1}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/a.txt", Text(5000, 1)}}, {"Game/game.exe"}, {}, 0},
        {"a CRC-32 the directory gives otherwise",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/a.txt", .data = Text(5000, 2), .method = 8, .localCrcXor = 0x5a5a}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/a.txt", Text(5000, 2)}}, {"Game/game.exe"}, {}, 0},
        {"data descriptors, deflated and stored: the stream stops there, the pass after it does the rest",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/d.txt", .data = Text(70000, 3), .method = 8, .descriptor = true},
          {.name = "Game/s.bin", .data = "stored", .descriptor = true}, {.name = "Game/after.txt", .data = "after", .method = 8}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/d.txt", Text(70000, 3)}, {"Ostrel/s.bin", "stored"},
          {"Ostrel/after.txt", "after"}},
         {"Game/game.exe"}, {"Game/d.txt", "Game/after.txt"}, 0},
        {"zip64 sizes in the local header's extra field",
         {{.name = "Game/game.exe", .data = "exe", .zip64 = true}, {.name = "Game/big.txt", .data = big, .method = 8, .zip64 = true}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/big.txt", big}}, {"Game/game.exe", "Game/big.txt"}, {}, 0},
        {"an entry across the point where an earlier run stopped",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/big.bin", .data = big}, {.name = "Game/after.txt", .data = "after"}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/big.bin", big}, {"Ostrel/after.txt", "after"}},
         {"Game/game.exe", "Game/big.bin", "Game/after.txt"}, {}, 0.5},
        {"an entry the stream never saw, behind bytes no header describes",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/hidden.txt", .data = "hidden", .method = 8, .junkBefore = "JUNKJUNK"},
          {.name = "Game/last.txt", .data = "last"}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/hidden.txt", "hidden"}, {"Ostrel/last.txt", "last"}},
         {"Game/game.exe"}, {"Game/hidden.txt", "Game/last.txt"}, 0},
        {"a local header the directory does not list at all",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/stray.txt", .data = "stray", .listed = false},
          {.name = "Game/b.txt", .data = "b"}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/b.txt", "b"}}, {"Game/stray.txt", "Game/b.txt"}, {}, 0},
        {"a later local header that writes over an earlier entry's file under a borrowed name",
         {{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/b.txt", .data = "right"},
          {.name = "Game/a.txt", .data = "wrong place", .localName = "Game/b.txt"}},
         {{"Ostrel/game.exe", "exe"}, {"Ostrel/b.txt", "right"}, {"Ostrel/a.txt", "wrong place"}}, {}, {}, 0},
    };
    for (const Case& c : cases)
    {
        const std::string title = c.title;
        CAPTURE(title);
        const std::string zip = BuildZip(c.entries);
        StreamScene s("streamed", zip, (size_t)(zip.size() * c.resumeAt), c.streamed, c.waited, DirectoryOffset(zip));
        REQUIRE(s.result.outcome == UnpackResult::Unpacked);
        std::set<std::string> expected = {"Ostrel", "Ostrel.download.zip"};
        for (const auto& [path, bytes] : c.placed)
        {
            CAPTURE(path);
            expected.insert(path);
            CHECK(ReadFileBytes(s.In(path)) == bytes);
        }
        CHECK(Listing(s.install) == expected);
        for (const std::string& w : c.streamed)
            CHECK_MESSAGE(s.seenBeforeEnd.count(w), "not streamed: " << w);
        for (const std::string& w : c.waited)
            CHECK_MESSAGE(!s.seenBeforeEnd.count(w), "streamed though it cannot be: " << w);
        // The bar ends where its total is: what was still to write.
        CHECK(s.job.bytesDone.load() >= s.job.bytesTotal.load());
    }
}

TEST_CASE("an archive made only of entries the stream cannot delimit installs as without it")
{
    const std::string zip = BuildZip({{.name = "Game/game.exe", .data = "exe", .method = 8, .descriptor = true},
                                      {.name = "Game/a.txt", .data = Text(9000, 4), .method = 8, .descriptor = true}});
    StreamScene s("descriptors-only", zip, 0, {}, {"Game/game.exe"}, DirectoryOffset(zip));
    REQUIRE(s.result.outcome == UnpackResult::Unpacked);
    CHECK(s.seenBeforeEnd.empty());
    CHECK(Listing(s.install) == std::set<std::string>{"Ostrel", "Ostrel/a.txt", "Ostrel/game.exe", "Ostrel.download.zip"});
    CHECK(ReadFileBytes(s.In("Ostrel\\a.txt")) == Text(9000, 4));
}

TEST_CASE("a stale staging folder is never trusted")
{
    // A killed run left the staging folder with a file of the right name and
    // the wrong bytes, and one the archive does not have.
    const std::string zip = BuildZip({{.name = "Game/game.exe", .data = "exe"}, {.name = "Game/a.txt", .data = "new"}});
    const std::string base = MakeTempDir("stale-staging");
    const std::string install = base + "\\Games";
    WriteFileBytes(install + "\\Ostrel.unpacking\\Game\\a.txt", "stale");
    WriteFileBytes(install + "\\Ostrel.unpacking\\Game\\old.dll", "stale");
    WriteFileBytes(install + "\\Ostrel.download.zip", zip);
    InstallJob job;
    UnpackResult r = UnpackGameArchive(install + "\\Ostrel.download.zip", install, "game.exe", job);
    REQUIRE(r.outcome == UnpackResult::Unpacked);
    CHECK(ReadFileBytes(install + "\\Ostrel\\a.txt") == "new");
    CHECK(Listing(install) == std::set<std::string>{"Ostrel", "Ostrel/a.txt", "Ostrel/game.exe", "Ostrel.download.zip"});
}

// Entry names as their writers meant them: the UTF-8 mark, Info-ZIP's
// Unicode path field, UTF-8 without the mark, and code page 437 for names
// from older Windows tools; on their own, then through the real unpack.
#include <doctest.h>

#include "package/entry_name.h"
#include "package/game_job.h"
#include "package/unpack.h"
#include "test_support.h"
#include "util/text.h"

#include <miniz.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
const uint16_t kUtf8 = 1 << 11;

std::string Le(uint32_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; i++)
        out += (char)(value >> (8 * i));
    return out;
}

// Info-ZIP's Unicode path field for `unicode`, checked against `crcOf` (the
// raw name it belongs to).
std::string UnicodePathField(const std::string& crcOf, const std::string& unicode, char version = 1)
{
    const uint32_t crc = (uint32_t)mz_crc32(MZ_CRC32_INIT, (const unsigned char*)crcOf.data(), crcOf.size());
    return Le(0x7075, 2) + Le((uint32_t)(5 + unicode.size()), 2) + std::string(1, version) + Le(crc, 4) + unicode;
}

struct RawEntry
{
    std::string raw;        // the name bytes as stored
    std::string data;
    bool        utf8 = false;   // the UTF-8 mark
    std::string extra;      // in the local and the central record
};

RawEntry Entry(const std::string& raw, const std::string& data, bool utf8 = false, const std::string& extra = "")
{
    RawEntry e;
    e.raw = raw;
    e.data = data;
    e.utf8 = utf8;
    e.extra = extra;
    return e;
}

std::string MakeRawZip(const std::vector<RawEntry>& entries)
{
    mz_zip_archive zip;
    mz_zip_zero_struct(&zip);
    REQUIRE(mz_zip_writer_init_heap(&zip, 0, 0));
    for (const RawEntry& e : entries)
        REQUIRE(mz_zip_writer_add_mem_ex_v2(&zip, e.raw.c_str(), e.data.data(), e.data.size(), nullptr, 0,
                                            6 | (e.utf8 ? 0 : MZ_ZIP_FLAG_ASCII_FILENAME), 0, 0, nullptr,
                                            e.extra.data(), (mz_uint)e.extra.size(), e.extra.data(),
                                            (mz_uint)e.extra.size()));
    void* buf = nullptr;
    size_t size = 0;
    REQUIRE(mz_zip_writer_finalize_heap_archive(&zip, &buf, &size));
    std::string bytes((const char*)buf, size);
    mz_free(buf);
    mz_zip_writer_end(&zip);
    return bytes;
}

// Every file below `dir`, as relative UTF-8 paths with "/".
std::set<std::string> Files(const std::string& dir)
{
    std::set<std::string> names;
    fs::path root(Utf8ToWide(dir));
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            names.insert(WideToUtf8(e.path().lexically_relative(root).generic_wstring()));
    return names;
}

// "Café/naïve résumé.txt" as an older Windows tool stored it.
const std::string kCafeCp437 = "Caf\x82/na\x8Bve r\x82sum\x82.txt";
const std::string kCafe = "Caf\xC3\xA9/na\xC3\xAFve r\xC3\xA9sum\xC3\xA9.txt";
const std::string kJapanese = "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0/\xE8\xAA\xAC\xE6\x98\x8E.txt";  // ゲーム/説明.txt
} // namespace

TEST_CASE("an entry's name from its raw bytes, its flags and its extra field")
{
    const std::string zip64 = Le(0x0001, 2) + Le(8, 2) + Le(1234, 4) + Le(0, 4);   // another field first
    struct Case
    {
        const char* what;
        std::string raw;
        uint16_t    flags;
        std::string extra;
        std::string name;
    };
    const Case cases[] = {
        {"ASCII", "Ostrel/Playden.exe", 0, "", "Ostrel/Playden.exe"},
        {"marked as UTF-8", kCafe, kUtf8, "", kCafe},
        {"UTF-8 without the mark (Info-ZIP on Unix)", kCafe, 0, "", kCafe},
        {"code page 437 (older Windows tools)", kCafeCp437, 0, "", kCafe},
        {"the Unicode path field wins", kCafeCp437, 0, UnicodePathField(kCafeCp437, kJapanese), kJapanese},
        {"...after another field", kCafeCp437, 0, zip64 + UnicodePathField(kCafeCp437, kJapanese), kJapanese},
        {"...over an ASCII stand-in", "_/__.txt", 0, UnicodePathField("_/__.txt", kJapanese), kJapanese},
        {"...not when its CRC is another name's", kCafeCp437, 0, UnicodePathField("other", kJapanese), kCafe},
        {"...not in an unknown version", kCafeCp437, 0, UnicodePathField(kCafeCp437, kJapanese, 2), kCafe},
        {"...not when it is not UTF-8", kCafeCp437, 0, UnicodePathField(kCafeCp437, "\xFF\xFE"), kCafe},
        {"...not when it is cut short", kCafeCp437, 0, UnicodePathField(kCafeCp437, kJapanese).substr(0, 12), kCafe},
        {"...not beside the UTF-8 mark", kCafe, kUtf8, UnicodePathField(kCafe, kJapanese), kCafe},
        {"marked as UTF-8 but not", kCafeCp437, kUtf8, "", kCafe},
        {"an overlong form is not UTF-8", "a\xC0\xAF" "b", 0, "", "a\xE2\x94\x94\xC2\xBB" "b"},
        {"a surrogate is not UTF-8", "\xED\xA0\x80", 0, "", "\xCF\x86\xC3\xA1\xC3\x87"},
        {"box drawing, Greek and the last byte", "\xC9\xCD\xBB\xE0\xE1\xFF", 0, "",
         "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\xCE\xB1\xC3\x9F\xC2\xA0"},
        {"an empty name", "", 0, "", ""},
    };
    for (const Case& c : cases)
    {
        const std::string what = c.what;
        CAPTURE(what);
        CHECK(ZipEntryName(c.raw, c.flags, c.extra) == c.name);
    }
}

TEST_CASE("the unpack writes names as their writers meant them, and the safety rule applies to those")
{
    const std::string exe = "MZ-playden";
    struct Case
    {
        const char*           what;
        std::vector<RawEntry> entries;
        std::set<std::string> files;    // below the install folder
    };
    const Case cases[] = {
        {"code page 437 without the field",
         {Entry("Ostrel/Playden.exe", exe), Entry("Ostrel/" + kCafeCp437, "caf\xC3\xA9")},
         {"Ostrel/Playden.exe", "Ostrel/" + kCafe}},
        {"code page 437 with the Unicode path field",
         {Entry("Ostrel/Playden.exe", exe),
          Entry("Ostrel/" + kCafeCp437, "ja", false, UnicodePathField("Ostrel/" + kCafeCp437, "Ostrel/" + kJapanese))},
         {"Ostrel/Playden.exe", "Ostrel/" + kJapanese}},
        {"a Unicode path field whose CRC doesn't match",
         {Entry("Ostrel/Playden.exe", exe),
          Entry("Ostrel/" + kCafeCp437, "x", false, UnicodePathField("Ostrel/renamed.txt", "Ostrel/" + kJapanese))},
         {"Ostrel/Playden.exe", "Ostrel/" + kCafe}},
        {"UTF-8 without the mark",
         {Entry("Ostrel/Playden.exe", exe), Entry("Ostrel/" + kCafe, "utf8")},
         {"Ostrel/Playden.exe", "Ostrel/" + kCafe}},
        {"UTF-8 with the mark", {Entry("Ostrel/Playden.exe", exe), Entry("Ostrel/" + kCafe, "marked", true)},
         {"Ostrel/Playden.exe", "Ostrel/" + kCafe}},
        {"the game folder in code page 437", {Entry("Jeu-\x82t\x82/Playden.exe", exe)}, {"Ostrel/Playden.exe"}},
        {"an escape hidden in the Unicode path field",
         {Entry("Ostrel/Playden.exe", exe), Entry("Ostrel/ok.txt", "evil", false, UnicodePathField("Ostrel/ok.txt", "../evil.txt"))},
         {"Ostrel/Playden.exe"}},
        {"a device name from code page 437 bytes",
         {Entry("Ostrel/Playden.exe", exe), Entry("Ostrel/COM\xFD.txt", "evil")},   // COM²
         {"Ostrel/Playden.exe"}},
    };
    for (const Case& c : cases)
    {
        const std::string what = c.what;
        CAPTURE(what);
        const std::string base = MakeTempDir("entry-names");
        const std::string archive = base + "\\download.zip", install = base + "\\Games";
        WriteFileBytes(archive, MakeRawZip(c.entries));
        fs::create_directories(fs::path(Utf8ToWide(install)));
        InstallJob job;
        UnpackResult r = UnpackGameArchive(archive, install, "Playden.exe", job);
        CHECK(r.error.empty());
        CHECK(r.outcome == UnpackResult::Unpacked);
        CHECK(Files(install) == c.files);
        CHECK(Files(base).size() == c.files.size() + 1);   // nothing beside the install folder but the archive
        for (const std::string& f : r.createdFiles)
            CHECK(c.files.count(WideToUtf8(fs::path(Utf8ToWide(f)).generic_wstring())) == 1);
    }
    // The content follows the name it was stored under.
    const std::string base = MakeTempDir("entry-names-content");
    WriteFileBytes(base + "\\a.zip", MakeRawZip({Entry("Ostrel/Playden.exe", exe), Entry("Ostrel/" + kCafeCp437, "caf\xC3\xA9")}));
    InstallJob job;
    REQUIRE(UnpackGameArchive(base + "\\a.zip", base + "\\Games", "Playden.exe", job).outcome == UnpackResult::Unpacked);
    CHECK(ReadFileBytes(base + "\\Games\\Ostrel\\Caf\xC3\xA9\\na\xC3\xAFve r\xC3\xA9sum\xC3\xA9.txt") == "caf\xC3\xA9");
}

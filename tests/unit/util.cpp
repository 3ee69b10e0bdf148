#include <doctest.h>

#include "test_support.h"
#include "util/free_space.h"
#include "util/long_path.h"
#include "util/text.h"

#include <windows.h>

TEST_CASE("FormatSize")
{
    struct Case { uint64_t bytes; const char* text; };
    const Case cases[] = {
        { 0, "0 MB" },
        { 1048575, "1 MB" },              // the fraction rounds
        { 1048576, "1 MB" },
        { 1073741823, "1024 MB" },
        { 1073741824, "1.0 GB" },
        { 5368709120ull, "5.0 GB" },
        { 18446744073709551615ull, "17179869184.0 GB" },  // the whole unsigned range
    };
    for (const Case& c : cases)
        CHECK(FormatSize(c.bytes) == c.text);
}

TEST_CASE("UTF-8 and UTF-16 at the border")
{
    const std::string utf8 = "C:\\Spiele\\\xc3\x96strel \xe6\xb8\xb8\xe6\x88\x8f \xf0\x9f\x8e\xae";
    std::wstring wide = Utf8ToWide(utf8);
    CHECK(wide == L"C:\\Spiele\\\u00d6strel \u6e38\u620f \U0001F3AE");
    CHECK(WideToUtf8(wide) == utf8);
    CHECK(Utf8ToWide("").empty());
    CHECK(WideToUtf8(L"").empty());
    // Embedded zero bytes are converted, not cut.
    CHECK(Utf8ToWide(std::string("a\0b", 3)) == std::wstring(L"a\0b", 3));
    // Bad sequences become the replacement character instead of failing.
    CHECK(Utf8ToWide("a\xff" "b") == L"a\uFFFDb");
}

TEST_CASE("FreeSpaceAt walks up to what exists")
{
    std::string tmp = MakeTempDir("free-space");
    uint64_t here = FreeSpaceAt(tmp);
    CHECK(here > 0);
    // Three levels that do not exist yet report the drive of the nearest ancestor.
    uint64_t below = FreeSpaceAt(tmp + "\\a\\b\\c");
    CHECK(below > 0);
    CHECK(below / 1048576 == doctest::Approx((double)(here / 1048576)).epsilon(0.05));

    // A drive letter that does not exist: the walk ends at its root and the query fails.
    DWORD drives = GetLogicalDrives();
    char missing = 0;
    for (int i = 25; i >= 3 && !missing; i--)
        if (!(drives & (1u << i)))
            missing = (char)('A' + i);
    REQUIRE(missing != 0);
    CHECK(FreeSpaceAt(std::string(1, missing) + ":\\Games\\Ostrel") == 0);
}

TEST_CASE("full paths, and the extended form at the Windows border")
{
    struct Case
    {
        const wchar_t* path;
        bool full;
        const wchar_t* extended;    // what LongPath gives
    };
    const Case cases[] = {
        { L"C:\\Games\\Ostrel", true, L"\\\\?\\C:\\Games\\Ostrel" },
        { L"d:/Games/./x/../Ostrel", true, L"\\\\?\\d:\\Games\\Ostrel" },
        { L"C:\\Games\\\\Ostrel\\", true, L"\\\\?\\C:\\Games\\Ostrel\\" },
        { L"C:\\..\\..\\Ostrel", true, L"\\\\?\\C:\\Ostrel" },
        { L"C:\\", true, L"\\\\?\\C:\\" },
        { L"\\\\server\\share\\Games", true, L"\\\\?\\UNC\\server\\share\\Games" },
        { L"//server/share/a/../Ostrel", true, L"\\\\?\\UNC\\server\\share\\Ostrel" },
        { L"\\\\server\\share", true, L"\\\\?\\UNC\\server\\share" },
        // Not full: relative, rooted on the current drive, relative to a
        // drive's current folder, a server without a share, or a form that is
        // already extended or names a device. All pass through unchanged.
        { L"Games", false, nullptr },
        { L".\\Games", false, nullptr },
        { L"\\Games", false, nullptr },
        { L"C:Games", false, nullptr },
        { L"C:", false, nullptr },
        { L"\\\\server", false, nullptr },
        { L"\\\\server\\", false, nullptr },
        { L"\\\\?\\C:\\Games", false, nullptr },
        { L"\\\\?\\UNC\\server\\share", false, nullptr },
        { L"\\\\.\\pipe\\x", false, nullptr },
        { L"", false, nullptr },
    };
    for (const Case& c : cases)
    {
        CAPTURE(WideToUtf8(c.path));
        CHECK(IsFullPath(std::wstring(c.path)) == c.full);
        CHECK(IsFullPath(WideToUtf8(c.path)) == c.full);
        CHECK(LongPath(c.path) == (c.extended ? std::wstring(c.extended) : std::wstring(c.path)));
    }
    // Letters beyond ASCII are kept as they are.
    CHECK(IsFullPath(std::string("E:\\Spiele \xc3\x96strel")));
    CHECK(LongPath(L"E:\\Spiele \u00d6strel \u6e38\u620f") == L"\\\\?\\E:\\Spiele \u00d6strel \u6e38\u620f");
    CHECK_FALSE(IsFullPath(std::string("\xc3\x96strel\\Games")));

    // A path far past 260 characters keeps every character.
    std::wstring deep = L"C:\\Games";
    for (int i = 0; i < 20; i++)
        deep += L"\\" + std::wstring(30, (wchar_t)(L'a' + i));
    REQUIRE(deep.size() > 600);
    CHECK(LongPath(deep) == L"\\\\?\\" + deep);
}

TEST_CASE("folders past 260 characters are made, listed and removed whole")
{
    const std::wstring root = Utf8ToWide(MakeTempDir("long-tree"));
    std::wstring deep = root;
    for (int i = 0; i < 12; i++)
        deep += L"\\" + std::wstring(40, (wchar_t)(L'a' + i));
    REQUIRE(deep.size() > 500);

    REQUIRE(MakeFolders(deep + L"\\"));
    CHECK(IsFolder(deep));
    CHECK(MakeFolders(deep));       // already there
    const std::wstring file = deep + L"\\level.pak";
    HANDLE h = CreateFileW(LongPath(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_READONLY,
                           nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    CloseHandle(h);
    CHECK(PathAttributes(file) != INVALID_FILE_ATTRIBUTES);
    CHECK_FALSE(MakeFolders(file + L"\\below a file"));
    CHECK(FreeSpaceAt(WideToUtf8(deep + L"\\not yet\\there")) > 0);

    std::vector<FolderEntry> entries;
    REQUIRE(ListFolder(deep, entries));
    REQUIRE(entries.size() == 1);
    CHECK(entries[0].path == file);
    CHECK((entries[0].attributes & FILE_ATTRIBUTE_READONLY) != 0);
    entries.clear();
    CHECK_FALSE(ListFolder(deep + L"\\missing", entries));

    // Everything goes, from the deepest read-only file up.
    const std::wstring top = root + L"\\" + std::wstring(40, L'a');
    RemoveTree(top);
    CHECK(PathAttributes(top) == INVALID_FILE_ATTRIBUTES);
    CHECK(IsFolder(root));
}

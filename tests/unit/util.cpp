#include <doctest.h>

#include "test_support.h"
#include "util/free_space.h"
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

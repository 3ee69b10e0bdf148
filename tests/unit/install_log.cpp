#include <doctest.h>

#include "install/log.h"
#include "state/installer_app.h"
#include "test_support.h"
#include "util/text.h"

#include <windows.h>

#include <ctime>

namespace
{
std::string Stamp()
{
    time_t now = time(nullptr);
    struct tm local = {};
    localtime_s(&local, &now);
    char buf[32] = {};
    strftime(buf, sizeof(buf), "%Y%m%d-%H%M%S", &local);
    return buf;
}
} // namespace

TEST_CASE("log lines: local time, two spaces, the message, CR LF; lines accumulate")
{
    InstallerApp app;
    // The data folder does not exist yet: the first line creates it.
    app.dataDir = MakeTempDir("log") + "\\fresh\\data";
    std::string before = Stamp();
    AppendLog(app, "install to C:\\Spiele\\\xc3\x96strel (launcher + game)");
    AppendLog(app, "FAILED: Cancelled.");
    std::string after = Stamp();

    std::string text = ReadFileBytes(app.dataDir + "\\installer.log");
    const std::string first = "  install to C:\\Spiele\\\xc3\x96strel (launcher + game)\r\n";
    const std::string second = "  FAILED: Cancelled.\r\n";
    REQUIRE(text.size() == 15 + first.size() + 15 + second.size());
    std::string stamp1 = text.substr(0, 15);
    std::string stamp2 = text.substr(15 + first.size(), 15);
    CHECK(text.substr(15, first.size()) == first);
    CHECK(text.substr(30 + first.size()) == second);
    for (const std::string& s : { stamp1, stamp2 })
    {
        CAPTURE(s);
        CHECK(s[8] == '-');
        CHECK(s.find_first_not_of("0123456789", 0) == 8);
        CHECK(s.find_first_not_of("0123456789", 9) == std::string::npos);
        CHECK(s >= before);
        CHECK(s <= after);
    }

    // Appended, never truncated.
    AppendLog(app, "install to D:\\O (launcher only)");
    std::string more = ReadFileBytes(app.dataDir + "\\installer.log");
    CHECK(more.substr(0, text.size()) == text);
    CHECK(more.substr(text.size() + 15) == "  install to D:\\O (launcher only)\r\n");
}

TEST_CASE("a log held by another program loses the line silently, and the next one lands")
{
    InstallerApp app;
    app.dataDir = MakeTempDir("log-held");
    AppendLog(app, "install to C:\\A (launcher only)");
    const std::string path = app.dataDir + "\\installer.log";
    const std::string before = ReadFileBytes(path);
    HANDLE held = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    AppendLog(app, "FAILED: lost");
    CloseHandle(held);
    CHECK(ReadFileBytes(path) == before);       // neither written nor truncated
    AppendLog(app, "FAILED: kept");
    const std::string after = ReadFileBytes(path);
    CHECK(after.substr(0, before.size()) == before);
    CHECK(after.substr(before.size() + 15) == "  FAILED: kept\r\n");
}

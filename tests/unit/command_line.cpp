#include <doctest.h>

#include "app/command_line.h"
#include "state/installer_app.h"

namespace
{
LaunchOptions Parse(std::initializer_list<const wchar_t*> words)
{
    std::vector<std::wstring> v;
    for (const wchar_t* w : words)
        v.emplace_back(w);
    return ParseCommandLine(v);
}
} // namespace

TEST_CASE("flags and values")
{
    LaunchOptions o = Parse({L"--auto", L"--uninstall", L"--launcher-only", L"--links", L"--server", L"https://s", L"--data", L"D", L"--dir", L"X"});
    CHECK(o.autoMode);
    CHECK(o.uninstall);
    CHECK(o.launcherOnly);
    CHECK(o.links);
    CHECK(o.server == "https://s");
    CHECK(o.data == "D");
    CHECK(o.dir == "X");

    LaunchOptions none = Parse({});
    CHECK_FALSE(none.autoMode);
    CHECK(none.dir.empty());
}

TEST_CASE("value pass edge cases")
{
    // A valued option as the last word has no value.
    CHECK(Parse({L"--dir"}).dir.empty());
    CHECK(Parse({L"--auto", L"--dir"}).dir.empty());
    // The last complete occurrence wins.
    CHECK(Parse({L"--dir", L"X", L"--dir", L"Y"}).dir == "Y");
    CHECK(Parse({L"--dir", L"X", L"--dir"}).dir == "X");
    // The flag pass sees every word, also one taken as a value.
    LaunchOptions o = Parse({L"--dir", L"--auto"});
    CHECK(o.dir == "--auto");
    CHECK(o.autoMode);
    // A value is consumed: "--dir --server x" gives dir "--server", no server.
    LaunchOptions p = Parse({L"--dir", L"--server", L"x"});
    CHECK(p.dir == "--server");
    CHECK(p.server.empty());
    // An empty word stays empty.
    CHECK(Parse({L"--server", L""}).server.empty());
    // Values are converted to UTF-8.
    CHECK(Parse({L"--dir", L"C:\\Spiele\\\u00d6strel \u6e38\u620f"}).dir == "C:\\Spiele\\\xc3\x96strel \xe6\xb8\xb8\xe6\x88\x8f");
}

TEST_CASE("unknown words, case and dashes are ignored")
{
    LaunchOptions o = Parse({L"--AUTO", L"-auto", L"--auto=1", L"--dir=X", L"auto", L"--Dir", L"X"});
    CHECK_FALSE(o.autoMode);
    CHECK(o.dir.empty());
}

TEST_CASE("transfer into the InstallerApp")
{
    struct Case { std::initializer_list<const wchar_t*> words; bool autoMode, desktop, startMenu, game, uninstall; };
    const Case cases[] = {
        { {}, false, true, true, true, false },
        { {L"--auto"}, true, false, false, true, false },
        { {L"--auto", L"--links"}, true, true, true, true, false },
        { {L"--links", L"--auto"}, true, true, true, true, false },
        { {L"--launcher-only"}, false, true, true, false, false },
        { {L"--uninstall", L"--auto"}, true, false, false, true, true },
    };
    for (const Case& c : cases)
    {
        InstallerApp app;
        ApplyLaunchOptions(app, Parse(c.words));
        CHECK(app.autoMode == c.autoMode);
        CHECK(app.desktopShortcut == c.desktop);
        CHECK(app.startMenuShortcut == c.startMenu);
        CHECK(app.includeGame == c.game);
        CHECK(app.uninstallMode == c.uninstall);
        app.alive->store(false);
    }
}

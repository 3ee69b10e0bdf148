// The page bodies in headless frames, and the decisions behind their texts:
// figures, status lines, speed estimate, step marks, bars and the theme.
#include <doctest.h>

#include "net/error_texts.h"
#include "test_support.h"
#include "wizard/page_style.h"
#include "wizard/wizard.h"
#include "wizard_gui.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace
{
const uint64_t MB = 1048576ull;
const uint64_t GB = 1073741824ull;
} // namespace

TEST_CASE("theme sizes scale with the DPI and the text with the window")
{
    {
        HeadlessGui gui(1104, 810, 1.5f);
        const ImGuiStyle& st = ImGui::GetStyle();
        CHECK(st.WindowPadding.x == 12);
        CHECK(st.WindowPadding.y == 12);
        CHECK(st.FramePadding.x == 10);     // 10.5 cut to whole pixels
        CHECK(st.FramePadding.y == 6);
        CHECK(st.FontScaleDpi == 1.5f);
        // Colours the theme leaves alone are the dark preset's, not whatever
        // the style held before.
        ImGuiStyle dark;
        ImGui::StyleColorsDark(&dark);
        CHECK(st.Colors[ImGuiCol_PlotLines].x == dark.Colors[ImGuiCol_PlotLines].x);
        CHECK(st.Colors[ImGuiCol_TableHeaderBg].z == dark.Colors[ImGuiCol_TableHeaderBg].z);

        // Applied again (another monitor's DPI) it starts from the base sizes:
        // scaling must never compound.
        ApplyTheme(1.5f);
        CHECK(st.WindowPadding.x == 12);
        ApplyTheme(1.0f);
        CHECK(st.WindowPadding.x == 8);
        CHECK(st.FontScaleDpi == 1.0f);
    }

    for (float dpi : {1.0f, 1.5f})
    {
        CAPTURE(dpi);
        HeadlessGui g(736 * dpi, std::floor(540.5f * dpi), dpi);
        InstallerApp app;
        g.Run(app);
        CHECK(app.scale == doctest::Approx(1.15 * dpi));
        const ImGuiStyle& s = ImGui::GetStyle();
        // Body text is 15 × scale pixels.
        CHECK(s.FontSizeBase * s.FontScaleMain * s.FontScaleDpi == doctest::Approx(15 * app.scale));
    }
}

TEST_CASE("space needed, space enough and the figures line")
{
    InstallInfo info;
    info.launcherSize = 10 * MB;
    info.gameSize = 2 * GB;
    info.gameUnpackedSize = 3 * GB;
    const uint64_t margin = 64 * MB;
    CHECK(SpaceNeeded(info, true) == 5 * GB + margin);
    CHECK(SpaceNeeded(info, false) == 10 * MB + margin);

    const uint64_t needed = SpaceNeeded(info, true);
    CHECK(SpaceEnough(needed, needed));
    CHECK_FALSE(SpaceEnough(needed - 1, needed));
    CHECK(SpaceEnough(0, needed));      // unknown never blocks

    CHECK(SpaceLine(needed, 0) == "Space required: about 5.1 GB.   Space available: unknown.");
    CHECK(SpaceLine(74 * MB, 1023 * MB) == "Space required: about 74 MB.   Space available: 1023 MB.");
}

TEST_CASE("the location page decides whether Next is allowed")
{
    struct Case
    {
        const char* name;
        std::string dir;
        uint64_t gameSize;
        bool includeGame;
        bool valid;
        const char* shows;
    };
    const std::string temp = MakeTempDir("wizard-pages");
    const char* kNotFull = "Type a full folder path, such as C:\\Games\\Ostrel.";
    const Case cases[] = {
        {"an existing folder with room", temp, 1000, true, true, "Space required: about 64 MB."},
        {"two bytes are not a folder", "C:", 1000, true, false, "Space required"},
        {"three bytes are", "C:\\", 1000, true, true, "Space required"},
        {"more than the drive holds", temp, 1000000 * GB, true, false, "Space required: about 1000000.1 GB."},
        {"without the game only the launcher counts", temp, 1000000 * GB, false, true,
         "Only the launcher is installed. Link a copy of the game later in the launcher's Settings."},
        {"a drive that cannot be asked", "Q:\\Ostrel", 1000000 * GB, true, true, "Space available: unknown."},
        {"forward slashes make a full path too", "C:/Games/Ostrel", 1000, true, true, "Space required"},
        // Not full paths: refused in red in place of the figures.
        {"a relative folder", "Games", 1000, true, false, kNotFull},
        {"a folder on the current drive", "\\Games", 1000, true, false, kNotFull},
        {"a folder relative to a drive", "C:Games", 1000, false, false, kNotFull},
        {"an extended path", "\\\\?\\C:\\Games", 1000, true, false, kNotFull},
    };
    for (const Case& c : cases)
    {
        INFO(c.name);
        HeadlessGui gui;
        InstallerApp app;
        app.page = Page_Location;
        app.installDir = c.dir;
        app.info.gameSize = c.gameSize;
        app.includeGame = c.includeGame;
        app.locationValid = !c.valid;
        gui.Run(app);
        // The free space arrives from a background query a few frames later.
        for (int i = 0; i < 200 && gui.Shows("checking..."); i++)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            gui.Run(app);
        }
        CHECK(app.locationValid == c.valid);
        CHECK(gui.Shows(c.shows));
        CHECK(gui.Shows(c.gameSize < GB ? "Download and install the game (Ostrel.zip, 0 MB)"
                                         : "Download and install the game (Ostrel.zip, 1000000.0 GB)"));
        CHECK(gui.Shows("Only the launcher is installed") == !c.includeGame);
        const bool refused = std::string(c.shows) == kNotFull;
        CHECK(gui.Shows("Space required") == !refused);
        if (refused)
        {
            const float u = gui.Scale();
            CHECK(gui.DrewColour(Col_Red, ImVec2(208 * u, 174 * u), ImVec2(gui.width, 200 * u)));
        }
    }
}

TEST_CASE("the welcome page follows the server check")
{
    HeadlessGui gui;
    InstallerApp app;
    gui.Run(app);
    CHECK(gui.Shows("Welcome to the Ostrel Setup Wizard"));
    CHECK(gui.Shows("Checking the server..."));
    CHECK(gui.Shows("Ostrel isn't installed yet."));
    CHECK(gui.Shows("To continue, click Next."));
    CHECK_FALSE(gui.Shows("Try again"));

    app.infoDone = true;
    app.info.error = "100% broken %s";
    gui.Run(app);
    CHECK(gui.Shows("100% broken %s"));     // data is never a format
    CHECK(gui.Shows("Try again"));
    CHECK_FALSE(gui.Shows("Checking the server..."));

    app.info.ok = true;
    app.info.launcherSize = 0;
    app.info.gameSize = GB;
    app.info.gameUnpackedSize = GB - 1;
    app.existingInstall = true;
    app.existingInstallDir = "D:\\Games\\Ostrel";
    gui.Run(app);
    CHECK(gui.Shows("Download size: 1.0 GB.   Free space needed while installing: about 2.0 GB."));
    CHECK(gui.Shows("Ostrel is already installed in D:\\Games\\Ostrel"));
    CHECK_FALSE(gui.Shows("Ostrel isn't installed yet."));
    CHECK_FALSE(gui.Shows("Try again"));
}

TEST_CASE("Try again starts a new check")
{
    HeadlessGui gui;
    InstallerApp app;
    app.serverUrl = "http://127.0.0.1:1";
    app.infoDone = true;
    app.info.error = "The server took too long to answer.";
    const float s = gui.Scale();
    gui.Click(app, 250 * s, 262 * s);
    CHECK_FALSE(app.infoDone);
    CHECK(app.info.error.empty());
    gui.Run(app);
    CHECK((gui.Shows("Checking the server...") || app.infoDone));
    for (int i = 0; i < 200 && !app.infoDone; i++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gui.Run(app);
    }
    CHECK(app.infoDone);
}

TEST_CASE("a proxy's sign-in is asked beside the failure, kept in memory and sent by Try again")
{
    HeadlessGui gui;
    InstallerApp app;
    app.serverUrl = "http://127.0.0.1:1";
    app.infoDone = true;
    app.info.error = "Can't reach the server - check your internet connection.";
    gui.Run(app);
    CHECK_FALSE(gui.Shows("User name"));

    app.info.error = ProxySignInText(true, false);
    gui.Run(app);
    CHECK(gui.Shows("User name"));
    CHECK(gui.Shows("Password"));
    CHECK(gui.Shows("Try again"));
    const float s = gui.Scale();
    ImGuiIO& io = ImGui::GetIO();
    const struct
    {
        float       x;
        const char* typed;
    } fields[] = {{278, "CORP\\player"}, {430, "s3cr\xC3\xA9t"}};
    for (const auto& field : fields)
    {
        gui.Click(app, field.x * s, 269 * s);
        io.AddInputCharactersUTF8(field.typed);
        gui.Run(app);
        gui.Run(app);
    }
    CHECK(app.proxySignIn.user == "CORP\\player");
    CHECK(app.proxySignIn.password == "s3cr\xC3\xA9t");
    CHECK_FALSE(gui.Shows("s3cr"));     // the password is never drawn as text
    CHECK(app.ProxySignInForRequests().canAsk);
    app.autoMode = true;
    CHECK_FALSE(app.ProxySignInForRequests().canAsk);
    app.autoMode = false;

    // Try again sits beside the fields, and the check it starts takes them.
    gui.Click(app, 556 * s, 270 * s);
    CHECK_FALSE(app.infoDone);
    CHECK(app.ProxySignInForRequests().user == "CORP\\player");
    for (int i = 0; i < 200 && !app.infoDone; i++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gui.Run(app);
    }
    CHECK(app.infoDone);

    // The progress page asks the same way after a refusal; Retry is the bar's.
    app.page = Page_Progress;
    app.jobFinished = true;
    app.errorText = ProxySignInText(true, true);
    gui.Run(app);
    CHECK(gui.Shows("The proxy didn't accept that user name and password"));
    CHECK(gui.Shows("User name"));
    app.errorText = ProxySignInText(false, false);
    gui.Run(app);
    CHECK_FALSE(gui.Shows("User name"));
}

TEST_CASE("the ready page summarises the choices")
{
    struct Case
    {
        bool desktop, startMenu;
        const char* line;
    };
    const Case cases[] = {
        {true, true, "Shortcuts: Desktop, Start menu"},
        {true, false, "Shortcuts: Desktop"},
        {false, true, "Shortcuts: Start menu"},
        {false, false, "Shortcuts: none"},
    };
    for (const Case& c : cases)
        CHECK(ShortcutsLine(c.desktop, c.startMenu) == c.line);

    HeadlessGui gui;
    InstallerApp app;
    app.page = Page_Ready;
    app.installDir = "E:\\Spiele\\Ostrel";
    app.startMenuShortcut = false;
    gui.Run(app);
    CHECK(gui.Shows("E:\\Spiele\\Ostrel"));
    CHECK(gui.Shows("Playden, July 2024 (linked to the launcher)"));
    CHECK(gui.Shows("Shortcuts: Desktop"));
    app.includeGame = false;
    gui.Run(app);
    CHECK(gui.Shows("The game (Ostrel.zip) - skipped"));
}

TEST_CASE("the status line of the progress page")
{
    struct Case
    {
        const char* name;
        int stage;
        bool busy;
        uint32_t phase;
        uint64_t done, total;
        double speed;
        const char* expected;
    };
    const Case cases[] = {
        {"server check", 0, true, 0, 0, 0, 0, "S"},
        {"launcher without a size", 1, true, 0, 5 * MB, 0, 0, "S"},
        {"launcher with sizes", 1, true, 0, 5 * MB, 48 * MB, 0, "S  5 MB of 48 MB"},
        {"game download, 1 of 3", 2, true, 0, 1, 3, 0, "Step 1 of 3 - Downloading the game...   0 MB of 0 MB  (33%)"},
        {"game download, 2 of 3", 2, true, 0, 2, 3, 0, "Step 1 of 3 - Downloading the game...   0 MB of 0 MB  (66%)"},
        {"speed of exactly 1024 B/s is not shown", 2, true, 0, GB, 2 * GB, 1024,
         "Step 1 of 3 - Downloading the game...   1.0 GB of 2.0 GB  (50%)"},
        {"speed above it is", 2, true, 0, GB, 2 * GB, 1.5 * MB,
         "Step 1 of 3 - Downloading the game...   1.0 GB of 2.0 GB  (50%)   1.5 MB/s"},
        {"download without a size, with speed", 2, true, 0, 10, 0, 2048, "Step 1 of 3 - Downloading the game...   0.0 MB/s"},
        {"checking: no figures", 2, true, 1, GB, 2 * GB, 5 * MB, "Step 2 of 3 - Checking the download..."},
        {"unpacking: figures, no speed", 2, true, 2, 3 * GB, 4 * GB, 5 * MB,
         "Step 3 of 3 - Unpacking the game...   3.0 GB of 4.0 GB  (75%)"},
        {"an unknown phase reads as the download", 2, true, 7, 0, 0, 0, "Step 1 of 3 - Downloading the game..."},
        {"not busy: the sentence as it is", 2, false, 0, 1, 3, 5 * MB, "S"},
        {"linking", 3, true, 0, 1, 3, 0, "S"},
    };
    for (const Case& c : cases)
    {
        INFO(c.name);
        CHECK(InstallStatusLine("S", c.stage, c.busy, c.phase, c.done, c.total, c.speed) == c.expected);
    }
}

TEST_CASE("the speed estimate")
{
    uint64_t lastBytes = 0;
    double lastTime = 0, speed = 0;
    int samples = 5;
    SampleSpeed(1000, 100.0, lastBytes, lastTime, speed, samples);     // first sample only records
    CHECK(speed == 0);
    CHECK(samples == 0);
    CHECK(lastBytes == 1000);
    CHECK(lastTime == 100.0);
    SampleSpeed(5000, 100.4, lastBytes, lastTime, speed, samples);     // too soon
    CHECK(speed == 0);
    CHECK(lastBytes == 1000);
    SampleSpeed(3000, 100.5, lastBytes, lastTime, speed, samples);
    CHECK(speed == doctest::Approx(0.5 * 2000 / 0.5));
    SampleSpeed(3000 + 4000, 101.5, lastBytes, lastTime, speed, samples);
    CHECK(speed == doctest::Approx(0.5 * 4000 + 0.5 * 2000));
    CHECK(samples == 2);
    const double before = speed;
    SampleSpeed(10, 102.5, lastBytes, lastTime, speed, samples);       // counter went backwards: record only
    CHECK(speed == before);
    CHECK(samples == 0);                                               // and steadiness starts again
    CHECK(lastBytes == 10);
    CHECK(lastTime == 102.5);

    // A speed that keeps changing settles: after a swing from 1 to 10 MB/s the
    // estimate is within 5 % of the new speed after the steady count of samples.
    lastBytes = 0, lastTime = 0, speed = 0, samples = 0;
    double t = 1, bytes = 0;
    SampleSpeed(0, t, lastBytes, lastTime, speed, samples);
    for (int i = 0; i < 10; i++)
        SampleSpeed((uint64_t)(bytes += 0.5 * MB), t += 0.5, lastBytes, lastTime, speed, samples);
    for (int i = 0; i < kSteadySpeedSamples; i++)
        SampleSpeed((uint64_t)(bytes += 5 * MB), t += 0.5, lastBytes, lastTime, speed, samples);
    CHECK(speed == doctest::Approx(10.0 * MB).epsilon(0.05));
}

TEST_CASE("the time estimate")
{
    struct Case { uint64_t left; double speed; const char* text; };
    const Case cases[] = {
        {0, 0, ""},                                     // no speed, no estimate
        {59 * MB, MB, "less than a minute left"},
        {60 * MB, MB, "about 1 min left"},
        {61 * MB, MB, "about 2 min left"},              // rounded up
        {180 * MB, MB, "about 3 min left"},
        {3600 * MB, MB, "about 1 h left"},
        {5400 * MB, MB, "about 1 h 30 min left"},
        {3 * 86400ull * MB, MB, "more than 2 days left"},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.left);
        CHECK(TimeLeftText(c.left, c.speed) == c.text);
    }
    // Beside the speed, and only once the speed is steady.
    const std::string base = "Step 1 of 3 - Downloading the game...   1.0 GB of 2.0 GB  (50%)   4.0 MB/s";
    CHECK(InstallStatusLine("S", 2, true, 0, GB, 2 * GB, 4 * MB, false) == base);
    CHECK(InstallStatusLine("S", 2, true, 0, GB, 2 * GB, 4 * MB, true) == base + ", about 5 min left");
    // Not while checking or unpacking, nor without a total.
    CHECK(InstallStatusLine("S", 2, true, 2, GB, 2 * GB, 4 * MB, true).find("left") == std::string::npos);
    CHECK(InstallStatusLine("S", 2, true, 0, GB, 0, 4 * MB, true).find("left") == std::string::npos);
}

TEST_CASE("step marks")
{
    CHECK(StepMarkFor(0, 1, true, false, false) == Step_Done);
    CHECK(StepMarkFor(1, 1, true, false, false) == Step_Current);
    CHECK(StepMarkFor(2, 1, true, false, false) == Step_Pending);
    CHECK(StepMarkFor(1, 1, false, true, false) == Step_Pending);   // the failed step
    CHECK(StepMarkFor(4, 2, false, true, true) == Step_Done);       // ended well: all done
}

TEST_CASE("the progress page while running and after a failure")
{
    HeadlessGui gui;
    InstallerApp app;
    app.page = Page_Progress;
    app.jobBusy = true;
    app.jobStage = 2;
    app.gamePhase = 2;
    app.jobBytesDone = 2 * GB;
    app.jobBytesTotal = 3 * GB;
    app.statusText = "Downloading the game...";
    gui.Run(app);
    CHECK(gui.Shows("Installing Ostrel"));
    CHECK(gui.Value(app, "Downloading the launcher") == "done");
    CHECK(gui.Value(app, "Downloading, checking and unpacking the game") == "in progress");
    CHECK(gui.Value(app, "Linking the game to the launcher") == "to do");
    CHECK(gui.Shows("Step 3 of 3 - Unpacking the game...   2.0 GB of 3.0 GB  (66%)"));
    CHECK(app.speedLastTime > 0);   // sampled on every drawn frame

    app.includeGame = false;
    app.jobBusy = false;
    app.jobFinished = true;
    app.jobStage = 1;
    app.errorText = "The download was damaged twice - check your connection and try again.";
    gui.Run(app);
    CHECK(gui.Shows("Setup did not finish"));
    CHECK(gui.Value(app, "Checking the server") == "done");
    CHECK(gui.Value(app, "Downloading the launcher") == "to do");
    CHECK(gui.Value(app, "Game skipped") == "to do");
    CHECK(gui.Value(app, "Nothing to link") == "to do");
    CHECK(gui.Shows("The download was damaged twice"));
    CHECK_FALSE(gui.Shows("Downloading the game..."));
}

TEST_CASE("progress bars")
{
    const float w = 736, s = w / 640;
    const float x0 = 208 * s, x1 = w - 30 * s;
    struct Case
    {
        const char* name;
        int page;
        int stage;
        uint32_t phase;
        bool busy;
        uint64_t done, total;
        float fillRight;    // -1: no fill
        float fillWidth;    // checked when not 0
    };
    const Case cases[] = {
        {"half", Page_Progress, 1, 0, true, 50, 100, x0 + 1 + (x1 - x0 - 2) * 0.5f, 0},
        {"more than the total fills to the inset", Page_Progress, 1, 0, true, 300, 100, x1 - 1, 0},
        {"no total, no fill", Page_Progress, 1, 0, true, 300, 0, -1, 0},
        {"checking the digest: a quarter-width block", Page_Progress, 2, 1, true, 5, 10, 0, (x1 - x0 - 2) * 0.25f},
        {"removing: counted files", Page_Removing, 0, 0, true, 1, 4, x0 + 1 + (x1 - x0 - 2) * 0.25f, 0},
        {"removing: no files, empty bar", Page_Removing, 0, 0, true, 0, 0, -1, 0},
        {"removing: full once the game is gone", Page_Removing, 1, 0, true, 1, 4, x1 - 1, 0},
    };
    for (const Case& c : cases)
    {
        INFO(c.name);
        HeadlessGui gui(w, 540);
        InstallerApp app;
        app.page = c.page;
        app.existingInstall = true;
        app.jobBusy = c.busy;
        app.jobStage = c.stage;
        app.gamePhase = c.phase;
        app.jobBytesDone = c.done;
        app.jobBytesTotal = c.total;
        gui.Run(app);
        const float top = (c.page == Page_Progress ? 220 : 172) * s;
        const float bottom = top + 18 * s;
        CHECK(gui.DrewColour(Col_BarBorder, ImVec2(x0, top), ImVec2(x1, bottom)));
        const float right = gui.RightmostOf(Col_BarFill, top, bottom);
        if (c.fillWidth != 0)
        {
            CHECK(right - gui.LeftmostOf(Col_BarFill, top, bottom) == doctest::Approx(c.fillWidth).epsilon(0.01));
            CHECK(right <= x1 - 1 + 0.01f);
        }
        else
            CHECK(right == doctest::Approx(c.fillRight).epsilon(0.001));
    }
}

TEST_CASE("finish and uninstall pages")
{
    HeadlessGui gui;
    InstallerApp app;
    app.page = Page_Finish;
    app.jobFinished = true;
    app.jobSucceeded = true;
    app.gameDirResult = "C:\\Ostrel\\Ostrel";
    gui.Run(app);
    CHECK(gui.Shows("Completing the Ostrel Setup Wizard"));
    CHECK(gui.Shows("Ostrel has been installed and the game is linked to the launcher."));
    CHECK(gui.Shows("Game folder:"));
    CHECK(gui.Shows("C:\\Ostrel\\Ostrel"));
    CHECK(gui.Shows("Open the Ostrel launcher now"));
    app.gameDirResult.clear();
    gui.Run(app);
    CHECK(gui.Shows("The Ostrel launcher is installed. Open it and pick your Playden July 2024 folder in Settings"));
    CHECK_FALSE(gui.Shows("Game folder:"));

    app.page = Page_Uninstall;
    app.existingInstall = true;
    app.existingInstallDir = "C:\\Ostrel";
    gui.Run(app);
    CHECK(gui.Shows("This removes the Ostrel launcher and the game from:"));
    CHECK(gui.Shows("Also delete my launcher settings and sign-in"));
    app.existingInstall = false;
    gui.Run(app);
    CHECK(gui.Shows("Ostrel isn't installed by this setup on this computer."));
    CHECK_FALSE(gui.Shows("Also delete"));

    app.page = Page_Removing;
    app.jobFinished = true;
    app.jobSucceeded = false;
    app.jobStage = 1;
    app.errorText = "Close the Ostrel launcher and the game first, then try again.";
    app.statusText = "Removing the launcher...";
    gui.Run(app);
    CHECK(gui.Shows("Uninstall did not finish"));
    CHECK(gui.Value(app, "Removing the game") == "done");
    CHECK(gui.Value(app, "Removing the launcher and shortcuts") == "to do");
    CHECK(gui.Shows("Close the Ostrel launcher and the game first"));
    CHECK_FALSE(gui.Shows("Removing the launcher..."));

    app.page = Page_Removed;
    gui.Run(app);
    CHECK(gui.Shows("Ostrel has been removed"));
    CHECK(gui.Shows("Click Finish to close Setup."));
    CHECK_FALSE(gui.Shows("C:\\Ostrel"));
}

TEST_CASE("the location page never waits for the free space")
{
    // A stand-in query that blocks like a folder on an unreachable network share.
    struct Gate
    {
        std::mutex m;
        std::condition_variable cv;
        bool open = false;
        int calls = 0;
    };
    auto gate = std::make_shared<Gate>();
    HeadlessGui gui;
    InstallerApp app;
    app.page = Page_Location;
    app.installDir = "\\\\server\\share\\Ostrel";
    app.info.gameSize = 1000;
    app.freeSpace->query = [gate](const std::string&) -> uint64_t {
        std::unique_lock<std::mutex> lock(gate->m);
        gate->calls++;
        gate->cv.wait(lock, [&] { return gate->open; });
        return 100 * GB;
    };

    // Frames keep coming while the query hangs: each returns at once.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++)
        gui.Run(app);
    CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
    CHECK(gui.Shows("Space available: checking..."));
    CHECK(app.locationValid);                       // pending never blocks Next
    CHECK(WizardFrameWait(app) == 100);             // and the loop keeps looking
    for (int i = 0; i < 500; i++)
    {
        {
            std::lock_guard<std::mutex> lock(gate->m);
            if (gate->calls > 0)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int i = 0; i < 5; i++)
        gui.Run(app);
    {
        std::lock_guard<std::mutex> lock(gate->m);
        CHECK(gate->calls == 1);                    // one query per folder text, not one per frame
        gate->open = true;
    }
    gate->cv.notify_all();

    for (int i = 0; i < 200 && !gui.Shows("Space available: 100.0 GB."); i++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        gui.Run(app);
    }
    CHECK(gui.Shows("Space available: 100.0 GB."));
    gui.Run(app);
    CHECK(WizardFrameWait(app) == -1);              // answered and shown: nothing more to draw

    // Another text: the figure known so far stands until its own answer.
    app.freeSpace->query = [](const std::string&) -> uint64_t { return 2 * GB; };
    app.installDir = "C:\\Games\\Ostrel";
    gui.Run(app);
    CHECK_FALSE(gui.Shows("checking..."));
    for (int i = 0; i < 200 && !gui.Shows("Space available: 2.0 GB."); i++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        gui.Run(app);
    }
    CHECK(gui.Shows("Space available: 2.0 GB."));
}

TEST_CASE("buttons fit their labels, check box labels stay inside the page")
{
    HeadlessGui gui;
    InstallerApp app;
    gui.Run(app);
    const float s = gui.Scale();
    // Short labels keep the fixed width; a long one grows the button.
    CHECK(WizardButtonWidth("Next >", s) == doctest::Approx(88 * s));
    const char* longLabel = "Uninstall everything, settings included...";
    CHECK(WizardButtonWidth(longLabel, s) >= ImGui::CalcTextSize(longLabel).x + 2 * ImGui::GetStyle().FramePadding.x);

    // A label longer than the page wraps at the page's right margin, in lines
    // that start where the first one did.
    const float wrap = gui.width - 30 * s;
    ImGui::GetIO().DisplaySize = ImVec2(gui.width, gui.height);
    ImGui::NewFrame();
    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(gui.width, gui.height));
    ImGui::Begin("##wrap", nullptr, ImGuiWindowFlags_NoDecoration);
    bool box = false;
    const ImU32 ink = IM_COL32(1, 2, 3, 255);
    WizardUi ui;
    PageFrame f{ui, s, wrap, Palette()};
    f.pal.text = ink;
    PageCheckbox(f, "Also delete my launcher settings, my sign-in, the screenshots I took, the mods I added and "
                 "everything else the launcher keeps for me", f.At(208, 210), &box);
    const float below = ImGui::GetCursorScreenPos().y;
    ImGui::End();
    ImGui::Render();
    const float left = gui.LeftmostOf(ink, 0, gui.height);
    const float right = gui.RightmostOf(ink, 0, gui.height);
    CHECK(right > 400 * s);
    CHECK(right <= wrap + 1);
    CHECK(left > 208 * s);                          // beside the box, not under it
    CHECK(below > 210 * s + 2 * ImGui::GetTextLineHeight());  // it took more than one line

    // Clicking the label toggles the box, as it does on Windows.
    app.page = Page_Location;
    app.installDir = "C:\\Ostrel";
    app.freeSpace->query = [](const std::string&) -> uint64_t { return 0; };
    gui.Run(app);
    const bool before = app.desktopShortcut;
    gui.Click(app, 260 * s, 228 * s);
    CHECK(app.desktopShortcut != before);
}

TEST_CASE("the taskbar follows the job")
{
    struct Case
    {
        const char* name;
        int page, stage;
        uint32_t phase;
        bool busy, finished, succeeded;
        uint64_t done, total;
        TaskbarState state;
    };
    const Case cases[] = {
        {"no job on the page", Page_Ready, 0, 0, false, false, false, 0, 0, Taskbar_None},
        {"checking the server", Page_Progress, 0, 0, true, false, false, 0, 0, Taskbar_Indeterminate},
        {"launcher download", Page_Progress, 1, 0, true, false, false, 5, 10, Taskbar_Normal},
        {"game download", Page_Progress, 2, 0, true, false, false, 5, 10, Taskbar_Normal},
        {"checking the digest", Page_Progress, 2, 1, true, false, false, 5, 10, Taskbar_Indeterminate},
        {"unpacking", Page_Progress, 2, 2, true, false, false, 5, 10, Taskbar_Normal},
        {"no total", Page_Progress, 1, 0, true, false, false, 5, 0, Taskbar_Indeterminate},
        {"failed", Page_Progress, 1, 0, false, true, false, 5, 10, Taskbar_Error},
        {"ended well", Page_Progress, 5, 0, false, true, true, 10, 10, Taskbar_None},
        {"finished page", Page_Finish, 5, 0, false, true, true, 10, 10, Taskbar_None},
        {"removing", Page_Removing, 0, 0, true, false, false, 1, 4, Taskbar_Normal},
        {"removal failed", Page_Removing, 0, 0, false, true, false, 1, 4, Taskbar_Error},
    };
    for (const Case& c : cases)
    {
        INFO(c.name);
        InstallerApp app;
        app.page = c.page;
        app.jobStage = c.stage;
        app.gamePhase = c.phase;
        app.jobBusy = c.busy;
        app.jobFinished = c.finished;
        app.jobSucceeded = c.succeeded;
        app.jobBytesDone = c.done;
        app.jobBytesTotal = c.total;
        const TaskbarProgress t = WizardTaskbarProgress(app);
        CHECK(t.state == c.state);
        if (t.state == Taskbar_Normal)
        {
            CHECK(t.done == c.done);
            CHECK(t.total == c.total);
        }
        app.alive->store(false);
    }
}

TEST_CASE("frames are asked for only while something can change")
{
    InstallerApp app;
    app.infoDone = true;
    CHECK(WizardFrameWait(app) == -1);              // an idle page waits for events
    app.infoJob = std::make_shared<NetJob>();
    CHECK(WizardFrameWait(app) == 100);             // a server check runs
    app.infoJob.reset();
    app.page = Page_Progress;
    app.jobBusy = true;
    app.jobStage = 1;
    CHECK(WizardFrameWait(app) == 100);             // figures move about ten times a second
    app.jobStage = 2;
    app.gamePhase = 1;
    CHECK(WizardFrameWait(app) < 100);              // the moving block is an animation
    CHECK(WizardFrameWait(app) >= 0);
    app.jobBusy = false;
    app.jobFinished = true;
    CHECK(WizardFrameWait(app) == -1);
    app.alive->store(false);
}

TEST_CASE("the UTF-8 check every headless frame applies")
{
    struct Case { std::string text; bool ok; };
    const Case cases[] = {
        {"plain", true},
        {"C:\\Jeux d\xe2\x80\x99\xc3\xa9t\xc3\xa9\\\xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0 \xf0\x9f\x8e\xae", true},
        {"C:\\Jeux d'\xe9t\xe9", false},        // Windows-1252 bytes
        {"\x83\x51\x81\x5b\x83\x80", false},      // Shift-JIS bytes
        {"\xc3", false},                          // cut short
        {"\xc0\xaf", false},                      // overlong
        {"\xed\xa0\x80", false},                  // a surrogate
    };
    for (const Case& c : cases)
        CHECK(IsUtf8(c.text) == c.ok);
}

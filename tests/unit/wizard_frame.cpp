// The wizard frame in headless frames: the button bar on every page and state,
// the page transitions (clicks, job ends, --auto, --uninstall) and exit codes.
#include <doctest.h>

#include "test_support.h"
#include "wizard/page_style.h"
#include "wizard/wizard.h"
#include "wizard_gui.h"

#include <cstring>
#include <functional>

namespace
{
const ImU32 kDefaultBorder = IM_COL32(0, 120, 215, 255);

struct Slot
{
    const char* label;
    bool enabled;
    bool isDefault;
};
const Slot None = {nullptr, false, false};

struct BarCase
{
    const char* name;
    std::function<void(InstallerApp&)> setup;
    bool busy;
    Slot left, middle, right;
    bool drawable = true;   // false: the frame moves on before drawing this state
};

// A folder that exists and a download small enough for any test drive.
void ValidLocation(InstallerApp& a)
{
    a.installDir = MakeTempDir("wizard-location");
    a.info.gameSize = 1000;
    a.info.gameUnpackedSize = 1000;
}

// Three buttons fill the slots; a lone one stands in the rightmost.
const ButtonSpec* SlotOf(const BarButtons& b, int slot)
{
    if (b.count == 3)
        return &b.buttons[slot].spec;
    return b.count == 1 && slot == 2 ? &b.buttons[0].spec : nullptr;
}

void CheckSlot(const BarButtons& bar, int slot, const Slot& want, const char* where)
{
    INFO(where);
    const ButtonSpec* got = SlotOf(bar, slot);
    if (!want.label)
    {
        CHECK(got == nullptr);
        return;
    }
    REQUIRE(got != nullptr);
    CHECK(StripMnemonic(got->label) == want.label);
    CHECK(got->enabled == want.enabled);
    CHECK(got->isDefault == want.isDefault);
}
} // namespace

TEST_CASE("the button bar on every page and state")
{
    const BarCase cases[] = {
        {"welcome, checking", [](InstallerApp&) {}, false,
         {"< Back", false, false}, {"Next >", false, true}, {"Cancel", true, false}},
        {"welcome, usable", [](InstallerApp& a) { a.infoDone = true; a.info.ok = true; }, false,
         {"< Back", false, false}, {"Next >", true, true}, {"Cancel", true, false}},
        // "Try again" on the page is the default then.
        {"welcome, check failed", [](InstallerApp& a) { a.infoDone = true; a.info.error = std::string(1, 'x'); }, false,
         {"< Back", false, false}, {"Next >", false, false}, {"Cancel", true, false}},
        {"welcome, usable but busy", [](InstallerApp& a) { a.infoDone = true; a.info.ok = true; a.jobBusy = true; }, true,
         {"< Back", false, false}, {"Next >", false, true}, {"Cancel", true, false}},
        {"location, valid", [](InstallerApp& a) { a.page = Page_Location; ValidLocation(a); }, false,
         {"< Back", true, false}, {"Next >", true, true}, {"Cancel", true, false}},
        {"location, folder too short", [](InstallerApp& a) { a.page = Page_Location; ValidLocation(a); a.installDir.resize(2); }, false,
         {"< Back", true, false}, {"Next >", false, true}, {"Cancel", true, false}},
        {"ready", [](InstallerApp& a) { a.page = Page_Ready; }, false,
         {"< Back", true, false}, {"Install", true, true}, {"Cancel", true, false}},
        {"ready, busy", [](InstallerApp& a) { a.page = Page_Ready; a.jobBusy = true; }, true,
         {"< Back", false, false}, {"Install", false, true}, {"Cancel", true, false}},
        {"installing", [](InstallerApp& a) { a.page = Page_Progress; a.jobBusy = true; }, true,
         {"< Back", false, false}, {"Next >", false, true}, {"Cancel", true, false}},
        {"installing, ended well", [](InstallerApp& a) { a.page = Page_Progress; a.jobFinished = true; a.jobSucceeded = true; }, false,
         {"< Back", false, false}, {"Next >", false, true}, {"Cancel", false, false}, false},
        {"install failed", [](InstallerApp& a) { a.page = Page_Progress; a.jobFinished = true; }, false,
         {"< Back", true, false}, {"Retry", true, true}, {"Cancel", true, false}},
        {"finished", [](InstallerApp& a) { a.page = Page_Finish; a.jobFinished = true; a.jobSucceeded = true; }, false,
         None, None, {"Finish", true, true}},
        {"uninstall", [](InstallerApp& a) { a.page = Page_Uninstall; a.existingInstall = true; }, false,
         {"< Back", true, false}, {"Uninstall", true, true}, {"Cancel", true, false}},
        {"uninstall from the command line", [](InstallerApp& a) { a.page = Page_Uninstall; a.existingInstall = true; a.uninstallMode = true; }, false,
         {"< Back", false, false}, {"Uninstall", true, true}, {"Cancel", true, false}},
        {"uninstall, nothing installed", [](InstallerApp& a) { a.page = Page_Uninstall; }, false,
         {"< Back", true, false}, {"Uninstall", false, true}, {"Cancel", true, false}},
        {"uninstall, busy", [](InstallerApp& a) { a.page = Page_Uninstall; a.existingInstall = true; a.jobBusy = true; }, true,
         {"< Back", false, false}, {"Uninstall", false, true}, {"Cancel", false, false}},
        {"removing", [](InstallerApp& a) { a.page = Page_Removing; a.existingInstall = true; a.jobBusy = true; }, true,
         {"< Back", false, false}, {"Uninstall", false, true}, {"Cancel", false, false}},
        {"removal failed", [](InstallerApp& a) { a.page = Page_Removing; a.existingInstall = true; a.jobFinished = true; }, false,
         {"< Back", false, false}, {"Retry", true, true}, {"Cancel", true, false}},
        {"removed", [](InstallerApp& a) { a.page = Page_Removed; }, false,
         None, None, {"Finish", true, true}},
    };

    for (const BarCase& c : cases)
    {
        INFO(c.name);
        InstallerApp app;
        c.setup(app);
        const int page = app.page;

        if (c.drawable)
        {
            // Drawn by a real frame first: the location page decides locationValid there.
            HeadlessGui gui;
            gui.Run(app);
            REQUIRE(app.page == page);
            const Slot* want[3] = {&c.left, &c.middle, &c.right};
            for (int slot = 0; slot < 3; slot++)
            {
                const Slot& w = *want[slot];
                CAPTURE(slot);
                if (!w.label)
                {
                    CHECK_FALSE(gui.DrewColour(Col_ButtonFace, gui.SlotMin(slot), gui.SlotMax(slot)));
                    continue;
                }
                CHECK(gui.Shows(w.label));
                // An enabled button has the full face colour; a disabled one is faded.
                CHECK(gui.DrewColour(Col_ButtonFace, gui.SlotMin(slot), gui.SlotMax(slot)) == w.enabled);
                // Only an enabled default button has the blue border.
                CHECK(gui.DrewColour(kDefaultBorder, gui.SlotMin(slot), gui.SlotMax(slot)) == (w.enabled && w.isDefault));
            }
        }

        BarButtons b = WizardBarButtons(app, c.busy);
        CheckSlot(b, 0, c.left, "left");
        CheckSlot(b, 1, c.middle, "middle");
        CheckSlot(b, 2, c.right, "right");
    }
}

TEST_CASE("clicks move between the pages")
{
    HeadlessGui gui;
    InstallerApp app;
    ValidLocation(app);

    SUBCASE("Next is dead while the server check runs, then leads through the install pages and back")
    {
        gui.ClickSlot(app, 1);
        CHECK(app.page == Page_Welcome);
        app.infoDone = true;
        app.info.ok = true;
        gui.ClickSlot(app, 1);
        CHECK(app.page == Page_Location);
        gui.ClickSlot(app, 0);
        CHECK(app.page == Page_Welcome);
        gui.ClickSlot(app, 1);
        gui.ClickSlot(app, 1);
        CHECK(app.page == Page_Ready);
        gui.ClickSlot(app, 0);
        CHECK(app.page == Page_Location);
        CHECK_FALSE(app.quitRequested);
    }
    SUBCASE("Uninstall... opens the uninstall branch, Back returns unless the command line asked for it")
    {
        const float s = gui.Scale();
        gui.Click(app, 250 * s, 338 * s);
        CHECK(app.page == Page_Welcome);    // disabled without an installation
        app.existingInstall = true;
        app.existingInstallDir = app.installDir;
        gui.Click(app, 250 * s, 338 * s);
        CHECK(app.page == Page_Uninstall);
        gui.ClickSlot(app, 0);
        CHECK(app.page == Page_Welcome);
        app.page = Page_Uninstall;
        app.uninstallMode = true;
        gui.ClickSlot(app, 0);
        CHECK(app.page == Page_Uninstall);
    }
    SUBCASE("Cancel quits, but only cancels a running install")
    {
        app.page = Page_Progress;
        app.jobBusy = true;
        gui.ClickSlot(app, 2);
        CHECK(app.cancelRequested.load());
        CHECK_FALSE(app.quitRequested);
        app.jobBusy = false;
        app.page = Page_Ready;
        gui.ClickSlot(app, 2);
        CHECK(app.quitRequested);
    }
    SUBCASE("after a failed install Back leads to the location page")
    {
        app.page = Page_Progress;
        app.jobFinished = true;
        gui.Run(app);
        CHECK(gui.Shows("Setup did not finish"));
        gui.ClickSlot(app, 0);
        CHECK(app.page == Page_Location);
    }
    SUBCASE("Finish on the removed page quits")
    {
        app.page = Page_Removed;
        gui.ClickSlot(app, 2);
        CHECK(app.quitRequested);
    }
    SUBCASE("Cancel on the uninstall pages quits")
    {
        app.page = Page_Uninstall;
        gui.ClickSlot(app, 2);
        CHECK(app.quitRequested);
    }
}

TEST_CASE("a job that ended well moves the wizard on; a failed one stays")
{
    struct Case
    {
        int page;
        bool succeeded;
        int expected;
    };
    const Case cases[] = {
        {Page_Progress, true, Page_Finish},
        {Page_Progress, false, Page_Progress},
        {Page_Removing, true, Page_Removed},
        {Page_Removing, false, Page_Removing},
    };
    for (const Case& c : cases)
    {
        CAPTURE(c.page);
        CAPTURE(c.succeeded);
        HeadlessGui gui;
        InstallerApp app;
        app.page = c.page;
        app.jobSucceeded = c.succeeded;
        app.jobFinished = true;
        app.jobBusy = true;     // still busy: nothing moves yet
        gui.Run(app);
        CHECK(app.page == c.page);
        app.jobBusy = false;
        gui.Run(app);
        CHECK(app.page == c.expected);
        CHECK_FALSE(app.quitRequested);
        CHECK(app.exitCode == Exit_Ok);
    }
}

TEST_CASE("unattended runs close by themselves and report failure in the exit code")
{
    struct Case
    {
        const char* name;
        int page;
        bool succeeded;
        int expectedPage;
        int expectedExit;
    };
    const Case cases[] = {
        {"install succeeded", Page_Progress, true, Page_Finish, Exit_Ok},
        {"install failed", Page_Progress, false, Page_Progress, Exit_AutoFailed},
        {"removal succeeded", Page_Removing, true, Page_Removed, Exit_Ok},
        {"removal failed", Page_Removing, false, Page_Removing, Exit_AutoFailed},
    };
    for (const Case& c : cases)
    {
        INFO(c.name);
        HeadlessGui gui;
        InstallerApp app;
        app.autoMode = true;
        app.uninstallMode = c.page == Page_Removing;
        app.existingInstall = true;
        app.page = c.page;
        app.jobSucceeded = c.succeeded;
        app.jobFinished = true;
        app.jobBusy = true;
        gui.Run(app);
        CHECK_FALSE(app.quitRequested);
        app.jobBusy = false;
        gui.Run(app);
        CHECK(app.quitRequested);
        CHECK(app.page == c.expectedPage);
        CHECK(app.exitCode == c.expectedExit);
        if (c.page == Page_Progress)
            CHECK_FALSE(app.openLauncherAtFinish);  // the launcher is never opened unattended
    }

    SUBCASE("--auto waits for the server check, and ends with 2 when it fails")
    {
        HeadlessGui gui;
        InstallerApp app;
        app.autoMode = true;
        app.dataDir = MakeTempDir("auto-check");
        gui.Run(app);
        CHECK_FALSE(app.quitRequested);     // still checking
        app.infoDone = true;
        app.info.error = "The server has no download ready yet.";
        gui.Run(app);
        CHECK(app.page == Page_Welcome);
        CHECK_FALSE(app.jobBusy.load());
        CHECK(app.quitRequested);
        CHECK(app.exitCode == Exit_AutoFailed);
        std::string log = ReadFileBytes(app.dataDir + "\\installer.log");
        CHECK(log.find("  FAILED: The server has no download ready yet.\r\n") != std::string::npos);
    }

    SUBCASE("--auto --uninstall with nothing recorded ends without installing")
    {
        HeadlessGui gui;
        InstallerApp app;
        app.autoMode = true;
        app.uninstallMode = true;
        app.infoDone = true;
        app.info.ok = true;
        gui.Run(app);
        CHECK(app.quitRequested);
        CHECK(app.exitCode == Exit_Ok);
        CHECK(app.page == Page_Welcome);
        CHECK_FALSE(app.jobBusy.load());
    }
}

// These start the real workers, pointed at a server that is not there and at
// folders of their own, so they end quickly and touch nothing outside them.
namespace
{
void Unreachable(InstallerApp& app)
{
    app.serverUrl = "http://127.0.0.1:1";
    app.dataDir = MakeTempDir("wizard-data");
    app.installDir = MakeTempDir("wizard-install");
    app.info.gameSize = 1000;
}
} // namespace

TEST_CASE("Install, Retry and --auto start the install worker")
{
    SUBCASE("Install, then Retry after the failure")
    {
        HeadlessGui gui;
        InstallerApp app;
        Unreachable(app);
        app.page = Page_Ready;
        gui.ClickSlot(app, 1);
        CHECK(app.page == Page_Progress);
        REQUIRE(WaitForJobEnd(app));
        CHECK(app.jobFinished.load());
        CHECK_FALSE(app.jobSucceeded.load());
        gui.Run(app);
        CHECK(app.page == Page_Progress);
        CHECK(gui.Shows("Retry"));
        CHECK(app.exitCode == Exit_Ok);     // only unattended runs report through the exit code

        {
            std::lock_guard<std::mutex> lock(app.jobMutex);
            app.errorText = "stale";
        }
        gui.ClickSlot(app, 1);
        // A fresh run: the failure of the last one is gone until this one ends.
        REQUIRE(WaitForJobEnd(app));
        std::lock_guard<std::mutex> lock(app.jobMutex);
        CHECK(app.errorText != "stale");
    }
    SUBCASE("--auto starts once the check is usable and exits with 2 when the install fails")
    {
        HeadlessGui gui;
        InstallerApp app;
        Unreachable(app);
        app.autoMode = true;
        app.infoDone = true;
        app.info.ok = true;
        gui.Run(app);
        CHECK(app.page == Page_Progress);
        REQUIRE(WaitForJobEnd(app));
        gui.Run(app);
        CHECK(app.quitRequested);
        CHECK(app.exitCode == Exit_AutoFailed);
    }
}

TEST_CASE("Uninstall and --auto --uninstall start the uninstall worker")
{
    for (bool unattended : {false, true})
    {
        CAPTURE(unattended);
        HeadlessGui gui;
        InstallerApp app;
        Unreachable(app);
        app.existingInstall = true;
        app.existingInstallDir = MakeTempDir("wizard-existing");
        app.page = Page_Uninstall;
        app.autoMode = unattended;
        app.uninstallMode = unattended;
        if (unattended)
            gui.Run(app);
        else
            gui.ClickSlot(app, 1);
        CHECK(app.page == Page_Removing);
        REQUIRE(WaitForJobEnd(app));
        gui.Run(app);
        CHECK((app.page == Page_Removed || app.page == Page_Removing));
        CHECK(app.quitRequested == unattended);
        if (unattended)
            CHECK(app.exitCode == (app.jobSucceeded.load() ? Exit_Ok : Exit_AutoFailed));
    }
}

TEST_CASE("Finish opens the launcher from its own folder, unless unticked")
{
    for (bool open : {true, false})
    {
        CAPTURE(open);
        const std::string dir = MakeTempDir("wizard-launcher");
        // A stand-in launcher that writes down the folder it was started in.
        const std::string launcher = dir + "\\Ostrel Launcher.bat";
        WriteFileBytes(launcher, "@cd > \"%~dp0cwd.txt\"\r\n");
        HeadlessGui gui;
        InstallerApp app;
        app.page = Page_Finish;
        app.jobFinished = true;
        app.jobSucceeded = true;
        app.launcherPathResult = launcher;
        app.openLauncherAtFinish = open;
        gui.ClickSlot(app, 2);
        CHECK(app.quitRequested);
        const std::string marker = dir + "\\cwd.txt";
        for (int i = 0; i < (open ? 200 : 40) && !PathExists(marker); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!open)
        {
            CHECK_FALSE(PathExists(marker));
            continue;
        }
        REQUIRE(PathExists(marker));
        std::string cwd;
        for (int i = 0; i < 200 && cwd.find('\n') == std::string::npos; i++)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            cwd = ReadFileBytes(marker);
        }
        while (!cwd.empty() && (cwd.back() == '\n' || cwd.back() == '\r' || cwd.back() == ' '))
            cwd.pop_back();
        CHECK(_stricmp(cwd.c_str(), dir.c_str()) == 0);
    }
}

TEST_CASE("a hidden window still moves an unattended run on")
{
    // Minimised or behind a locked screen nothing is drawn; the frame loop
    // then calls Advance alone, without a GUI frame, so --auto still ends.
    InstallerApp app;
    app.autoMode = true;
    app.page = Page_Progress;
    app.jobFinished = true;
    app.jobSucceeded = true;
    app.Advance();
    CHECK(app.page == Page_Finish);
    CHECK(app.quitRequested);
    CHECK(app.exitCode == Exit_Ok);

    InstallerApp failed;
    failed.autoMode = true;
    failed.page = Page_Progress;
    failed.jobFinished = true;
    failed.Advance();
    CHECK(failed.quitRequested);
    CHECK(failed.exitCode == Exit_AutoFailed);
    app.alive->store(false);
    failed.alive->store(false);
}

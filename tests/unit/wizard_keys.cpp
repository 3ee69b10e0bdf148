// The keyboard, the screen reader's view and the look for everyone, in
// headless frames: each page's description (default button, access keys,
// Tab order over every control), Enter, Esc, Space and Alt, the events a
// screen reader hears, the accessible object's answers, the tick's
// contrast, the high-contrast palette and the glyphs of other scripts.
#include <doctest.h>

#include "app/accessible.h"
#include "test_support.h"
#include "util/text.h"
#include "wizard/wizard.h"
#include "wizard_gui.h"

#include <oleacc.h>

#include <algorithm>
#include <functional>
#include <set>

namespace
{
// A folder that exists and a download small enough for any test drive.
void ValidLocation(InstallerApp& a)
{
    a.installDir = MakeTempDir("keys-location");
    a.info.gameSize = 1000;
    a.info.gameUnpackedSize = 1000;
    a.freeSpace->query = [](const std::string&) -> uint64_t { return 0; };
}

void Usable(InstallerApp& a)
{
    a.infoDone = true;
    a.info.ok = true;
}

struct PageCase
{
    const char* name;
    std::function<void(InstallerApp&)> setup;
    const char* initialFocus;   // name of the control; "" the page itself
};

const PageCase kPages[] = {
    {"welcome, checking", [](InstallerApp&) {}, ""},
    {"welcome, usable, installed", [](InstallerApp& a) { Usable(a); a.existingInstall = true; a.existingInstallDir = "C:\\O"; }, "Next >"},
    {"welcome, check failed", [](InstallerApp& a) { a.infoDone = true; a.info.error = "No."; }, "Try again"},
    {"location", [](InstallerApp& a) { a.page = Page_Location; ValidLocation(a); }, "Install folder"},
    {"location, launcher only", [](InstallerApp& a) { a.page = Page_Location; ValidLocation(a); a.includeGame = false; }, "Install folder"},
    {"ready", [](InstallerApp& a) { a.page = Page_Ready; }, "Install"},
    {"installing", [](InstallerApp& a) { a.page = Page_Progress; a.jobBusy = true; }, ""},
    {"install failed", [](InstallerApp& a) { a.page = Page_Progress; a.jobFinished = true; a.errorText = "Broken."; }, "Retry"},
    {"finished", [](InstallerApp& a) { a.page = Page_Finish; a.jobFinished = true; a.jobSucceeded = true; }, "Finish"},
    {"uninstall", [](InstallerApp& a) { a.page = Page_Uninstall; a.existingInstall = true; a.existingInstallDir = "C:\\O"; }, "Uninstall"},
    {"removing", [](InstallerApp& a) { a.page = Page_Removing; a.existingInstall = true; a.jobBusy = true; }, ""},
    {"removal failed", [](InstallerApp& a) { a.page = Page_Removing; a.existingInstall = true; a.jobFinished = true; a.errorText = "Busy."; }, "Retry"},
    {"removed", [](InstallerApp& a) { a.page = Page_Removed; }, "Finish"},
};

std::vector<const Control*> Focusable(const InstallerApp& app)
{
    std::vector<const Control*> out;
    for (const Control& c : app.ui.controls)
        if (TakesFocus(c))
            out.push_back(&c);
    return out;
}
} // namespace

TEST_CASE("every page: one default button, distinct access keys, Tab over every control in visual order")
{
    for (const PageCase& pc : kPages)
    {
        INFO(pc.name);
        HeadlessGui gui;
        InstallerApp app;
        pc.setup(app);
        const int page = app.page;
        gui.Run(app);
        gui.Run(app);
        REQUIRE(app.page == page);
        CHECK(gui.FocusName(app) == pc.initialFocus);

        int defaults = 0;
        std::set<char> keys;
        for (const Control& c : app.ui.controls)
        {
            CAPTURE(c.name);
            CHECK(c.name.find('&') == std::string::npos);
            defaults += c.isDefault;
            if (c.mnemonic)
            {
                CHECK(keys.count(c.mnemonic) == 0);
                keys.insert(c.mnemonic);
            }
            CHECK(c.x1 > c.x0);
            CHECK(c.y1 > c.y0);
        }
        CHECK(defaults == 1);
        CHECK(app.ui.controls.front().role == Role_Heading);

        // Visual order: top to bottom, and left to right within a row.
        const std::vector<const Control*> order = Focusable(app);
        if (order.empty())
        {
            // Nothing to press while a removal runs: Tab stays on the page.
            gui.Key(app, ImGuiKey_Tab);
            CHECK(gui.FocusName(app) == "");
            continue;
        }
        for (size_t i = 1; i < order.size(); i++)
        {
            CAPTURE(order[i]->name);
            const bool sameRow = std::abs(order[i]->y0 - order[i - 1]->y0) < 8;
            CHECK((sameRow ? order[i]->x0 > order[i - 1]->x0 : order[i]->y0 > order[i - 1]->y0));
        }

        // Tab from the page's start visits each once, then comes round again;
        // Shift+Tab goes back the same way.
        gui.Key(app, ImGuiKey_Tab, ImGuiMod_Shift);
        gui.Key(app, ImGuiKey_Tab);
        const std::string first = gui.FocusName(app);
        std::vector<std::string> seen = {first};
        for (size_t i = 1; i < order.size(); i++)
        {
            gui.Key(app, ImGuiKey_Tab);
            seen.push_back(gui.FocusName(app));
        }
        for (size_t i = 0; i < order.size(); i++)
        {
            // Tab order starts after the initial focus and wraps: compare as a cycle.
            const auto at = std::find_if(order.begin(), order.end(), [&](const Control* c) { return c->name == first; });
            REQUIRE(at != order.end());
            CHECK(seen[i] == order[(at - order.begin() + i) % order.size()]->name);
        }
        gui.Key(app, ImGuiKey_Tab);
        CHECK(gui.FocusName(app) == first);
        gui.Key(app, ImGuiKey_Tab, ImGuiMod_Shift);
        CHECK(gui.FocusName(app) == seen.back());
        CHECK(app.page == page);
        CHECK_FALSE(app.quitRequested);
        app.alive->store(false);
    }
}

TEST_CASE("Enter, Esc, Space and the access keys")
{
    SUBCASE("Enter takes the default button: through the install pages by Enter alone")
    {
        HeadlessGui gui;
        InstallerApp app;
        ValidLocation(app);
        gui.Run(app);
        gui.Key(app, ImGuiKey_Enter);
        CHECK(app.page == Page_Welcome);        // Next is dead while the check runs
        Usable(app);
        gui.Run(app);
        gui.Key(app, ImGuiKey_Enter);
        CHECK(app.page == Page_Location);
        gui.Run(app);
        gui.Run(app);
        CHECK(gui.FocusName(app) == "Install folder");
        gui.Key(app, ImGuiKey_Enter);            // the folder field takes no Enter
        CHECK(app.page == Page_Ready);
    }
    SUBCASE("after a failed check Enter tries again")
    {
        HeadlessGui gui;
        InstallerApp app;
        app.serverUrl = "http://127.0.0.1:1";
        app.infoDone = true;
        app.info.error = "The server took too long to answer.";
        gui.Run(app);
        gui.Key(app, ImGuiKey_Enter);
        CHECK_FALSE(app.infoDone);      // a new check runs
        for (int i = 0; i < 200 && !app.infoDone; i++)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            gui.Run(app);
        }
    }
    SUBCASE("Enter on another button presses that one; Esc is Cancel")
    {
        HeadlessGui gui;
        InstallerApp app;
        Usable(app);
        gui.Run(app);
        gui.Key(app, ImGuiKey_Tab);             // from Next to Cancel
        CHECK(gui.FocusName(app) == "Cancel");
        gui.Key(app, ImGuiKey_Enter);
        CHECK(app.quitRequested);

        InstallerApp esc;
        gui.Run(esc);
        gui.Key(esc, ImGuiKey_Escape);
        CHECK(esc.quitRequested);
    }
    SUBCASE("Esc while installing only asks the job to stop; on the Finished page it does nothing")
    {
        HeadlessGui gui;
        InstallerApp app;
        app.page = Page_Progress;
        app.jobBusy = true;
        gui.Run(app);
        gui.Key(app, ImGuiKey_Escape);
        CHECK(app.cancelRequested.load());
        CHECK_FALSE(app.quitRequested);

        InstallerApp done;
        done.page = Page_Finish;
        done.jobFinished = true;
        done.jobSucceeded = true;
        gui.Run(done);
        gui.Key(done, ImGuiKey_Escape);
        CHECK_FALSE(done.quitRequested);
    }
    SUBCASE("Space toggles the focused box; Alt and a letter press buttons and toggle boxes")
    {
        HeadlessGui gui;
        InstallerApp app;
        app.page = Page_Location;
        ValidLocation(app);
        gui.Run(app);
        gui.Key(app, ImGuiKey_Tab);             // Browse...
        gui.Key(app, ImGuiKey_Tab);             // the desktop shortcut box
        CHECK(gui.FocusName(app) == "Create a desktop shortcut");
        gui.Key(app, ImGuiKey_Space);
        CHECK_FALSE(app.desktopShortcut);
        gui.Key(app, ImGuiKey_S, ImGuiMod_Alt);
        CHECK_FALSE(app.startMenuShortcut);
        CHECK(gui.FocusName(app) == "Create a Start menu shortcut");
        gui.Key(app, ImGuiKey_G);               // alone too, where no field has the focus
        CHECK_FALSE(app.includeGame);
        gui.Key(app, ImGuiKey_B, ImGuiMod_Alt);
        CHECK(app.page == Page_Welcome);
        Usable(app);
        gui.Run(app);
        gui.Key(app, ImGuiKey_N, ImGuiMod_Alt);
        CHECK(app.page == Page_Location);
    }
    SUBCASE("a plain letter in the folder field is typing, not an access key")
    {
        HeadlessGui gui;
        InstallerApp app;
        app.page = Page_Location;
        ValidLocation(app);
        gui.Run(app);
        gui.Run(app);
        REQUIRE(gui.FocusName(app) == "Install folder");
        gui.Key(app, ImGuiKey_B);
        CHECK(app.page == Page_Location);
        CHECK(app.desktopShortcut);
        gui.Key(app, ImGuiKey_D);
        CHECK(app.desktopShortcut);
    }
    SUBCASE("a job's end moves the focus to the page's way on unless the user moved it")
    {
        HeadlessGui gui;
        InstallerApp app;
        app.page = Page_Progress;
        app.jobBusy = true;
        gui.Run(app);
        CHECK(gui.FocusName(app) == "");
        app.jobBusy = false;
        app.jobFinished = true;
        app.errorText = "Cancelled.";
        gui.Run(app);
        gui.Run(app);
        CHECK(gui.FocusName(app) == "Retry");
    }
}

TEST_CASE("what a screen reader hears and asks")
{
    HeadlessGui gui;
    InstallerApp app;
    gui.Run(app);
    // A page announces itself by its title taking the focus, then its way on.
    CHECK(gui.Heard(EVENT_OBJECT_FOCUS, "Welcome to the Ostrel Setup Wizard"));
    Usable(app);
    gui.Run(app);
    CHECK(gui.Heard(EVENT_OBJECT_FOCUS, "Next >"));
    gui.heard.clear();
    gui.Run(app);
    CHECK(gui.heard.empty());
    gui.Key(app, ImGuiKey_Tab);
    CHECK(gui.Heard(EVENT_OBJECT_FOCUS, "Cancel"));

    // Next pressed by the screen reader, on the interface thread's next frame.
    {
        std::lock_guard<std::mutex> lock(app.ui.tree->mutex);
        app.ui.tree->requests.push_back({true, Page_Welcome, "Next >"});
    }
    gui.Run(app);
    CHECK(app.page == Page_Location);

    app.page = Page_Progress;
    app.jobBusy = true;
    app.jobStage = 1;
    app.jobBytesTotal = 100;
    app.jobBytesDone = 10;
    app.statusText = "Downloading the Ostrel launcher...";
    gui.Run(app);
    gui.heard.clear();
    app.jobBytesDone = 20;
    app.statusText = "Checking the Ostrel launcher...";
    gui.Run(app);
    CHECK(gui.Heard(EVENT_OBJECT_VALUECHANGE, "Progress"));      // the first change at once
    CHECK(gui.Heard(EVENT_OBJECT_NAMECHANGE, "Checking the Ostrel launcher...  0 MB of 0 MB"));
    gui.heard.clear();
    app.jobBytesDone = 30;
    gui.Run(app);
    CHECK_FALSE(gui.Heard(EVENT_OBJECT_VALUECHANGE, "Progress")); // then at most once a second
    CHECK(app.ui.announcePending);
    CHECK(WizardFrameWait(app) <= 250);

    app.jobBusy = false;
    app.jobFinished = true;
    app.errorText = "The download was damaged twice - check your connection and try again.";
    gui.Run(app);
    CHECK(gui.Heard(EVENT_SYSTEM_ALERT, app.errorText.c_str()));

    app.page = Page_Finish;
    app.jobSucceeded = true;
    gui.Run(app);
    gui.Key(app, ImGuiKey_O, ImGuiMod_Alt);
    gui.Run(app);
    CHECK_FALSE(app.openLauncherAtFinish);
    CHECK(gui.Heard(EVENT_OBJECT_STATECHANGE, "Open the Ostrel launcher now"));
    app.alive->store(false);
}

TEST_CASE("the accessible object answers from the last frame's copy")
{
    HeadlessGui gui;
    InstallerApp app;
    app.page = Page_Location;
    ValidLocation(app);
    app.installDir = "C:\\Games\\Ostrel";
    gui.Run(app);
    gui.Run(app);
    IAccessible* acc = CreateWizardAccessible(nullptr, app.ui.tree);
    long count = 0;
    REQUIRE(acc->get_accChildCount(&count) == S_OK);
    CHECK(count == (long)app.ui.controls.size());

    auto child = [](long id) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I4;
        v.lVal = id;
        return v;
    };
    auto text = [](BSTR b) {
        std::string s = b ? WideToUtf8(b) : std::string("(null)");
        SysFreeString(b);
        return s;
    };
    auto index = [&](const char* name) {
        for (size_t i = 0; i < app.ui.controls.size(); i++)
            if (app.ui.controls[i].name == name)
                return (long)i + 1;
        return 0L;
    };
    const long field = index("Install folder"), box = index("Create a desktop shortcut"), next = index("Next >");
    REQUIRE(field > 0);
    REQUIRE(box > 0);
    REQUIRE(next > 0);

    VARIANT role, state;
    BSTR b = nullptr;
    acc->get_accRole(child(1), &role);
    CHECK(role.vt == VT_BSTR);
    CHECK(text(role.bstrVal) == "heading");
    acc->get_accName(child(1), &b);
    CHECK(text(b) == "Choose the install location");

    acc->get_accRole(child(field), &role);
    CHECK(role.lVal == ROLE_SYSTEM_TEXT);
    acc->get_accValue(child(field), &b);
    CHECK(text(b) == "C:\\Games\\Ostrel");
    acc->get_accState(child(field), &state);
    CHECK((state.lVal & STATE_SYSTEM_FOCUSED) != 0);
    VARIANT focus;
    acc->get_accFocus(&focus);
    CHECK(focus.lVal == field);

    acc->get_accRole(child(box), &role);
    CHECK(role.lVal == ROLE_SYSTEM_CHECKBUTTON);
    acc->get_accState(child(box), &state);
    CHECK((state.lVal & STATE_SYSTEM_CHECKED) != 0);
    acc->get_accDefaultAction(child(box), &b);
    CHECK(text(b) == "Uncheck");
    acc->get_accKeyboardShortcut(child(box), &b);
    CHECK(text(b) == "Alt+D");

    acc->get_accRole(child(next), &role);
    CHECK(role.lVal == ROLE_SYSTEM_PUSHBUTTON);
    acc->get_accState(child(next), &state);
    CHECK((state.lVal & STATE_SYSTEM_DEFAULT) != 0);
    CHECK((state.lVal & STATE_SYSTEM_UNAVAILABLE) == 0);
    acc->get_accDefaultAction(child(next), &b);
    CHECK(text(b) == "Press");
    CHECK(acc->get_accName(child(count + 1), &b) == E_INVALIDARG);

    // Pressing and toggling are queued for the interface thread.
    CHECK(acc->accDoDefaultAction(child(box)) == S_OK);
    CHECK(acc->accDoDefaultAction(child(1)) == DISP_E_MEMBERNOTFOUND);
    CHECK(app.desktopShortcut);
    gui.Run(app);
    CHECK_FALSE(app.desktopShortcut);

    // A password field never gives its text away.
    {
        std::lock_guard<std::mutex> lock(app.ui.tree->mutex);
        app.ui.tree->controls[field - 1].isProtected = true;
    }
    CHECK(acc->get_accValue(child(field), &b) == E_ACCESSDENIED);
    acc->get_accState(child(field), &state);
    CHECK((state.lVal & STATE_SYSTEM_PROTECTED) != 0);

    // After the window: disconnected, not dangling.
    {
        std::lock_guard<std::mutex> lock(app.ui.tree->mutex);
        app.ui.tree->alive = false;
    }
    CHECK(acc->get_accName(child(1), &b) == E_INVALIDARG);
    acc->Release();
    app.alive->store(false);
}

TEST_CASE("a check box's tick keeps 4.5:1 in every state, in both palettes")
{
    for (bool highContrast : {false, true})
    {
        CAPTURE(highContrast);
        HeadlessGui gui;
        InstallerApp app;
        app.page = Page_Location;
        ValidLocation(app);
        app.systemColours.highContrast = highContrast;
        gui.Run(app);
        const Palette pal = PaletteFor(app.systemColours);
        const Control* box = gui.Find(app, "Create a desktop shortcut");
        REQUIRE(box);
        const float side = ImGui::GetFrameHeight();
        const ImVec2 min(box->x0, box->y0), max(box->x0 + side, box->y0 + side);
        const ImVec2 middle((min.x + max.x) / 2, (min.y + max.y) / 2);
        // Every opaque colour drawn inside the box but the tick and the border
        // is a face the tick stands on.
        auto check = [&](const char* state) {
            INFO(state);
            bool tick = false;
            for (ImDrawList* dl : ImGui::GetDrawData()->CmdLists)
                for (const ImDrawVert& v : dl->VtxBuffer)
                    if (v.pos.x > min.x && v.pos.x < max.x && v.pos.y > min.y && v.pos.y < max.y && (v.col >> 24) == 255)
                    {
                        if (v.col == pal.mark)
                            tick = true;
                        else if (v.col != pal.fieldBorder && v.col != pal.focus)
                        {
                            CAPTURE(v.col);
                            CHECK(ContrastRatio(v.col, pal.mark) >= 4.5f);
                        }
                    }
            CHECK(tick);
        };
        check("resting");
        ImGuiIO& io = ImGui::GetIO();
        io.AddMousePosEvent(middle.x, middle.y);
        gui.Run(app);
        gui.Run(app);
        check("under the mouse");
        io.AddMouseButtonEvent(0, true);
        gui.Run(app);
        gui.Run(app);
        check("pressed");
        io.AddMouseButtonEvent(0, false);
        io.AddMousePosEvent(-FLT_MAX, -FLT_MAX);
        gui.Run(app);
        gui.Run(app);
        CHECK(gui.FocusName(app) == "Create a desktop shortcut");
        app.desktopShortcut = true;
        gui.Run(app);
        check("focused");
        app.alive->store(false);
    }
}

TEST_CASE("high contrast draws with the system's colours")
{
    HeadlessGui gui;
    InstallerApp app;
    Usable(app);
    app.systemColours.highContrast = true;
    app.systemColours.window = IM_COL32(1, 2, 3, 255);
    app.systemColours.windowText = IM_COL32(250, 251, 252, 255);
    app.systemColours.highlight = IM_COL32(4, 200, 240, 255);
    gui.Run(app);
    gui.Run(app);
    const ImVec2 all(0, 0), end(gui.width, gui.height);
    // None of the wizard's own colours: no gradient, no grey bar, no blue border.
    CHECK_FALSE(gui.DrewColour(IM_COL32(238, 0, 238, 255), all, end));
    CHECK_FALSE(gui.DrewColour(Col_ButtonFace, all, end));
    CHECK_FALSE(gui.DrewColour(Col_DefaultBorder, all, end));
    CHECK(gui.DrewColour(app.systemColours.window, all, end));
    CHECK(gui.DrewColour(app.systemColours.windowText, all, end));
    CHECK(gui.DrewColour(app.systemColours.highlight, gui.SlotMin(1), gui.SlotMax(1)));   // Next, the default

    // The standard palette's texts stand out from their backgrounds.
    const Palette p;
    CHECK(ContrastRatio(p.text, p.page) >= 4.5f);
    CHECK(ContrastRatio(p.grey, p.page) >= 4.5f);
    CHECK(ContrastRatio(p.red, p.page) >= 4.5f);
    CHECK(ContrastRatio(p.buttonText, p.buttonFace) >= 4.5f);
    CHECK(ContrastRatio(p.focus, p.buttonFace) >= 4.5f);

    // Switched off again (WM_SYSCOLORCHANGE): the wizard's own look is back.
    app.systemColours.highContrast = false;
    gui.Run(app);
    CHECK(gui.DrewColour(Col_ButtonFace, all, end));
    app.alive->store(false);
}

TEST_CASE("a Japanese folder name draws with a system font's glyphs, not boxes")
{
    HeadlessGui gui;
    InstallerApp app;
    app.page = Page_Ready;
    // "C:\ゲーム\Ostrel 游戏"
    app.installDir = "C:\\\xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0\\Ostrel \xe6\xb8\xb8\xe6\x88\x8f";
    ImFont* font = ImGui::GetIO().Fonts->Fonts[0];
    REQUIRE_FALSE(font->IsGlyphInFont(0x30B2));     // the built-in font has no kana
    gui.Run(app);
    CHECK(std::find(app.ui.missingGlyphs.begin(), app.ui.missingGlyphs.end(), 0x30B2u) != app.ui.missingGlyphs.end());
    CHECK(WizardFrameWait(app) == 0);                // the next frame comes at once
    gui.Run(app);                                    // merges before it draws
    CHECK(app.ui.missingGlyphs.empty());
    for (ImWchar c : {0x30B2, 0x30FC, 0x30E0, 0x6E38, 0x620F})
    {
        CAPTURE(c);
        CHECK(font->IsGlyphInFont(c));
        ImFontGlyph* glyph = font->GetFontBaked(15.0f)->FindGlyphNoFallback(c);
        REQUIRE(glyph);
        const bool visible = glyph->Visible;
        CHECK(visible);
    }
    // Looked for once: a later frame does not ask again.
    gui.Run(app);
    CHECK(app.ui.missingGlyphs.empty());
}

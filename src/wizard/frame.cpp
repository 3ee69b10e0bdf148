// The wizard frame: automatic transitions, side panel, page body and button bar.
#include "wizard/wizard.h"

#include "install/job.h"
#include "install/log.h"
#include "package/game_job.h"
#include "state/installer_app.h"

#include <imgui.h>

#include <cmath>
#include <mutex>

void BarButtons::Add(const ButtonSpec& spec, float gapAfter)
{
    if (count < (int)(sizeof(buttons) / sizeof(buttons[0])))
        buttons[count++] = {spec, gapAfter};
}

const ButtonSpec* BarButtons::Find(const char* name) const
{
    for (int i = 0; i < count; i++)
        if (StripMnemonic(buttons[i].spec.label) == name)
            return &buttons[i].spec;
    return nullptr;
}

// The three buttons of every page but the last: "< Back", the page's way on
// (its default button) and "Cancel" (Esc).
static BarButtons BackNextCancel(const ButtonSpec& back, const ButtonSpec& next, const ButtonSpec& cancel)
{
    BarButtons b;
    b.Add(back, Layout::BackGap);
    b.Add(next);
    b.Add(cancel);
    return b;
}

BarButtons WizardBarButtons(const InstallerApp& app, bool busy)
{
    const bool failed = app.jobFinished.load() && !app.jobSucceeded.load();
    // On the install pages Cancel quits, or asks a running job to stop.
    const ButtonSpec cancel = {"Cancel", true, false, true, busy ? Action_CancelJob : Action_Quit};
    const ButtonSpec noBack = {"< &Back", false};
    BarButtons b;
    switch (app.page)
    {
    case Page_Welcome:
        // After a failed check the way on is the page's "Try again": Enter presses that.
        return BackNextCancel(noBack,
                              {"&Next >", app.infoDone && app.info.ok && !busy, !(app.infoDone && !app.info.ok), false,
                               Action_GoTo, Page_Location},
                              cancel);
    case Page_Location:
        return BackNextCancel({"< &Back", !busy, false, false, Action_GoTo, Page_Welcome},
                              {"&Next >", app.locationValid && !busy, true, false, Action_GoTo, Page_Ready}, cancel);
    case Page_Ready:
        return BackNextCancel({"< &Back", !busy, false, false, Action_GoTo, Page_Location},
                              {"&Install", !busy, true, false, Action_StartInstall}, cancel);
    case Page_Progress:
        if (failed)
            return BackNextCancel({"< &Back", !busy, false, false, Action_GoTo, Page_Location},
                                  {"&Retry", !busy, true, false, Action_StartInstall}, cancel);
        // One click is enough: the button rests while the cancel is under way.
        return BackNextCancel(noBack, {"&Next >", false, true},
                              {"Cancel", busy && !app.cancelRequested.load(), false, true, Action_CancelJob});
    case Page_Uninstall:
        return BackNextCancel({"< &Back", !busy && !app.uninstallMode, false, false, Action_GoTo, Page_Welcome},
                              {"&Uninstall", !busy && app.existingInstall, true, false, Action_StartUninstall},
                              {"Cancel", !busy, false, true, Action_Quit});
    case Page_Removing:
        return BackNextCancel(noBack,
                              failed ? ButtonSpec{"&Retry", !busy, true, false, Action_StartUninstall}
                                     : ButtonSpec{"&Uninstall", !busy && app.existingInstall, true, false,
                                                  Action_StartUninstall},
                              {"Cancel", !busy, false, true, Action_Quit});
    case Page_Finish:
        b.Add({"&Finish", true, true, false, Action_Finish});
        return b;
    default:    // the removal's Finished page
        b.Add({"&Finish", true, true, false, Action_Quit});
        return b;
    }
}

void InstallerApp::DrawSidePanel(PageFrame& f, float h)
{
    using namespace Layout;
    const float s = scale;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    ImFont* current = ImGui::GetFont();
    ImFont* semibold = g_semiboldFont ? g_semiboldFont : current;
    ImFont* light = g_lightFont ? g_lightFont : current;
    const Palette& pal = f.pal;
    const ImU32 white = pal.panelText;
    auto alpha = [](ImU32 col, int a) { return (col & 0x00ffffffu) | ((ImU32)a << 24); };

    dl->AddRectFilledMultiColor(ImVec2(0, 0), ImVec2(PanelWidth * s, h - BarHeight * s), pal.panel[0], pal.panel[1],
                                pal.panel[2], pal.panel[3]);
    // On whole pixels: the last column of the panel.
    const float edge = std::floor(PanelWidth * s);
    if (pal.panelEdge)
        dl->AddRectFilled(ImVec2(edge - 1, 0), ImVec2(edge, h - BarHeight * s), pal.panelEdge);
    // 46 units high, or smaller where the font at hand (a stand-in for
    // Segoe UI Semibold) would run past the panel's edge.
    float titleSize = 46 * s;
    const float titleWidth = semibold->CalcTextSizeA(titleSize, FLT_MAX, 0.0f, "OSTREL").x;
    const float room = (PanelWidth - 24 - 10) * s;
    if (titleWidth > room)
        titleSize *= room / titleWidth;
    dl->AddText(semibold, titleSize, ImVec2(24 * s, 30 * s), white, "OSTREL");
    // Dimmed texts keep their full colour in high contrast.
    const bool hc = pal.highContrast;
    dl->AddText(light, 18 * s, ImVec2(28 * s, 88 * s), hc ? white : alpha(white, 230), "Setup");
    dl->AddLine(ImVec2(28 * s, 118 * s), ImVec2((PanelWidth - 28) * s, 118 * s), hc ? white : alpha(white, 110), 1.0f);

    static const char* const installSteps[] = {"Welcome", "Install location", "Ready to install", "Installing", "Finished"};
    static const char* const uninstallSteps[] = {"Uninstall", "Removing", "Finished"};
    const bool removing = page >= Page_Uninstall;
    const char* const* steps = removing ? uninstallSteps : installSteps;
    const int count = removing ? 3 : 5;
    const int current_step = removing ? page - Page_Uninstall : page;
    for (int i = 0; i < count; i++)
    {
        const float y = 136.0f + 26.0f * i;
        if (i == current_step)
        {
            dl->AddRectFilled(ImVec2(18 * s, (y - 3) * s), ImVec2(22 * s, (y + 17) * s), white);
            dl->AddText(semibold, 15 * s, ImVec2(32 * s, y * s), white, steps[i]);
        }
        else
        {
            const ImU32 col = hc ? white : i < current_step ? alpha(white, 205) : alpha(white, 120);
            dl->AddText(current, 15 * s, ImVec2(32 * s, y * s), col, steps[i]);
        }
    }
}

void InstallerApp::DrawButtonBar(PageFrame& f, float w, float h)
{
    using namespace Layout;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const float barTop = h - BarHeight * scale;
    dl->AddRectFilled(ImVec2(0, barTop), ImVec2(w, h), f.pal.buttonBar);
    dl->AddLine(ImVec2(0, barTop), ImVec2(w, barTop), f.pal.barEdge, 1.0f);
    dl->AddLine(ImVec2(0, barTop + 1), ImVec2(w, barTop + 1), f.pal.barEdgeLight, 1.0f);

    const BarButtons bar = WizardBarButtons(*this, jobBusy.load());
    // Laid out from the right edge: a wider label pushes the buttons on its
    // left further left instead of overlapping them.
    float x[4];
    float right = w - BarRightInset * scale;
    for (int i = bar.count - 1; i >= 0; i--)
    {
        if (i < bar.count - 1)
            right -= bar.buttons[i].gapAfter * scale;
        x[i] = right - WizardButtonWidth(bar.buttons[i].spec.label, scale);
        right = x[i];
    }
    const float y = barTop + ButtonTop * scale;
    for (int i = 0; i < bar.count; i++)
        WizardButton(f, bar.buttons[i].spec, x[i], y);
}

void InstallerApp::Perform(const Control& c)
{
    if (c.disabled)
        return;
    switch (c.action)
    {
    case Action_None: break;
    case Action_GoTo: page = c.target; break;
    case Action_StartInstall: StartInstall(); break;
    case Action_StartUninstall: StartUninstall(); break;
    case Action_CancelJob: cancelRequested.store(true); break;
    case Action_Quit: quitRequested = true; break;
    case Action_Finish: FinishSetup(); break;
    case Action_TryAgain: FetchInfo(); break;
    case Action_Browse:
    {
        std::string chosen = PickFolder(window, installDir);
        if (!chosen.empty())
            installDir = chosen;
        break;
    }
    case Action_Toggle:
        if (c.flag)
            *c.flag = !*c.flag;
        break;
    }
}

void InstallerApp::Advance()
{
    CollectInfo();

    // Unattended install: start once the server check is usable, close at the end.
    if (autoMode)
    {
        // An unattended removal with nothing recorded to remove ends here: it
        // must never install instead. Nothing to do counts as done.
        if (uninstallMode && page == Page_Welcome)
            quitRequested = true;
        else if (page == Page_Welcome && infoDone && info.ok)
            StartInstall();
        else if (page == Page_Welcome && infoDone)
        {
            // Nobody is there to click "Try again": waiting would never end.
            AppendLog(*this, "FAILED: " + info.error);
            exitCode = Exit_AutoFailed;
            quitRequested = true;
        }
        if (page == Page_Progress && jobFinished.load() && !jobBusy.load())
        {
            openLauncherAtFinish = false;
            if (jobSucceeded.load())
            {
                page = Page_Finish;
                FinishSetup();
            }
            else
            {
                exitCode = Exit_AutoFailed;
                quitRequested = true;
            }
        }
    }
    if (page == Page_Progress && jobFinished.load() && !jobBusy.load() && jobSucceeded.load())
        page = Page_Finish;
    if (autoMode)
    {
        if (uninstallMode && page == Page_Uninstall)
            StartUninstall();
        if (page == Page_Removing && jobFinished.load() && !jobBusy.load())
        {
            // The caller learns from the exit code whether the removal worked.
            if (!jobSucceeded.load())
                exitCode = Exit_AutoFailed;
            quitRequested = true;
        }
    }
    if (page == Page_Removing && jobFinished.load() && !jobBusy.load() && jobSucceeded.load())
        page = Page_Removed;
}

void InstallerApp::Frame()
{
    Advance();

    ImGuiIO& io = ImGui::GetIO();
    ImGuiStyle& style = ImGui::GetStyle();
    const float w = io.DisplaySize.x;
    const float h = io.DisplaySize.y;
    scale = w / Layout::DesignWidth;
    style.FontScaleMain = scale / (style.FontScaleDpi > 0.5f ? style.FontScaleDpi : 0.5f);

    // A page starts with the focus of its own.
    if (ui.focusPage != page)
    {
        ui.focusPage = page;
        ui.focusId.clear();
        ui.focusChosen = false;
        ui.focusIsButton = false;
    }
    ui.controls.clear();
    PageFrame f{ui, scale, WrapX(w, scale), PaletteFor(systemColours)};

    ImGui::SetNextWindowPos(ImVec2(0, 0), ImGuiCond_Always);
    ImGui::SetNextWindowSize(io.DisplaySize, ImGuiCond_Always);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
    ImGui::PushStyleColor(ImGuiCol_WindowBg, f.pal.page);
    // The wizard's own keyboard handling (keyboard.cpp) moves the focus: the
    // library's navigation stays out of it.
    const ImGuiWindowFlags flags = ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
        ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoSavedSettings |
        ImGuiWindowFlags_NoBringToFrontOnFocus | ImGuiWindowFlags_NoNavInputs;
    ImGui::Begin("##installer", nullptr, flags);

    DrawSidePanel(f, h);
    switch (page)
    {
    case Page_Welcome: DrawWelcomePage(f, w, h); break;
    case Page_Location: DrawLocationPage(f, w); break;
    case Page_Ready: DrawReadyPage(f); break;
    case Page_Progress: DrawProgressPage(f); break;
    case Page_Finish: DrawFinishPage(f, h); break;
    case Page_Uninstall: DrawUninstallPage(f); break;
    case Page_Removing: DrawRemovingPage(f); break;
    case Page_Removed: DrawRemovedPage(f, h); break;
    default: break;
    }
    DrawButtonBar(f, w, h);

    ImGui::End();
    ImGui::PopStyleColor();
    ImGui::PopStyleVar();

    HandleKeys();
}

int WizardFrameWait(InstallerApp& app)
{
    // Glyphs to merge from the system's fonts: the next frame shows them.
    if (!app.ui.missingGlyphs.empty())
        return 0;
    // The moving block of the digest check is the only animation; 20 frames
    // a second move it well enough at a fraction of the display's rate (under
    // Wine each frame costs the interface thread about 10 ms).
    if (app.page == Page_Progress && app.jobBusy.load() && app.jobStage.load() == Stage_Game &&
        app.gamePhase.load() == GamePhase_Check)
        return 50;
    // Figures that move on their own: a job, a server check, a free-space query.
    if (app.jobBusy.load() || app.infoJob)
        return 100;
    // A change a screen reader is still to hear (at most once a second).
    if (app.ui.announcePending)
        return 250;
    if (app.page == Page_Location)
    {
        std::lock_guard<std::mutex> lock(app.freeSpace->mutex);
        if (app.freeSpace->running > 0 || app.freeSpace->fresh)
            return 100;
    }
    return -1;
}

TaskbarProgress WizardTaskbarProgress(const InstallerApp& app)
{
    TaskbarProgress t;
    if (app.page != Page_Progress && app.page != Page_Removing)
        return t;
    const bool busy = app.jobBusy.load();
    const bool finished = app.jobFinished.load();
    t.done = app.jobBytesDone.load();
    t.total = app.jobBytesTotal.load();
    if (finished && !app.jobSucceeded.load() && !busy)
        t.state = Taskbar_Error;
    else if (!busy)
        t.state = Taskbar_None;
    else if (app.page == Page_Progress && (app.jobStage.load() == Stage_CheckServer ||
             (app.jobStage.load() == Stage_Game && app.gamePhase.load() == GamePhase_Check)))
        t.state = Taskbar_Indeterminate;     // checking: no fraction means anything
    else if (t.total == 0)
        t.state = Taskbar_Indeterminate;
    else
        t.state = Taskbar_Normal;
    if (t.done > t.total)
        t.done = t.total;
    return t;
}

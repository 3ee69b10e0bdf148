// The wizard frame: automatic transitions, side panel, page body and button bar.
#include "wizard/page_style.h"
#include "wizard/wizard.h"

#include "install/job.h"
#include "install/log.h"
#include "package/game_job.h"
#include "state/installer_app.h"

#include <imgui.h>

#include <mutex>

BarButtons WizardBarButtons(const InstallerApp& app, bool busy)
{
    const bool failed = app.jobFinished.load() && !app.jobSucceeded.load();
    BarButtons b;
    switch (app.page)
    {
    case Page_Welcome:
        b.left = {"< Back", false, false};
        b.middle = {"Next >", app.infoDone && app.info.ok && !busy, true};
        b.right = {"Cancel", true, false};
        break;
    case Page_Location:
        b.left = {"< Back", !busy, false};
        b.middle = {"Next >", app.locationValid && !busy, true};
        b.right = {"Cancel", true, false};
        break;
    case Page_Ready:
        b.left = {"< Back", !busy, false};
        b.middle = {"Install", !busy, true};
        b.right = {"Cancel", true, false};
        break;
    case Page_Progress:
        if (failed)
        {
            b.left = {"< Back", !busy, false};
            b.middle = {"Retry", !busy, true};
            b.right = {"Cancel", true, false};
        }
        else
        {
            b.left = {"< Back", false, false};
            b.middle = {"Next >", false, true};
            // One click is enough: the button rests while the cancel is under way.
            b.right = {"Cancel", busy && !app.cancelRequested.load(), false};
        }
        break;
    case Page_Uninstall:
        b.left = {"< Back", !busy && !app.uninstallMode, false};
        b.middle = {"Uninstall", !busy && app.existingInstall, true};
        b.right = {"Cancel", !busy, false};
        break;
    case Page_Removing:
        b.left = {"< Back", false, false};
        if (failed)
            b.middle = {"Retry", !busy, true};
        else
            b.middle = {"Uninstall", !busy && app.existingInstall, true};
        b.right = {"Cancel", !busy, false};
        break;
    default:    // both Finished pages
        b.right = {"Finish", true, true};
        break;
    }
    return b;
}

void InstallerApp::DrawSidePanel(float h)
{
    const float s = scale;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    ImFont* current = ImGui::GetFont();
    ImFont* semibold = g_semiboldFont ? g_semiboldFont : current;
    ImFont* light = g_lightFont ? g_lightFont : current;

    dl->AddRectFilledMultiColor(ImVec2(0, 0), ImVec2(178 * s, h - 58 * s),
                                IM_COL32(238, 0, 238, 255), IM_COL32(20, 0, 250, 255),
                                IM_COL32(120, 0, 190, 255), IM_COL32(8, 0, 170, 255));
    // 46 units high, or smaller where the font at hand (a stand-in for
    // Segoe UI Semibold) would run past the panel's edge.
    float titleSize = 46 * s;
    const float titleWidth = semibold->CalcTextSizeA(titleSize, FLT_MAX, 0.0f, "OSTREL").x;
    const float room = (178 - 24 - 10) * s;
    if (titleWidth > room)
        titleSize *= room / titleWidth;
    dl->AddText(semibold, titleSize, ImVec2(24 * s, 30 * s), IM_COL32(255, 255, 255, 255), "OSTREL");
    dl->AddText(light, 18 * s, ImVec2(28 * s, 88 * s), IM_COL32(255, 255, 255, 230), "Setup");
    dl->AddLine(ImVec2(28 * s, 118 * s), ImVec2((178 - 28) * s, 118 * s), IM_COL32(255, 255, 255, 110), 1.0f);

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
            dl->AddRectFilled(ImVec2(18 * s, (y - 3) * s), ImVec2(22 * s, (y + 17) * s), IM_COL32(255, 255, 255, 255));
            dl->AddText(semibold, 15 * s, ImVec2(32 * s, y * s), IM_COL32(255, 255, 255, 255), steps[i]);
        }
        else
        {
            const ImU32 col = i < current_step ? IM_COL32(255, 255, 255, 205) : IM_COL32(255, 255, 255, 120);
            dl->AddText(current, 15 * s, ImVec2(32 * s, y * s), col, steps[i]);
        }
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
    scale = w / 640.0f;
    style.FontScaleMain = scale / (style.FontScaleDpi > 0.5f ? style.FontScaleDpi : 0.5f);

    ImGui::SetNextWindowPos(ImVec2(0, 0), ImGuiCond_Always);
    ImGui::SetNextWindowSize(io.DisplaySize, ImGuiCond_Always);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
    ImGui::PushStyleColor(ImGuiCol_WindowBg, IM_COL32(255, 255, 255, 255));
    const ImGuiWindowFlags flags = ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
        ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoSavedSettings |
        ImGuiWindowFlags_NoBringToFrontOnFocus;
    ImGui::Begin("##installer", nullptr, flags);

    DrawSidePanel(h);
    switch (page)
    {
    case Page_Welcome: DrawWelcomePage(w, h); break;
    case Page_Location: DrawLocationPage(w); break;
    case Page_Ready: DrawReadyPage(w); break;
    case Page_Progress: DrawProgressPage(w); break;
    case Page_Finish: DrawFinishPage(w, h); break;
    case Page_Uninstall: DrawUninstallPage(w); break;
    case Page_Removing: DrawRemovingPage(w); break;
    case Page_Removed: DrawRemovedPage(w, h); break;
    default: break;
    }

    ImDrawList* dl = ImGui::GetWindowDrawList();
    const float barTop = h - 58 * scale;
    dl->AddRectFilled(ImVec2(0, barTop), ImVec2(w, h), IM_COL32(240, 240, 240, 255));
    dl->AddLine(ImVec2(0, barTop), ImVec2(w, barTop), IM_COL32(160, 160, 160, 255), 1.0f);
    dl->AddLine(ImVec2(0, barTop + 1), ImVec2(w, barTop + 1), IM_COL32(255, 255, 255, 255), 1.0f);

    const bool busy = jobBusy.load();
    const BarButtons bar = WizardBarButtons(*this, busy);
    const float y = barTop + 15 * scale;
    const int shownPage = page;     // a click below may change the page
    // Laid out from the right edge: 88-unit slots, 8 units between the middle
    // and the rightmost, 18 before the middle; a wider label pushes its
    // neighbours left instead of overlapping them.
    const float rightW = bar.right.label ? WizardButtonWidth(bar.right.label, scale) : 88 * scale;
    const float middleW = bar.middle.label ? WizardButtonWidth(bar.middle.label, scale) : 88 * scale;
    const float leftW = bar.left.label ? WizardButtonWidth(bar.left.label, scale) : 88 * scale;
    const float rightX = w - 14 * scale - rightW;
    const float middleX = rightX - 8 * scale - middleW;
    const float leftX = middleX - 18 * scale - leftW;
    if (bar.left.label && WizardButton(bar.left.label, leftX, y, scale, bar.left.enabled, bar.left.isDefault))
        page = shownPage == Page_Location ? Page_Welcome : shownPage == Page_Uninstall ? Page_Welcome : Page_Location;
    if (bar.middle.label && WizardButton(bar.middle.label, middleX, y, scale, bar.middle.enabled, bar.middle.isDefault))
    {
        if (shownPage == Page_Welcome)
            page = Page_Location;
        else if (shownPage == Page_Location)
            page = Page_Ready;
        else if (shownPage == Page_Ready || shownPage == Page_Progress)
            StartInstall();
        else if (shownPage == Page_Uninstall || shownPage == Page_Removing)
            StartUninstall();
    }
    if (bar.right.label && WizardButton(bar.right.label, rightX, y, scale, bar.right.enabled, bar.right.isDefault))
    {
        if (shownPage == Page_Finish)
            FinishSetup();
        else if (shownPage >= Page_Uninstall)
            quitRequested = true;
        else if (busy)
            cancelRequested.store(true);
        else
            quitRequested = true;
    }

    ImGui::End();
    ImGui::PopStyleColor();
    ImGui::PopStyleVar();
}

int WizardFrameWait(InstallerApp& app)
{
    // The moving block of the digest check is the only animation; 20 frames
    // a second move it well enough at a fraction of the display's rate (under
    // Wine each frame costs the interface thread about 10 ms).
    if (app.page == Page_Progress && app.jobBusy.load() && app.jobStage.load() == Stage_Game &&
        app.gamePhase.load() == GamePhase_Check)
        return 50;
    // Figures that move on their own: a job, a server check, a free-space query.
    if (app.jobBusy.load() || app.infoJob)
        return 100;
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

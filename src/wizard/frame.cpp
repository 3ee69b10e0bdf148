// The wizard frame: automatic transitions, side panel, page body and button bar.
#include "wizard/page_style.h"
#include "wizard/wizard.h"

#include "install/log.h"
#include "state/installer_app.h"

#include <imgui.h>

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

bool InstallerApp::WizardButton(const char* label, float x, float y, bool enabled, bool isDefault)
{
    ImGui::SetCursorScreenPos(ImVec2(x, y));
    ImGui::PushStyleColor(ImGuiCol_Button, enabled ? Col_ButtonFace : IM_COL32(240, 240, 240, 255));
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, Col_ButtonHovered);
    ImGui::PushStyleColor(ImGuiCol_ButtonActive, Col_ButtonPressed);
    ImGui::PushStyleColor(ImGuiCol_Text, enabled ? Col_Black : IM_COL32(140, 140, 140, 255));
    const bool strong = isDefault && enabled;
    ImGui::PushStyleColor(ImGuiCol_Border, strong ? IM_COL32(0, 120, 215, 255) : Col_ButtonBorder);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, strong ? 2.0f : 1.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 0.0f);
    ImGui::BeginDisabled(!enabled);
    bool clicked = ImGui::Button(label, ImVec2(88 * scale, 28 * scale));
    ImGui::EndDisabled();
    ImGui::PopStyleVar(2);
    ImGui::PopStyleColor(5);
    return clicked && enabled;
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
    dl->AddText(semibold, 46 * s, ImVec2(24 * s, 30 * s), IM_COL32(255, 255, 255, 255), "OSTREL");
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

void InstallerApp::Frame()
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
    const float right = w - 14 * scale;
    const float y = barTop + 15 * scale;
    const int shownPage = page;     // a click below may change the page
    if (bar.left.label && WizardButton(bar.left.label, right - 3 * 88 * scale - 26 * scale, y, bar.left.enabled, bar.left.isDefault))
        page = shownPage == Page_Location ? Page_Welcome : shownPage == Page_Uninstall ? Page_Welcome : Page_Location;
    if (bar.middle.label && WizardButton(bar.middle.label, right - 2 * 88 * scale - 8 * scale, y, bar.middle.enabled, bar.middle.isDefault))
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
    if (bar.right.label && WizardButton(bar.right.label, right - 88 * scale, y, bar.right.enabled, bar.right.isDefault))
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

#include "wizard/page_style.h"
#include "wizard/wizard.h"

#include "install/job.h"
#include "state/installer_app.h"

#include <imgui.h>

#include <mutex>

void InstallerApp::DrawUninstallPage(float w)
{
    const float s = scale;
    const float wrap = w - 30 * s;

    PagePos(208, 34, s);
    PageTitle("Uninstall Ostrel", 20, false, s, wrap);

    ImGui::PushTextWrapPos(wrap);
    if (existingInstall)
    {
        PagePos(208, 74, s);
        PageText(Col_Black, "This removes the Ostrel launcher and the game from:");
        PagePos(222, 100, s);
        PageText(Col_Black, "%s", existingInstallDir.c_str());
        PagePos(208, 146, s);
        PageText(Col_Grey, "Close the Ostrel launcher and the game first. Only the files this setup installed are deleted.");
    }
    else
    {
        PagePos(208, 74, s);
        PageText(Col_Grey, "Ostrel isn't installed by this setup on this computer.");
    }
    ImGui::PopTextWrapPos();

    if (existingInstall)
    {
        PushCheckboxStyle();
        PageCheckbox("Also delete my launcher settings and sign-in", 208, 210, s, &removeLauncherData, wrap);
        PopCheckboxStyle();
    }
}

void InstallerApp::DrawRemovingPage(float w)
{
    const float s = scale;
    const float wrap = w - 30 * s;

    const auto [stage, busy, finished, error, status] = SnapshotJob(*this);

    PagePos(208, 34, s);
    PageTitle(finished && !jobSucceeded.load() ? "Uninstall did not finish" : "Removing Ostrel", 20, false, s, wrap);

    static const char* const labels[3] = {"Removing the game", "Removing the launcher and shortcuts", "Cleaning up settings"};
    DrawStepList(labels, 3, stage, busy, finished, jobSucceeded.load(), s);

    const uint64_t done = jobBytesDone.load();
    const uint64_t total = jobBytesTotal.load();
    float fraction = total != 0 ? (float)done / (float)total : 0.0f;
    if (stage >= UninstallStage_Launcher || (finished && jobSucceeded.load()))
        fraction = 1.0f;
    DrawProgressBar(172, fraction, false, w, s);

    PagePos(208, 200, s);
    ImGui::PushTextWrapPos(wrap);
    if (!error.empty())
        PageText(Col_Red, "%s", error.c_str());
    else
        PageText(Col_Grey, "%s", status.c_str());
    ImGui::PopTextWrapPos();
}

void InstallerApp::DrawRemovedPage(float w, float h)
{
    const float s = scale;
    const float wrap = w - 30 * s;

    PagePos(208, 34, s);
    PageTitle("Ostrel has been removed", 22, false, s, wrap);

    std::string notes;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        notes = jobNotes;
    }
    PagePos(208, 94, s);
    ImGui::PushTextWrapPos(wrap);
    if (notes.empty())
        PageText(Col_Black, "The launcher, the game and the shortcuts were deleted. You can install Ostrel again any time by running this setup.");
    else
        PageText(Col_Black, "Ostrel was removed, but some things were kept:\n%s", notes.c_str());
    ImGui::PopTextWrapPos();

    ImGui::SetCursorScreenPos(ImVec2(208 * s, h - 104 * s));
    PageText(Col_Black, "Click Finish to close Setup.");
}

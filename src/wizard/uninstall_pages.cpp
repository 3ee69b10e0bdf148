#include "wizard/wizard.h"

#include "install/job.h"
#include "state/installer_app.h"

#include <imgui.h>

#include <mutex>

void InstallerApp::DrawUninstallPage(PageFrame& f)
{
    using namespace Layout;
    PageTitle(f, "Uninstall Ostrel", 20, false);

    if (existingInstall)
    {
        PageText(f, f.At(ContentX, 74), f.pal.text, "This removes the Ostrel launcher and the game from:");
        PageText(f, f.At(IndentX, 100), f.pal.text, existingInstallDir);
        PageText(f, f.At(ContentX, 146), f.pal.grey,
                 "Close the Ostrel launcher and the game first. Only the files this setup installed are deleted.");
        PageCheckbox(f, "Also &delete my launcher settings and sign-in", f.At(ContentX, 210), &removeLauncherData);
    }
    else
    {
        PageText(f, f.At(ContentX, 74), f.pal.grey, "Ostrel isn't installed by this setup on this computer.");
    }
}

void InstallerApp::DrawRemovingPage(PageFrame& f)
{
    using namespace Layout;
    const auto [stage, busy, finished, error, status] = SnapshotJob(*this);

    PageTitle(f, finished && !jobSucceeded.load() ? "Uninstall did not finish" : "Removing Ostrel", 20, false);

    static const char* const labels[3] = {"Removing the game", "Removing the launcher and shortcuts", "Cleaning up settings"};
    DrawStepList(f, labels, 3, stage, busy, finished, jobSucceeded.load());

    const uint64_t done = jobBytesDone.load();
    const uint64_t total = jobBytesTotal.load();
    float fraction = total != 0 ? (float)done / (float)total : 0.0f;
    if (stage >= UninstallStage_Launcher || (finished && jobSucceeded.load()))
        fraction = 1.0f;
    DrawProgressBar(f, 172, fraction, false);

    const ImVec2 at = f.At(ContentX, 200);
    if (!error.empty())
        PageText(f, at, f.pal.red, error, true, Role_Alert);
    else
        PageStatus(f, at, f.pal.grey, status);
}

void InstallerApp::DrawRemovedPage(PageFrame& f, float h)
{
    using namespace Layout;
    PageTitle(f, "Ostrel has been removed", 22, false);

    std::string notes;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        notes = jobNotes;
    }
    PageText(f, f.At(ContentX, 94), f.pal.text, notes.empty()
        ? std::string("The launcher, the game and the shortcuts were deleted. You can install Ostrel again any time by running this setup.")
        : "Ostrel was removed, but some things were kept:\n" + notes);

    PageText(f, ImVec2(ContentX * scale, h - HintAbove * scale), f.pal.text, "Click Finish to close Setup.", false);
}

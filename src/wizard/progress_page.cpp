#include "wizard/wizard.h"

#include "install/job.h"
#include "package/game_job.h"
#include "state/installer_app.h"
#include "util/text.h"

#include <imgui.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

static double SteadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SampleSpeed(uint64_t done, double now, uint64_t& lastBytes, double& lastTime, double& bytesPerSec, int& samples)
{
    if (now - lastTime < 0.5)
        return;
    // The first sample after a reset only records; so does a counter that went
    // backwards (the game download starting after the launcher's). Either
    // starts the count of samples that make the speed steady again.
    if (lastTime > 0 && done >= lastBytes)
    {
        bytesPerSec = 0.5 * (double)(done - lastBytes) / (now - lastTime) + 0.5 * bytesPerSec;
        samples++;
    }
    else
        samples = 0;
    lastBytes = done;
    lastTime = now;
}

std::string TimeLeftText(uint64_t left, double bytesPerSec)
{
    if (bytesPerSec <= 0)
        return std::string();
    // Coarse steps, rounded up: a figure that changes every second reads as noise.
    const double seconds = (double)left / bytesPerSec;
    if (seconds < 60)
        return "less than a minute left";
    char buf[48];
    const double minutes = std::ceil(seconds / 60);
    if (minutes < 60)
        snprintf(buf, sizeof(buf), "about %.0f min left", minutes);
    else if (minutes < 48 * 60)
    {
        const int h = (int)(minutes / 60), m = (int)minutes % 60;
        if (m == 0)
            snprintf(buf, sizeof(buf), "about %d h left", h);
        else
            snprintf(buf, sizeof(buf), "about %d h %d min left", h, m);
    }
    else
        snprintf(buf, sizeof(buf), "more than 2 days left");
    return buf;
}

std::string InstallStatusLine(const std::string& status, int stage, bool busy, uint32_t phase,
                              uint64_t done, uint64_t total, double bytesPerSec, bool steady)
{
    std::string line = status;
    if (busy && stage == Stage_Game)
    {
        if (phase == GamePhase_Check)
            line = "Step 2 of 3 - Checking the download...";
        else if (phase == GamePhase_Unpack)
            line = "Step 3 of 3 - Unpacking the game...";
        else if (phase == GamePhase_Wait)
            line = status;  // the worker's "trying again in N s" sentence
        else
            line = "Step 1 of 3 - Downloading the game...";
        if (total != 0 && phase != GamePhase_Check)
        {
            char buf[64];
            snprintf(buf, sizeof(buf), "   %s of %s  (%d%%)", FormatSize(done).c_str(), FormatSize(total).c_str(),
                     (int)(done * 100.0 / total));
            line += buf;
        }
        if (phase == GamePhase_Download && bytesPerSec > 1024)
        {
            char buf[48];
            snprintf(buf, sizeof(buf), "   %.1f MB/s", bytesPerSec / 1048576.0);
            line += buf;
            // Only once the speed has settled, or the first guess is wild.
            if (steady && total > done)
                line += ", " + TimeLeftText(total - done, bytesPerSec);
        }
    }
    else if (busy && stage == Stage_Launcher && total != 0)
    {
        line += "  " + FormatSize(done) + " of " + FormatSize(total);
    }
    return line;
}

JobSnapshot SnapshotJob(InstallerApp& app)
{
    JobSnapshot job;
    job.stage = app.jobStage.load();
    job.busy = app.jobBusy.load();
    job.finished = app.jobFinished.load();
    std::lock_guard<std::mutex> lock(app.jobMutex);
    job.error = app.errorText;
    job.status = app.statusText;
    return job;
}

void InstallerApp::DrawProgressPage(PageFrame& f)
{
    using namespace Layout;
    const auto [stage, busy, finished, error, status] = SnapshotJob(*this);

    PageTitle(f, finished && !jobSucceeded.load() ? "Setup did not finish" : "Installing Ostrel", 20, false);

    const char* labels[5] = {"Checking the server", "Downloading the launcher",
                             includeGame ? "Downloading, checking and unpacking the game" : "Game skipped",
                             includeGame ? "Linking the game to the launcher" : "Nothing to link", "Making shortcuts"};
    DrawStepList(f, labels, 5, stage, busy, finished, jobSucceeded.load());

    const uint64_t done = jobBytesDone.load();
    const uint64_t total = jobBytesTotal.load();
    SampleSpeed(done, SteadySeconds(), speedLastBytes, speedLastTime, speedBytesPerSec, speedSamples);

    const uint32_t phase = gamePhase.load();
    float fraction = total != 0 ? (float)done / (float)total : 0.0f;
    // The unpack counts only what the download did not leave unpacked
    // already: nothing left is a full bar, not an empty one.
    if ((finished && jobSucceeded.load()) || (busy && stage == Stage_Game && phase == GamePhase_Unpack && total == 0))
        fraction = 1.0f;
    DrawProgressBar(f, 220, fraction, busy && stage == Stage_Game && phase == GamePhase_Check);

    const ImVec2 at = f.At(ContentX, 248);
    if (!error.empty())
        PageText(f, at, f.pal.red, error, true, Role_Alert);
    else if (busy && cancelRequested.load())
        PageStatus(f, at, f.pal.grey, "Cancelling...");
    else
        PageStatus(f, at, f.pal.grey, InstallStatusLine(status, stage, busy, phase, done, total, speedBytesPerSec,
                                                         speedSamples >= kSteadySpeedSamples));
    DrawProxySignIn(f, error, 292);
}

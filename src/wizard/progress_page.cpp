#include "wizard/page_style.h"
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

StepMark StepMarkFor(int index, int stage, bool busy, bool finished, bool succeeded)
{
    if (index < stage || (finished && succeeded))
        return Step_Done;
    if (index == stage && busy)
        return Step_Current;
    return Step_Pending;
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

void DrawStepList(const char* const* labels, int count, int stage, bool busy, bool finished, bool succeeded,
                  float scale)
{
    for (int i = 0; i < count; i++)
    {
        const StepMark mark = StepMarkFor(i, stage, busy, finished, succeeded);
        const char* text = mark == Step_Done ? "[x]" : mark == Step_Current ? "[>]" : "[ ]";
        const ImU32 col = mark == Step_Done ? Col_StepDone : mark == Step_Current ? Col_Black : Col_Grey;
        // The labels start at one column whatever the mark's width: in a
        // proportional font "[ ]" is narrower than "[x]". The log (what the
        // tests read) keeps the line as one text.
        PagePos(208, 80.0f + 24.0f * i, scale);
        const ImVec2 at = ImGui::GetCursorScreenPos();
        const float column = ImGui::CalcTextSize("[x]").x + ImGui::CalcTextSize("  ").x;
        ImDrawList* dl = ImGui::GetWindowDrawList();
        dl->AddText(at, col, text);
        dl->AddText(ImVec2(at.x + column, at.y), col, labels[i]);
        ImGui::Dummy(ImVec2(column + ImGui::CalcTextSize(labels[i]).x, ImGui::GetTextLineHeight()));
        ImGui::LogText("\n%s  %s", text, labels[i]);
    }
}

void DrawProgressBar(float y0, float fraction, bool moving, float w, float scale)
{
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const float x0 = 208 * scale;
    const float x1 = w - 30 * scale;
    const float top = y0 * scale;
    const float bottom = (y0 + 18) * scale;
    const float inner = (x1 - x0) - 2;
    dl->AddRectFilled(ImVec2(x0, top), ImVec2(x1, bottom), Col_BarBackground);
    if (moving)
    {
        const float block = inner * 0.25f;
        const float p = (float)std::fmod(SteadySeconds() * 0.6, 1.0);
        const float bx = x0 + 1 + p * (inner - block);
        dl->AddRectFilled(ImVec2(bx, top + 1), ImVec2(bx + block, bottom - 1), Col_BarFill);
    }
    else if (fraction > 0)
    {
        dl->AddRectFilled(ImVec2(x0 + 1, top + 1), ImVec2(x0 + 1 + inner * std::min(fraction, 1.0f), bottom - 1), Col_BarFill);
    }
    dl->AddRect(ImVec2(x0, top), ImVec2(x1, bottom), Col_BarBorder, 0.0f, 0, 1.0f);
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

void InstallerApp::DrawProgressPage(float w)
{
    const float s = scale;
    const float wrap = w - 30 * s;

    const auto [stage, busy, finished, error, status] = SnapshotJob(*this);

    PagePos(208, 34, s);
    PageTitle(finished && !jobSucceeded.load() ? "Setup did not finish" : "Installing Ostrel", 20, false, s, wrap);

    const char* labels[5] = {"Checking the server", "Downloading the launcher",
                             includeGame ? "Downloading, checking and unpacking the game" : "Game skipped",
                             includeGame ? "Linking the game to the launcher" : "Nothing to link", "Making shortcuts"};
    DrawStepList(labels, 5, stage, busy, finished, jobSucceeded.load(), s);

    const uint64_t done = jobBytesDone.load();
    const uint64_t total = jobBytesTotal.load();
    SampleSpeed(done, SteadySeconds(), speedLastBytes, speedLastTime, speedBytesPerSec, speedSamples);

    float fraction = total != 0 ? (float)done / (float)total : 0.0f;
    if (finished && jobSucceeded.load())
        fraction = 1.0f;
    const uint32_t phase = gamePhase.load();
    DrawProgressBar(220, fraction, busy && stage == Stage_Game && phase == GamePhase_Check, w, s);

    PagePos(208, 248, s);
    ImGui::PushTextWrapPos(wrap);
    if (!error.empty())
        PageText(Col_Red, "%s", error.c_str());
    else if (busy && cancelRequested.load())
        PageText(Col_Grey, "%s", "Cancelling...");
    else
        PageText(Col_Grey, "%s", InstallStatusLine(status, stage, busy, phase, done, total, speedBytesPerSec,
                                                           speedSamples >= kSteadySpeedSamples).c_str());
    ImGui::PopTextWrapPos();
    DrawProxySignIn(error, 292);
}

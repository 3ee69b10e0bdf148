// The wizard's decisions as small functions, shared by the frame and the pages,
// and the pieces two pages draw alike.
#pragma once
#include "wizard/page_style.h"

#include <windows.h>

#include <cstdint>
#include <string>

class InstallerApp;
struct InstallInfo;

// The bottom bar of a page, one table per page: its buttons from left to
// right, each with its label (and access key), whether it is enabled,
// whether Enter or Esc presses it, and what it does. The bar is laid out from
// its right edge; gapAfter is the space to the next button, in layout units.
struct BarButton
{
    ButtonSpec spec;
    float      gapAfter = Layout::ButtonGap;
};
struct BarButtons
{
    BarButton buttons[4];
    int       count = 0;
    void Add(const ButtonSpec& spec, float gapAfter = Layout::ButtonGap);
    // The button whose name (label without '&') is given; null when none.
    const ButtonSpec* Find(const char* name) const;
};

// The bar of the current page; busy is jobBusy as read once for the frame.
BarButtons WizardBarButtons(const InstallerApp& app, bool busy);

// Location page: bytes the install needs (64 MiB margin included), whether the
// drive offers them (0 free = unknown, never blocks), and the figures line.
bool SpaceEnough(uint64_t freeBytes, uint64_t needed);
// checking: the free space is still being asked ("checking...").
std::string SpaceLine(uint64_t needed, uint64_t freeBytes, bool checking = false);
// Ready page: "Shortcuts: ..." line.
std::string ShortcutsLine(bool desktop, bool startMenu);

// The progress page's speed estimate, sampled every drawn frame (now in
// seconds); samples counts the speed samples since the counter last started.
void SampleSpeed(uint64_t done, double now, uint64_t& lastBytes, double& lastTime, double& bytesPerSec, int& samples);
// Samples (half a second apart) before the speed counts as steady: only then
// is a time estimate shown.
constexpr int kSteadySpeedSamples = 6;
// "about 3 min left" for `left` bytes at this speed; empty without a speed.
std::string TimeLeftText(uint64_t left, double bytesPerSec);
// The progress page's status line from the worker's sentence and counters;
// steady adds the time estimate beside the download speed.
std::string InstallStatusLine(const std::string& status, int stage, bool busy, uint32_t phase,
                              uint64_t done, uint64_t total, double bytesPerSec, bool steady = false);

// What the progress pages read of the job block once per frame: the three
// numbers without the lock, the two sentences copied under it.
struct JobSnapshot
{
    int         stage = 0;
    bool        busy = false;
    bool        finished = false;
    std::string error;
    std::string status;
};
JobSnapshot SnapshotJob(InstallerApp& app);

// How long the frame loop may wait for an event before the wizard wants its
// next frame, in milliseconds: a short time while an animation runs, 100
// while figures move on their own (a job, a server check, a free-space
// query), -1 when only an event can change what the page shows.
int WizardFrameWait(InstallerApp& app);

// The install's progress on the taskbar button.
enum TaskbarState
{
    Taskbar_None,           // cleared: no job on screen, or it ended well
    Taskbar_Normal,         // downloading, unpacking, removing: done of total
    Taskbar_Indeterminate,  // checking, or no total known
    Taskbar_Error,          // the job failed
};
struct TaskbarProgress
{
    TaskbarState state = Taskbar_None;
    uint64_t     done = 0;
    uint64_t     total = 0;
};
TaskbarProgress WizardTaskbarProgress(const InstallerApp& app);

// The shell's folder picker; empty when cancelled or when it cannot be shown.
std::string PickFolder(HWND owner, const std::string& current);

// The one object that holds everything the wizard knows, and the job block it
// shares with the install and uninstall workers.
#pragma once
#include "net/net_job.h"
#include "state/install_document.h"
#include "state/installed_layout.h"
#include "util/free_space.h"
#include "wizard/controls.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Wizard pages.
enum
{
    Page_Welcome = 0,
    Page_Location = 1,
    Page_Ready = 2,
    Page_Progress = 3,
    Page_Finish = 4,
    Page_Uninstall = 5,
    Page_Removing = 6,
    Page_Removed = 7,
};

// Exit codes of the process.
enum
{
    Exit_Ok = 0,
    Exit_GraphicsFailed = 1,
    Exit_AutoFailed = 2,    // an unattended install or removal did not succeed
};

struct PageFrame;

class InstallerApp
{
public:
    InstallerApp() = default;
    InstallerApp(const InstallerApp&) = delete;
    InstallerApp& operator=(const InstallerApp&) = delete;

    HWND        window = nullptr;
    float       scale = 1.0f;
    bool        quitRequested = false;
    bool        autoMode = false;
    std::string serverUrl;
    std::string dataDir;
    int         page = Page_Welcome;
    std::shared_ptr<NetJob> infoJob;
    InstallInfo info;
    bool        infoDone = false;
    std::string installDir;
    std::shared_ptr<FreeSpaceCache> freeSpace = std::make_shared<FreeSpaceCache>();
    bool        desktopShortcut = true;
    bool        startMenuShortcut = true;
    bool        openLauncherAtFinish = true;
    bool        locationValid = false;
    bool        removeLauncherData = false;
    bool        uninstallMode = false;
    bool        includeGame = true;
    bool        existingInstall = false;
    std::string existingInstallDir;
    std::string existingGameDir;
    std::string existingGameExe;            // the rest of the install record (state/install_record.h)
    bool        existingGameDirCreated = false;
    bool        existingRecordComplete = false;
    // The proxy's user name and password when it asks for them; typed on
    // the page that shows the failure, kept in memory only.
    ProxySignIn proxySignIn;

    // Job block: shared with the worker threads (see install/job.h for the rules).
    std::atomic<int32_t>  jobStage{0};
    std::atomic<uint64_t> jobBytesDone{0};
    std::atomic<uint64_t> jobBytesTotal{0};
    std::atomic<uint32_t> gamePhase{0};
    std::atomic<bool>     jobBusy{false};
    std::atomic<bool>     jobFinished{false};
    std::atomic<bool>     jobSucceeded{false};
    std::atomic<bool>     cancelRequested{false};
    std::mutex            jobMutex;     // guards the strings below
    std::string           errorText;
    std::string           statusText;
    std::string           gameDirResult;
    std::string           launcherPathResult;
    // What a job that succeeded still skipped or kept, one sentence per line,
    // for the Finish and Removed pages.
    std::string           jobNotes;
    // Set by a removal run from the setup copy: the cmd.exe parameters that
    // delete the copy and the install folder once this process has ended.
    std::wstring          selfRemoval;
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    uint64_t              speedLastBytes = 0;
    double                speedLastTime = 0.0;
    double                speedBytesPerSec = 0.0;
    int                   speedSamples = 0;     // restarts with the first sample after a reset

    // Not on the command line: "https://" + the download host built into the
    // program. Tests point it at a local server.
    std::string downloadUrl = "https://" OSTREL_DOWNLOAD_HOST;
    // Public keys the install information must be signed with (base64 points,
    // state/document_signature.h); none: no signature is fetched or checked.
    // The entry point sets the build's own; tests choose theirs.
    std::vector<std::string> signingKeys;
    // What the process returns; set when an unattended run ends (Exit_*).
    int         exitCode = Exit_Ok;
    // The page's controls as the last frame drew them, the focus, and what
    // screen readers were told (wizard/controls.h).
    WizardUi    ui;
    // The system's colours; high contrast switches the palette.
    SystemColours systemColours;

    // state/init.cpp
    void Init(HWND wnd, const std::string& server, const std::string& data, const std::string& dir);
    // state/server_check.cpp
    void FetchInfo();
    void CollectInfo();
    // wizard/frame.cpp
    // Collects the server check and applies the automatic transitions (a job
    // that ended, --auto); Frame starts with it, and the frame loop calls it
    // alone while nothing can be seen (minimised, occluded).
    void Advance();
    void Frame();
    void DrawSidePanel(PageFrame& f, float h);
    void DrawButtonBar(PageFrame& f, float w, float h);
    // What a button, a box or the keyboard asked for (Control::action).
    void Perform(const Control& c);
    // wizard/keyboard.cpp: Tab, Enter, Esc, Space and access keys, and what
    // a screen reader asked for, against the frame's controls.
    void HandleKeys();
    // wizard/*_page.cpp
    void DrawWelcomePage(PageFrame& f, float w, float h);
    void DrawLocationPage(PageFrame& f, float w);
    void DrawReadyPage(PageFrame& f);
    void DrawProgressPage(PageFrame& f);
    void DrawFinishPage(PageFrame& f, float h);
    void DrawUninstallPage(PageFrame& f);
    void DrawRemovingPage(PageFrame& f);
    void DrawRemovedPage(PageFrame& f, float h);
    // wizard/proxy_sign_in.cpp: the two fields of a failure that asks for
    // them, labels at y and fields kProxySignInFieldsBelow lower (layout
    // units), from the content column; returns the width they take with the
    // gap after them, where the page's button may go, and 0 when not shown.
    float DrawProxySignIn(PageFrame& f, const std::string& failure, float y);
    // What the requests of a check or an install answer a proxy's sign-in with.
    ProxySignIn ProxySignInForRequests() const;
    void FinishSetup();
    // install/job.cpp
    void StartInstall();
    void StartUninstall();
    void SetStatus(int stage, const std::string& text);
    void Succeed();
    void Fail(const std::string& message);
    void FailUninstall(const std::string& message);
    // uninstall/uninstall_sequence.cpp: the last act of the process.
    void StartSelfRemoval();
    // Shutdown: the object may be destroyed only once no worker can write into it.
    void WaitForWorkerOrExit(int exitCode);
};

constexpr float kProxySignInFieldsBelow = 17;

// "C:\Ostrel" on the fixed drive with the most free space.
std::string DefaultInstallDir();
// The --dir value as a full path: a relative one is resolved against the
// current folder at start-up; a full one is kept exactly as given.
std::string FullInstallDir(const std::string& dir);


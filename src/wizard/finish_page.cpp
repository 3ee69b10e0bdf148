#include "wizard/page_style.h"

#include "state/installer_app.h"
#include "util/text.h"

#include <imgui.h>
#include <shellapi.h>

#include <filesystem>
#include <mutex>

void InstallerApp::DrawFinishPage(PageFrame& f, float h)
{
    using namespace Layout;
    std::string gameDir, notes;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        gameDir = gameDirResult;
        notes = jobNotes;
    }

    PageTitle(f, "Completing the Ostrel Setup Wizard", 22, true);
    PageText(f, f.At(ContentX, 112), f.pal.text, gameDir.empty()
        ? "The Ostrel launcher is installed. Open it and pick your Playden July 2024 folder in Settings "
          "(or press Find it for me), then sign in and press PLAY."
        : "Ostrel has been installed and the game is linked to the launcher. Open the launcher, sign in and press PLAY.");
    if (!gameDir.empty())
    {
        PageText(f, f.At(ContentX, 174), f.pal.grey, "Game folder:", false);
        PageText(f, f.At(IndentX, 196), f.pal.text, gameDir);
    }

    PageCheckbox(f, "&Open the Ostrel launcher now", f.At(ContentX, 254), &openLauncherAtFinish);

    if (!notes.empty())
        PageText(f, f.At(ContentX, 292), f.pal.text, notes);

    PageText(f, ImVec2(ContentX * scale, h - HintAbove * scale), f.pal.text, "Click Finish to close Setup.", false);
}

void InstallerApp::FinishSetup()
{
    if (page == Page_Finish && jobSucceeded.load() && openLauncherAtFinish)
    {
        std::string launcher;
        {
            std::lock_guard<std::mutex> lock(jobMutex);
            launcher = launcherPathResult;
        }
        if (!launcher.empty())
        {
            // The launcher finds its files relative to the working folder.
            std::wstring path = Utf8ToWide(launcher);
            std::wstring folder = std::filesystem::path(path).parent_path().wstring();
            ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
        }
    }
    quitRequested = true;
}

#include "wizard/page_style.h"

#include "state/installer_app.h"
#include "util/text.h"

#include <imgui.h>
#include <shellapi.h>

#include <filesystem>
#include <mutex>

void InstallerApp::DrawFinishPage(float w, float h)
{
    const float s = scale;
    const float wrap = w - 30 * s;
    std::string gameDir, notes;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        gameDir = gameDirResult;
        notes = jobNotes;
    }

    PagePos(208, 34, s);
    PageTitle("Completing the Ostrel Setup Wizard", 22, true, s, wrap);

    PagePos(208, 112, s);
    ImGui::PushTextWrapPos(wrap);
    PageText(Col_Black, "%s", gameDir.empty()
        ? "The Ostrel launcher is installed. Open it and pick your Playden July 2024 folder in Settings "
          "(or press Find it for me), then sign in and press PLAY."
        : "Ostrel has been installed and the game is linked to the launcher. Open the launcher, sign in and press PLAY.");
    ImGui::PopTextWrapPos();

    PagePos(208, 174, s);
    PageText(Col_Grey, "%s", gameDir.empty() ? "" : "Game folder:");
    PagePos(222, 196, s);
    ImGui::PushTextWrapPos(wrap);
    PageText(Col_Black, "%s", gameDir.c_str());
    ImGui::PopTextWrapPos();

    PushCheckboxStyle();
    PageCheckbox("Open the Ostrel launcher now", 208, 254, s, &openLauncherAtFinish, wrap);
    PopCheckboxStyle();

    if (!notes.empty())
    {
        PagePos(208, 292, s);
        ImGui::PushTextWrapPos(wrap);
        PageText(Col_Black, "%s", notes.c_str());
        ImGui::PopTextWrapPos();
    }

    ImGui::SetCursorScreenPos(ImVec2(208 * s, h - 104 * s));
    PageText(Col_Black, "Click Finish to close Setup.");
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

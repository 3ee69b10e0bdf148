// Screenshot gallery: opens the real setup window and draws every wizard page
// in its characteristic states, saving the back buffer of each as a PNG.
// Not part of the setup's command line; used by the screenshot test and to
// refresh docs/screenshots.
//   ostrel_gallery.exe OUTPUT_FOLDER
#include "app/window.h"
#include "net/error_texts.h"
#include "state/installer_app.h"
#include "util/text.h"

#include <imgui.h>
#include <imgui_impl_win32.h>
#include <miniz.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace
{
const uint64_t MB = 1048576ull;
const uint64_t GB = 1073741824ull;

struct Shot
{
    const char* name;
    std::function<void(InstallerApp&)> setup;
    bool alt = false;   // Alt held: the access keys underlined
};

void Figures(InstallerApp& a)
{
    a.infoDone = true;
    a.info.ok = true;
    a.info.launcherSize = 48 * MB;
    a.info.gameSize = 3 * GB + 200 * MB;
    a.info.gameUnpackedSize = 7 * GB + 900 * MB;
}

void Running(InstallerApp& a, int page, int stage, const char* status)
{
    a.page = page;
    a.jobBusy = true;
    a.jobStage = stage;
    a.statusText = status;
}

void Failed(InstallerApp& a, int page, int stage, const char* error)
{
    a.page = page;
    a.jobFinished = true;
    a.jobStage = stage;
    a.errorText = error;
}

void HighContrast(InstallerApp& a)
{
    a.systemColours = SystemColours();     // its defaults are "High Contrast Black"
    a.systemColours.highContrast = true;
}

// As after a Tab to this control, with Alt held.
void KeyboardFocus(InstallerApp& a, const char* id)
{
    a.ui.focusPage = a.page;
    a.ui.focusId = id;
    a.ui.focusChosen = true;
    a.ui.keyboardUsed = true;
}

std::vector<Shot> Shots()
{
    return {
        {"welcome-checking", [](InstallerApp&) {}},
        {"welcome-failed", [](InstallerApp& a) {
             a.infoDone = true;
             a.info.error = "Can't reach the server - check your internet connection.";
         }},
        {"welcome-proxy-sign-in", [](InstallerApp& a) {
             a.infoDone = true;
             a.info.error = ProxySignInText(true, false);
             a.proxySignIn.user = "CORP\\player";
             a.existingInstall = true;
             a.existingInstallDir = "C:\\Games\\Ostrel";
         }},
        {"welcome-figures", [](InstallerApp& a) {
             Figures(a);
             a.existingInstall = true;
             a.existingInstallDir = "C:\\Games\\Ostrel";
         }},
        {"location-enough", [](InstallerApp& a) {
             Figures(a);
             a.info.gameSize = 40 * MB;
             a.info.gameUnpackedSize = 90 * MB;
             a.page = Page_Location;
         }},
        {"location-too-little", [](InstallerApp& a) {
             Figures(a);
             a.info.gameSize = 200 * GB;
             a.page = Page_Location;
         }},
        {"location-launcher-only", [](InstallerApp& a) {
             Figures(a);
             a.includeGame = false;
             a.desktopShortcut = false;
             a.page = Page_Location;
         }},
        {"ready", [](InstallerApp& a) {
             Figures(a);
             a.startMenuShortcut = false;
             a.page = Page_Ready;
         }},
        {"progress-server", [](InstallerApp& a) { Running(a, Page_Progress, 0, "Checking the server..."); }},
        {"progress-launcher", [](InstallerApp& a) {
             Running(a, Page_Progress, 1, "Downloading the Ostrel launcher...");
             a.jobBytesDone = 20 * MB;
             a.jobBytesTotal = 48 * MB;
         }},
        {"progress-game-download", [](InstallerApp& a) {
             Running(a, Page_Progress, 2, "Downloading the game...");
             a.jobBytesDone = 1 * GB + 300 * MB;
             a.jobBytesTotal = 3 * GB + 200 * MB;
             a.speedBytesPerSec = 12.5 * MB;
             a.speedLastBytes = a.jobBytesDone;
             a.speedSamples = 10;    // steady: the time estimate shows
             // Sampled just now: the few frames of the shot take no new sample.
             a.speedLastTime = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
         }},
        {"progress-game-check", [](InstallerApp& a) {
             Running(a, Page_Progress, 2, "Downloading the game...");
             a.gamePhase = 1;
         }},
        {"progress-game-unpack", [](InstallerApp& a) {
             Running(a, Page_Progress, 2, "Downloading the game...");
             a.gamePhase = 2;
             a.jobBytesDone = 4 * GB;
             a.jobBytesTotal = 7 * GB + 900 * MB;
         }},
        {"progress-linking", [](InstallerApp& a) { Running(a, Page_Progress, 3, "Linking the game to the launcher..."); }},
        {"progress-shortcuts", [](InstallerApp& a) { Running(a, Page_Progress, 4, "Making shortcuts..."); }},
        {"progress-launcher-only", [](InstallerApp& a) {
             a.includeGame = false;
             Running(a, Page_Progress, 3, "The game was skipped - only the launcher is installed.");
         }},
        {"progress-failed", [](InstallerApp& a) {
             Failed(a, Page_Progress, 1, "The download was damaged twice - check your connection and try again.");
             a.jobBytesDone = 30 * MB;
             a.jobBytesTotal = 48 * MB;
         }},
        {"progress-proxy-sign-in", [](InstallerApp& a) {
             Failed(a, Page_Progress, 2, ProxySignInText(true, true).c_str());
             a.proxySignIn.user = "player";
             a.proxySignIn.password = "wrong one";
         }},
        {"finish-game", [](InstallerApp& a) {
             a.page = Page_Finish;
             a.jobSucceeded = true;
             a.gameDirResult = "C:\\Ostrel\\Ostrel";
         }},
        {"finish-launcher-only", [](InstallerApp& a) {
             a.page = Page_Finish;
             a.jobSucceeded = true;
         }},
        {"uninstall", [](InstallerApp& a) {
             a.page = Page_Uninstall;
             a.existingInstall = true;
             a.existingInstallDir = "C:\\Ostrel";
         }},
        {"uninstall-not-installed", [](InstallerApp& a) { a.page = Page_Uninstall; }},
        {"removing", [](InstallerApp& a) {
             a.existingInstall = true;
             Running(a, Page_Removing, 0, "Removing the game...");
             a.jobBytesDone = 1200;
             a.jobBytesTotal = 4000;
         }},
        {"removing-failed", [](InstallerApp& a) {
             a.existingInstall = true;
             Failed(a, Page_Removing, 0, "Close the Ostrel launcher and the game first, then try again.");
         }},
        {"removed", [](InstallerApp& a) { a.page = Page_Removed; }},
        // Keyboard use: the focus on a check box (its tick must stay clear),
        // the access keys underlined while Alt is held.
        {"location-keyboard", [](InstallerApp& a) {
             Figures(a);
             a.info.gameSize = 40 * MB;
             a.info.gameUnpackedSize = 90 * MB;
             a.page = Page_Location;
             KeyboardFocus(a, "Create a desktop shortcut");
         }, true},
        // A folder in Japanese: its glyphs come from a system font merged in.
        {"location-japanese", [](InstallerApp& a) {
             Figures(a);
             a.info.gameSize = 40 * MB;
             a.info.gameUnpackedSize = 90 * MB;
             a.page = Page_Location;
             a.installDir = "C:\\\xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0\\Ostrel \xe6\xb8\xb8\xe6\x88\x8f";
         }},
        {"ready-japanese", [](InstallerApp& a) {
             Figures(a);
             a.page = Page_Ready;
             a.installDir = "C:\\\xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0\\Ostrel \xe6\xb8\xb8\xe6\x88\x8f";
         }},
        // Windows' "High Contrast Black": the system's colours in place of the wizard's.
        {"high-contrast-welcome", [](InstallerApp& a) {
             Figures(a);
             HighContrast(a);
         }},
        {"high-contrast-location", [](InstallerApp& a) {
             Figures(a);
             a.info.gameSize = 200 * GB;
             a.page = Page_Location;
             HighContrast(a);
             KeyboardFocus(a, "Browse...");
         }},
        {"high-contrast-progress", [](InstallerApp& a) {
             Running(a, Page_Progress, 2, "Downloading the game...");
             a.jobBytesDone = 1 * GB + 300 * MB;
             a.jobBytesTotal = 3 * GB + 200 * MB;
             HighContrast(a);
         }},
        {"high-contrast-failed", [](InstallerApp& a) {
             Failed(a, Page_Progress, 1, "The download was damaged twice - check your connection and try again.");
             a.jobBytesDone = 30 * MB;
             a.jobBytesTotal = 48 * MB;
             HighContrast(a);
         }},
    };
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool WritePng(const std::filesystem::path& file, const std::vector<unsigned char>& rgba, int w, int h)
{
    std::vector<unsigned char> rgb((size_t)w * h * 3);
    for (size_t i = 0, n = (size_t)w * h; i < n; i++)
    {
        rgb[i * 3 + 0] = rgba[i * 4 + 0];
        rgb[i * 3 + 1] = rgba[i * 4 + 1];
        rgb[i * 3 + 2] = rgba[i * 4 + 2];
    }
    size_t size = 0;
    void* png = tdefl_write_image_to_png_file_in_memory_ex(rgb.data(), w, h, 3, &size, 9, 0);
    if (!png)
        return false;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write((const char*)png, (std::streamsize)size);
    mz_free(png);
    return (bool)out;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: ostrel_gallery OUTPUT_FOLDER\n");
        return 2;
    }
    std::filesystem::path outDir(argv[1]);
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ImGui_ImplWin32_EnableDpiAwareness();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HWND window = CreateMainWindow(instance);
    if (!window)
    {
        CoUninitialize();
        return 1;
    }
    // Wherever the pointer sits on the virtual screen, no button is hovered.
    ImGui::GetIO().ConfigFlags |= ImGuiConfigFlags_NoMouse;
    ShowWindow(window, SW_SHOWDEFAULT);
    UpdateWindow(window);

    int failures = 0;
    bool first = true;
    for (const Shot& shot : Shots())
    {
        auto app = std::make_unique<InstallerApp>();
        app->window = window;
        app->installDir = "C:\\Ostrel";
        shot.setup(*app);
        ImGui::GetIO().AddKeyEvent(ImGuiMod_Alt, shot.alt);
        std::vector<unsigned char> rgba;
        int w = 0, h = 0;
        bool ok = false;
        for (int frame = 0; frame < 4; frame++)
        {
            PumpMessages();
            // The location page's free space arrives from a background query.
            for (int i = 0; i < 200 && frame == 3 && app->page == Page_Location; i++)
            {
                {
                    std::lock_guard<std::mutex> lock(app->freeSpace->mutex);
                    if (app->freeSpace->running == 0)
                        break;
                }
                Sleep(10);
            }
            DrawFrame(*app);
            if (frame == 3)
                ok = ReadBackBuffer(rgba, w, h);
            PresentFrame();
        }
        std::filesystem::path file = outDir / (std::string(shot.name) + ".png");
        if (first)
        {
            // A proportional font draws "iiiiiiii" much narrower than
            // "MMMMMMMM"; the built-in bitmap font gives both the same fixed
            // advance. Under Wine there is no Segoe UI: the system's message
            // font must have stood in, not the bitmap font.
            const float narrow = ImGui::CalcTextSize("iiiiiiii").x;
            const float wide = ImGui::CalcTextSize("MMMMMMMM").x;
            printf("font: %s (iiiiiiii %.1f px, MMMMMMMM %.1f px)\n", ImGui::GetIO().Fonts->Fonts[0]->GetDebugName(),
                   narrow, wide);
            if (!(narrow < wide * 0.8f))
            {
                fprintf(stderr, "the wizard draws with a fixed-width font, not a proportional UI font\n");
                failures++;
            }
            first = false;
        }
        if (!ok || !WritePng(file, rgba, w, h))
        {
            fprintf(stderr, "%s: could not capture\n", shot.name);
            failures++;
            continue;
        }
        printf("%s %dx%d\n", shot.name, w, h);
        app->alive->store(false);
    }

    DestroyMainWindow(instance);
    CoUninitialize();
    return failures ? 1 : 0;
}

#include "wizard/wizard.h"

#include "state/installer_app.h"

#include <imgui.h>

std::string ShortcutsLine(bool desktop, bool startMenu)
{
    std::string line = "Shortcuts: ";
    line += desktop ? "Desktop" : "";
    line += desktop && startMenu ? ", " : "";
    line += startMenu ? "Start menu" : desktop ? "" : "none";
    return line;
}

void InstallerApp::DrawReadyPage(PageFrame& f)
{
    using namespace Layout;
    PageTitle(f, "Ready to install", 20, false);
    PageText(f, f.At(ContentX, 74), f.pal.text,
             "Setup is ready to install Ostrel. Click Install to begin, or Back to change anything.");

    PageText(f, f.At(ContentX, 134), f.pal.grey, "Install folder:", false);
    PageText(f, f.At(IndentX, 156), f.pal.text, installDir);

    PageText(f, f.At(ContentX, 192), f.pal.grey, "Components:", false);
    PageText(f, f.At(IndentX, 214), f.pal.text, "Ostrel launcher", false);
    if (includeGame)
        PageText(f, f.At(IndentX, 236), f.pal.text, "Playden, July 2024 (linked to the launcher)", false);
    else
        PageText(f, f.At(IndentX, 236), f.pal.grey, "The game (Ostrel.zip) - skipped", false);

    PageText(f, f.At(ContentX, 278), f.pal.grey, ShortcutsLine(desktopShortcut, startMenuShortcut), false);
}

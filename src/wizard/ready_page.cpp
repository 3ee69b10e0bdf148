#include "wizard/page_style.h"
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

void InstallerApp::DrawReadyPage(float w)
{
    const float s = scale;
    const float wrap = w - 30 * s;

    PagePos(208, 34, s);
    PageTitle("Ready to install", 20, false, s, wrap);

    PagePos(208, 74, s);
    ImGui::PushTextWrapPos(wrap);
    PageText(Col_Black, "Setup is ready to install Ostrel. Click Install to begin, or Back to change anything.");
    ImGui::PopTextWrapPos();

    PagePos(208, 134, s);
    PageText(Col_Grey, "Install folder:");
    PagePos(222, 156, s);
    ImGui::PushTextWrapPos(wrap);
    PageText(Col_Black, "%s", installDir.c_str());
    ImGui::PopTextWrapPos();

    PagePos(208, 192, s);
    PageText(Col_Grey, "Components:");
    PagePos(222, 214, s);
    PageText(Col_Black, "Ostrel launcher");
    PagePos(222, 236, s);
    if (includeGame)
        PageText(Col_Black, "Playden, July 2024 (linked to the launcher)");
    else
        PageText(Col_Grey, "The game (Ostrel.zip) - skipped");

    PagePos(208, 278, s);
    PageText(Col_Grey, "%s", ShortcutsLine(desktopShortcut, startMenuShortcut).c_str());
}

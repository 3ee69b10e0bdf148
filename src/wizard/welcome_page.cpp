#include "wizard/page_style.h"

#include "state/installer_app.h"
#include "util/text.h"

#include <imgui.h>

void InstallerApp::DrawWelcomePage(float w, float h)
{
    const float s = scale;
    const float wrap = w - 30 * s;

    PagePos(208, 34, s);
    PageTitle("Welcome to the Ostrel Setup Wizard", 22, true, s, wrap);

    PagePos(208, 112, s);
    ImGui::PushStyleColor(ImGuiCol_Text, Col_Black);
    ImGui::PushTextWrapPos(wrap);
    ImGui::TextUnformatted("This wizard installs the Ostrel launcher and the game (Playden, July 2024) on your computer, "
                           "and links the game to the launcher so you can press PLAY straight away.");
    ImGui::PopTextWrapPos();
    ImGui::PopStyleColor();

    PagePos(208, 202, s);
    float shift = 0;    // how far the proxy's sign-in fields push the rows below down
    if (!infoDone)
    {
        PageText(Col_Grey, "Checking the server...");
    }
    else if (!info.ok)
    {
        ImGui::PushTextWrapPos(wrap);
        PageText(Col_Red, "%s", info.error.c_str());
        ImGui::PopTextWrapPos();
        // The button beside the fields when they show: the rows below move
        // down only a little.
        const float fields = DrawProxySignIn(info.error, 242);
        shift = fields > 0 ? 6 : 0;
        const float buttonY = fields > 0 ? 242 + kProxySignInFieldsBelow - 3 : 248;
        if (WizardButton("Try again", (208 + fields) * s, buttonY * s, s, true, false))
            FetchInfo();
    }
    else
    {
        // Wrapped: in one line the second figure runs off the window.
        ImGui::PushTextWrapPos(wrap);
        PageText(Col_Grey, "Download size: %s.   Free space needed while installing: about %s.",
                 FormatSize(DownloadSize(info)).c_str(),
                 FormatSize(AddSaturated(info.gameSize, info.gameUnpackedSize)).c_str());
        ImGui::PopTextWrapPos();
    }

    if (existingInstall)
    {
        PagePos(208, 284 + shift, s);
        ImGui::PushTextWrapPos(wrap);
        PageText(Col_Grey, "Ostrel is already installed in %s", existingInstallDir.c_str());
        ImGui::PopTextWrapPos();
    }
    if (WizardButton("Uninstall...", 208 * s, (324 + shift) * s, s, existingInstall, false))
        page = Page_Uninstall;
    if (!existingInstall)
    {
        // Beside the button, however wide its label made it.
        ImGui::SetCursorScreenPos(ImVec2(208 * s + WizardButtonWidth("Uninstall...", s) + 12 * s, (330 + shift) * s));
        PageText(Col_Grey, "Ostrel isn't installed yet.");
    }

    ImGui::SetCursorScreenPos(ImVec2(208 * s, h - 104 * s));
    PageText(Col_Black, "To continue, click Next.");
}

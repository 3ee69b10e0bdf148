#include "wizard/page_style.h"

#include "state/installer_app.h"
#include "util/text.h"

#include <imgui.h>

void InstallerApp::DrawWelcomePage(PageFrame& f, float w, float h)
{
    (void)w;
    using namespace Layout;
    const float s = scale;

    PageTitle(f, "Welcome to the Ostrel Setup Wizard", 22, true);
    PageText(f, f.At(ContentX, 112), f.pal.text,
             "This wizard installs the Ostrel launcher and the game (Playden, July 2024) on your computer, "
             "and links the game to the launcher so you can press PLAY straight away.");

    const ImVec2 status = f.At(ContentX, 202);
    float shift = 0;    // how far the proxy's sign-in fields push the rows below down
    if (!infoDone)
    {
        PageStatus(f, status, f.pal.grey, "Checking the server...");
    }
    else if (!info.ok)
    {
        PageText(f, status, f.pal.red, info.error, true, Role_Alert);
        // The button beside the fields when they show: the rows below move
        // down only a little.
        const float fields = DrawProxySignIn(f, info.error, 242);
        shift = fields > 0 ? 6 : 0;
        const float buttonY = fields > 0 ? 242 + kProxySignInFieldsBelow - 3 : 248;
        WizardButton(f, {"&Try again", true, true, false, Action_TryAgain}, (ContentX + fields) * s, buttonY * s);
    }
    else
    {
        // Wrapped: in one line the second figure runs off the window.
        PageStatus(f, status, f.pal.grey,
                   "Download size: " + FormatSize(DownloadSize(info)) + ".   Free space needed while installing: about " +
                       FormatSize(AddSaturated(info.gameSize, info.gameUnpackedSize)) + ".");
    }

    if (existingInstall)
        PageText(f, f.At(ContentX, 284 + shift), f.pal.grey, "Ostrel is already installed in " + existingInstallDir);
    WizardButton(f, {"&Uninstall...", existingInstall, false, false, Action_GoTo, Page_Uninstall}, ContentX * s,
                 (324 + shift) * s);
    // Beside the button, however wide its label made it.
    if (!existingInstall)
        PageText(f, ImVec2(ContentX * s + WizardButtonWidth("Uninstall...", s) + 12 * s, (330 + shift) * s), f.pal.grey,
                 "Ostrel isn't installed yet.", false);

    PageText(f, ImVec2(ContentX * s, h - HintAbove * s), f.pal.text, "To continue, click Next.", false);
}

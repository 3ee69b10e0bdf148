// The proxy's user name and password, asked on the page whose failure needs
// them; the page's own "Try again" or "Retry" then sends them.
#include "wizard/page_style.h"

#include "net/error_texts.h"
#include "state/installer_app.h"

namespace
{
const float kFieldWidth = 140;
const float kGap = 12;
} // namespace

ProxySignIn InstallerApp::ProxySignInForRequests() const
{
    ProxySignIn signIn = proxySignIn;
    signIn.canAsk = !autoMode;
    return signIn;
}

float InstallerApp::DrawProxySignIn(PageFrame& f, const std::string& failure, float y)
{
    if (!AsksForProxySignIn(failure))
        return 0;
    using namespace Layout;
    const float second = ContentX + kFieldWidth + kGap;
    PageText(f, f.At(ContentX, y), f.pal.text, "User name", false);
    PageTextField(f, "##proxy-user", "Proxy user name", f.At(ContentX, y + kProxySignInFieldsBelow),
                  kFieldWidth * scale, &proxySignIn.user);
    PageText(f, f.At(second, y), f.pal.text, "Password", false);
    // Shown as dots and never described: a screen reader hears only that it is protected.
    PageTextField(f, "##proxy-password", "Proxy password", f.At(second, y + kProxySignInFieldsBelow),
                  kFieldWidth * scale, &proxySignIn.password, true);
    return 2 * (kFieldWidth + kGap);
}

// The proxy's user name and password, asked on the page whose failure needs
// them; the page's own "Try again" or "Retry" then sends them.
#include "wizard/page_style.h"

#include "net/error_texts.h"
#include "state/installer_app.h"

#include <imgui.h>
#include <misc/cpp/imgui_stdlib.h>

namespace
{
const float kFieldWidth = 140;
const float kGap = 12;

// A label, and the field below it.
void Field(const char* label, const char* id, std::string& text, ImGuiInputTextFlags flags, float x, float y,
           float scale)
{
    PagePos(x, y, scale);
    PageText(Col_Black, "%s", label);
    PagePos(x, y + kProxySignInFieldsBelow, scale);
    ImGui::SetNextItemWidth(kFieldWidth * scale);
    ImGui::InputText(id, &text, flags);
}
} // namespace

ProxySignIn InstallerApp::ProxySignInForRequests() const
{
    ProxySignIn signIn = proxySignIn;
    signIn.canAsk = !autoMode;
    return signIn;
}

float InstallerApp::DrawProxySignIn(const std::string& failure, float y)
{
    if (!AsksForProxySignIn(failure))
        return 0;
    const float s = scale;
    ImGui::PushStyleColor(ImGuiCol_FrameBg, Col_White);
    ImGui::PushStyleColor(ImGuiCol_Text, Col_Black);
    ImGui::PushStyleColor(ImGuiCol_Border, Col_FieldBorder);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, 1.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 0.0f);
    Field("User name", "##proxy-user", proxySignIn.user, 0, 208, y, s);
    // Shown as dots, never copied out of the field.
    Field("Password", "##proxy-password", proxySignIn.password, ImGuiInputTextFlags_Password,
          208 + kFieldWidth + kGap, y, s);
    ImGui::PopStyleVar(2);
    ImGui::PopStyleColor(3);
    return 2 * (kFieldWidth + kGap);
}

#include "wizard/page_style.h"

#include <cstdarg>

ImFont* g_semiboldFont = nullptr;
ImFont* g_lightFont = nullptr;

void PagePos(float x, float y, float scale)
{
    ImGui::SetCursorScreenPos(ImVec2(x * scale, y * scale));
}

void PageTitle(const char* text, float size, bool wrapped, float scale, float wrapX)
{
    // The global font scale already follows the window; the extra factor here
    // must not grow with the DPI as well, or at 150 % a wrapped title runs
    // into the text under it. At 96 dpi this is exactly size × scale.
    const float dpi = ImGui::GetStyle().FontScaleDpi;
    ImGui::PushFont(g_semiboldFont ? g_semiboldFont : ImGui::GetFont(), size * scale / (dpi > 0.5f ? dpi : 0.5f));
    ImGui::PushStyleColor(ImGuiCol_Text, Col_Black);
    if (wrapped)
        ImGui::PushTextWrapPos(wrapX);
    ImGui::TextUnformatted(text);
    if (wrapped)
        ImGui::PopTextWrapPos();
    ImGui::PopStyleColor();
    ImGui::PopFont();
}

void PageText(ImU32 col, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    ImGui::PushStyleColor(ImGuiCol_Text, col);
    ImGui::TextV(fmt, args);
    ImGui::PopStyleColor();
    va_end(args);
}

float WizardButtonWidth(const char* label, float scale)
{
    // The fixed width is the minimum; a label in a wider font (or a longer
    // one) still fits with the frame padding on both sides.
    const float text = ImGui::CalcTextSize(label, nullptr, true).x + 2 * ImGui::GetStyle().FramePadding.x;
    return text > 88 * scale ? text : 88 * scale;
}

bool WizardButton(const char* label, float x, float y, float scale, bool enabled, bool isDefault)
{
    ImGui::SetCursorScreenPos(ImVec2(x, y));
    ImGui::PushStyleColor(ImGuiCol_Button, enabled ? Col_ButtonFace : Col_ButtonDisabled);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, Col_ButtonHovered);
    ImGui::PushStyleColor(ImGuiCol_ButtonActive, Col_ButtonPressed);
    ImGui::PushStyleColor(ImGuiCol_Text, enabled ? Col_Black : Col_TextDisabled);
    const bool strong = isDefault && enabled;
    ImGui::PushStyleColor(ImGuiCol_Border, strong ? Col_DefaultBorder : Col_ButtonBorder);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, strong ? 2.0f : 1.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 0.0f);
    ImGui::BeginDisabled(!enabled);
    const bool clicked = ImGui::Button(label, ImVec2(WizardButtonWidth(label, scale), 28 * scale));
    ImGui::EndDisabled();
    ImGui::PopStyleVar(2);
    ImGui::PopStyleColor(5);
    return clicked && enabled;
}

void PushCheckboxStyle()
{
    ImGui::PushStyleColor(ImGuiCol_Text, Col_Black);
    ImGui::PushStyleColor(ImGuiCol_FrameBg, Col_White);
    ImGui::PushStyleColor(ImGuiCol_CheckMark, Col_Black);
    ImGui::PushStyleColor(ImGuiCol_Border, Col_FieldBorder);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, 1.0f);
}

void PopCheckboxStyle()
{
    ImGui::PopStyleVar();
    ImGui::PopStyleColor(4);
}

bool PageCheckbox(const char* label, float x, float y, float scale, bool* value, float wrapX)
{
    // The library's check box never wraps its label: the box goes alone and
    // the label follows as wrapped text that toggles the box as well.
    PagePos(x, y, scale);
    ImGui::PushID(label);
    bool changed = ImGui::Checkbox("##box", value);
    ImGui::SameLine(0, ImGui::GetStyle().ItemInnerSpacing.x);
    ImGui::PushTextWrapPos(wrapX);
    ImGui::TextUnformatted(label);
    ImGui::PopTextWrapPos();
    if (ImGui::IsItemClicked(ImGuiMouseButton_Left))
    {
        *value = !*value;
        changed = true;
    }
    ImGui::PopID();
    return changed;
}

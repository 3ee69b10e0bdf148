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

bool PageButton(const char* label, float x, float y, float scale)
{
    PagePos(x, y, scale);
    ImGui::PushStyleColor(ImGuiCol_Button, Col_ButtonFace);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, Col_ButtonHovered);
    ImGui::PushStyleColor(ImGuiCol_ButtonActive, Col_ButtonPressed);
    ImGui::PushStyleColor(ImGuiCol_Text, Col_Black);
    ImGui::PushStyleColor(ImGuiCol_Border, Col_ButtonBorder);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, 1.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 0.0f);
    bool clicked = ImGui::Button(label, ImVec2(88 * scale, 28 * scale));
    ImGui::PopStyleVar(2);
    ImGui::PopStyleColor(5);
    return clicked;
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

bool PageCheckbox(const char* label, float x, float y, float scale, bool* value)
{
    PagePos(x, y, scale);
    return ImGui::Checkbox(label, value);
}

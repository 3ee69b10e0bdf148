#include "wizard/page_style.h"

#include <imgui_internal.h>
#include <imgui_stdlib.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cmath>

ImFont* g_semiboldFont = nullptr;
ImFont* g_lightFont = nullptr;

bool TakesFocus(const Control& c)
{
    return !c.disabled && (c.role == Role_PushButton || c.role == Role_CheckBox || c.role == Role_TextField);
}

std::string StripMnemonic(const char* label, char* mnemonic)
{
    std::string name;
    if (mnemonic)
        *mnemonic = 0;
    for (const char* p = label; *p; p++)
    {
        if (*p == '&' && p[1] == '&')
            name += *++p;
        else if (*p == '&' && p[1])
        {
            if (mnemonic && !*mnemonic)
                *mnemonic = (char)tolower((unsigned char)p[1]);
        }
        else
            name += *p;
    }
    return name;
}

// Byte offset of the access key in the name made from label; -1 without one.
static int MnemonicOffset(const char* label)
{
    int at = 0;
    for (const char* p = label; *p; p++, at++)
    {
        if (*p == '&' && p[1] == '&')
            p++;
        else if (*p == '&' && p[1])
            return at;
    }
    return -1;
}

SystemColours ReadSystemColours()
{
    SystemColours c;
    HIGHCONTRASTW hc = {};
    hc.cbSize = sizeof(hc);
    c.highContrast = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(hc), &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON);
    auto sys = [](int index) {
        const COLORREF v = GetSysColor(index);
        return IM_COL32(GetRValue(v), GetGValue(v), GetBValue(v), 255);
    };
    c.window = sys(COLOR_WINDOW);
    c.windowText = sys(COLOR_WINDOWTEXT);
    c.highlight = sys(COLOR_HIGHLIGHT);
    c.highlightText = sys(COLOR_HIGHLIGHTTEXT);
    c.buttonFace = sys(COLOR_BTNFACE);
    c.buttonText = sys(COLOR_BTNTEXT);
    c.grayText = sys(COLOR_GRAYTEXT);
    c.hotLight = sys(COLOR_HOTLIGHT);
    return c;
}

Palette PaletteFor(const SystemColours& s)
{
    Palette p;
    if (!s.highContrast)
        return p;
    // Windows' rules for high contrast: text in window text on window, buttons
    // in button text on button face, grey text only for what is disabled,
    // the highlight for what is selected, default or filled. Colour carries
    // no meaning of its own: failures are in the hot-light colour, and the
    // step marks differ by shape.
    p.highContrast = true;
    p.page = s.window;
    p.text = s.windowText;
    p.grey = s.windowText;
    p.red = s.hotLight;
    p.field = s.window;
    p.fieldBorder = s.windowText;
    p.mark = s.windowText;
    p.boxHovered = s.window;
    p.boxPressed = s.window;
    p.boxTicked = s.window;
    p.buttonFace = s.buttonFace;
    p.buttonHovered = s.highlight;
    p.buttonPressed = s.highlight;
    p.buttonText = s.buttonText;
    p.buttonHoveredText = s.highlightText;
    p.buttonBorder = s.buttonText;
    p.buttonDisabled = s.buttonFace;
    p.textDisabled = s.grayText;
    p.defaultBorder = s.highlight;
    p.focus = s.windowText;
    p.selection = s.highlight;
    p.stepDone = s.windowText;
    p.barBackground = s.window;
    p.barFill = s.highlight;
    p.barBorder = s.windowText;
    for (ImU32& corner : p.panel)
        corner = s.window;
    p.panelText = s.windowText;
    p.panelEdge = s.windowText;
    p.buttonBar = s.buttonFace;
    p.barEdge = s.buttonText;
    p.barEdgeLight = s.buttonFace;
    return p;
}

float ContrastRatio(ImU32 a, ImU32 b)
{
    auto luminance = [](ImU32 c) {
        auto channel = [](unsigned v) {
            const double x = v / 255.0;
            return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c & 0xff) + 0.7152 * channel((c >> 8) & 0xff) + 0.0722 * channel((c >> 16) & 0xff);
    };
    const double la = luminance(a), lb = luminance(b);
    return (float)((std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05));
}

bool PageFrame::Focused(const char* id) const
{
    return ui.focusId == id;
}

bool PageFrame::ShowFocus(const char* id) const
{
    return ui.keyboardUsed && Focused(id);
}

static Control& Describe(PageFrame& f, ControlRole role, const std::string& id, const std::string& name)
{
    Control& c = f.ui.controls.emplace_back();
    c.role = role;
    c.id = id;
    c.name = name;
    const ImVec2 min = ImGui::GetItemRectMin(), max = ImGui::GetItemRectMax();
    c.x0 = min.x;
    c.y0 = min.y;
    c.x1 = max.x;
    c.y1 = max.y;
    return c;
}

// The focused control takes it on a click, as on Windows.
static void FocusOnClick(PageFrame& f, const std::string& id, bool clicked)
{
    if (clicked)
    {
        f.ui.focusId = id;
        f.ui.focusChosen = true;
    }
}

// A dotted rectangle of single pixels, like the system's focus rectangle.
static void DrawFocusRect(ImVec2 min, ImVec2 max, ImU32 col)
{
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const float x0 = std::floor(min.x), y0 = std::floor(min.y), x1 = std::floor(max.x), y1 = std::floor(max.y);
    for (float x = x0; x <= x1; x += 2)
    {
        dl->AddRectFilled(ImVec2(x, y0), ImVec2(x + 1, y0 + 1), col);
        dl->AddRectFilled(ImVec2(x, y1), ImVec2(x + 1, y1 + 1), col);
    }
    for (float y = y0 + 2; y < y1; y += 2)
    {
        dl->AddRectFilled(ImVec2(x0, y), ImVec2(x0 + 1, y + 1), col);
        dl->AddRectFilled(ImVec2(x1, y), ImVec2(x1 + 1, y + 1), col);
    }
}

void DrawMnemonicUnderline(PageFrame& f, const char* label, ImVec2 textAt, ImU32 col)
{
    const int at = MnemonicOffset(label);
    if (!f.ui.showMnemonics || at < 0)
        return;
    const std::string name = StripMnemonic(label);
    // The access key's letter, whole UTF-8 sequence included.
    int end = at + 1;
    while (end < (int)name.size() && ((unsigned char)name[end] & 0xC0) == 0x80)
        end++;
    const float x0 = textAt.x + ImGui::CalcTextSize(name.c_str(), name.c_str() + at).x;
    const float x1 = textAt.x + ImGui::CalcTextSize(name.c_str(), name.c_str() + end).x;
    // Only on the first line of a wrapped label.
    if (x1 > f.wrapX)
        return;
    const float y = std::floor(textAt.y + ImGui::GetFontSize() * 0.92f);
    const float thick = std::max(1.0f, std::floor(f.scale));
    ImGui::GetWindowDrawList()->AddRectFilled(ImVec2(x0, y), ImVec2(x1, y + thick), col);
}

void PageTitle(PageFrame& f, const char* text, float size, bool wrapped)
{
    // The global font scale already follows the window; the extra factor here
    // must not grow with the DPI as well, or at 150 % a wrapped title runs
    // into the text under it. At 96 dpi this is exactly size × scale.
    const float dpi = ImGui::GetStyle().FontScaleDpi;
    ImGui::SetCursorScreenPos(f.At(Layout::ContentX, Layout::ContentTop));
    ImGui::PushFont(g_semiboldFont ? g_semiboldFont : ImGui::GetFont(), size * f.scale / (dpi > 0.5f ? dpi : 0.5f));
    ImGui::PushStyleColor(ImGuiCol_Text, f.pal.text);
    if (wrapped)
        ImGui::PushTextWrapPos(f.wrapX);
    ImGui::TextUnformatted(text);
    if (wrapped)
        ImGui::PopTextWrapPos();
    ImGui::PopStyleColor();
    ImGui::PopFont();
    Describe(f, Role_Heading, "", text);
}

void PageText(PageFrame& f, ImVec2 at, ImU32 col, const std::string& text, bool wrapped, ControlRole role)
{
    ImGui::SetCursorScreenPos(at);
    ImGui::PushStyleColor(ImGuiCol_Text, col);
    if (wrapped)
        ImGui::PushTextWrapPos(f.wrapX);
    ImGui::TextUnformatted(text.c_str(), text.c_str() + text.size());
    if (wrapped)
        ImGui::PopTextWrapPos();
    ImGui::PopStyleColor();
    if (!text.empty())
        Describe(f, role, text, text);
}

void PageStatus(PageFrame& f, ImVec2 at, ImU32 col, const std::string& text)
{
    PageText(f, at, col, text);
    if (!text.empty())
    {
        Control& c = f.ui.controls.back();
        c.id = "status";
        c.live = true;
    }
}

float WizardButtonWidth(const char* label, float scale)
{
    // The fixed width is the minimum; a label in a wider font (or a longer
    // one) still fits with the frame padding on both sides.
    const std::string name = StripMnemonic(label);
    const float text = ImGui::CalcTextSize(name.c_str()).x + 2 * ImGui::GetStyle().FramePadding.x;
    return text > Layout::ButtonWidth * scale ? text : Layout::ButtonWidth * scale;
}

bool WizardButton(PageFrame& f, const ButtonSpec& b, float x, float y)
{
    char mnemonic = 0;
    const std::string name = StripMnemonic(b.label, &mnemonic);
    const ImVec2 pos(x, y);
    const ImVec2 size(WizardButtonWidth(b.label, f.scale), Layout::ButtonHeight * f.scale);
    // The focused button is the one Enter presses: it takes the default look
    // from the page's default button while it has the focus.
    const bool focused = b.enabled && f.Focused(name.c_str());
    const bool strong = b.enabled && (focused || (b.isDefault && !f.ui.focusIsButton));
    const bool hovered = b.enabled && ImGui::IsMouseHoveringRect(pos, ImVec2(pos.x + size.x, pos.y + size.y));
    const ImU32 text = !b.enabled ? f.pal.textDisabled : hovered ? f.pal.buttonHoveredText : f.pal.buttonText;

    ImGui::SetCursorScreenPos(pos);
    ImGui::PushStyleColor(ImGuiCol_Button, b.enabled ? f.pal.buttonFace : f.pal.buttonDisabled);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, f.pal.buttonHovered);
    ImGui::PushStyleColor(ImGuiCol_ButtonActive, f.pal.buttonPressed);
    ImGui::PushStyleColor(ImGuiCol_Text, text);
    ImGui::PushStyleColor(ImGuiCol_Border, strong ? f.pal.defaultBorder : f.pal.buttonBorder);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, strong ? 2.0f : 1.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 0.0f);
    ImGui::BeginDisabled(!b.enabled);
    const bool clicked = ImGui::Button(name.c_str(), size);
    FocusOnClick(f, name, b.enabled && ImGui::IsItemActivated());
    ImGui::EndDisabled();
    ImGui::PopStyleVar(2);
    ImGui::PopStyleColor(5);

    // Where the button's own drawing put the label (centred inside the padding).
    const ImVec2 pad = ImGui::GetStyle().FramePadding;
    const ImVec2 textSize = ImGui::CalcTextSize(name.c_str());
    const ImVec2 textAt(pos.x + pad.x + std::max(0.0f, (size.x - 2 * pad.x - textSize.x) * 0.5f),
                        pos.y + pad.y + std::max(0.0f, (size.y - 2 * pad.y - textSize.y) * 0.5f));
    DrawMnemonicUnderline(f, b.label, textAt, text);
    if (b.enabled && f.ShowFocus(name.c_str()))
    {
        const float inset = std::round(3 * f.scale);
        DrawFocusRect(ImVec2(pos.x + inset, pos.y + inset), ImVec2(pos.x + size.x - inset - 1, pos.y + size.y - inset - 1),
                      f.pal.focus);
    }

    Control& c = Describe(f, Role_PushButton, name, name);
    c.mnemonic = mnemonic;
    c.disabled = !b.enabled;
    c.isDefault = b.isDefault;
    c.isCancel = b.isCancel;
    c.action = b.action;
    c.target = b.target;
    c.pressed = clicked && b.enabled;
    return c.pressed;
}

void PageCheckbox(PageFrame& f, const char* label, ImVec2 at, bool* value)
{
    char mnemonic = 0;
    const std::string name = StripMnemonic(label, &mnemonic);
    // The game's box names its size, which arrives later: the id stops before it.
    const std::string id = name.substr(0, name.find(" ("));
    ImGui::PushStyleColor(ImGuiCol_Text, f.pal.text);
    ImGui::PushStyleColor(ImGuiCol_FrameBg, f.pal.field);
    // Light under the mouse and while pressed, so the tick stays clear.
    ImGui::PushStyleColor(ImGuiCol_FrameBgHovered, f.pal.boxHovered);
    ImGui::PushStyleColor(ImGuiCol_FrameBgActive, f.pal.boxPressed);
    ImGui::PushStyleColor(ImGuiCol_CheckMark, f.pal.mark);
    ImGui::PushStyleColor(ImGuiCol_Border, f.pal.fieldBorder);
    const int colours = f.pal.boxTicked ? 7 : 6;
    if (f.pal.boxTicked)
        ImGui::PushStyleColor(ImGuiCol_CheckboxSelectedBg, f.pal.boxTicked);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, 1.0f);

    // The library's check box never wraps its label: the box goes alone and
    // the label follows as wrapped text that toggles the box as well.
    ImGui::SetCursorScreenPos(at);
    ImGui::PushID(id.c_str());
    bool shown = *value;
    bool clicked = ImGui::Checkbox("##box", &shown);
    FocusOnClick(f, id, ImGui::IsItemActivated());
    const ImVec2 boxMin = ImGui::GetItemRectMin();
    ImGui::SameLine(0, ImGui::GetStyle().ItemInnerSpacing.x);
    ImGui::PushTextWrapPos(f.wrapX);
    ImGui::TextUnformatted(name.c_str());
    ImGui::PopTextWrapPos();
    if (ImGui::IsItemClicked(ImGuiMouseButton_Left))
    {
        clicked = true;
        FocusOnClick(f, id, true);
    }
    const ImVec2 textMin = ImGui::GetItemRectMin(), textMax = ImGui::GetItemRectMax();
    ImGui::PopID();
    DrawMnemonicUnderline(f, label, textMin, f.pal.text);
    if (f.ShowFocus(id.c_str()))
        DrawFocusRect(ImVec2(textMin.x - 2, textMin.y - 1), ImVec2(textMax.x + 2, textMax.y + 1), f.pal.focus);
    ImGui::PopStyleVar();
    ImGui::PopStyleColor(colours);

    Control& c = Describe(f, Role_CheckBox, id, name);
    c.x0 = boxMin.x;
    c.y0 = std::min(boxMin.y, textMin.y);
    c.mnemonic = mnemonic;
    c.checked = *value;
    c.action = Action_Toggle;
    c.flag = value;
    c.pressed = clicked;
}

void PageTextField(PageFrame& f, const char* id, const char* name, ImVec2 at, float width, std::string* value,
                   bool password)
{
    const bool focused = f.Focused(id);
    ImGui::PushStyleColor(ImGuiCol_FrameBg, f.pal.field);
    ImGui::PushStyleColor(ImGuiCol_Text, f.pal.text);
    // Windows marks the field that has the focus with the accent colour.
    ImGui::PushStyleColor(ImGuiCol_Border, focused && f.ui.keyboardUsed ? f.pal.defaultBorder : f.pal.fieldBorder);
    // The base theme's caret is light: on a white field it would not show.
    ImGui::PushStyleColor(ImGuiCol_InputTextCursor, f.pal.text);
    ImGui::PushStyleColor(ImGuiCol_TextSelectedBg, f.pal.selection);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, 1.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 0.0f);

    ImGui::SetCursorScreenPos(at);
    ImGui::SetNextItemWidth(width);
    const ImGuiID itemId = ImGui::GetID(id);
    // The focus arrived by the keyboard or the page's start: the field takes
    // the typing now. Reached by Tab it selects its text, as on Windows;
    // given back after a click elsewhere it keeps its caret. Not while the
    // mouse is down: a click decides the focus for itself.
    ImGuiContext& g = *GImGui;
    const ImGuiID activate = g.NavActivateId;
    const ImGuiActivateFlags activateFlags = g.NavActivateFlags;
    const bool take = focused && g.ActiveId != itemId && !ImGui::IsMouseDown(ImGuiMouseButton_Left) &&
                      !ImGui::IsMouseReleased(ImGuiMouseButton_Left);
    if (take)
    {
        g.NavActivateId = itemId;
        g.NavActivateFlags = f.ui.selectAllOnFocus ? ImGuiActivateFlags_None : ImGuiActivateFlags_TryToPreserveState;
    }
    // The value changed from outside while the field had the typing (the
    // folder picker, reached by its access key): the field shows the new one.
    if (ImGuiInputTextState* state = ImGui::GetInputTextState(itemId))
        if (g.ActiveId == itemId && std::string(state->TextA.Data ? state->TextA.Data : "", state->TextLen) != *value)
            state->ReloadUserBufAndMoveToEnd();
    ImGui::InputText(id, value, password ? ImGuiInputTextFlags_Password : 0);
    if (take)
    {
        g.NavActivateId = activate;
        g.NavActivateFlags = activateFlags;
    }
    if (ImGui::IsItemActivated())
    {
        if (!take)
            FocusOnClick(f, id, true);
        else if (!f.ui.selectAllOnFocus)
            if (ImGuiInputTextState* state = ImGui::GetInputTextState(itemId))
                state->ReloadUserBufAndMoveToEnd();
        f.ui.selectAllOnFocus = false;
    }
    if (!f.Focused(id) && ImGui::GetActiveID() == itemId)
        ImGui::ClearActiveID();
    ImGui::PopStyleVar(2);
    ImGui::PopStyleColor(5);

    Control& c = Describe(f, Role_TextField, id, name);
    c.value = password ? std::string() : *value;
    c.isProtected = password;
}

StepMark StepMarkFor(int index, int stage, bool busy, bool finished, bool succeeded)
{
    if (index < stage || (finished && succeeded))
        return Step_Done;
    if (index == stage && busy)
        return Step_Current;
    return Step_Pending;
}

const char* StepMarkName(StepMark mark)
{
    return mark == Step_Done ? "done" : mark == Step_Current ? "in progress" : "to do";
}

void DrawStepList(PageFrame& f, const char* const* labels, int count, int stage, bool busy, bool finished,
                  bool succeeded)
{
    ImDrawList* dl = ImGui::GetWindowDrawList();
    // The labels start at one column, where they stood beside the bracketed
    // text marks of old: the marks are drawn in that first column.
    const float markWidth = ImGui::CalcTextSize("[x]").x;
    const float column = markWidth + ImGui::CalcTextSize("  ").x;
    const float lineHeight = ImGui::GetTextLineHeight();
    for (int i = 0; i < count; i++)
    {
        const StepMark mark = StepMarkFor(i, stage, busy, finished, succeeded);
        const ImU32 col = mark == Step_Done ? f.pal.stepDone : mark == Step_Current ? f.pal.text : f.pal.grey;
        const ImVec2 at = f.At(Layout::ContentX, 80.0f + 24.0f * i);
        const ImVec2 c(at.x + markWidth * 0.5f, at.y + lineHeight * 0.5f);
        const float r = std::min(markWidth, lineHeight) * 0.4f;
        const float thick = std::max(1.5f, 1.6f * f.scale);
        if (mark == Step_Done)
        {
            const ImVec2 tick[3] = {ImVec2(c.x - r, c.y), ImVec2(c.x - r * 0.3f, c.y + r * 0.7f),
                                    ImVec2(c.x + r, c.y - r * 0.75f)};
            dl->AddPolyline(tick, 3, col, ImDrawFlags_None, thick);
        }
        else if (mark == Step_Current)
            dl->AddTriangleFilled(ImVec2(c.x - r * 0.6f, c.y - r), ImVec2(c.x - r * 0.6f, c.y + r),
                                  ImVec2(c.x + r * 0.9f, c.y), col);
        else
            dl->AddCircle(c, r * 0.8f, col, 0, std::max(1.0f, 1.2f * f.scale));
        ImGui::SetCursorScreenPos(ImVec2(at.x + column, at.y));
        ImGui::PushStyleColor(ImGuiCol_Text, col);
        ImGui::TextUnformatted(labels[i]);
        ImGui::PopStyleColor();
        Control& step = Describe(f, Role_StaticText, labels[i], labels[i]);
        step.x0 = at.x;
        step.value = StepMarkName(mark);
    }
}

static double SteadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void DrawProgressBar(PageFrame& f, float y0, float fraction, bool moving)
{
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const float x0 = Layout::ContentX * f.scale;
    const float x1 = f.wrapX;
    const float top = y0 * f.scale;
    const float bottom = (y0 + 18) * f.scale;
    const float inner = (x1 - x0) - 2;
    dl->AddRectFilled(ImVec2(x0, top), ImVec2(x1, bottom), f.pal.barBackground);
    if (moving)
    {
        const float block = inner * 0.25f;
        const float p = (float)std::fmod(SteadySeconds() * 0.6, 1.0);
        const float bx = x0 + 1 + p * (inner - block);
        dl->AddRectFilled(ImVec2(bx, top + 1), ImVec2(bx + block, bottom - 1), f.pal.barFill);
    }
    else if (fraction > 0)
    {
        dl->AddRectFilled(ImVec2(x0 + 1, top + 1), ImVec2(x0 + 1 + inner * std::min(fraction, 1.0f), bottom - 1),
                          f.pal.barFill);
    }
    dl->AddRect(ImVec2(x0, top), ImVec2(x1, bottom), f.pal.barBorder, 0.0f, 0, 1.0f);

    Control& c = f.ui.controls.emplace_back();
    c.role = Role_ProgressBar;
    c.id = "progress";
    c.name = "Progress";
    c.x0 = x0;
    c.y0 = top;
    c.x1 = x1;
    c.y1 = bottom;
    if (!moving)
        c.value = std::to_string((int)(std::clamp(fraction, 0.0f, 1.0f) * 100)) + "%";
}

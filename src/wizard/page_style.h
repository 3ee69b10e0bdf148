// Drawing conventions shared by every wizard page: palette, titles, texts,
// the page button and the check box. Lengths are layout units times `scale`.
#pragma once
#include <imgui.h>

// Loaded at start-up by the window; null when the font file was missing, and
// always null in headless frames. Callers fall back to the current font.
extern ImFont* g_semiboldFont;
extern ImFont* g_lightFont;

// Palette (red in the lowest byte).
constexpr ImU32 Col_Black = IM_COL32(0, 0, 0, 255);
constexpr ImU32 Col_Grey = IM_COL32(96, 96, 96, 255);
constexpr ImU32 Col_Red = IM_COL32(190, 30, 30, 255);
constexpr ImU32 Col_White = IM_COL32(255, 255, 255, 255);
constexpr ImU32 Col_FieldBorder = IM_COL32(122, 122, 122, 255);
constexpr ImU32 Col_ButtonFace = IM_COL32(225, 225, 225, 255);
constexpr ImU32 Col_ButtonHovered = IM_COL32(229, 241, 251, 255);
constexpr ImU32 Col_ButtonPressed = IM_COL32(204, 228, 247, 255);
constexpr ImU32 Col_ButtonBorder = IM_COL32(173, 173, 173, 255);
constexpr ImU32 Col_ButtonDisabled = IM_COL32(240, 240, 240, 255);
constexpr ImU32 Col_TextDisabled = IM_COL32(140, 140, 140, 255);
constexpr ImU32 Col_DefaultBorder = IM_COL32(0, 120, 215, 255);
constexpr ImU32 Col_StepDone = IM_COL32(20, 130, 40, 255);
constexpr ImU32 Col_BarBackground = IM_COL32(230, 230, 230, 255);
constexpr ImU32 Col_BarFill = IM_COL32(6, 176, 37, 255);
constexpr ImU32 Col_BarBorder = IM_COL32(188, 188, 188, 255);

// Cursor at (x, y) layout units.
void PagePos(float x, float y, float scale);
// Semibold title at size × scale, optionally wrapped at wrapX (pixels).
void PageTitle(const char* text, float size, bool wrapped, float scale, float wrapX);
// Coloured text; data always goes through "%s", never as the format.
void PageText(ImU32 col, const char* fmt, ...) IM_FMTARGS(2);
// The one push button of the wizard (bar and pages): at (x, y) pixels, 28
// units high and 88 units wide, or wider when the label needs it. Disabled
// buttons are faded; an enabled default button has the blue border. True only
// when clicked while enabled.
bool WizardButton(const char* label, float x, float y, float scale, bool enabled, bool isDefault);
// Its width in pixels in the current font.
float WizardButtonWidth(const char* label, float scale);
// Check boxes are drawn between these two calls.
void PushCheckboxStyle();
void PopCheckboxStyle();
// A check box whose label wraps at wrapX (pixels) instead of running off the
// page; the box stays beside the first line.
bool PageCheckbox(const char* label, float x, float y, float scale, bool* value, float wrapX);

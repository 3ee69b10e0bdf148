// The wizard's fonts: Segoe UI from the fonts folder, else the system's
// message font through GDI, else the library's built-in font; and, only once
// a text on the page needs them, the system's fonts for other scripts merged
// into the main font.
#pragma once
#include <imgui.h>

struct WizardUi;

// Loads the main font (the atlas's first) and sets g_semiboldFont and
// g_lightFont where their files exist.
void LoadFonts(ImGuiIO& io);

// Merges a system font for each script of ui.missingGlyphs into the main
// font and empties the list. Between frames only (before NewFrame): the
// font's glyphs are rebuilt. True when a font was merged.
bool MergeFallbackFonts(WizardUi& ui);

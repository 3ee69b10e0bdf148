// The wizard's colours: its own light palette, or the system's colours while
// Windows' high-contrast mode is on. Red is in the lowest byte.
#pragma once
#include "wizard/controls.h"

#include <imgui.h>

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

struct Palette
{
    bool  highContrast = false;
    ImU32 page = Col_White;                 // the page's background
    ImU32 text = Col_Black;
    ImU32 grey = Col_Grey;                  // secondary texts, steps to do
    ImU32 red = Col_Red;                    // failures, too little space
    ImU32 field = Col_White;                // fill of fields and boxes
    ImU32 fieldBorder = Col_FieldBorder;
    ImU32 mark = Col_Black;                 // a box's tick
    ImU32 boxHovered = Col_ButtonHovered;   // a box under the mouse
    ImU32 boxPressed = Col_ButtonPressed;
    ImU32 boxTicked = 0;                    // a ticked box's fill; 0: the theme's
    ImU32 buttonFace = Col_ButtonFace;
    ImU32 buttonHovered = Col_ButtonHovered;
    ImU32 buttonPressed = Col_ButtonPressed;
    ImU32 buttonText = Col_Black;
    ImU32 buttonHoveredText = Col_Black;
    ImU32 buttonBorder = Col_ButtonBorder;
    ImU32 buttonDisabled = Col_ButtonDisabled;
    ImU32 textDisabled = Col_TextDisabled;
    ImU32 defaultBorder = Col_DefaultBorder;
    ImU32 focus = Col_Black;                // the dotted focus rectangle
    ImU32 selection = IM_COL32(0, 121, 255, 107);
    ImU32 stepDone = Col_StepDone;
    ImU32 barBackground = Col_BarBackground;
    ImU32 barFill = Col_BarFill;
    ImU32 barBorder = Col_BarBorder;
    // The side panel: a four-corner gradient with white text.
    ImU32 panel[4] = {IM_COL32(238, 0, 238, 255), IM_COL32(20, 0, 250, 255), IM_COL32(120, 0, 190, 255),
                      IM_COL32(8, 0, 170, 255)};
    ImU32 panelText = Col_White;
    ImU32 panelEdge = 0;                    // a line between panel and page; none
    ImU32 buttonBar = IM_COL32(240, 240, 240, 255);
    ImU32 barEdge = IM_COL32(160, 160, 160, 255);
    ImU32 barEdgeLight = Col_White;
};

// The wizard's own colours, or the system's when high contrast is on.
Palette PaletteFor(const SystemColours& system);
// WCAG contrast ratio of two opaque colours (1 to 21).
float ContrastRatio(ImU32 a, ImU32 b);

// The wizard's fixed layout. Lengths are layout units: the wizard is laid out
// for a display 640 units wide, and every length is drawn multiplied by
// InstallerApp::scale (display width / DesignWidth).
#pragma once

namespace Layout
{
// The window's client area at 96 dpi, in pixels (scaled by the monitor's DPI
// and cut to whole pixels: 736 x 540). It is wider than the design width, so
// at 96 dpi one layout unit is 736 / 640 = 1.15 pixels and body text 17.25.
constexpr float WindowWidth = 736.0f;
constexpr float WindowHeight = 540.5f;
constexpr float DesignWidth = 640.0f;

constexpr float PanelWidth = 178.0f;                    // the coloured side panel
constexpr float Margin = 30.0f;                         // beside the panel and at the right edge
constexpr float ContentX = PanelWidth + Margin;         // 208: the page's column
constexpr float IndentX = ContentX + 14.0f;             // 222: values under their captions
constexpr float ContentTop = 34.0f;                     // the page title

constexpr float BarHeight = 58.0f;                      // the bottom button bar
constexpr float HintAbove = BarHeight + 46.0f;          // 104: a page's bottom hint, from the bottom
constexpr float ButtonWidth = 88.0f;                    // the least width of a push button
constexpr float ButtonHeight = 28.0f;
constexpr float ButtonTop = 15.0f;                      // bar buttons, below the bar's top edge
constexpr float BarRightInset = 14.0f;                  // right of the rightmost bar button
constexpr float ButtonGap = 8.0f;                       // between bar buttons
constexpr float BackGap = 18.0f;                        // right of "< Back"
} // namespace Layout

// Where wrapped page text ends, in pixels, for a display w pixels wide.
inline float WrapX(float w, float scale)
{
    return w - Layout::Margin * scale;
}

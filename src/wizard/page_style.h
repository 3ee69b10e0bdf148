// Drawing conventions shared by every wizard page: titles, texts, buttons,
// check boxes, fields, step lists and bars. Each helper draws its control and
// describes it in ui.controls, so what is drawn is what the keyboard and the
// screen reader know. Positions are in pixels (At() turns layout units into
// pixels); ui carries the frame's scale, wrap column and palette.
#pragma once
#include "wizard/controls.h"
#include "wizard/layout.h"
#include "wizard/palette.h"

#include <imgui.h>

#include <string>

// Loaded at start-up by the window; null when the font file was missing, and
// always null in headless frames. Callers fall back to the current font.
extern ImFont* g_semiboldFont;
extern ImFont* g_lightFont;

// What the page helpers need for one frame.
struct PageFrame
{
    WizardUi& ui;
    float     scale = 1.0f;
    float     wrapX = 0.0f;     // pixels: where wrapped text ends
    Palette   pal;

    ImVec2 At(float x, float y) const { return ImVec2(x * scale, y * scale); }
    bool Focused(const char* id) const;
    // Focus rectangles show once the keyboard has been used, as on Windows.
    bool ShowFocus(const char* id) const;
};

// The page title at (ContentX, ContentTop): semibold at size x scale,
// optionally wrapped. Described as the page's heading.
void PageTitle(PageFrame& f, const char* text, float size, bool wrapped);
// Text at a point, in a colour; wrapped at f.wrapX unless told otherwise.
// Data is never a format here: the text is drawn as it is.
void PageText(PageFrame& f, ImVec2 at, ImU32 col, const std::string& text, bool wrapped = true,
              ControlRole role = Role_StaticText);
// A status line: described as live text, so a screen reader hears it change.
void PageStatus(PageFrame& f, ImVec2 at, ImU32 col, const std::string& text);

// The one push button of the wizard (bar and pages): at a pixel position, 28
// units high and 88 wide, or wider when the label needs it. "&" in the label
// marks its access key. Disabled buttons are faded; the default button (or a
// focused one) has the blue border. Described with its action; true only when
// clicked while enabled.
struct ButtonSpec
{
    const char*  label = nullptr;
    bool         enabled = true;
    bool         isDefault = false;
    bool         isCancel = false;
    WizardAction action = Action_None;
    int          target = 0;
};
bool WizardButton(PageFrame& f, const ButtonSpec& b, float x, float y);
// Its width in pixels in the current font.
float WizardButtonWidth(const char* label, float scale);

// A check box at a point whose label wraps at f.wrapX instead of running off
// the page; the box stays beside the first line. Toggles *value when clicked
// (the box or its label), by Space while focused, or by its access key.
void PageCheckbox(PageFrame& f, const char* label, ImVec2 at, bool* value);

// A one-line text field of the given width bound to *value; `password` hides
// its text (and never describes it).
void PageTextField(PageFrame& f, const char* id, const char* name, ImVec2 at, float width, std::string* value,
                   bool password = false);

// Step lists: a tick for done, an arrow for the current step, an empty circle
// for the ones to do; described as "done", "in progress", "to do".
enum StepMark
{
    Step_Pending,
    Step_Current,
    Step_Done,
};
StepMark StepMarkFor(int index, int stage, bool busy, bool finished, bool succeeded);
const char* StepMarkName(StepMark mark);
// One line per step at x 208 from y 80, 24 units apart.
void DrawStepList(PageFrame& f, const char* const* labels, int count, int stage, bool busy, bool finished,
                  bool succeeded);
// Trough, fill (or the moving block) and outline, from x 208 to the wrap
// column; described as a progress bar with its percentage.
void DrawProgressBar(PageFrame& f, float y0, float fraction, bool moving);

// Draws a label with ImGui's text at `at` and underlines its access key while
// Alt is held. Used by the helpers above.
void DrawMnemonicUnderline(PageFrame& f, const char* label, ImVec2 textAt, ImU32 col);

// The description of the page's controls, made while the page is drawn: one
// record per control in visual order. The drawing, the keyboard handling and
// the screen reader's view (app/accessible.cpp) all read it.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum ControlRole
{
    Role_StaticText,
    Role_Heading,
    Role_Alert,         // a failure sentence
    Role_PushButton,
    Role_CheckBox,
    Role_TextField,
    Role_ProgressBar,
};

// What activating a control does; InstallerApp::Perform carries it out.
enum WizardAction
{
    Action_None,
    Action_GoTo,            // page = target
    Action_StartInstall,
    Action_StartUninstall,
    Action_CancelJob,       // asks the running job to stop
    Action_Quit,
    Action_Finish,          // FinishSetup
    Action_TryAgain,        // a new server check
    Action_Browse,          // the folder picker
    Action_Toggle,          // *flag = !*flag
};

struct Control
{
    ControlRole  role = Role_StaticText;
    std::string  id;                // stable from frame to frame: the focus follows it
    std::string  name;              // the label without its '&'
    std::string  value;             // a field's text, a bar's percentage, a step's state
    char         mnemonic = 0;      // lower-case letter or digit after the '&'; 0 for none
    float        x0 = 0, y0 = 0, x1 = 0, y1 = 0;    // client pixels
    bool         disabled = false;
    bool         checked = false;
    bool         isDefault = false; // Enter presses it unless the focus is on another button
    bool         isCancel = false;  // Esc presses it
    bool         isProtected = false;   // a password: its text is never described
    bool         live = false;      // a status line: a screen reader hears its changes
    WizardAction action = Action_None;
    int          target = 0;        // Action_GoTo: the page
    bool*        flag = nullptr;    // Action_Toggle: the box's value
    bool         pressed = false;   // clicked in this frame
};

// Buttons, boxes and fields that are enabled take the focus.
bool TakesFocus(const Control& c);

// Splits "&Next >" into the name "Next >" and the mnemonic 'n'; "&&" is a
// literal '&'. Returns the name.
std::string StripMnemonic(const char* label, char* mnemonic = nullptr);

// A request of the screen reader, carried out by the next frame on the
// interface thread: the control is named by page and id.
struct AccessRequest
{
    bool        press = false;      // accDoDefaultAction; otherwise take the focus
    int         page = 0;
    std::string id;
};

// The copy the accessible object answers from, under its mutex: the last
// frame's controls. Requests go the other way.
struct AccessibleTree
{
    std::mutex                 mutex;
    int                        page = -1;
    std::vector<Control>       controls;
    int                        focus = -1;     // index into controls; -1 none
    std::vector<AccessRequest> requests;
    bool                       alive = true;   // cleared when the window goes
};

// One event for a screen reader: a WinEvent constant and a 1-based child.
struct AccessEvent
{
    uint32_t event = 0;
    int      child = 0;
};

// The system's colours (GetSysColor, red in the lowest byte) and whether
// high contrast is on (SPI_GETHIGHCONTRAST). The defaults are those of
// Windows' "High Contrast Black".
constexpr uint32_t Rgb(unsigned r, unsigned g, unsigned b)
{
    return r | (g << 8) | (b << 16) | 0xff000000u;
}
struct SystemColours
{
    bool     highContrast = false;
    uint32_t window = Rgb(0, 0, 0);
    uint32_t windowText = Rgb(255, 255, 255);
    uint32_t highlight = Rgb(26, 235, 255);
    uint32_t highlightText = Rgb(0, 0, 0);
    uint32_t buttonFace = Rgb(0, 0, 0);
    uint32_t buttonText = Rgb(255, 255, 255);
    uint32_t grayText = Rgb(63, 242, 63);
    uint32_t hotLight = Rgb(255, 255, 0);
};
// Read from the system now; at start-up and on WM_SETTINGCHANGE and
// WM_SYSCOLORCHANGE.
SystemColours ReadSystemColours();

// The wizard's keyboard and screen-reader state beside the frame's controls.
struct WizardUi
{
    std::vector<Control> controls;      // this frame's, in visual order
    std::string focusId;                // empty: the page itself (its title)
    int         focusPage = -1;         // the page the focus belongs to
    bool        focusChosen = false;    // moved by the user: kept while it can be
    bool        selectAllOnFocus = false;   // a field reached by Tab selects its text
    bool        keyboardUsed = false;   // focus rectangles show from the first key on
    bool        showMnemonics = false;  // Alt is held: underline the access keys
    bool        focusIsButton = false;  // then it, not the page's default, looks default
    std::shared_ptr<AccessibleTree> tree = std::make_shared<AccessibleTree>();

    // What screen readers last heard, to find what changed.
    int         heardPage = -1;
    std::string heardFocus;
    std::vector<Control> heard;         // the last published controls
    struct Throttle
    {
        std::string id;
        std::string sent;
        double      time = 0;
    };
    std::vector<Throttle> throttles;    // bar values and status lines: about once a second
    std::vector<AccessEvent> events;    // to send after this frame
    bool        announcePending = false; // a throttled change still to tell: frames wanted

    // Code points the fonts lacked, for the fallback fonts before the next frame.
    std::vector<uint32_t> missingGlyphs;
    std::vector<uint32_t> glyphsTried;  // found, or looked for in vain: not again
};

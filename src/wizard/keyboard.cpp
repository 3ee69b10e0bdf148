// The keyboard as Windows wizards take it, against the controls the frame
// just described: Tab and Shift+Tab through every control in visual order,
// Enter for the default button (or the focused one), Esc for Cancel, Space
// for the focused button or box, Alt and the underlined letter. Then the
// focus settles, the pressed control acts, and the description goes to the
// screen reader's copy with the events that tell it what changed.
#include "wizard/wizard.h"

#include "state/installer_app.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>

static Control* FindControl(std::vector<Control>& controls, const std::string& id)
{
    for (Control& c : controls)
        if (c.id == id && !id.empty())
            return &c;
    return nullptr;
}

// Where a page's focus starts: its first field, else its default button
// while enabled, else the page itself (its title).
static std::string InitialFocus(const std::vector<Control>& controls)
{
    for (const Control& c : controls)
        if (c.role == Role_TextField && TakesFocus(c))
            return c.id;
    for (const Control& c : controls)
        if (c.role == Role_PushButton && c.isDefault && TakesFocus(c))
            return c.id;
    return std::string();
}

// The next (or previous) control that takes the focus, wrapping around; from
// the page itself, the first (or last).
static std::string NextFocus(const std::vector<Control>& controls, const std::string& from, int step)
{
    std::vector<int> order;
    int at = -1;
    for (int i = 0; i < (int)controls.size(); i++)
        if (TakesFocus(controls[i]))
        {
            if (controls[i].id == from)
                at = (int)order.size();
            order.push_back(i);
        }
    if (order.empty())
        return from;
    const int n = (int)order.size();
    const int next = at < 0 ? (step > 0 ? 0 : n - 1) : ((at + step) % n + n) % n;
    return controls[order[next]].id;
}

static bool AccessKeyPressed(char mnemonic)
{
    if (mnemonic >= 'a' && mnemonic <= 'z')
        return ImGui::IsKeyPressed((ImGuiKey)(ImGuiKey_A + (mnemonic - 'a')), false);
    if (mnemonic >= '0' && mnemonic <= '9')
        return ImGui::IsKeyPressed((ImGuiKey)(ImGuiKey_0 + (mnemonic - '0')), false);
    return false;
}

static double SteadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Code points of the page's texts that the main font has no glyph for.
static void FindMissingGlyphs(WizardUi& ui)
{
    ImGuiIO& io = ImGui::GetIO();
    if (io.Fonts->Fonts.empty())
        return;
    ImFont* font = io.Fonts->Fonts[0];
    auto scan = [&](const std::string& s) {
        const char* p = s.c_str();
        const char* end = p + s.size();
        while (p < end)
        {
            unsigned int c = 0;
            const int n = ImTextCharFromUtf8(&c, p, end);
            p += n > 0 ? n : 1;
            if (c < 0x80 || c > 0xFFFF)
                continue;
            if (std::find(ui.glyphsTried.begin(), ui.glyphsTried.end(), c) != ui.glyphsTried.end() ||
                std::find(ui.missingGlyphs.begin(), ui.missingGlyphs.end(), c) != ui.missingGlyphs.end())
                continue;
            if (!font->IsGlyphInFont((ImWchar)c))
                ui.missingGlyphs.push_back(c);
            else
                ui.glyphsTried.push_back(c);
        }
    };
    for (const Control& c : ui.controls)
    {
        scan(c.name);
        if (!c.isProtected)
            scan(c.value);
    }
}

// What screen readers must hear about the change from the last frame.
static void QueueEvents(WizardUi& ui, int page, int focusIndex, double now)
{
    ui.events.clear();
    const bool newPage = page != ui.heardPage;
    if (newPage)
        ui.throttles.clear();
    // Moving the focus to the new page's first control announces the page.
    if ((newPage || ui.focusId != ui.heardFocus) && focusIndex >= 0)
        ui.events.push_back({EVENT_OBJECT_FOCUS, focusIndex + 1});

    for (int i = 0; i < (int)ui.controls.size(); i++)
    {
        const Control& c = ui.controls[i];
        const Control* before = nullptr;
        if (!newPage)
            for (const Control& h : ui.heard)
                if (h.id == c.id && h.role == c.role)
                    before = &h;
        if (c.role == Role_CheckBox && before && before->checked != c.checked)
            ui.events.push_back({EVENT_OBJECT_STATECHANGE, i + 1});
        if (c.role == Role_Alert && !before)
            ui.events.push_back({EVENT_SYSTEM_ALERT, i + 1});
        // The bar and the status line change ten times a second: a screen
        // reader hears the latest at most about once a second.
        if (c.role == Role_ProgressBar || c.live)
        {
            const std::string& text = c.role == Role_ProgressBar ? c.value : c.name;
            auto t = std::find_if(ui.throttles.begin(), ui.throttles.end(),
                                  [&](const WizardUi::Throttle& x) { return x.id == c.id; });
            // First seen: nothing to tell; its first change is told at once.
            if (t == ui.throttles.end())
                ui.throttles.push_back({c.id, text, 0.0});
            else if (t->sent != text && now - t->time >= 1.0)
            {
                t->sent = text;
                t->time = now;
                ui.events.push_back({c.role == Role_ProgressBar ? (uint32_t)EVENT_OBJECT_VALUECHANGE
                                                                 : (uint32_t)EVENT_OBJECT_NAMECHANGE, i + 1});
            }
        }
    }
    ui.announcePending = false;
    for (const WizardUi::Throttle& t : ui.throttles)
        for (const Control& c : ui.controls)
            if (c.id == t.id && (c.role == Role_ProgressBar ? c.value : c.name) != t.sent)
                ui.announcePending = true;
    ui.heardPage = page;
    ui.heardFocus = ui.focusId;
    ui.heard = ui.controls;
}

void InstallerApp::HandleKeys()
{
    ImGuiIO& io = ImGui::GetIO();
    std::vector<Control>& controls = ui.controls;
    const int shownPage = page;
    ui.showMnemonics = io.KeyAlt && !io.KeyCtrl;
    if (io.KeyAlt)
        ui.keyboardUsed = true;

    Control* focus = FindControl(controls, ui.focusId);
    if (focus && !TakesFocus(*focus))
        focus = nullptr;
    auto moveFocus = [&](const std::string& id, bool selectAll) {
        ui.focusId = id;
        ui.focusChosen = true;
        ui.selectAllOnFocus = selectAll;
    };

    // What a screen reader asked for since the last frame.
    std::vector<AccessRequest> requests;
    {
        std::lock_guard<std::mutex> lock(ui.tree->mutex);
        requests.swap(ui.tree->requests);
    }
    for (const AccessRequest& r : requests)
    {
        Control* c = r.page == shownPage ? FindControl(controls, r.id) : nullptr;
        if (!c || !TakesFocus(*c))
            continue;
        if (r.press)
            c->pressed = c->role != Role_TextField;
        else
            moveFocus(c->id, false);
    }

    Control* press = nullptr;
    const bool inField = focus && focus->role == Role_TextField;
    if (ImGui::IsKeyPressed(ImGuiKey_Tab, true) && !io.KeyCtrl && !io.KeyAlt)
    {
        moveFocus(NextFocus(controls, focus ? focus->id : std::string(), io.KeyShift ? -1 : 1), true);
        ui.keyboardUsed = true;
    }
    else if (ImGui::IsKeyPressed(ImGuiKey_Enter, false) || ImGui::IsKeyPressed(ImGuiKey_KeypadEnter, false))
    {
        // The focused button, else the page's default button.
        press = focus && focus->role == Role_PushButton ? focus : nullptr;
        for (Control& c : controls)
            if (!press && c.role == Role_PushButton && c.isDefault)
                press = &c;
        ui.keyboardUsed = true;
    }
    else if (ImGui::IsKeyPressed(ImGuiKey_Escape, false))
    {
        for (Control& c : controls)
            if (!press && c.isCancel)
                press = &c;
        ui.keyboardUsed = true;
    }
    else if (ImGui::IsKeyPressed(ImGuiKey_Space, false) && focus &&
             (focus->role == Role_PushButton || focus->role == Role_CheckBox))
    {
        press = focus;
        ui.keyboardUsed = true;
    }
    else if (!io.KeyCtrl && (io.KeyAlt || !inField))
    {
        // An access key: with Alt anywhere, alone where no field takes the
        // typing (as in Windows dialogs). A box or a field also takes the focus.
        for (Control& c : controls)
            if (c.mnemonic && AccessKeyPressed(c.mnemonic) && TakesFocus(c))
            {
                if (c.role != Role_PushButton)
                    moveFocus(c.id, true);
                if (c.role != Role_TextField)
                    press = &c;
                ui.keyboardUsed = true;
                break;
            }
    }
    if (press && TakesFocus(*press))
        press->pressed = true;

    for (const Control& c : controls)
        if (c.pressed)
        {
            Perform(c);
            break;
        }

    // The focus settles: a control that went away or was disabled gives it
    // back to the page's start, which follows the page until the user moves it.
    Control* now = FindControl(controls, ui.focusId);
    if (!now || !TakesFocus(*now))
        ui.focusChosen = false;
    if (!ui.focusChosen)
    {
        ui.focusId = InitialFocus(controls);
        ui.selectAllOnFocus = false;
    }
    now = FindControl(controls, ui.focusId);
    ui.focusIsButton = now && now->role == Role_PushButton;

    // The screen reader's copy: focus on the page itself reads as its title.
    int focusIndex = -1;
    for (int i = 0; i < (int)controls.size() && focusIndex < 0; i++)
        if (ui.focusId.empty() ? controls[i].role == Role_Heading : controls[i].id == ui.focusId)
            focusIndex = i;
    {
        std::lock_guard<std::mutex> lock(ui.tree->mutex);
        ui.tree->page = shownPage;
        ui.tree->controls = controls;
        ui.tree->focus = focusIndex;
    }
    QueueEvents(ui, shownPage, focusIndex, SteadySeconds());
    FindMissingGlyphs(ui);
}

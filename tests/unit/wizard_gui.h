// Headless wizard frames for the tests: a GUI context on the null back end,
// the text the frame drew (through the library's log), the draw lists for
// colours and rectangles, and mouse clicks fed as input events.
#pragma once
#include "app/fonts.h"
#include "app/theme.h"
#include "state/installer_app.h"

#include <imgui.h>
#include <imgui_impl_null.h>
#include <imgui_internal.h>

#include <chrono>
#include <string>
#include <thread>

// Well-formed UTF-8: no stray continuation bytes, no truncated or overlong
// sequences, no surrogates, nothing above U+10FFFF.
inline bool IsUtf8(const std::string& s)
{
    size_t i = 0;
    while (i < s.size())
    {
        const unsigned char c = (unsigned char)s[i];
        int n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
        if (n < 0 || i + n >= s.size() + (n == 0 ? 1 : 0))
            return false;
        unsigned cp = n == 0 ? c : n == 1 ? (c & 0x1F) : n == 2 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k <= n; k++)
        {
            const unsigned char d = (unsigned char)s[i + k];
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

struct HeadlessGui
{
    float width, height;
    std::string text;   // what the last frame logged, in drawing order
    // What screen readers were told since the test last cleared it: each
    // event with the name of its control.
    std::vector<std::pair<uint32_t, std::string>> heard;

    explicit HeadlessGui(float w = 736, float h = 540, float dpi = 1.0f) : width(w), height(h)
    {
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        ImGui_ImplNullRender_Init();
        ApplyTheme(dpi);
        io.Fonts->AddFontDefault();
        ImGui::GetStyle().FontSizeBase = 15.0f;
    }
    ~HeadlessGui()
    {
        ImGui_ImplNullRender_Shutdown();
        ImGui::DestroyContext();
    }

    void Run(InstallerApp& app)
    {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = ImVec2(width, height);
        io.DeltaTime = 1.0f / 60.0f;
        MergeFallbackFonts(app.ui);     // as the window does before each frame
        ImGui::NewFrame();
        ImGui::LogToBuffer();
        app.Frame();
        text = GImGui->LogBuffer.c_str();
        ImGui::LogFinish();
        // Whatever the page shows (paths, system messages) must be UTF-8:
        // under a French or Japanese Windows, ANSI code-page bytes are not.
        CHECK_MESSAGE(IsUtf8(text), text);
        ImGui::Render();
        ImGui_ImplNullRender_RenderDrawData(ImGui::GetDrawData());
        for (const AccessEvent& e : app.ui.events)
            heard.push_back({e.event, app.ui.controls[e.child - 1].name});
    }
    bool Heard(uint32_t event, const char* name = nullptr) const
    {
        for (const auto& [e, n] : heard)
            if (e == event && (!name || n == name))
                return true;
        return false;
    }

    bool Shows(const std::string& s) const { return text.find(s) != std::string::npos; }

    // A key pressed and released, with modifiers held around it (ImGuiMod_Shift,
    // ImGuiMod_Alt), then a frame that settles the focus.
    void Key(InstallerApp& app, ImGuiKey key, int mods = 0)
    {
        ImGuiIO& io = ImGui::GetIO();
        if (mods & ImGuiMod_Shift)
            io.AddKeyEvent(ImGuiMod_Shift, true);
        if (mods & ImGuiMod_Alt)
            io.AddKeyEvent(ImGuiMod_Alt, true);
        io.AddKeyEvent(key, true);
        Run(app);
        io.AddKeyEvent(key, false);
        if (mods & ImGuiMod_Shift)
            io.AddKeyEvent(ImGuiMod_Shift, false);
        if (mods & ImGuiMod_Alt)
            io.AddKeyEvent(ImGuiMod_Alt, false);
        Run(app);
    }

    // The control of the last frame with this name; null when none.
    static const Control* Find(const InstallerApp& app, const std::string& name)
    {
        for (const Control& c : app.ui.controls)
            if (c.name == name)
                return &c;
        return nullptr;
    }
    static std::string Value(const InstallerApp& app, const std::string& name)
    {
        const Control* c = Find(app, name);
        return c ? c->value : std::string("(none)");
    }
    // The name of the focused control; "" for the page itself.
    static std::string FocusName(const InstallerApp& app)
    {
        for (const Control& c : app.ui.controls)
            if (!app.ui.focusId.empty() && c.id == app.ui.focusId)
                return c.name;
        return std::string();
    }

    // Press and release the left button at (x, y) pixels. The window must have
    // been drawn once before the library can tell that the pointer is over it.
    void Click(InstallerApp& app, float x, float y)
    {
        ImGuiIO& io = ImGui::GetIO();
        Run(app);
        io.AddMousePosEvent(x, y);
        Run(app);
        io.AddMouseButtonEvent(0, true);
        Run(app);
        io.AddMouseButtonEvent(0, false);
        Run(app);
        io.AddMousePosEvent(-FLT_MAX, -FLT_MAX);
    }

    // Centres of the three bar slots and their rectangles.
    float Scale() const { return width / 640.0f; }
    ImVec2 SlotMin(int slot) const   // 0 left, 1 middle, 2 rightmost
    {
        const float s = Scale(), r = width - 14 * s;
        const float x = slot == 0 ? r - 3 * 88 * s - 26 * s : slot == 1 ? r - 2 * 88 * s - 8 * s : r - 88 * s;
        return ImVec2(x, height - 58 * s + 15 * s);
    }
    ImVec2 SlotMax(int slot) const
    {
        ImVec2 p = SlotMin(slot);
        return ImVec2(p.x + 88 * Scale(), p.y + 28 * Scale());
    }
    void ClickSlot(InstallerApp& app, int slot)
    {
        ImVec2 a = SlotMin(slot), b = SlotMax(slot);
        Click(app, (a.x + b.x) / 2, (a.y + b.y) / 2);
    }

    // Whether the last frame drew a vertex of exactly this colour inside the rectangle.
    bool DrewColour(ImU32 col, ImVec2 min, ImVec2 max) const
    {
        ImDrawData* dd = ImGui::GetDrawData();
        for (ImDrawList* dl : dd->CmdLists)
            for (const ImDrawVert& v : dl->VtxBuffer)
                if (v.col == col && v.pos.x >= min.x - 0.5f && v.pos.x <= max.x + 0.5f && v.pos.y >= min.y - 0.5f &&
                    v.pos.y <= max.y + 0.5f)
                    return true;
        return false;
    }
    // Rightmost x of any vertex of this colour in the band of rows; -1 when none.
    float RightmostOf(ImU32 col, float y0, float y1) const
    {
        float right = -1;
        ImDrawData* dd = ImGui::GetDrawData();
        for (ImDrawList* dl : dd->CmdLists)
            for (const ImDrawVert& v : dl->VtxBuffer)
                if (v.col == col && v.pos.y >= y0 && v.pos.y <= y1 && v.pos.x > right)
                    right = v.pos.x;
        return right;
    }
    float LeftmostOf(ImU32 col, float y0, float y1) const
    {
        float left = -1;
        ImDrawData* dd = ImGui::GetDrawData();
        for (ImDrawList* dl : dd->CmdLists)
            for (const ImDrawVert& v : dl->VtxBuffer)
                if (v.col == col && v.pos.y >= y0 && v.pos.y <= y1 && (left < 0 || v.pos.x < left))
                    left = v.pos.x;
        return left;
    }
};

// A job started by a click runs the real worker: wait until it has ended so
// that it never outlives the InstallerApp of the test.
inline bool WaitForJobEnd(InstallerApp& app, int seconds = 30)
{
    for (int i = 0; i < seconds * 20 && app.jobBusy.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !app.jobBusy.load();
}

// A screen reader's view of the setup, from another process, the way MSAA
// clients see it: starts the setup, walks its accessible tree on each page
// (roles, names, states, values), presses the way on with
// accDoDefaultAction, and watches the WinEvents (the focus while Tab moves
// it, a toggled box). Installs, then removes again.
//   a11y-probe.exe SETUP_EXE INSTALL_DIR
// Prints one line per check; exit code 0 when all held.
#include <windows.h>

#include <oleacc.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace
{
int g_failures = 0;
HWND g_window = nullptr;

struct Heard
{
    DWORD event;
    long  child;
};
std::vector<Heard> g_events;

void Check(bool ok, const std::string& what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    fflush(stdout);
    if (!ok)
        g_failures++;
}

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD)
{
    // Hooked for every process (a hook for one process hears nothing under
    // Wine): only the setup's client area counts.
    if (hwnd && hwnd == g_window && object == OBJID_CLIENT)
        g_events.push_back({event, child});
}

// Lets the hook's events in while waiting.
void Pump(DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    for (;;)
    {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        const DWORD now = GetTickCount();
        if ((LONG)(end - now) <= 0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
    }
}

std::string Utf8(BSTR b)
{
    if (!b)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, b, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, b, -1, &s[0], n, nullptr, nullptr);
    SysFreeString(b);
    return s;
}

VARIANT Child(long id)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

struct Item
{
    long        id = 0;
    std::string role;   // "push button", "heading", ...
    std::string name, value, shortcut, action;
    long        state = 0;
};

std::string RoleText(const VARIANT& role)
{
    if (role.vt == VT_BSTR)
        return Utf8(role.bstrVal);
    if (role.vt != VT_I4)
        return "?";
    switch (role.lVal)
    {
    case ROLE_SYSTEM_PUSHBUTTON: return "push button";
    case ROLE_SYSTEM_CHECKBUTTON: return "check box";
    case ROLE_SYSTEM_TEXT: return "text field";
    case ROLE_SYSTEM_STATICTEXT: return "static text";
    case ROLE_SYSTEM_PROGRESSBAR: return "progress bar";
    case ROLE_SYSTEM_ALERT: return "alert";
    default: return "role " + std::to_string(role.lVal);
    }
}

std::vector<Item> Walk(IAccessible* acc)
{
    std::vector<Item> items;
    long count = 0;
    if (FAILED(acc->get_accChildCount(&count)))
        return items;
    for (long id = 1; id <= count; id++)
    {
        Item it;
        it.id = id;
        VARIANT v = Child(id), role, state;
        BSTR b = nullptr;
        if (acc->get_accRole(v, &role) != S_OK)
            continue;
        it.role = RoleText(role);
        if (acc->get_accName(v, &b) == S_OK)
            it.name = Utf8(b);
        b = nullptr;
        if (acc->get_accValue(v, &b) == S_OK)
            it.value = Utf8(b);
        b = nullptr;
        if (acc->get_accKeyboardShortcut(v, &b) == S_OK)
            it.shortcut = Utf8(b);
        b = nullptr;
        if (acc->get_accDefaultAction(v, &b) == S_OK)
            it.action = Utf8(b);
        if (acc->get_accState(v, &state) == S_OK && state.vt == VT_I4)
            it.state = state.lVal;
        items.push_back(it);
    }
    return items;
}

const Item* Find(const std::vector<Item>& items, const std::string& name)
{
    for (const Item& it : items)
        if (it.name == name)
            return &it;
    return nullptr;
}

const Item* FindRole(const std::vector<Item>& items, const std::string& role)
{
    for (const Item& it : items)
        if (it.role == role)
            return &it;
    return nullptr;
}

// Until the tree shows what is waited for.
std::vector<Item> WaitFor(IAccessible* acc, const std::function<bool(const std::vector<Item>&)>& ready, DWORD ms,
                          const std::string& what)
{
    const DWORD end = GetTickCount() + ms;
    std::vector<Item> items;
    do
    {
        items = Walk(acc);
        if (ready(items))
            return items;
        Pump(100);
    } while ((LONG)(end - GetTickCount()) > 0);
    Check(false, "waiting for " + what);
    for (const Item& it : items)
        printf("  %ld %s \"%s\" value \"%s\" state 0x%lx\n", it.id, it.role.c_str(), it.name.c_str(), it.value.c_str(),
               it.state);
    return items;
}

std::vector<Item> WaitForPage(IAccessible* acc, const char* heading, DWORD ms = 30000)
{
    return WaitFor(acc, [&](const std::vector<Item>& items) {
        const Item* h = FindRole(items, "heading");
        return h && h->name == heading;
    }, ms, std::string("the page \"") + heading + "\"");
}

// The name of the control a focus event named; empty when none came.
std::string FocusHeard(const std::vector<Item>& items, DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    while ((LONG)(end - GetTickCount()) > 0)
    {
        for (const Heard& h : g_events)
            if (h.event == EVENT_OBJECT_FOCUS && h.child >= 1 && h.child <= (long)items.size())
                return items[h.child - 1].name;
        Pump(50);
    }
    return std::string();
}

bool EventHeard(DWORD event, long child, DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    while ((LONG)(end - GetTickCount()) > 0)
    {
        for (const Heard& h : g_events)
            if (h.event == event && h.child == child)
                return true;
        Pump(50);
    }
    return false;
}

bool Press(IAccessible* acc, const Item* it, const std::string& what)
{
    const bool ok = it && acc->accDoDefaultAction(Child(it->id)) == S_OK;
    Check(ok, "accDoDefaultAction on " + what);
    return ok;
}

void Key(WPARAM vk)
{
    const UINT scan = MapVirtualKeyW((UINT)vk, MAPVK_VK_TO_VSC);
    PostMessageW(g_window, WM_KEYDOWN, vk, 1 | (scan << 16));
    PostMessageW(g_window, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
}

bool Has(long state, long flag)
{
    return (state & flag) != 0;
}

struct Setup
{
    PROCESS_INFORMATION pi = {};
    IAccessible* acc = nullptr;

    bool Start(const std::wstring& exe, const std::wstring& args)
    {
        std::wstring line = L"\"" + exe + L"\" " + args;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        {
            printf("  CreateProcess: error %lu\n", GetLastError());
            return false;
        }
        for (int i = 0; i < 600 && !g_window; i++)
        {
            Pump(100);
            HWND w = FindWindowW(nullptr, L"Ostrel Setup");
            if (w && IsWindowVisible(w))
                g_window = w;
        }
        if (!g_window)
        {
            printf("  no window\n");
            return false;
        }
        const HRESULT hr = AccessibleObjectFromWindow(g_window, (DWORD)OBJID_CLIENT, IID_IAccessible, (void**)&acc);
        if (FAILED(hr))
            printf("  AccessibleObjectFromWindow: 0x%08lx\n", (unsigned long)hr);
        return SUCCEEDED(hr) && acc;
    }
    DWORD Wait(DWORD ms)
    {
        DWORD code = 259;
        for (DWORD waited = 0; waited < ms; waited += 100)
        {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0)
                break;
            Pump(100);
        }
        GetExitCodeProcess(pi.hProcess, &code);
        return code;
    }
    ~Setup()
    {
        if (acc)
            acc->Release();
        if (pi.hProcess)
        {
            if (WaitForSingleObject(pi.hProcess, 0) != WAIT_OBJECT_0)
                TerminateProcess(pi.hProcess, 3);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        g_window = nullptr;
    }
};

void Install(const std::wstring& exe, const std::string& dir, const std::wstring& wdir)
{
    Setup setup;
    if (!setup.Start(exe, L"--dir \"" + wdir + L"\""))
    {
        Check(false, "the setup's window answers for its client area");
        return;
    }
    IAccessible* acc = setup.acc;

    // Welcome: once the server answered, Next is the default and has the focus.
    auto items = WaitFor(acc, [](const std::vector<Item>& it) {
        const Item* next = Find(it, "Next >");
        return next && !Has(next->state, STATE_SYSTEM_UNAVAILABLE);
    }, 60000, "Next to be enabled on the Welcome page");
    const Item* heading = FindRole(items, "heading");
    Check(heading && heading->name == "Welcome to the Ostrel Setup Wizard", "Welcome: the title is a heading");
    const Item* next = Find(items, "Next >");
    Check(next && next->role == "push button" && Has(next->state, STATE_SYSTEM_DEFAULT) &&
              Has(next->state, STATE_SYSTEM_FOCUSED) && next->shortcut == "Alt+N" && next->action == "Press",
          "Welcome: \"Next >\" is the focused default button, Alt+N, \"Press\"");
    const Item* back = Find(items, "< Back");
    Check(back && Has(back->state, STATE_SYSTEM_UNAVAILABLE), "Welcome: \"< Back\" is unavailable");
    Check(Find(items, "Cancel") != nullptr, "Welcome: \"Cancel\" is there");
    auto figures = [](const std::vector<Item>& it) {
        for (const Item& i : it)
            if (i.role == "static text" && i.name.rfind("Download size: ", 0) == 0)
                return true;
        return false;
    };
    Check(figures(WaitFor(acc, figures, 5000, "the download figures")), "Welcome: the download figures are a text");

    // Tab moves the focus, and the screen reader hears each move.
    g_events.clear();
    Key(VK_TAB);
    Check(FocusHeard(items, 5000) == "Cancel", "Tab: a focus event for \"Cancel\"");
    g_events.clear();
    Key(VK_TAB);
    Check(FocusHeard(items, 5000) == "Next >", "Tab again: a focus event for \"Next >\" (round again)");

    // Next, pressed the way a screen reader presses it.
    g_events.clear();
    Press(acc, Find(items, "Next >"), "\"Next >\"");
    items = WaitForPage(acc, "Choose the install location");
    Check(FocusHeard(items, 5000) == "Install folder", "Install location: the page starts with a focus event on its field");
    const Item* field = Find(items, "Install folder");
    Check(field && field->role == "text field" && field->value == dir && Has(field->state, STATE_SYSTEM_FOCUSED),
          "Install location: the folder field has the focus and the folder as its value");
    const Item* browse = Find(items, "Browse...");
    Check(browse && browse->shortcut == "Alt+R", "Install location: \"Browse...\" is Alt+R");
    const Item* desktop = Find(items, "Create a desktop shortcut");
    Check(desktop && desktop->role == "check box" && Has(desktop->state, STATE_SYSTEM_CHECKED) &&
              desktop->action == "Uncheck",
          "Install location: the desktop shortcut box is checked, its action \"Uncheck\"");
    if (desktop)
    {
        g_events.clear();
        Press(acc, desktop, "the desktop shortcut box");
        Check(EventHeard(EVENT_OBJECT_STATECHANGE, desktop->id, 5000), "the box's state change is heard");
        items = WaitFor(acc, [](const std::vector<Item>& it) {
            const Item* d = Find(it, "Create a desktop shortcut");
            return d && !Has(d->state, STATE_SYSTEM_CHECKED);
        }, 5000, "the desktop box to be unchecked");
    }

    Press(acc, Find(items, "Next >"), "\"Next >\" on Install location");
    items = WaitForPage(acc, "Ready to install");
    const Item* install = Find(items, "Install");
    Check(install && Has(install->state, STATE_SYSTEM_DEFAULT) && install->shortcut == "Alt+I",
          "Ready: \"Install\" is the default button, Alt+I");
    Check(Find(items, dir) != nullptr, "Ready: the folder is a text");
    Check(Find(items, "Shortcuts: Start menu") != nullptr, "Ready: the shortcuts line says Start menu only");

    Press(acc, install, "\"Install\"");
    items = WaitForPage(acc, "Installing Ostrel", 10000);
    const Item* bar = FindRole(items, "progress bar");
    Check(bar != nullptr, "Installing: a progress bar");
    const Item* step = Find(items, "Checking the server");
    Check(step && (step->value == "done" || step->value == "in progress"), "Installing: the steps say how far they are");

    items = WaitForPage(acc, "Completing the Ostrel Setup Wizard", 180000);
    const Item* open = Find(items, "Open the Ostrel launcher now");
    Check(open && Has(open->state, STATE_SYSTEM_CHECKED), "Finished: the launcher box is checked");
    if (open)
    {
        Press(acc, open, "the launcher box");
        WaitFor(acc, [](const std::vector<Item>& it) {
            const Item* o = Find(it, "Open the Ostrel launcher now");
            return o && !Has(o->state, STATE_SYSTEM_CHECKED);
        }, 5000, "the launcher box to be unchecked");
    }
    items = Walk(acc);
    const Item* finish = Find(items, "Finish");
    Check(finish && Has(finish->state, STATE_SYSTEM_DEFAULT) && Has(finish->state, STATE_SYSTEM_FOCUSED),
          "Finished: \"Finish\" is the focused default button");
    Press(acc, finish, "\"Finish\"");
    Check(setup.Wait(30000) == 0, "the setup ended with exit code 0");
}

void Uninstall(const std::wstring& exe)
{
    Setup setup;
    if (!setup.Start(exe, L"--uninstall"))
    {
        Check(false, "the uninstall's window answers for its client area");
        return;
    }
    IAccessible* acc = setup.acc;
    auto items = WaitForPage(acc, "Uninstall Ostrel");
    const Item* uninstall = Find(items, "Uninstall");
    Check(uninstall && Has(uninstall->state, STATE_SYSTEM_DEFAULT) && Has(uninstall->state, STATE_SYSTEM_FOCUSED),
          "Uninstall: \"Uninstall\" is the focused default button");
    const Item* keep = Find(items, "Also delete my launcher settings and sign-in");
    Check(keep && !Has(keep->state, STATE_SYSTEM_CHECKED) && keep->shortcut == "Alt+D",
          "Uninstall: the settings box is unchecked, Alt+D");
    const Item* back = Find(items, "< Back");
    Check(back && Has(back->state, STATE_SYSTEM_UNAVAILABLE), "Uninstall: \"< Back\" is unavailable with --uninstall");
    Press(acc, uninstall, "\"Uninstall\"");
    items = WaitForPage(acc, "Ostrel has been removed", 120000);
    Press(acc, Find(items, "Finish"), "\"Finish\" after the removal");
    Check(setup.Wait(30000) == 0, "the removal ended with exit code 0");
}

std::wstring Wide(const char* s)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1)
        MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
    return w;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        fprintf(stderr, "usage: a11y-probe SETUP_EXE INSTALL_DIR\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HWINEVENTHOOK objects = SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_VALUECHANGE, nullptr, OnEvent, 0, 0,
                                            WINEVENT_OUTOFCONTEXT);
    HWINEVENTHOOK alerts = SetWinEventHook(EVENT_SYSTEM_ALERT, EVENT_SYSTEM_ALERT, nullptr, OnEvent, 0, 0,
                                           WINEVENT_OUTOFCONTEXT);
    Check(objects && alerts, "WinEvent hooks set");
    Install(Wide(argv[1]), argv[2], Wide(argv[2]));
    if (g_failures == 0)
        Uninstall(Wide(argv[1]));
    UnhookWinEvent(alerts);
    UnhookWinEvent(objects);
    CoUninitialize();
    printf("%d failed\n", g_failures);
    return g_failures ? 1 : 0;
}

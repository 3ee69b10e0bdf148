// The window, Direct3D 11 and the GUI context; no wizard logic lives here.
#include "app/window.h"

#include "app/accessible.h"
#include "app/fonts.h"
#include "app/theme.h"
#include "state/installer_app.h"
#include "wizard/layout.h"
#include "wizard/page_style.h"

#include "util/handles.h"
#include "util/text.h"
#include "wizard/wizard.h"

#include <d3d11.h>
#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_win32.h>

#include <oleacc.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

static const wchar_t* kClassName = kWindowClassName;

using Microsoft::WRL::ComPtr;

static HWND                           g_window = nullptr;
static ComPtr<ID3D11Device>           g_device;
static ComPtr<ID3D11DeviceContext>    g_context;
static ComPtr<IDXGISwapChain>         g_swapChain;
static ComPtr<ID3D11RenderTargetView> g_renderTarget;
static ComPtr<ITaskbarList3>          g_taskbar;
static InstallerApp*                  g_app = nullptr;
// What screen readers were handed for the client area (created on their first
// WM_GETOBJECT), and the tree it answers from.
static IAccessible*                   g_accessible = nullptr;
static std::shared_ptr<AccessibleTree> g_accessibleTree;

// In reverse order of creation.
static void ReleaseGraphics()
{
    g_renderTarget.Reset();
    g_swapChain.Reset();
    g_context.Reset();
    g_device.Reset();
}

static bool CreateGraphics(HWND wnd)
{
    DXGI_SWAP_CHAIN_DESC sd;
    ZeroMemory(&sd, sizeof(sd));
    sd.BufferCount = 2;
    sd.BufferDesc.Width = 0;
    sd.BufferDesc.Height = 0;
    sd.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.BufferDesc.RefreshRate.Numerator = 60;
    sd.BufferDesc.RefreshRate.Denominator = 1;
    sd.Flags = 0;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.OutputWindow = wnd;
    sd.SampleDesc.Count = 1;
    sd.SampleDesc.Quality = 0;
    sd.Windowed = TRUE;
    sd.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;

    const D3D_FEATURE_LEVEL levels[2] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    D3D_FEATURE_LEVEL level;
    HRESULT hr = D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels, 2,
                                               D3D11_SDK_VERSION, &sd, g_swapChain.ReleaseAndGetAddressOf(),
                                               g_device.ReleaseAndGetAddressOf(), &level, g_context.ReleaseAndGetAddressOf());
    if (hr == DXGI_ERROR_UNSUPPORTED)   // no hardware device: the software rasteriser still shows the wizard
    {
        ReleaseGraphics();
        hr = D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, levels, 2,
                                           D3D11_SDK_VERSION, &sd, g_swapChain.ReleaseAndGetAddressOf(),
                                           g_device.ReleaseAndGetAddressOf(), &level, g_context.ReleaseAndGetAddressOf());
    }
    if (FAILED(hr))
    {
        ReleaseGraphics();
        return false;
    }

    ComPtr<ID3D11Texture2D> backBuffer;
    if (FAILED(g_swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer))))
    {
        ReleaseGraphics();
        return false;
    }
    hr = g_device->CreateRenderTargetView(backBuffer.Get(), nullptr, g_renderTarget.ReleaseAndGetAddressOf());
    if (FAILED(hr))
    {
        ReleaseGraphics();
        return false;
    }
    return true;
}

// Screen readers still holding the object get "disconnected" from now on.
static void ReleaseAccessible()
{
    if (g_accessibleTree)
    {
        std::lock_guard<std::mutex> lock(g_accessibleTree->mutex);
        g_accessibleTree->alive = false;
    }
    if (g_accessible)
    {
        CoDisconnectObject(g_accessible, 0);
        g_accessible->Release();
        g_accessible = nullptr;
    }
    g_accessibleTree.reset();
}

static LRESULT WINAPI WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (ImGui::GetCurrentContext() && ImGui_ImplWin32_WndProcHandler(wnd, msg, wParam, lParam))
        return 1;
    switch (msg)
    {
    case WM_DESTROY:
        ReleaseAccessible();
        PostQuitMessage(0);
        return 0;
    case WM_GETOBJECT:
        // The client area as the frames describe it; anything else (the
        // window's frame, UI Automation) is the system's.
        if ((LONG)lParam == (LONG)OBJID_CLIENT && g_app)
        {
            if (!g_accessible)
            {
                g_accessibleTree = g_app->ui.tree;
                g_accessible = CreateWizardAccessible(wnd, g_accessibleTree);
            }
            return LresultFromObject(IID_IAccessible, wParam, g_accessible);
        }
        break;
    case WM_SETTINGCHANGE:
    case WM_SYSCOLORCHANGE:
        // High contrast switched on or off, or other system colours: the next
        // frame draws with them.
        if (g_app)
        {
            g_app->systemColours = ReadSystemColours();
            PostMessageW(wnd, kAccessRequestMessage, 0, 0);
        }
        break;
    case WM_CLOSE:
        // Closing during a job only asks it to stop; the window stays.
        if (g_app && g_app->jobBusy.load())
        {
            g_app->cancelRequested.store(true);
            return 0;
        }
        break;
    case WM_SYSCOMMAND:
        if ((wParam & 0xfff0) == SC_KEYMENU)    // Alt alone must not open the window menu
            return 0;
        break;
    }
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

HWND CreateMainWindow(HINSTANCE instance)
{
    const float dpi = ImGui_ImplWin32_GetDpiScaleForMonitor(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY));

    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_CLASSDC;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    // The client area of the wizard's layout, scaled by the DPI (Layout).
    RECT rc = {0, 0, (LONG)(dpi * Layout::WindowWidth), (LONG)(dpi * Layout::WindowHeight)};
    AdjustWindowRect(&rc, style, FALSE);
    const int outerW = rc.right - rc.left;
    const int outerH = rc.bottom - rc.top;
    MONITORINFO mi;
    mi.cbSize = sizeof(mi);
    int x = 0, y = 0;
    if (GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi))
    {
        x = (mi.rcWork.left + mi.rcWork.right - outerW) / 2;
        y = (mi.rcWork.top + mi.rcWork.bottom - outerH) / 2;
    }
    g_window = CreateWindowExW(0, kClassName, L"Ostrel Setup", style, x, y, outerW, outerH,
                               nullptr, nullptr, instance, nullptr);
    if (!g_window || !CreateGraphics(g_window))
    {
        MessageBoxW(nullptr, L"Couldn't start the graphics for the installer (Direct3D 11).", L"Ostrel Installer",
                    MB_ICONERROR);
        if (g_window)
            DestroyWindow(g_window);
        g_window = nullptr;
        UnregisterClassW(kClassName, instance);
        return nullptr;
    }

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    // No keyboard navigation of the library's own: the wizard takes the keys
    // as Windows wizards do (wizard/keyboard.cpp).
    io.IniFilename = nullptr;

    ApplyTheme(dpi);

    LoadFonts(io);
    ImGui::GetStyle().FontSizeBase = 15.0f;

    ImGui_ImplWin32_Init(g_window);
    ImGui_ImplDX11_Init(g_device.Get(), g_context.Get());
    return g_window;
}

void SetWindowApp(InstallerApp* app)
{
    g_app = app;
    if (app)
        app->systemColours = ReadSystemColours();
}

// The GUI frame up to its draw data; cheap next to rendering it under Wine.
static void BuildFrame(InstallerApp& app)
{
    // Glyphs the last frame lacked, from the system's fonts: before the frame,
    // while no font is in use.
    MergeFallbackFonts(app.ui);
    ImGui_ImplDX11_NewFrame();
    ImGui_ImplWin32_NewFrame();
    ImGui::NewFrame();
    app.Frame();
    ImGui::Render();
    SendAccessEvents(g_window, app.ui.events);
    app.ui.events.clear();
}

static void RenderFrame()
{
    const float clear[4] = {15 / 255.0f, 15 / 255.0f, 19 / 255.0f, 1.0f};
    ID3D11RenderTargetView* target = g_renderTarget.Get();
    g_context->OMSetRenderTargets(1, &target, nullptr);
    g_context->ClearRenderTargetView(target, clear);
    ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
}

void DrawFrame(InstallerApp& app)
{
    BuildFrame(app);
    RenderFrame();
}

// A digest of what the frame draws: vertices, indices, commands and textures.
// Equal digests mean an equal picture.
static uint64_t DrawDataDigest(const ImDrawData* dd)
{
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const void* data, size_t size) {
        const unsigned char* p = (const unsigned char*)data;
        for (size_t i = 0; i < size; i++)
            h = (h ^ p[i]) * 1099511628211ull;
    };
    mix(&dd->DisplaySize, sizeof(dd->DisplaySize));
    for (const ImDrawList* dl : dd->CmdLists)
    {
        mix(dl->VtxBuffer.Data, (size_t)dl->VtxBuffer.Size * sizeof(ImDrawVert));
        mix(dl->IdxBuffer.Data, (size_t)dl->IdxBuffer.Size * sizeof(ImDrawIdx));
        for (const ImDrawCmd& cmd : dl->CmdBuffer)
        {
            const ImTextureID tex = cmd.GetTexID();
            mix(&cmd.ClipRect, sizeof(cmd.ClipRect));
            mix(&tex, sizeof(tex));
            mix(&cmd.VtxOffset, sizeof(cmd.VtxOffset));
            mix(&cmd.IdxOffset, sizeof(cmd.IdxOffset));
            mix(&cmd.ElemCount, sizeof(cmd.ElemCount));
        }
    }
    return h;
}

bool PresentFrame()
{
    // Paced by the vertical blank. A locked screen or a covered window
    // answers "occluded" at once: the caller stops drawing until it clears.
    return g_swapChain->Present(1, 0) != DXGI_STATUS_OCCLUDED;
}

// The taskbar button shows the job's progress; only changes are sent.
static void UpdateTaskbar(const InstallerApp& app, TaskbarProgress& shown)
{
    if (!g_taskbar)
        return;
    const TaskbarProgress now = WizardTaskbarProgress(app);
    if (now.state == shown.state && now.done == shown.done && now.total == shown.total)
        return;
    static const TBPFLAG flags[] = {TBPF_NOPROGRESS, TBPF_NORMAL, TBPF_INDETERMINATE, TBPF_ERROR};
    if (now.state != shown.state)
        g_taskbar->SetProgressState(g_window, flags[now.state]);
    // A value also switches an indeterminate state back to normal: only when it counts.
    if ((now.state == Taskbar_Normal || now.state == Taskbar_Error) && now.total != 0)
        g_taskbar->SetProgressValue(g_window, now.done, now.total);
    shown = now;
}

// WM_SYSTIMER: not in the SDK headers.
static const UINT kSystemTimer = 0x0118;

void RunFrameLoop(InstallerApp& app)
{
    // ImGui needs a few frames after an input to settle (hover, release,
    // focus); a click or a key is drawn within the first of them.
    const int kSettleFrames = 3;
    int settle = kSettleFrames;
    bool occluded = false;

    // Only once the window is shown does it have a taskbar button.
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&g_taskbar))) &&
        FAILED(g_taskbar->HrInit()))
        g_taskbar.Reset();
    TaskbarProgress shown;
    int lastWait = -1;
    uint64_t presented = 0;     // digest of the picture on screen

    for (;;)
    {
        const bool hidden = occluded || IsIconic(g_window);
        int wait = WizardFrameWait(app);        // -1: until an event
        // Something moved until now (a job, a check): the frame that shows
        // how it ended is still owed.
        if (wait < 0 && lastWait >= 0 && settle == 0)
            settle = 1;
        lastWait = wait;
        if (!hidden && settle > 0)
            wait = 0;
        if (hidden && wait >= 0 && wait < 100)
            wait = 100;                         // nobody sees an animation
        if (occluded && wait < 0)
            wait = 250;                         // no message says the occlusion ended
        if (wait != 0)
            MsgWaitForMultipleObjectsEx(0, nullptr, wait < 0 ? INFINITE : (DWORD)wait, QS_ALLINPUT,
                                        MWMO_INPUTAVAILABLE);

        bool quit = false, any = false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            // The system's own timers (Wine blinks an input caret with one
            // about twice a second) change nothing on the page, nor do the
            // messages of COM's own window (a screen reader's questions).
            if (msg.hwnd == g_window && msg.message != WM_TIMER && msg.message != kSystemTimer)
                any = true;
            if (msg.message == WM_QUIT)
                quit = true;
        }
        if (quit)
            break;
        if (any)
            settle = kSettleFrames;

        UpdateTaskbar(app, shown);
        if (occluded)
            occluded = g_swapChain->Present(0, DXGI_PRESENT_TEST) == DXGI_STATUS_OCCLUDED;
        if (occluded || IsIconic(g_window))
        {
            // Nothing is drawn, but a job that ends still moves the wizard on
            // (an unattended install closes even behind a locked screen).
            app.Advance();
            if (app.quitRequested)
                break;
            continue;
        }
        // Woken by a message that changes nothing, with nothing else due.
        if (!any && settle == 0 && wait < 0)
            continue;
        BuildFrame(app);
        // A timed frame (figures that move ten times a second) whose picture
        // did not change is not rendered again: a slow download moves its bar
        // a pixel every second or so. After input or a message it always is.
        const uint64_t digest = DrawDataDigest(ImGui::GetDrawData());
        bool timed = !any && settle == 0;
        // Texture work the renderer still owes (new glyphs) is never put off.
        if (const ImVector<ImTextureData*>* textures = ImGui::GetDrawData()->Textures)
            for (const ImTextureData* t : *textures)
                if (t->Status != ImTextureStatus_OK)
                    timed = false;
        if (!(timed && digest == presented))
        {
            RenderFrame();
            occluded = !PresentFrame();
            presented = digest;
        }
        if (settle > 0)
            settle--;
        if (app.quitRequested)
            break;
    }
    // The button's progress goes with the window.
    if (g_taskbar)
        g_taskbar->SetProgressState(g_window, TBPF_NOPROGRESS);
    g_taskbar.Reset();
}

bool ReadBackBuffer(std::vector<unsigned char>& rgba, int& width, int& height)
{
    ComPtr<ID3D11Texture2D> backBuffer;
    if (FAILED(g_swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer))))
        return false;
    D3D11_TEXTURE2D_DESC desc;
    backBuffer->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    bool ok = false;
    if (SUCCEEDED(g_device->CreateTexture2D(&desc, nullptr, &staging)))
    {
        g_context->CopyResource(staging.Get(), backBuffer.Get());
        D3D11_MAPPED_SUBRESOURCE mapped;
        if (SUCCEEDED(g_context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped)))
        {
            width = (int)desc.Width;
            height = (int)desc.Height;
            rgba.resize((size_t)width * height * 4);
            for (int row = 0; row < height; row++)
                memcpy(&rgba[(size_t)row * width * 4], (const unsigned char*)mapped.pData + (size_t)row * mapped.RowPitch,
                       (size_t)width * 4);
            g_context->Unmap(staging.Get(), 0);
            ok = true;
        }
    }
    return ok;
}

void DestroyMainWindow(HINSTANCE instance)
{
    ReleaseAccessible();
    ImGui_ImplDX11_Shutdown();
    ImGui_ImplWin32_Shutdown();
    ImGui::DestroyContext();
    g_semiboldFont = nullptr;
    g_lightFont = nullptr;
    ReleaseGraphics();
    if (g_window && IsWindow(g_window))
        DestroyWindow(g_window);
    g_window = nullptr;
    UnregisterClassW(kClassName, instance);
}

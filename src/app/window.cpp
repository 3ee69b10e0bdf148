// The window, Direct3D 11 and the GUI context; no wizard logic lives here.
#include "app/window.h"

#include "app/theme.h"
#include "state/installer_app.h"
#include "wizard/page_style.h"

#include <d3d11.h>
#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_win32.h>

#include <cstring>

extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

static const wchar_t* kClassName = L"OstrelInstaller";

static HWND                    g_window = nullptr;
static ID3D11Device*           g_device = nullptr;
static ID3D11DeviceContext*    g_context = nullptr;
static IDXGISwapChain*         g_swapChain = nullptr;
static ID3D11RenderTargetView* g_renderTarget = nullptr;
static InstallerApp*           g_app = nullptr;

static void ReleaseGraphics()
{
    if (g_renderTarget) { g_renderTarget->Release(); g_renderTarget = nullptr; }
    if (g_swapChain) { g_swapChain->Release(); g_swapChain = nullptr; }
    if (g_context) { g_context->Release(); g_context = nullptr; }
    if (g_device) { g_device->Release(); g_device = nullptr; }
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
                                               D3D11_SDK_VERSION, &sd, &g_swapChain, &g_device, &level, &g_context);
    if (hr == DXGI_ERROR_UNSUPPORTED)   // no hardware device: the software rasteriser still shows the wizard
    {
        ReleaseGraphics();
        hr = D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, levels, 2,
                                           D3D11_SDK_VERSION, &sd, &g_swapChain, &g_device, &level, &g_context);
    }
    if (FAILED(hr))
    {
        ReleaseGraphics();
        return false;
    }

    ID3D11Texture2D* backBuffer = nullptr;
    if (FAILED(g_swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer))))
    {
        ReleaseGraphics();
        return false;
    }
    hr = g_device->CreateRenderTargetView(backBuffer, nullptr, &g_renderTarget);
    backBuffer->Release();
    if (FAILED(hr))
    {
        ReleaseGraphics();
        return false;
    }
    return true;
}

static LRESULT WINAPI WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (ImGui::GetCurrentContext() && ImGui_ImplWin32_WndProcHandler(wnd, msg, wParam, lParam))
        return 1;
    switch (msg)
    {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
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

static bool FileExists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
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
    RECT rc = {0, 0, (LONG)(dpi * 736.0f), (LONG)(dpi * 540.5f)};
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
    io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
    io.IniFilename = nullptr;

    ApplyTheme(dpi);

    if (FileExists(L"C:\\Windows\\Fonts\\segoeui.ttf"))
        io.Fonts->AddFontFromFileTTF("C:\\Windows\\Fonts\\segoeui.ttf", 15.0f);
    else
        io.Fonts->AddFontDefault();
    g_semiboldFont = nullptr;
    g_lightFont = nullptr;
    if (FileExists(L"C:\\Windows\\Fonts\\seguisb.ttf"))
        g_semiboldFont = io.Fonts->AddFontFromFileTTF("C:\\Windows\\Fonts\\seguisb.ttf", 15.0f);
    if (FileExists(L"C:\\Windows\\Fonts\\segoeuil.ttf"))
        g_lightFont = io.Fonts->AddFontFromFileTTF("C:\\Windows\\Fonts\\segoeuil.ttf", 15.0f);
    ImGui::GetStyle().FontSizeBase = 15.0f;

    ImGui_ImplWin32_Init(g_window);
    ImGui_ImplDX11_Init(g_device, g_context);
    return g_window;
}

void SetWindowApp(InstallerApp* app)
{
    g_app = app;
}

void DrawFrame(InstallerApp& app)
{
    ImGui_ImplDX11_NewFrame();
    ImGui_ImplWin32_NewFrame();
    ImGui::NewFrame();
    app.Frame();
    ImGui::Render();
    const float clear[4] = {15 / 255.0f, 15 / 255.0f, 19 / 255.0f, 1.0f};
    g_context->OMSetRenderTargets(1, &g_renderTarget, nullptr);
    g_context->ClearRenderTargetView(g_renderTarget, clear);
    ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
}

void PresentFrame()
{
    g_swapChain->Present(1, 0);     // paced by the vertical blank
}

void RunFrameLoop(InstallerApp& app)
{
    for (;;)
    {
        bool quit = false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (msg.message == WM_QUIT)
                quit = true;
        }
        if (quit)
            break;
        if (IsIconic(g_window))
        {
            Sleep(50);
            continue;
        }
        DrawFrame(app);
        PresentFrame();
        if (app.quitRequested)
            break;
    }
}

bool ReadBackBuffer(std::vector<unsigned char>& rgba, int& width, int& height)
{
    ID3D11Texture2D* backBuffer = nullptr;
    if (FAILED(g_swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer))))
        return false;
    D3D11_TEXTURE2D_DESC desc;
    backBuffer->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    ID3D11Texture2D* staging = nullptr;
    bool ok = false;
    if (SUCCEEDED(g_device->CreateTexture2D(&desc, nullptr, &staging)))
    {
        g_context->CopyResource(staging, backBuffer);
        D3D11_MAPPED_SUBRESOURCE mapped;
        if (SUCCEEDED(g_context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped)))
        {
            width = (int)desc.Width;
            height = (int)desc.Height;
            rgba.resize((size_t)width * height * 4);
            for (int row = 0; row < height; row++)
                memcpy(&rgba[(size_t)row * width * 4], (const unsigned char*)mapped.pData + (size_t)row * mapped.RowPitch,
                       (size_t)width * 4);
            g_context->Unmap(staging, 0);
            ok = true;
        }
        staging->Release();
    }
    backBuffer->Release();
    return ok;
}

void DestroyMainWindow(HINSTANCE instance)
{
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

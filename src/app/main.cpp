// Entry point: command line, single instance, COM, DPI awareness, then the
// window and the wizard.
#include "app/command_line.h"
#include "app/window.h"
#include "state/installer_app.h"
#include "util/handles.h"

#include "signing_keys.h"

#include <imgui_impl_win32.h>

#include <objbase.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // First of all: DLLs load from the system folder only, never from the
    // folder the setup was started from (a Downloads folder, usually). Every
    // DLL that is not a KnownDLL is delay-loaded, so none loads before this.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    LaunchOptions options = ReadCommandLine();

    UniqueKernelHandle mutex(CreateMutexW(nullptr, TRUE, kSingleInstanceMutexName));
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS)
    {
        // Another copy runs: bring it forward and leave quietly.
        if (HWND other = FindWindowW(kWindowClassName, nullptr))
        {
            ShowWindow(other, SW_SHOW);
            SetForegroundWindow(other);
        }
        return Exit_Ok;
    }

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ImGui_ImplWin32_EnableDpiAwareness();

    HWND window = CreateMainWindow(instance);
    if (!window)
    {
        if (mutex)
            ReleaseMutex(mutex.get());
        CoUninitialize();
        return Exit_GraphicsFailed;
    }

    InstallerApp app;
    ApplyLaunchOptions(app, options);
    // Before Init: its server check already needs them.
    app.signingKeys = { OSTREL_SIGNING_KEYS_LIST };
    app.Init(window, options.server, options.data, options.dir);

    SetWindowApp(&app);
    ShowWindow(window, SW_SHOWDEFAULT);
    UpdateWindow(window);
    RunFrameLoop(app);

    SetWindowApp(nullptr);
    app.cancelRequested.store(true);
    app.alive->store(false);
    DestroyMainWindow(instance);
    // The InstallerApp goes with this frame: not before its worker is done
    // with it. Still holding the mutex, so no second copy starts meanwhile.
    app.WaitForWorkerOrExit(app.exitCode);
    if (mutex)
        ReleaseMutex(mutex.get());
    mutex.reset();
    // After the window and the mutex: what deletes this program's own file
    // keeps trying until the process has ended.
    app.StartSelfRemoval();
    CoUninitialize();
    return app.exitCode;
}

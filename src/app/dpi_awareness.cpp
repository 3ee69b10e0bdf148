#include "app/dpi_awareness.h"

#include <windows.h>

namespace
{
typedef LONG(WINAPI* RtlVerifyVersionInfoFn)(OSVERSIONINFOEXW*, ULONG, ULONGLONG);

// At-least comparison of major, minor and service-pack major through ntdll,
// which, unlike VerifyVersionInfo, is not subject to manifest compatibility lies.
bool IsWindowsVersionOrGreater(HMODULE ntdll, WORD major, WORD minor)
{
    auto verify = ntdll ? (RtlVerifyVersionInfoFn)(void*)GetProcAddress(ntdll, "RtlVerifyVersionInfo") : nullptr;
    if (!verify)
        return false;
    OSVERSIONINFOEXW vi = {};
    vi.dwOSVersionInfoSize = sizeof(vi);
    vi.dwMajorVersion = major;
    vi.dwMinorVersion = minor;
    vi.wServicePackMajor = 0;
    ULONGLONG cond = 0;
    cond = VerSetConditionMask(cond, VER_MAJORVERSION, VER_GREATER_EQUAL);
    cond = VerSetConditionMask(cond, VER_MINORVERSION, VER_GREATER_EQUAL);
    cond = VerSetConditionMask(cond, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return verify(&vi, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, cond) == 0;
}
} // namespace

void EnableDpiAwareness()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (IsWindowsVersionOrGreater(ntdll, 10, 0) && user32)
    {
        typedef BOOL(WINAPI* SetProcessCtxFn)(DPI_AWARENESS_CONTEXT);
        typedef DPI_AWARENESS_CONTEXT(WINAPI* SetThreadCtxFn)(DPI_AWARENESS_CONTEXT);
        if (auto fn = (SetProcessCtxFn)(void*)GetProcAddress(user32, "SetProcessDpiAwarenessContext"))
        {
            fn(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
            return;
        }
        if (auto fn = (SetThreadCtxFn)(void*)GetProcAddress(user32, "SetThreadDpiAwarenessContext"))
        {
            fn(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
            return;
        }
    }
    if (IsWindowsVersionOrGreater(ntdll, 6, 3))
    {
        // shcore is not always loaded; take it from the system folder only.
        typedef HRESULT(WINAPI* SetAwarenessFn)(int);
        HMODULE shcore = LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (auto fn = shcore ? (SetAwarenessFn)(void*)GetProcAddress(shcore, "SetProcessDpiAwareness") : nullptr)
        {
            fn(2); // PROCESS_PER_MONITOR_DPI_AWARE
            return;
        }
    }
    SetProcessDPIAware();
}

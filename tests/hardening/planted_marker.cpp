// Stands in for a DLL planted beside the setup: when anything loads it, it
// leaves "<its own file name>.loaded" in its folder and exports nothing.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t path[MAX_PATH + 16] = {};
        DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
        if (n > 0 && n < MAX_PATH)
        {
            lstrcatW(path, L".loaded");
            HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (f != INVALID_HANDLE_VALUE)
                CloseHandle(f);
        }
    }
    return TRUE;
}

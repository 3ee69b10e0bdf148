/* Stand-in for the game's executable: says where it runs from and stays open
   until its message is closed. */
#include <windows.h>
#include <stdio.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE prev, PWSTR cmd, int show)
{
    (void)instance; (void)prev; (void)cmd; (void)show;
    wchar_t self[MAX_PATH * 2] = L"";
    GetModuleFileNameW(NULL, self, MAX_PATH * 2);
    wchar_t text[MAX_PATH * 3];
    _snwprintf(text, MAX_PATH * 3 - 1, L"Playden (demo) is running from\n%ls", self);
    text[MAX_PATH * 3 - 1] = 0;
    MessageBoxW(NULL, text, L"Playden (demo)", MB_OK);
    return 0;
}

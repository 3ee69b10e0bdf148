// Placeholder until the window lands: reports a graphics failure.
#include "app/window.h"

HWND CreateMainWindow(HINSTANCE) { return nullptr; }
void SetWindowApp(InstallerApp*) {}
void RunFrameLoop(InstallerApp&) {}
void DestroyMainWindow(HINSTANCE) {}

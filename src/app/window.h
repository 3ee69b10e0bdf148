// The main window, its Direct3D 11 device, the GUI context and the frame loop.
#pragma once
#include <windows.h>

#include <vector>

class InstallerApp;

// Window class, window (hidden), device and swap chain, GUI context, theme and
// fonts. On a graphics failure the message box has been shown and everything
// created is released; the caller exits with Exit_GraphicsFailed.
HWND CreateMainWindow(HINSTANCE instance);
// What the window procedure consults on WM_CLOSE; null while none.
void SetWindowApp(InstallerApp* app);
// Until WM_QUIT or a frame that set quitRequested.
void RunFrameLoop(InstallerApp& app);
// GUI back ends and context, graphics objects, window and class, in that order.
void DestroyMainWindow(HINSTANCE instance);

// One frame of the loop without presenting it: GUI frame, app.Frame(), render
// into the back buffer. The loop and the screenshot program share it.
void DrawFrame(InstallerApp& app);
// False when the window cannot be seen (occluded, locked screen).
bool PresentFrame();
// The back buffer as rows of RGBA bytes (call between DrawFrame and PresentFrame).
bool ReadBackBuffer(std::vector<unsigned char>& rgba, int& width, int& height);

// The window as screen readers see it (MSAA): one IAccessible for the client
// area whose children are the controls the last frame described.
#pragma once
#include "wizard/controls.h"

#include <windows.h>

#include <memory>

struct IAccessible;

// Posted to the window when a screen reader asked for something: the next
// frame carries it out.
constexpr UINT kAccessRequestMessage = WM_APP + 20;

// A new object answering from `tree`, with one reference for the caller.
// Calls from screen readers arrive on the window's thread (its apartment);
// the object only reads the tree's copy under its lock and queues requests.
IAccessible* CreateWizardAccessible(HWND window, std::shared_ptr<AccessibleTree> tree);

// WinEvents for what the frame changed, child ids counted from 1.
void SendAccessEvents(HWND window, const std::vector<AccessEvent>& events);

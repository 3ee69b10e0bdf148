#pragma once
// Per-monitor DPI awareness with fallbacks for older systems; call before any window exists.
void EnableDpiAwareness();

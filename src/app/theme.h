// The GUI library's base look: dark and flat with a blue accent, sized for the
// monitor. The wizard pushes its own light colours on top of it every frame.
#pragma once

// Replaces the current context's style; dpi is the primary monitor's scale (1.0 at 96 dpi).
void ApplyTheme(float dpi);

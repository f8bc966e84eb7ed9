// Centring a top-level window: over its visible owner, or over the desktop's work area, kept inside the work area.
#pragma once

#include <windows.h>

void centreWindow(HWND window);

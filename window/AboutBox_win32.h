// The About box: dialog 100, modal, centred over its owner.
#pragma once

#include <windows.h>

void showAboutBox(HINSTANCE instance, HWND owner);

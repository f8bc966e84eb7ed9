// The window side's helpers for the link's messages StatusUpdate, Response and Alarm.
#pragma once

#include <windows.h>

#include "ByteBuffer.h"
#include "PostedBuffer.h"  // takePostedBuffer(lParam): the bytes of a received message, its heap buffer freed

// Removes the link's messages still queued for `window` and frees their buffers; answers how many there were.
// For the dialog's shutdown: after disconnect() (the worker has ended, nothing more comes) and before
// DestroyWindow, which would otherwise drop the queued messages together with the buffers they carry.
int discardPendingLinkMessages(HWND window);

// Draining the link's window messages so that no posted buffer is left behind with a destroyed window.
#include "LinkWindow_win32.h"

#include "LinkMessages.h"

int discardPendingLinkMessages(HWND window) {
    const UINT ids[] = {RegisterWindowMessageA(linkmsg::kStatusUpdate), RegisterWindowMessageA(linkmsg::kResponse),
                        RegisterWindowMessageA(linkmsg::kAlarm)};
    int count = 0;
    for (const UINT id : ids) {
        MSG msg;
        while (PeekMessageA(&msg, window, id, id, PM_REMOVE)) {
            takePostedBuffer(msg.lParam);
            ++count;
        }
    }
    return count;
}

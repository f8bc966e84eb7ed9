// Centring a top-level window with the portable placement rule.
#include "WindowPlacement_win32.h"

#include "DialogRules.h"

namespace {
dialogrules::Box boxOf(const RECT& r) { return dialogrules::Box{r.left, r.top, r.right, r.bottom}; }
}  // namespace

void centreWindow(HWND window) {
    RECT windowRect{};
    RECT workArea{};
    if (!GetWindowRect(window, &windowRect)) return;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    RECT anchor = workArea;
    const HWND owner = GetWindow(window, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &anchor);
    const dialogrules::Position p = dialogrules::centredOver(boxOf(windowRect), boxOf(anchor), boxOf(workArea));
    SetWindowPos(window, nullptr, static_cast<int>(p.x), static_cast<int>(p.y), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

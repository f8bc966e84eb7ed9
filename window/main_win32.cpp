// Process entry of the download tool: COM and common controls, the module, the dialog and its message loop.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include "AppModule_win32.h"
#include "DownloadDialog_win32.h"
#include "MessageLoop_win32.h"

namespace {
int run(int showCommand) {
    MessageLoop loop;
    appModule().addMessageLoop(&loop);
    int result = shell::kExitNoWindow;
    {
        DownloadDialog dialog;
        if (dialog.create(appModule().instance()) == nullptr) {
            appModule().removeMessageLoop();
            return shell::kExitNoWindow;
        }
        ShowWindow(dialog.window(), showCommand);
        result = loop.run();
        appModule().removeMessageLoop();
    }
    return result;
}
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES;
    InitCommonControlsEx(&controls);
    appModule().init(instance);
    const int result = run(showCommand);
    appModule().term();
    CoUninitialize();
    return result;
}

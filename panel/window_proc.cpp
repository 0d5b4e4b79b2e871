// A thin switch: one handler per message; commands go to the route table.
#include "window_proc.h"

#include "command_routes.h"
#include "control_groups.h"
#include "control_table.h"
#include "load/access_load_commands.h"
#include "panel_state.h"
#include "quit_paths.h"
#include "shell/app_state.h"
#include "shell/resource_ids.h"

namespace {

void onCreate(HWND window, const CREATESTRUCTA* create) {
    shell.mainWindow = window;
    createPanelControls(window, create->hInstance);
    showStatus(physicalMode ? IDS_READY_PHYSICAL : IDS_READY);
    showTarget();
    showActual(0);
}

}  // namespace

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        onCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lParam));
        return 0;
    case WM_COMMAND:
        routeCommand(wParam);
        return 0;
    case WM_TIMER:
        onAccessLoadTick();
        return 0;
    case WM_DESTROY:
        onDestroy();
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

#include "command_routes.h"

#include "info_boxes.h"
#include "load/access_load_commands.h"
#include "load/allocation_test.h"
#include "load/block_commands.h"
#include "quit_paths.h"
#include "script/script_command.h"
#include "shell/resource_ids.h"
#include "size_commands.h"

namespace {

struct Route {
    WPARAM id;
    void (*handler)();
};

constexpr Route kRoutes[] = {
    {IDC_PLUS_1MB, onPlus1},
    {IDC_MINUS_1MB, onMinus1},
    {IDC_PLUS_4MB, onPlus4},
    {IDC_PLUS_8MB, onPlus8},
    {IDC_PLUS_16MB, onPlus16},
    {IDC_PLUS_32MB, onPlus32},
    {IDC_PLUS_64MB, onPlus64},
    {IDC_PLUS_128MB, onPlus128},
    {IDC_RESET, onReset},
    {IDC_EXECUTE, onExecute},
    {IDC_FREE_MEMORY, onFreeMemory},
    {IDC_ALLOCTEST, onAllocationTest},
    {IDM_ALLOCTEST, onAllocationTest},
    {IDC_SCRIPT, onScriptExec},
    {IDM_SCRIPT, onScriptExec},
    {IDC_ACCESS_TOGGLE, onAccessLoadToggle},
    {IDC_ACCESS_ONCE, onGenerateAccessLoad},
    {IDM_HOMEPAGE, onHomepageBox},
    {IDM_ABOUT, onAboutBox},
    {IDC_QUIT, onQuitButton},
    {IDM_QUIT, onMenuQuit},
};

}  // namespace

void routeCommand(WPARAM wParam) {
    for (const Route& route : kRoutes) {
        if (route.id == wParam) {
            route.handler();
            return;
        }
    }
}

// Start-up and the message loop.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "app_state.h"
#include "panel/window_proc.h"
#include "registry_stamp.h"
#include "resource_ids.h"
#include "self_check.h"
#include "text_buffers.h"

int physicalMode = 0;
ShellState shell;

namespace {

constexpr char kClassName[] = "Darnavel";

// "/p", exactly and only as the first argument, selects physical mode. The
// arguments are split as for a console program's main.
bool physicalSwitchGiven() {
    return __argc >= 2 && __argv[1] != nullptr && std::strcmp(__argv[1], "/p") == 0;
}

void registerMainClass(HINSTANCE instance) {
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TORVANE));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAINMENU);
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // The text buffers are static arrays and exist before anything runs.
    shell.instance = instance;
    if (physicalSwitchGiven()) {
        physicalMode = 1;
        loadText(IDS_PHYSICAL_NOTICE, textBuffer);
        loadText(IDS_PHYSICAL_CAPTION, captionBuffer);
        MessageBoxA(nullptr, textBuffer, captionBuffer, MB_OK);
    }

    const SelfCheck check = runSelfCheck();
    if (check != SelfCheck::Passed) {
        reportSelfCheckFailure(check);
        return 1;
    }
    writeStartStamp();
    registerMainClass(instance);

    loadText(IDS_TITLE, textBuffer);
    HWND window = CreateWindowExA(0, kClassName, textBuffer, WS_SYSMENU | WS_MINIMIZEBOX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 435, 380, nullptr, nullptr,
                                  instance, nullptr);
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return static_cast<int>(message.wParam);
}

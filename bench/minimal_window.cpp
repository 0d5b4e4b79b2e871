// The least a window program does before its window shows: register a
// class, create the window, show it, run the message loop. The yardstick for
// torvane.exe's start-up.
#include <windows.h>

#ifdef WITH_PRODUCT_IMPORTS
#include <imagehlp.h>
#endif

namespace {
#ifdef WITH_PANEL
// A window as full as torvane.exe's: a menu bar and 16 buttons and 6 labels,
// to tell what its contents cost from what the rest of its start-up costs.
void createControls(HWND window) {
    HMENU bar = CreateMenu();
    HMENU file = CreatePopupMenu();
    for (int i = 0; i < 4; ++i) AppendMenuA(file, MF_STRING, 40001 + i, "Item");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "File");
    SetMenu(window, bar);
    for (int i = 0; i < 22; ++i) {
        CreateWindowExA(0, i < 16 ? "button" : "static", "Control", WS_CHILD | WS_VISIBLE, 10 + (i % 3) * 105,
                        10 + (i / 3) * 30, 100, 30, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(i + 1)),
                        GetModuleHandleA(nullptr), nullptr);
    }
}
#endif

LRESULT CALLBACK minimalWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
#ifdef WITH_PANEL
    if (message == WM_CREATE) {
        createControls(window);
        return 0;
    }
#endif
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
#ifdef WITH_PRODUCT_IMPORTS
    // Built a second time with the DLLs torvane.exe imports besides these, to
    // tell their loading from the rest of its start-up. Never called.
    static void* volatile imports[] = {reinterpret_cast<void*>(&MapFileAndCheckSumA),
                                       reinterpret_cast<void*>(&RegCreateKeyExA)};
    (void)imports;
#endif
    WNDCLASSA wc = {};
    wc.lpfnWndProc = minimalWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    wc.lpszClassName = "TorvaneBenchMinimal";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(0, wc.lpszClassName, "Minimal", WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 435, 380, nullptr, nullptr, instance, nullptr);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

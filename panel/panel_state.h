// The control panel's process-wide state.
#pragma once
#include <windows.h>

// Owned by the panel: the child controls, set once in WM_CREATE.
struct PanelControls {
    HWND execute, plus1, minus1, reset, plus4, plus8, plus16, plus32, plus64, plus128;
    HWND freeMemory, quit, allocTest, script, accessToggle, accessOnce;
    HWND targetDisplay, actualDisplay, settingLabel, actualLabel, statusLabel, statusLine;
};
extern PanelControls panel;

// Owned by the panel's size buttons and the allocation test (its step
// counter): the size Execute asks for, 0..INT_MAX.
extern int targetMegabytes;

// Owned by Execute, Free Memory and the allocation test: 1 while the panel
// (not a script) holds the block. The quit paths release only that block.
extern int heldFlag;

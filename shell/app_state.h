// Process-wide state of the shell. Set during start-up, before the message
// loop, and never changed afterwards.
#pragma once
#include <windows.h>

// Owned by start-up: 1 when "/p" selected physical mode, else 0.
extern int physicalMode;

// Owned by start-up: the module handle for string loads and child controls,
// and the main window once it exists.
struct ShellState {
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
};
extern ShellState shell;

// The 22 child controls of the main window, created from one table.
#pragma once
#include <windows.h>

// Creates every control in the table's order as a child of `parent` and keeps
// its handle in `panel`.
void createPanelControls(HWND parent, HINSTANCE instance);

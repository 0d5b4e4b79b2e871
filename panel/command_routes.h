// Where each button and menu command goes.
#pragma once
#include <windows.h>

// Runs the one action whose identifier equals the whole wParam; a
// notification code in the high word matches nothing.
void routeCommand(WPARAM wParam);

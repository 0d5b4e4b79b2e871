// Groups of controls enabled and disabled together around operations, and
// the display routines.
#pragma once

// The ten size controls per `enabled`, then Free Memory per `freeEnabled`.
void setSizeControls(bool enabled, bool freeEnabled);
// Size controls, Free Memory and Quit off; the two tools per `toolsEnabled`;
// menu items Allocation Test and Execute Script grayed.
void lockPanel(bool toolsEnabled);
// Allocating test and Script Exec. on, and their menu items enabled.
void unlockTools();
// Allocating test and Script Exec. off, and their menu items grayed.
void lockTools();
// Quit button and menu Quit, enabled or not.
void enableQuit(bool enabled);

void showStatus(int id);
void showTarget();
void showActual(int megabytes);

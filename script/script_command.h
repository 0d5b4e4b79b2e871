// Script Exec. and the menu's Execute Script: the panel locked around a run.
#pragma once
#include <windows.h>

void onScriptExec();

// Chooses, checks and runs one script; boxes are owned by `owner`, progress
// goes to `status`. Returns 0 when a script ran to its end, else 1.
int ScriptRunner(HWND owner, HWND status);

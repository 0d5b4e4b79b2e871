#include "script_command.h"

int ScriptRunner(HWND, HWND) { return 1; }

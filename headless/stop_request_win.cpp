#include <windows.h>

#include "stop_request.h"

namespace {
// Set by the handler on the thread the system starts for it.
volatile LONG stopFlag = 0;

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing: the default
    InterlockedExchange(&stopFlag, 1);
    return TRUE;
}
}  // namespace

void catchStopRequests() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

bool stopSignalled() { return InterlockedCompareExchange(&stopFlag, 0, 0) != 0; }

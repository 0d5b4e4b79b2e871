#include <windows.h>

#include "headless/system/stop_request.h"

namespace {
// Set by the handler on the thread the system starts for it.
volatile LONG firstSignal = 0;
volatile LONG stops = 0;
HANDLE finished = nullptr;

// The numbers of the C runtime's signal.h, so that statuses read as they do
// on Linux: SIGINT 2, SIGBREAK 21; a closing console counts as a hang-up (1).
constexpr LONG kInterrupt = 2;
constexpr LONG kBreak = 21;
constexpr LONG kHangUp = 1;

BOOL WINAPI onConsoleControl(DWORD event) {
    LONG signal;
    switch (event) {
    case CTRL_C_EVENT: signal = kInterrupt; break;
    case CTRL_BREAK_EVENT: signal = kBreak; break;
    case CTRL_CLOSE_EVENT: signal = kHangUp; break;
    default: return FALSE;  // log-off and shut-down reach services only
    }
    noteStop(static_cast<int>(signal));
    // The process ends when this returns from a close: give the run its
    // release and its stop line first (the system waits about 5 s).
    if (event == CTRL_CLOSE_EVENT && finished) WaitForSingleObject(finished, 4500);
    return TRUE;
}
}  // namespace

void catchStopRequests() {
    finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // A process started in a new process group (as CI runners and
    // orchestrators start one, to send it Ctrl-Break) ignores Ctrl-C until
    // it asks for it; every stop is to be taken alike, as on Linux, where a
    // stop signal is caught even when it was ignored at the start.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool stopSignalled() { return InterlockedCompareExchange(&firstSignal, 0, 0) != 0; }

int stopSignal() { return static_cast<int>(InterlockedCompareExchange(&firstSignal, 0, 0)); }

unsigned stopCount() { return static_cast<unsigned>(InterlockedCompareExchange(&stops, 0, 0)); }

void noteStop(int signal) {
    InterlockedCompareExchange(&firstSignal, signal, 0);
    InterlockedIncrement(&stops);
}

const char* stopName(int signal) {
    switch (signal) {
    case kInterrupt: return "Ctrl-C";
    case kBreak: return "Ctrl-Break";
    case kHangUp: return "console closed";
    default: return "signal";
    }
}

void stopFinished() {
    if (finished) SetEvent(finished);
}

#include "stop_request.h"

#include <signal.h>

namespace {
volatile sig_atomic_t stopFlag = 0;

void onInterrupt(int) { stopFlag = 1; }
}  // namespace

void catchStopRequests() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a pause or a wait for input returns at once to look.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    // A reader that went away makes writes fail instead of ending the run;
    // commands get the default back before they start.
    signal(SIGPIPE, SIG_IGN);
}

bool stopSignalled() { return stopFlag != 0; }

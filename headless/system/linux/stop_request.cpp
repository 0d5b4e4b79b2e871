#include "headless/system/stop_request.h"

#include <signal.h>

namespace {
volatile sig_atomic_t firstSignal = 0;
volatile sig_atomic_t stops = 0;

void onStop(int signal) {
    if (firstSignal == 0) firstSignal = signal;
    stops = stops + 1;
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
}  // namespace

void catchStopRequests() {
    struct sigaction action = {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a pause or a wait for input returns at once to look.
    action.sa_flags = 0;
    for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
    // A reader that went away makes writes fail instead of ending the run;
    // commands get the default back before they start.
    ::signal(SIGPIPE, SIG_IGN);
}

bool stopSignalled() { return firstSignal != 0; }

int stopSignal() { return firstSignal; }

unsigned stopCount() { return static_cast<unsigned>(stops); }

void noteStop(int signal) { onStop(signal); }

const char* stopName(int signal) {
    switch (signal) {
    case SIGINT: return "Ctrl-C";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

void stopFinished() {}

// Stops from outside. SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C,
// Ctrl-Break and the console closing) all stop a run the same way: the host
// looks for them between lines and at every tick of a wait, releases the
// block, passes the stop on to a running command, and exits 128 + signal.
#pragma once

// Catches the stops instead of letting them end the process. Also works as
// PID 1 of a container, where a signal without a handler is ignored.
void catchStopRequests();

// True once a stop has come.
bool stopSignalled();

// The first stop's signal number (Windows: 2 for Ctrl-C, 21 for Ctrl-Break,
// 1 for the console closing); 0 while none has come.
int stopSignal();

// How many stops have come: a second one ends a command at once.
unsigned stopCount();

// The stop's name in the stop line: "Ctrl-C" for SIGINT, as a terminal's
// user knows it, else the signal's name ("SIGTERM", "SIGHUP", "Ctrl-Break").
const char* stopName(int signal);

// Counts a stop that did not arrive as a signal to this process: a command
// that had the terminal ended by the Ctrl-C typed there.
void noteStop(int signal);

// Says that the run has ended and released what it held. A closing console
// (Windows) ends the process as soon as its handler returns, so the handler
// waits for this, for at most the five seconds the system allows it.
void stopFinished();

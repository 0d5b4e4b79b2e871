// Ctrl-C asks the run to stop; the console host looks for it between lines
// and while it waits.
#pragma once

// Catches Ctrl-C (SIGINT; the console's Ctrl-C and Ctrl-Break on Windows)
// instead of letting it end the process.
void catchStopRequests();

// True once Ctrl-C has been pressed.
bool stopSignalled();

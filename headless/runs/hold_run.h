// torvane-run without a script: memory sized to the machine or its container,
// taken and held steady (--hold, with --ramp in steps) or kept so that the
// room stays at a level (--keep-available), for a time, until a stop, or
// around a command whose exit status becomes the run's.
#pragma once
#include "headless/cli/options.h"
#include "headless/runs/run_control.h"
#include "load/load_block.h"

// The whole run; returns its exit status: the command's (128 + signal when
// a signal ended it, 127 when it could not be started), 0 at the end of
// --for or at a stop that ends a hold without either, 1 when the memory
// could not be taken, 124 at --timeout, 128 + signal at other stops.
// `outcome` says how it ended, for the end event.
int runHold(const Options& options, BlockAllocator& allocator, RunOutcome& outcome);

// torvane-run --check: a script's traps listed before anything runs, and
// --strict's refusal to run a script that has any.
#pragma once
#include "headless/cli/options.h"

// Checks options.script and prints one line per finding on standard output
// (JSON Lines with --json). Returns 0 when nothing would surprise (notes
// alone do not count), 1 when something would, 2 when the file cannot be read.
int runCheckCommand(const Options& options);

// For --strict: true when the check finds no fault (or cannot read the file,
// which the run itself then reports); otherwise the findings and the refusal
// go to standard error.
bool scriptPassesCheck(const Options& options);

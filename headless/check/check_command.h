// torvane-run --check: a script's traps listed before anything runs, and
// --strict's refusal to run a script that has any.
#pragma once
#include <cstddef>
#include <memory>

#include "headless/cli/options.h"
#include "script/script_reader.h"

// Checks options.script and prints one line per finding on standard output
// (JSON Lines with --json). Returns 0 when nothing would surprise (notes
// alone do not count), 1 when something would, 2 when the file cannot be read.
int runCheckCommand(const Options& options);

// --strict: the script is read once. A file on disk is checked through its
// open descriptor, then rewound and run; anything else (a pipe, a FIFO, a
// terminal) is read into memory, up to kStrictMostBytes, checked and run from
// there, so that what runs is what was checked.
constexpr std::size_t kStrictMostBytes = 16u << 20;

struct StrictCheck {
    bool run = true;   // false: refused (the faults and the refusal logged) or stopped
    int status = 0;    // when not run
    // What to run; null when the file could not be opened (the run reports it).
    std::unique_ptr<ScriptSource> script;
};
StrictCheck checkStrictly(const Options& options);

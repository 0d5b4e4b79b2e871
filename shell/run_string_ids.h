// Identifiers of torvane-run's own texts (run_strings.inc), above every
// identifier of the window's.
#pragma once

enum RunStringId {
    IDS_RUN_FIRST = 1000,
#define TV_STRING(id, en, ja) id,
#include "run_strings.inc"
#undef TV_STRING
};

// The start-up self-check: is the exe on disk the one that was built?
#pragma once

enum class SelfCheck { Passed, Damaged, Unreadable };

// Compares the checksum the build stamped into the PE header with one
// computed over the file now. Any changed byte changes the sum.
SelfCheck runSelfCheck();

// Shows the failure box for `result` (Damaged or Unreadable).
void reportSelfCheckFailure(SelfCheck result);

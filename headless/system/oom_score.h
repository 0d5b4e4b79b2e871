// Linux: the OOM score adjustment, so that the user decides whether the load
// or the system under test is ended first when memory runs out.
#pragma once
#include <string>

// Sets this process's adjustment (-1000 to 1000); false with the reason when
// the system refuses (lowering it needs CAP_SYS_RESOURCE).
bool adjustOomScore(int value, std::string& why);

// In a command's process before it starts: the adjustment the process had
// before adjustOomScore, so that the command under test is judged as it
// would be without torvane-run. Async-signal-safe; does nothing when the
// score was never adjusted, or when the system refuses.
void restoreOomScoreForCommand();

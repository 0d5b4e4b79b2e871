// The processor time this process has used, for what keeping memory warm
// costs a core: wall time would count the time the run waits for the
// processor behind other work, and misses the workers' threads.
//   Linux:   system/linux/cpu_time.cpp, CLOCK_PROCESS_CPUTIME_ID.
//   Windows: system/windows/cpu_time.cpp, GetProcessTimes.
#pragma once
#include <optional>

// User and system time of every thread of the process, in seconds; nothing
// when the system will not say.
std::optional<double> processCpuSeconds();

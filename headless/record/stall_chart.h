// The report's chart of --pressure's stall share over time: the target
// band shaded, the measured some and full shares as lines, on a scale of
// 0 to 100 % (or less, when the shares stay low).
#pragma once
#include <string>
#include <vector>

#include "headless/record/run_event.h"

// "" when no point carries a stall share (every run but --pressure).
std::string stallChart(const std::vector<const RunEvent*>& points, double seconds);

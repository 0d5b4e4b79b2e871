// The values of --pressure and --stop-if-pressure ("some=10%", "full=30%")
// and of --pressure-band ("2.5%").
#pragma once
#include <optional>
#include <string>

#include "headless/memory/stall_window.h"

struct StallTarget {
    StallLine line = StallLine::Some;
    double share = 0;  // 0..1, above 0 and under 1
};

// Nothing when the text is not LINE=N% with N above 0 and under 100.
std::optional<StallTarget> parseStallTarget(const std::string& text);
// A share in percent, above 0 and under 100: "2.5%" (the % may be left out).
std::optional<double> parseStallShare(const std::string& text);

// "some=10%", as it was given (for the events and the guard's name).
std::string stallTargetText(const StallTarget& target);

extern const char kStallTargetForms[];  // "some=N% or full=N%, e.g. some=10%"

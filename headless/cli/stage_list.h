// --stages: a load shape as a list of DURATION:SIZE stages, "30s:2G,1m:2G,
// 30s:512M,10s:0". Each stage moves what is held linearly from the target
// before it (0 for the first) to its SIZE over its DURATION; a DURATION of
// 0 is a step. Portable.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "headless/cli/sizes.h"

struct StageRequest {
    std::uint64_t milliseconds = 0;
    SizeRequest size;  // every --hold form: bytes, N%, all-SIZE, 0
    std::string text;  // as typed, for messages: "1m:2G"
};

// More would be a list no person types; the bound keeps a plan's arithmetic
// and its events small.
constexpr std::size_t kMaxStages = 1000;

// The stages, or an error that names the stage by its place and what was
// wrong with it: no stages, an empty stage, no ':', a duration or a size
// that is not one, more than kMaxStages, a whole longer than the longest
// duration.
struct StageReading {
    std::vector<StageRequest> stages;
    std::string error;
};
StageReading readStages(std::string_view text);

extern const char kStageForms[];

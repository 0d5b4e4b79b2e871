// Lengths of time typed on a command line: "500ms", "30s", "5m", "1h", or a
// bare number of seconds; a decimal fraction where it still names whole
// milliseconds ("1.5s", "0.5h"). Units in any case. Portable.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// The longest duration accepted: 100 days. Nothing here waits longer, and the
// bound keeps every sum and product far from overflowing 64 bits.
constexpr std::uint64_t kMaxDurationMilliseconds = 100ull * 24 * 60 * 60 * 1000;

// The duration in milliseconds, or nothing when `text` is empty, negative,
// not a number with a known unit, finer than a millisecond, or over the bound.
std::optional<std::uint64_t> parseDurationMilliseconds(std::string_view text);

// The number rule under durations and sizes (sizes.h): "<digits>[.<digits>]<suffix>"
// as a whole number of the quantity's smallest step, or nothing when it is
// not that form, the suffix is not in `units` (compared in any case), or the
// value is over `max`. A bare number takes `bareScale`.
struct ScaleUnit {
    std::string_view suffix;  // lower case
    std::uint64_t scale;      // steps in one unit, at most 2^60
};
enum class Fraction {
    Exact,      // a fraction must name whole steps ("1.5s" yes, "1.0005s" no)
    RoundDown,  // a fraction of a step is dropped ("1.1G" is 1181116006 bytes)
};
std::optional<std::uint64_t> parseScaled(std::string_view text, std::span<const ScaleUnit> units,
                                         std::uint64_t bareScale, std::uint64_t max, Fraction fraction);

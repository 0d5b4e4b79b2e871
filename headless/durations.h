// Lengths of time typed on a command line: "500ms", "30s", "5m", "1h", or a
// bare number of seconds; a decimal fraction where it still names whole
// milliseconds ("1.5s", "0.5h"). Units in any case. Portable.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

// The longest duration accepted: 100 days. Nothing here waits longer, and the
// bound keeps every sum and product far from overflowing 64 bits.
constexpr std::uint64_t kMaxDurationMilliseconds = 100ull * 24 * 60 * 60 * 1000;

// The duration in milliseconds, or nothing when `text` is empty, negative,
// not a number with a known unit, finer than a millisecond, or over the bound.
std::optional<std::uint64_t> parseDurationMilliseconds(std::string_view text);

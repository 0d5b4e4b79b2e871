#include "durations.h"

#include <cstddef>

namespace {
struct Unit {
    std::string_view suffix;  // lower case
    std::uint64_t scale;      // in the quantity's smallest step
};

// "m" is minutes: the common reading in command-line durations. "ms" comes
// before "s" so that the longest suffix is tried first.
constexpr Unit kTimeUnits[] = {
    {"ms", 1}, {"s", 1000}, {"m", 60 * 1000}, {"h", 60 * 60 * 1000},
};

bool sameLowerCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "<digits>[.<digits>]<suffix>" as a whole number of the table's smallest
// step (the unit of scale 1), or nothing; a bare number takes `bareScale`.
// The rule knows no table of its own, so another quantity (sizes) can use it.
template <std::size_t N>
std::optional<std::uint64_t> parseScaled(std::string_view text, const Unit (&units)[N], std::uint64_t bareScale,
                                         std::uint64_t max) {
    std::size_t end = 0;
    while (end < text.size() && (isDigit(text[end]) || text[end] == '.')) ++end;
    const std::string_view number = text.substr(0, end);
    const std::string_view suffix = text.substr(end);

    std::uint64_t scale = 0;
    if (suffix.empty()) {
        scale = bareScale;
    } else {
        for (const Unit& unit : units) {
            if (sameLowerCase(suffix, unit.suffix)) scale = unit.scale;
        }
    }
    if (scale == 0) return std::nullopt;

    const std::size_t dot = number.find('.');
    std::string_view whole = number.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : number.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
    if (fraction.find('.') != std::string_view::npos) return std::nullopt;

    std::uint64_t wholeValue = 0;
    for (const char c : whole) {
        wholeValue = wholeValue * 10 + static_cast<std::uint64_t>(c - '0');
        if (wholeValue > max) return std::nullopt;  // also keeps the next step from overflowing
    }
    if (wholeValue > max / scale) return std::nullopt;
    std::uint64_t value = wholeValue * scale;

    while (!fraction.empty() && fraction.back() == '0') fraction.remove_suffix(1);
    // No unit is 10^9 steps or more, so nine digits are enough for any
    // fraction that names whole steps, and keep the product within 64 bits.
    if (fraction.size() > 9) return std::nullopt;
    std::uint64_t fractionValue = 0;
    std::uint64_t denominator = 1;
    for (const char c : fraction) {
        fractionValue = fractionValue * 10 + static_cast<std::uint64_t>(c - '0');
        denominator *= 10;
    }
    if (fractionValue * scale % denominator != 0) return std::nullopt;
    value += fractionValue * scale / denominator;
    if (value > max) return std::nullopt;
    return value;
}
}  // namespace

std::optional<std::uint64_t> parseDurationMilliseconds(std::string_view text) {
    return parseScaled(text, kTimeUnits, 1000, kMaxDurationMilliseconds);
}

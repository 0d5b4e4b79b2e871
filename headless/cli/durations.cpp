#include "headless/cli/durations.h"

#include <cstddef>

namespace {
// "m" is minutes: the common reading in command-line durations.
constexpr ScaleUnit kTimeUnits[] = {
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
}  // namespace

std::optional<std::uint64_t> parseScaled(std::string_view text, std::span<const ScaleUnit> units,
                                         std::uint64_t bareScale, std::uint64_t max, Fraction fractionRule) {
    std::size_t end = 0;
    while (end < text.size() && (isDigit(text[end]) || text[end] == '.')) ++end;
    const std::string_view number = text.substr(0, end);
    const std::string_view suffix = text.substr(end);

    std::uint64_t scale = 0;
    if (suffix.empty()) {
        scale = bareScale;
    } else {
        for (const ScaleUnit& unit : units) {
            if (sameLowerCase(suffix, unit.suffix)) scale = unit.scale;
        }
    }
    if (scale == 0) return std::nullopt;

    const std::size_t dot = number.find('.');
    const std::string_view whole = number.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : number.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty())) return std::nullopt;
    if (fraction.find('.') != std::string_view::npos) return std::nullopt;

    std::uint64_t wholeValue = 0;
    for (const char c : whole) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (wholeValue > (max - digit) / 10) return std::nullopt;  // checked before the product can overflow
        wholeValue = wholeValue * 10 + digit;
    }
    if (wholeValue > max / scale) return std::nullopt;
    std::uint64_t value = wholeValue * scale;

    // floor(scale × 0.d1d2…dn) by Horner's rule from the last digit:
    // part = (d × scale + part) / 10. Dropping each step's remainder never
    // changes the floor, every operand stays under 10 × scale (no overflow
    // for scale ≤ 2^60, whatever the number of digits), and the product is
    // whole exactly when no step leaves a remainder.
    std::uint64_t part = 0;
    bool wholeSteps = true;
    for (std::size_t i = fraction.size(); i-- > 0;) {
        const std::uint64_t sum = static_cast<std::uint64_t>(fraction[i] - '0') * scale + part;
        if (sum % 10 != 0) wholeSteps = false;
        part = sum / 10;
    }
    if (fractionRule == Fraction::Exact && !wholeSteps) return std::nullopt;
    if (part > max - value) return std::nullopt;
    return value + part;
}

std::optional<std::uint64_t> parseDurationMilliseconds(std::string_view text) {
    return parseScaled(text, kTimeUnits, 1000, kMaxDurationMilliseconds, Fraction::Exact);
}

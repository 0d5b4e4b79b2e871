#include "headless/cli/stall_target.h"

#include <cstdio>
#include <cstdlib>

const char kStallTargetForms[] = "some=N% or full=N% with N above 0 and under 100, e.g. some=10%";

std::optional<double> parseStallShare(const std::string& text) {
    std::string number = text;
    if (!number.empty() && number.back() == '%') number.pop_back();
    // Digits with at most one point: no signs, exponents, "inf" or "nan".
    if (number.empty() || number.size() > 12 || number.find_first_not_of("0123456789.") != std::string::npos ||
        number.find('.') != number.rfind('.') || number == ".") {
        return std::nullopt;
    }
    const double percent = std::strtod(number.c_str(), nullptr);
    if (!(percent > 0 && percent < 100)) return std::nullopt;
    return percent / 100.0;
}

std::optional<StallTarget> parseStallTarget(const std::string& text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) return std::nullopt;
    const std::string line = text.substr(0, equals);
    StallTarget target;
    if (line == "some") {
        target.line = StallLine::Some;
    } else if (line == "full") {
        target.line = StallLine::Full;
    } else {
        return std::nullopt;
    }
    // The % is what says it is a share: "some=10" could mean 10 s or 0.10.
    const std::string value = text.substr(equals + 1);
    if (value.empty() || value.back() != '%') return std::nullopt;
    const std::optional<double> share = parseStallShare(value);
    if (!share) return std::nullopt;
    target.share = *share;
    return target;
}

std::string stallTargetText(const StallTarget& target) {
    char text[48];
    std::snprintf(text, sizeof text, "%s=%g%%", stallLineName(target.line), target.share * 100.0);
    return text;
}

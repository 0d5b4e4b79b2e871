#include "headless/cli/stage_list.h"

#include <optional>

#include "headless/cli/durations.h"

const char kStageForms[] = "DURATION:SIZE[,DURATION:SIZE...], e.g. 30s:2G,1m:2G,30s:512M,10s:0";

namespace {
std::string where(std::size_t place, std::string_view item) {
    return "stage " + std::to_string(place) + " (\"" + std::string(item) + "\")";
}
}  // namespace

StageReading readStages(std::string_view text) {
    StageReading reading;
    if (text.empty()) {
        reading.error = "no stages given; use " + std::string(kStageForms);
        return reading;
    }
    std::uint64_t total = 0;
    std::size_t place = 0;
    for (std::size_t begin = 0;;) {
        const std::size_t comma = text.find(',', begin);
        const std::string_view item =
            text.substr(begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin);
        ++place;
        if (place > kMaxStages) {
            reading.error = "more than " + std::to_string(kMaxStages) + " stages";
            break;
        }
        if (item.empty()) {
            reading.error = "stage " + std::to_string(place) + " is empty; use " + kStageForms;
            break;
        }
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos) {
            reading.error = where(place, item) + " has no ':' between its duration and its size; use " + kStageForms;
            break;
        }
        const std::string_view duration = item.substr(0, colon);
        const std::optional<std::uint64_t> milliseconds = parseDurationMilliseconds(duration);
        if (!milliseconds) {
            reading.error = where(place, item) + ": \"" + std::string(duration) +
                            "\" is not a duration; use e.g. 0, 500ms, 30s, 5m, 1h";
            break;
        }
        const SizeReading size = readSize(item.substr(colon + 1), SizeUse::Hold);
        if (!size.request) {
            reading.error = where(place, item) + ": " + size.error;
            break;
        }
        total += *milliseconds;  // each at most 100 days: no overflow in kMaxStages of them
        if (total > kMaxDurationMilliseconds) {
            reading.error = "the stages last more than 100 days in all";
            break;
        }
        reading.stages.push_back({*milliseconds, *size.request, std::string(item)});
        if (comma == std::string_view::npos) break;
        begin = comma + 1;
    }
    if (!reading.error.empty()) reading.stages.clear();
    return reading;
}

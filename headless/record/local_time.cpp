#include "headless/record/local_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {
// Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
long long daysFromCivil(long long year, int month, int day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long yearOfEra = year - era * 400;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

long long minutesOf(const std::tm& parts) {
    return (daysFromCivil(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday) * 24 + parts.tm_hour) * 60 +
           parts.tm_min;
}
}  // namespace

LocalTime localTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millisecond =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    LocalTime time = {};
    // One thread formats; localtime's shared result is not raced.
    if (const std::tm* parts = std::localtime(&seconds)) {
        time = {parts->tm_year + 1900, parts->tm_mon + 1, parts->tm_mday, parts->tm_hour, parts->tm_min,
                parts->tm_sec, static_cast<int>(millisecond)};
        // The offset as the two calendars differ, which needs no platform's
        // own field for it.
        const std::tm local = *parts;
        if (const std::tm* utc = std::gmtime(&seconds)) {
            time.utcOffsetMinutes = static_cast<int>(minutesOf(local) - minutesOf(*utc));
        }
    }
    return time;
}

std::string rfc3339(const LocalTime& time) {
    const int offset = time.utcOffsetMinutes < 0 ? -time.utcOffsetMinutes : time.utcOffsetMinutes;
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.millisecond,
                  time.utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}

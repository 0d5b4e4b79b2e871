// The local time of an event, to the millisecond, with its UTC offset.
#pragma once
#include <string>

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
    int utcOffsetMinutes = 0;  // local time minus UTC
};

LocalTime localTimeNow();

// "2025-06-01T14:03:07.412+02:00": RFC 3339, to the millisecond, with the offset.
std::string rfc3339(const LocalTime& time);

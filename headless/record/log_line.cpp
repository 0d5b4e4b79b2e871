#include "headless/record/log_line.h"

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

namespace {
void appendEscaped(std::string& line, unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    line += escaped;
}

bool inRange(unsigned char byte, unsigned char low, unsigned char high) { return byte >= low && byte <= high; }

// The length of the valid UTF-8 sequence that starts at text[at], or 0. The
// second byte's range per lead excludes overlongs (C0, C1, E0 80..9F, F0
// 80..8F), surrogates (ED A0..BF) and code points above U+10FFFF (F4 90..,
// F5..FF), as in the table of well-formed sequences in the Unicode Standard,
// chapter 3.9.
std::size_t utf8SequenceLength(const std::string& text, std::size_t at, std::size_t end) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (inRange(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (inRange(lead, 0xE0, 0xEF)) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (inRange(lead, 0xF0, 0xF4)) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (end - at < length) return 0;
    if (!inRange(static_cast<unsigned char>(text[at + 1]), low, high)) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!inRange(static_cast<unsigned char>(text[at + i]), 0x80, 0xBF)) return 0;
    }
    return length;
}
}  // namespace

std::string oneLine(const std::string& text) {
    std::string line;
    const std::size_t length = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
        case '\n': line += "\\n"; continue;
        case '\r': line += "\\r"; continue;
        case '\t': line += "\\t"; continue;
        default: break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            appendEscaped(line, byte);
        } else if (byte < 0x80) {
            line += static_cast<char>(byte);
        } else if (const std::size_t sequence = utf8SequenceLength(text, i, length); sequence == 0) {
            // Only the lead: what follows is read afresh, so a stray
            // continuation byte is escaped on its own and a valid character
            // after a cut-short sequence is kept.
            appendEscaped(line, byte);
        } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            appendEscaped(line, byte);  // a C1 control
            appendEscaped(line, static_cast<unsigned char>(text[i + 1]));
            i += 1;
        } else {
            line.append(text, i, sequence);
            i += sequence - 1;
        }
    }
    return line;
}

std::string rfc3339(const LocalTime& time) {
    const int offset = time.utcOffsetMinutes < 0 ? -time.utcOffsetMinutes : time.utcOffsetMinutes;
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.millisecond,
                  time.utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}

std::string mebibytesText(std::uint64_t bytes) {
    if (bytes == MemoryFigures::kUnknown) return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.1fMiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string formatLogLine(const LocalTime& time, const MemoryFigures& figures, const char* kind,
                          const std::string& text) {
    std::string available = mebibytesText(figures.availableBytes);
    if (figures.availableLimit && figures.availableBytes != MemoryFigures::kUnknown) {
        available = available + "(" + figures.availableLimit + ")";
    }
    char head[192];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d  rss=%s  commit=%s  avail=%s  %-8s ",
                  time.year, time.month, time.day, time.hour, time.minute, time.second, time.millisecond,
                  mebibytesText(figures.residentBytes).c_str(), mebibytesText(figures.committedBytes).c_str(),
                  available.c_str(), kind);
    return head + oneLine(text);
}

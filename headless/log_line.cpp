#include "log_line.h"

#include <chrono>
#include <cstdio>
#include <ctime>

LocalTime localTimeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millisecond = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    LocalTime time = {};
    // One thread formats; localtime's shared result is not raced.
    if (const std::tm* parts = std::localtime(&seconds)) {
        time = {parts->tm_year + 1900, parts->tm_mon + 1, parts->tm_mday, parts->tm_hour, parts->tm_min,
                parts->tm_sec, static_cast<int>(millisecond)};
    }
    return time;
}

std::string oneLine(const std::string& text) {
    std::string line;
    const std::size_t length = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
        case '\n': line += "\\n"; break;
        case '\r': line += "\\r"; break;
        case '\t': line += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
                line += escaped;
            } else {
                line += static_cast<char>(byte);
            }
        }
    }
    return line;
}

namespace {
std::string mebibytes(std::uint64_t bytes) {
    if (bytes == MemoryFigures::kUnknown) return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.1fMiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}
}  // namespace

std::string formatLogLine(const LocalTime& time, const MemoryFigures& figures, const char* kind,
                          const std::string& text) {
    char head[160];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d  rss=%s  commit=%s  avail=%s  %-8s ",
                  time.year, time.month, time.day, time.hour, time.minute, time.second, time.millisecond,
                  mebibytes(figures.residentBytes).c_str(), mebibytes(figures.committedBytes).c_str(),
                  mebibytes(figures.availableBytes).c_str(), kind);
    return head + oneLine(text);
}

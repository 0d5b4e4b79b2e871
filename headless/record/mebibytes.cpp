#include "headless/record/mebibytes.h"

#include <cstdio>

std::string mebibytesText(std::uint64_t bytes) {
    if (bytes == UINT64_MAX) return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.1fMiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string secondsText(std::uint64_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(milliseconds) / 1000.0);
    return text;
}

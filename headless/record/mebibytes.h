// Memory figures and times as the text lines give them.
#pragma once
#include <cstdint>
#include <string>

// "412.0MiB"; "?" for UINT64_MAX, the figure no system gave.
std::string mebibytesText(std::uint64_t bytes);
// "2.40 s".
std::string secondsText(std::uint64_t milliseconds);

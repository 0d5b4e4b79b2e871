// Figures from Linux's /proc text files ("Name:   1234 kB" lines).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The value of field `name` (without its colon) in bytes: a "kB" figure times
// 1,024, a figure without unit as it stands. Nothing when the field is absent.
std::optional<std::uint64_t> procField(std::string_view text, std::string_view name);

// The whole of a small /proc file (they report no size, so it is read to its
// end); empty when it cannot be read.
std::string readProcFile(const char* path);

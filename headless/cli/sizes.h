// Amounts of memory typed on a command line (--hold, --keep-available,
// --ramp): "512M", "1.5G", "80%", "all-2G". Portable.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "headless/memory/room_rules.h"

// The largest size accepted: 4 EiB. No machine holds that much, and the bound
// keeps sums of sizes and their page tables within 64 bits.
constexpr std::uint64_t kMaxSizeBytes = 1ull << 62;

struct SizeRequest {
    enum class Kind { Bytes, PercentOfTotal, AllBut };
    Kind kind = Kind::Bytes;
    std::uint64_t bytes = 0;  // Bytes: the size; AllBut: what to leave
    double percent = 0;       // PercentOfTotal: 0 < percent <= 100
};

// What a size is given for: each takes some forms and refuses others.
enum class SizeUse {
    Hold,    // --hold, --keep-available: every form, 0 too (--hold 0 holds nothing)
    Amount,  // --band, --max, a ramp step: bytes or N%, never 0 or all-
};

// "4096B" (bytes); K, M, G, T with an optional "B" or "iB" ("512M",
// "512MB", "512MiB"), in any case. Every unit is binary: memory is sold and
// reported in binary units, and a "512MB" that meant 488 MiB would surprise
// more people than it helps. A decimal fraction is allowed and any part of a
// byte dropped ("1.5G", "0.1K" is 102 bytes). A bare number is bytes, the
// form callers compute, but only from 1 MiB up: "512" is far likelier a
// forgotten M than a hold of half a kilobyte. "N%" (0 < N <= 100, up to six
// decimals): that share of the room's total. "all-SIZE": everything the room
// holds when it is read, except SIZE and the margin. The error names what
// was wrong and the forms to use: empty, signed, spaced, unknown units,
// trailing junk, 0%, over 100%, over kMaxSizeBytes, and the forms `use`
// does not take.
struct SizeReading {
    std::optional<SizeRequest> request;
    std::string error;  // when there is no request: "\"512\" is 512 bytes? write 512B, or 512M"
};
SizeReading readSize(std::string_view text, SizeUse use = SizeUse::Hold);
std::optional<SizeRequest> parseSize(std::string_view text, SizeUse use = SizeUse::Hold);

// What the request means against `room` now. Bytes: as is. PercentOfTotal:
// that share of room.total, rounded down to whole 4 KiB pages, and never
// more than the total less the margin (so 100% is that). AllBut: the most
// that fits room.available less what is to be left (mostResidentIn), 0 when
// the room holds no more than that.
std::uint64_t resolveSize(const SizeRequest& request, const MemoryRoom& room);

// A ramp step, "256M/5s": take `bytes` more every `intervalMilliseconds`.
// The step is a size in bytes (no % or all-, at least 1 MiB when bare), the
// interval a duration (durations.h); both more than 0.
struct RampStep {
    std::uint64_t bytes;
    std::uint64_t intervalMilliseconds;
};
std::optional<RampStep> parseRamp(std::string_view text);

// A rate, "2G/s" or "1G/2s": bytes a second, from a size (no % or all-, at
// least 1 MiB when bare) over a duration ("s" alone is a second), both more
// than 0. The error names what was wrong and the form to use.
struct RateReading {
    std::optional<std::uint64_t> bytesPerSecond;
    std::string error;
};
RateReading readRate(std::string_view text);

// The valid forms, for usage and error messages.
extern const char kSizeForms[];
extern const char kRampForms[];
extern const char kRateForms[];

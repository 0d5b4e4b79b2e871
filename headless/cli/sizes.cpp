#include "headless/cli/sizes.h"

#include <cmath>

#include "headless/cli/durations.h"
#include "headless/memory/room_checked_allocator.h"

namespace {
constexpr std::uint64_t kKiB = 1ull << 10;
constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kTiB = 1ull << 40;
constexpr std::uint64_t kPage = 4096;

constexpr ScaleUnit kSizeUnits[] = {
    {"b", 1},
    {"k", kKiB}, {"kb", kKiB}, {"kib", kKiB},
    {"m", kMiB}, {"mb", kMiB}, {"mib", kMiB},
    {"g", kGiB}, {"gb", kGiB}, {"gib", kGiB},
    {"t", kTiB}, {"tb", kTiB}, {"tib", kTiB},
};

// Percentages are read as whole millionths of a percent: the same number
// rule, finer than a page of any machine's total, and exact arithmetic in
// resolveSize (a double's 10.1 is just under it, a page short on a total of
// 1000 pages).
constexpr std::uint64_t kPercentSteps = 1000000;
constexpr std::uint64_t kWholeSteps = 100 * kPercentSteps;

std::optional<std::uint64_t> parseBytes(std::string_view text) {
    return parseScaled(text, kSizeUnits, 1, kMaxSizeBytes, Fraction::RoundDown);
}

bool startsWithAll(std::string_view text) {
    if (text.size() < 4 || text[3] != '-') return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if ((text[i] | 0x20) != "all"[i]) return false;
    }
    return true;
}
}  // namespace

const char kSizeForms[] = "a size such as 512M, 2G, 1.5G, 300K, 4096B (bytes), 80% (of the memory room) "
                          "or all-2G (all the room but 2G)";
const char kRampForms[] = "a step and its interval such as 256M/5s or 1G/500ms";
const char kRateForms[] = "a size a second such as 1G/s, 256M/s or 1G/2s";

namespace {
bool bare(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789.") == std::string_view::npos;
}

SizeReading refused(std::string_view text, const std::string& why) {
    return {std::nullopt, "\"" + std::string(text) + "\" " + why};
}

SizeReading notASize(std::string_view text, SizeUse use) {
    return refused(text, std::string("is not a size; use ") +
                             (use == SizeUse::Amount ? "a size such as 64M, 1G, 300K or 1%" : kSizeForms));
}

// A byte count of the forms above, with the bare-number rule.
SizeReading readBytes(std::string_view text, SizeUse use, const char* what) {
    const std::optional<std::uint64_t> bytes = parseBytes(text);
    if (!bytes) {
        if (parseScaled(text, kSizeUnits, 1, UINT64_MAX >> 1, Fraction::RoundDown)) {
            return refused(text, "is over the largest size, " + std::to_string(kMaxSizeBytes >> 40) + "T");
        }
        return notASize(text, use);
    }
    if (bare(text) && *bytes > 0 && *bytes < kMiB) {
        return refused(text, "is " + std::string(text) + " bytes? write " + std::string(text) + "B, or " +
                                 std::string(text) + "M");
    }
    if (*bytes == 0 && use == SizeUse::Amount) return refused(text, std::string("is nothing; ") + what);
    SizeRequest request;
    request.bytes = *bytes;
    return {request, {}};
}
}  // namespace

SizeReading readSize(std::string_view text, SizeUse use) {
    SizeRequest request;
    if (!text.empty() && text.back() == '%') {
        const std::string_view number = text.substr(0, text.size() - 1);
        const std::optional<std::uint64_t> steps =
            parseScaled(number, {}, kPercentSteps, UINT64_MAX >> 1, Fraction::Exact);
        if (!steps) return notASize(text, use);
        if (*steps == 0) return refused(text, "is nothing; give a share above 0%, e.g. 10%");
        if (*steps > kWholeSteps) return refused(text, "is over 100%; give a share up to 100%");
        request.kind = SizeRequest::Kind::PercentOfTotal;
        request.percent = static_cast<double>(*steps) / kPercentSteps;
        return {request, {}};
    }
    if (startsWithAll(text)) {
        if (use == SizeUse::Amount) return refused(text, "is not an amount; give a size such as 64M, or 1%");
        SizeReading leave = readBytes(text.substr(4), use, "");
        if (!leave.request) return notASize(text, use);
        request.kind = SizeRequest::Kind::AllBut;
        request.bytes = leave.request->bytes;
        return {request, {}};
    }
    return readBytes(text, use, "give a size above 0, e.g. 64M");
}

std::optional<SizeRequest> parseSize(std::string_view text, SizeUse use) { return readSize(text, use).request; }

std::uint64_t resolveSize(const SizeRequest& request, const MemoryRoom& room) {
    switch (request.kind) {
    case SizeRequest::Kind::Bytes:
        return request.bytes;
    case SizeRequest::Kind::PercentOfTotal: {
        const double clamped = request.percent > 100 ? 100 : request.percent < 0 ? 0 : request.percent;
        const auto steps = static_cast<std::uint64_t>(std::llround(clamped * kPercentSteps));
        // floor(total × steps / whole) without the 90-bit product.
        std::uint64_t bytes = room.total / kWholeSteps * steps + room.total % kWholeSteps * steps / kWholeSteps;
        const std::uint64_t most = room.total > kRoomMargin ? room.total - kRoomMargin : 0;
        if (bytes > most) bytes = most;
        return bytes / kPage * kPage;
    }
    case SizeRequest::Kind::AllBut:
        return room.available > request.bytes ? mostResidentIn(room.available - request.bytes) / kPage * kPage : 0;
    }
    return 0;
}

std::optional<RampStep> parseRamp(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::optional<SizeRequest> step = parseSize(text.substr(0, slash), SizeUse::Amount);
    if (!step || step->kind != SizeRequest::Kind::Bytes) return std::nullopt;
    const std::optional<std::uint64_t> bytes = step->bytes;
    const std::optional<std::uint64_t> interval = parseDurationMilliseconds(text.substr(slash + 1));
    if (!bytes || *bytes == 0 || !interval || *interval == 0) return std::nullopt;
    return RampStep{*bytes, *interval};
}

RateReading readRate(std::string_view text) {
    const auto notARate = [text](const std::string& why) {
        return RateReading{std::nullopt, "\"" + std::string(text) + "\" " + why + "; use " + kRateForms};
    };
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return notARate("is not a rate: the /s is missing");
    const SizeReading size = readSize(text.substr(0, slash), SizeUse::Amount);
    if (!size.request) return notARate("is not a rate: " + size.error);
    if (size.request->kind != SizeRequest::Kind::Bytes) return notARate("is not a rate: a share of memory is no amount a second");
    const std::string_view per = text.substr(slash + 1);
    const std::optional<std::uint64_t> milliseconds = per == "s" ? std::optional<std::uint64_t>(1000) : parseDurationMilliseconds(per);
    if (!milliseconds || *milliseconds == 0) return notARate("is not a rate: \"" + std::string(per) + "\" is no time");
    const unsigned __int128 rate = static_cast<unsigned __int128>(size.request->bytes) * 1000 / *milliseconds;
    if (rate == 0 || rate > kMaxSizeBytes) return notARate("is not a rate of at least a byte a second and at most 4T a second");
    return {static_cast<std::uint64_t>(rate), {}};
}

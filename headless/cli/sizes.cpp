#include "headless/cli/sizes.h"

#include <cmath>

#include "headless/cli/durations.h"

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

const char kSizeForms[] = "a size such as 512M, 2G, 1.5G, 300K, 4096 (bytes), 80% (of the memory room) "
                          "or all-2G (all the room but 2G)";
const char kRampForms[] = "a step and its interval such as 256M/5s or 1G/500ms";

std::optional<SizeRequest> parseSize(std::string_view text) {
    SizeRequest request;
    if (!text.empty() && text.back() == '%') {
        const std::optional<std::uint64_t> steps = parseScaled(text.substr(0, text.size() - 1), {}, kPercentSteps,
                                                               kWholeSteps, Fraction::Exact);
        if (!steps || *steps == 0) return std::nullopt;
        request.kind = SizeRequest::Kind::PercentOfTotal;
        request.percent = static_cast<double>(*steps) / kPercentSteps;
        return request;
    }
    if (startsWithAll(text)) {
        const std::optional<std::uint64_t> leave = parseBytes(text.substr(4));
        if (!leave) return std::nullopt;
        request.kind = SizeRequest::Kind::AllBut;
        request.bytes = *leave;
        return request;
    }
    const std::optional<std::uint64_t> bytes = parseBytes(text);
    if (!bytes || *bytes == 0) return std::nullopt;
    request.bytes = *bytes;
    return request;
}

std::uint64_t resolveSize(const SizeRequest& request, const MemoryRoom& room) {
    switch (request.kind) {
    case SizeRequest::Kind::Bytes:
        return request.bytes;
    case SizeRequest::Kind::PercentOfTotal: {
        const double clamped = request.percent > 100 ? 100 : request.percent < 0 ? 0 : request.percent;
        const auto steps = static_cast<std::uint64_t>(std::llround(clamped * kPercentSteps));
        // floor(total × steps / whole) without the 90-bit product.
        const std::uint64_t bytes =
            room.total / kWholeSteps * steps + room.total % kWholeSteps * steps / kWholeSteps;
        return bytes / kPage * kPage;
    }
    case SizeRequest::Kind::AllBut:
        return room.available > request.bytes ? room.available - request.bytes : 0;
    }
    return 0;
}

std::optional<RampStep> parseRamp(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::optional<std::uint64_t> bytes = parseBytes(text.substr(0, slash));
    const std::optional<std::uint64_t> interval = parseDurationMilliseconds(text.substr(slash + 1));
    if (!bytes || *bytes == 0 || !interval || *interval == 0) return std::nullopt;
    return RampStep{*bytes, *interval};
}

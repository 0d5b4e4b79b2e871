// The size and ramp grammar of --hold, --keep-available and --ramp, and what
// a size means against a room.
#include "headless/cli/sizes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "headless/memory/room_checked_allocator.h"

namespace {
constexpr std::uint64_t kKiB = 1ull << 10;
constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;

using Kind = SizeRequest::Kind;

TEST(Sizes, ReadsBytesPercentagesAndAllBut) {
    const struct {
        const char* text;
        std::optional<Kind> kind;  // nothing: refused
        std::uint64_t bytes = 0;
        double percent = 0;
    } cases[] = {
        {"1048576", Kind::Bytes, kMiB},  // a bare number is bytes from 1 MiB up
        {"4096b", Kind::Bytes, 4096},
        {"300K", Kind::Bytes, 300 * kKiB},
        {"512M", Kind::Bytes, 512 * kMiB},
        {"512mb", Kind::Bytes, 512 * kMiB},
        {"512MiB", Kind::Bytes, 512 * kMiB},
        {"512mib", Kind::Bytes, 512 * kMiB},
        {"2G", Kind::Bytes, 2 * kGiB},
        {"2gb", Kind::Bytes, 2 * kGiB},
        {"1.5G", Kind::Bytes, 3 * kGiB / 2},
        {"1.1G", Kind::Bytes, 1181116006},  // 1.1 × 2^30 = …006.4: the part of a byte dropped
        {"0.1K", Kind::Bytes, 102},
        {"3T", Kind::Bytes, 3ull << 40},
        {"2TiB", Kind::Bytes, 2ull << 40},
        {"4194304T", Kind::Bytes, kMaxSizeBytes},
        {"007M", Kind::Bytes, 7 * kMiB},
        {"80%", Kind::PercentOfTotal, 0, 80},
        {"100%", Kind::PercentOfTotal, 0, 100},
        {"12.5%", Kind::PercentOfTotal, 0, 12.5},
        {"0.000001%", Kind::PercentOfTotal, 0, 0.000001},
        {"all-2G", Kind::AllBut, 2 * kGiB},
        {"ALL-512m", Kind::AllBut, 512 * kMiB},
        {"all-0", Kind::AllBut, 0},
        // Nothing, as a baseline hold around a command.
        {"0", Kind::Bytes, 0},
        {"0M", Kind::Bytes, 0},
        {"0.0001b", Kind::Bytes, 0},
        // Refused: bare numbers under 1 MiB, empty, signed, spaced, unknown
        // or doubled units, junk, lone or doubled points, out-of-range
        // percentages, overflow.
        {"4096", std::nullopt},
        {"512", std::nullopt},
        {"1048575", std::nullopt},
        {"", std::nullopt},
        {"-1G", std::nullopt},
        {"+1G", std::nullopt},
        {" 1G", std::nullopt},
        {"1 G", std::nullopt},
        {"1G ", std::nullopt},
        {"1X", std::nullopt},
        {"1GG", std::nullopt},
        {"1GiBs", std::nullopt},
        {"1ib", std::nullopt},
        {"1G5", std::nullopt},
        {"G", std::nullopt},
        {".5G", std::nullopt},
        {"5.G", std::nullopt},
        {"1.2.3G", std::nullopt},
        {"1e9", std::nullopt},
        {"0%", std::nullopt},
        {"0.0%", std::nullopt},
        {"0.0000001%", std::nullopt},
        {"100.000001%", std::nullopt},
        {"101%", std::nullopt},
        {"%", std::nullopt},
        {"-5%", std::nullopt},
        {"5%%", std::nullopt},
        {"5 %", std::nullopt},
        {"50G%", std::nullopt},
        {"all", std::nullopt},
        {"all-", std::nullopt},
        {"all2G", std::nullopt},
        {"all-10%", std::nullopt},
        {"all--2G", std::nullopt},
        {"alp-2G", std::nullopt},
        {"4194304.000001T", std::nullopt},
        {"4194305T", std::nullopt},
        {"4611686018427387905", std::nullopt},
        {"99999999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<SizeRequest> got = parseSize(c.text);
        ASSERT_EQ(got.has_value(), c.kind.has_value()) << '"' << c.text << '"';
        if (!got) continue;
        EXPECT_EQ(got->kind, *c.kind) << '"' << c.text << '"';
        EXPECT_EQ(got->bytes, c.bytes) << '"' << c.text << '"';
        EXPECT_DOUBLE_EQ(got->percent, c.percent) << '"' << c.text << '"';
    }
}

MemoryRoom roomOf(std::uint64_t available, std::uint64_t total) {
    MemoryRoom room;
    room.known = true;
    room.available = available;
    room.total = total;
    return room;
}

TEST(Sizes, ResolveAgainstTheRoomNow) {
    const struct {
        const char* what;
        const char* text;
        MemoryRoom room;
        std::uint64_t bytes;
    } cases[] = {
        {"bytes ignore the room", "3G", roomOf(1 * kGiB, 2 * kGiB), 3 * kGiB},
        {"a share of the total, not of what is available", "50%", roomOf(1 * kGiB, 8 * kGiB), 4 * kGiB},
        {"100% is the whole total less the margin", "100%", roomOf(1 * kGiB, 8 * kGiB), 8 * kGiB - kRoomMargin},
        {"a share never takes the margin", "99.9%", roomOf(1 * kGiB, 8 * kGiB), 8 * kGiB - kRoomMargin},
        {"rounded down to whole pages", "33%", roomOf(0, 100 * 4096 * 1000 + 4096 * 99), 33 * 4096 * 1000 + 4096 * 32},
        {"exact at a page boundary, where a double would fall short", "10.1%", roomOf(0, std::uint64_t{1000} * 4096 * 1000),
         std::uint64_t{101} * 4096 * 1000},
        {"a share of a total near the bound", "50%", roomOf(0, kMaxSizeBytes), kMaxSizeBytes / 2},
        {"all but: what fits what is available now less what is left", "all-1G", roomOf(3 * kGiB, 8 * kGiB),
         mostResidentIn(2 * kGiB) / 4096 * 4096},
        {"all but more than is available", "all-4G", roomOf(3 * kGiB, 8 * kGiB), 0},
        {"all but exactly what is available", "all-3G", roomOf(3 * kGiB, 8 * kGiB), 0},
        {"all but less than the margin past what is left", "all-3G", roomOf(3 * kGiB + kRoomMargin, 8 * kGiB), 0},
        {"all but nothing", "all-0", roomOf(3 * kGiB, 8 * kGiB), mostResidentIn(3 * kGiB) / 4096 * 4096},
    };
    for (const auto& c : cases) {
        const std::optional<SizeRequest> request = parseSize(c.text);
        ASSERT_TRUE(request) << c.what;
        EXPECT_EQ(resolveSize(*request, c.room), c.bytes) << c.what;
    }
}

// A size a person could mean otherwise is refused with the fix in words.
TEST(Sizes, RefusalsNameTheFix) {
    const struct {
        const char* text;
        SizeUse use;
        const char* error;
    } cases[] = {
        {"512", SizeUse::Hold, "\"512\" is 512 bytes? write 512B, or 512M"},
        {"101%", SizeUse::Hold, "\"101%\" is over 100%"},
        {"0%", SizeUse::Hold, "\"0%\" is nothing"},
        {"12X", SizeUse::Hold, "\"12X\" is not a size; use a size such as 512M"},
        {"0", SizeUse::Amount, "\"0\" is nothing; give a size above 0"},
        {"0M", SizeUse::Amount, "\"0M\" is nothing"},
        {"all-1G", SizeUse::Amount, "\"all-1G\" is not an amount"},
        {"4611686018427387905", SizeUse::Hold, "is over the largest size"},
    };
    for (const auto& c : cases) {
        const SizeReading read = readSize(c.text, c.use);
        EXPECT_FALSE(read.request) << c.text;
        EXPECT_NE(read.error.find(c.error), std::string::npos) << c.text << ": " << read.error;
    }
    EXPECT_TRUE(readSize("1%", SizeUse::Amount).request);
    EXPECT_TRUE(readSize("64M", SizeUse::Amount).request);
}

TEST(Sizes, ReadsRampSteps) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> bytes;  // nothing: refused
        std::uint64_t milliseconds = 0;
    } cases[] = {
        {"256M/5s", 256 * kMiB, 5000},
        {"1G/500ms", kGiB, 500},
        {"1.5g/1.5S", 3 * kGiB / 2, 1500},
        {"4096b/1", 4096, 1000},
        {"4096/1", std::nullopt},
        {"64MiB/2m", 64 * kMiB, 120000},
        {"", std::nullopt},
        {"256M", std::nullopt},
        {"256M/", std::nullopt},
        {"/5s", std::nullopt},
        {"0M/5s", std::nullopt},
        {"256M/0s", std::nullopt},
        {"256M/5s/", std::nullopt},
        {"256M/5s/1s", std::nullopt},
        {"10%/5s", std::nullopt},
        {"all-1G/5s", std::nullopt},
        {"256M /5s", std::nullopt},
        {"256M/5x", std::nullopt},
        {"256M/-5s", std::nullopt},
        {"256M/2401h", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<RampStep> got = parseRamp(c.text);
        ASSERT_EQ(got.has_value(), c.bytes.has_value()) << '"' << c.text << '"';
        if (!got) continue;
        EXPECT_EQ(got->bytes, *c.bytes) << '"' << c.text << '"';
        EXPECT_EQ(got->intervalMilliseconds, c.milliseconds) << '"' << c.text << '"';
    }
}

TEST(Sizes, FormsNameAValidExampleOfEachKind) {
    // The usage text's examples are read by the grammar it describes.
    for (const char* example : {"512M", "1.5G", "80%", "all-2G"}) {
        EXPECT_NE(std::string(kSizeForms).find(example), std::string::npos) << example;
        EXPECT_TRUE(parseSize(example)) << example;
    }
    for (const char* example : {"256M/5s", "1G/500ms"}) {
        EXPECT_NE(std::string(kRampForms).find(example), std::string::npos) << example;
        EXPECT_TRUE(parseRamp(example)) << example;
    }
}
}  // namespace

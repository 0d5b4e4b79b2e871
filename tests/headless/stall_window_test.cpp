// The stall figures as text, --pressure-from's file, and the share over a
// window made from the `total` counters.
#include "headless/memory/stall_window.h"

#include <gtest/gtest.h>

namespace {
constexpr char kGood[] =
    "some avg10=12.50 avg60=3.00 avg300=1.00 total=123456\n"
    "full avg10=0.25 avg60=0.00 avg300=0.00 total=789\n";

TEST(StallCounters, ReadsBothLines) {
    const StallCounters c = parseStallCounters(kGood, "f");
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.total(StallLine::Some), 123456u);
    EXPECT_EQ(c.total(StallLine::Full), 789u);
    EXPECT_DOUBLE_EQ(c.avg10(StallLine::Some), 0.125);
    EXPECT_DOUBLE_EQ(c.avg10(StallLine::Full), 0.0025);
}

TEST(StallCounters, RefusesWhatIsNotTheFigures) {
    const struct {
        const char* what;
        const char* text;
        const char* said;  // in the error
    } cases[] = {
        {"empty", "", "no \"some\" line"},
        {"no full line", "some avg10=0.00 avg60=0.00 avg300=0.00 total=5\n", "no \"full\" line"},
        {"no some line", "full avg10=0.00 avg60=0.00 avg300=0.00 total=5\n", "no \"some\" line"},
        {"total missing", "some avg10=0.00 avg60=0.00 avg300=0.00\nfull avg10=0 total=1\n", "no readable total="},
        {"total not a number", "some avg10=0.00 total=12x\nfull avg10=0 total=1\n", "no readable total="},
        {"total past 64 bits", "some avg10=0.00 total=18446744073709551616\nfull avg10=0 total=1\n", "total="},
        {"negative total", "some avg10=0.00 total=-1\nfull avg10=0 total=1\n", "total="},
        {"avg10 past 100", "some avg10=100.01 total=1\nfull avg10=0 total=1\n", "avg10="},
        {"cut short", "some avg10=0.00 avg60=0.00 avg300=0.00 tot", "total="},
    };
    for (const auto& c : cases) {
        const StallCounters counters = parseStallCounters(c.text, "/proc/pressure/memory");
        EXPECT_FALSE(counters.ok) << c.what;
        EXPECT_NE(counters.error.find("/proc/pressure/memory"), std::string::npos) << c.what << ": " << counters.error;
        EXPECT_NE(counters.error.find(c.said), std::string::npos) << c.what << ": " << counters.error;
    }
}

TEST(StallCounters, IgnoresLinesOfLaterKernels) {
    const std::string text = std::string("io avg10=1 total=1\n") + kGood + "\n";
    const StallCounters c = parseStallCounters(text, "f");
    ASSERT_TRUE(c.ok) << c.error;
    EXPECT_EQ(c.someTotal, 123456u);
    EXPECT_EQ(c.fullTotal, 789u);
}

constexpr char kV2Mount[] = "35 24 0:30 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
constexpr char kHybridMount[] =
    "31 30 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
    "36 30 0:31 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";
constexpr char kV1Only[] = "31 30 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";
constexpr char kNamespaced[] = "35 24 0:30 /kubepods /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";

TEST(StallSource, ResolvesEveryForm) {
    const struct {
        const char* what;
        const char* from;
        const char* cgroup;
        const char* mountinfo;
        const char* path;  // "" when refused
    } cases[] = {
        {"system", "system", "", "", "/proc/pressure/memory"},
        {"a folder", "/sys/fs/cgroup/app", "", "", "/sys/fs/cgroup/app/memory.pressure"},
        {"a folder with a slash", "/sys/fs/cgroup/app/", "", "", "/sys/fs/cgroup/app/memory.pressure"},
        {"the file itself", "/sys/fs/cgroup/app/memory.pressure", "", "", "/sys/fs/cgroup/app/memory.pressure"},
        {"self on v2", "self", "0::/user.slice/run.scope\n", kV2Mount,
         "/sys/fs/cgroup/user.slice/run.scope/memory.pressure"},
        {"self in the v2 root", "self", "0::/\n", kV2Mount, "/proc/pressure/memory"},
        {"self on a hybrid host", "self", "4:memory:/x\n0::/x\n", kHybridMount,
         "/sys/fs/cgroup/unified/x/memory.pressure"},
        {"self in a namespaced mount", "self", "0::/kubepods/pod1\n", kNamespaced,
         "/sys/fs/cgroup/pod1/memory.pressure"},
        {"self on v1 only", "self", "4:memory:/\n0::/\n", kV1Only, ""},
        {"self in a v1 group, the v2 root", "self", "4:memory:/box\n0::/\n", kHybridMount, ""},
        {"self without a 0:: line", "self", "4:memory:/\n", kV2Mount, ""},
        {"self outside the mount", "self", "0::/other\n", kNamespaced, ""},
    };
    for (const auto& c : cases) {
        const StallSource source = resolveStallSource(c.from, c.cgroup, c.mountinfo);
        EXPECT_EQ(source.path, c.path) << c.what;
        if (*c.path == '\0') {
            EXPECT_NE(source.error.find("--pressure-from system"), std::string::npos) << c.what << ": " << source.error;
            EXPECT_NE(source.error.find("cgroup v1"), std::string::npos) << c.what;
        }
    }
}

TEST(StallWindow, ShareOverTheWindow) {
    const struct {
        const char* what;
        double share;
        std::uint64_t window, readFor;
        std::optional<double> expected;
    } cases[] = {
        {"no stall", 0.0, 5000, 6000, 0.0},
        {"a tenth", 0.1, 5000, 6000, 0.1},
        {"all the time", 1.0, 5000, 6000, 1.0},
        {"window not yet covered: what is", 0.3, 5000, 1000, 0.3},
        {"one reading: nothing", 0.3, 5000, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        StallWindow window(c.window);
        std::uint64_t total = 1000000;
        for (std::uint64_t t = 0; t <= c.readFor; t += 250) {
            window.add(t, total);
            total += static_cast<std::uint64_t>(c.share * 250 * 1000);
        }
        const std::optional<double> got = window.share();
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.what;
        if (got) {
            EXPECT_NEAR(*got, *c.expected, 1e-9) << c.what;
        }
    }
}

TEST(StallWindow, OnlyTheWindowCounts) {
    // 10 s of full stall, then 5 s of none: a 5 s window sees none.
    StallWindow window(5000);
    std::uint64_t total = 0;
    for (std::uint64_t t = 0; t <= 15000; t += 250) {
        window.add(t, total);
        total += t < 10000 ? 250000 : 0;
    }
    EXPECT_NEAR(*window.share(), 0.0, 1e-9);
    EXPECT_EQ(window.covered(), 5000u);
    // Since a step 1 s ago: over that second alone.
    EXPECT_EQ(window.covered(14000), 1000u);
}

TEST(StallWindow, SinceAStep) {
    // Full stall until 3 s, none after: since the step at 3 s, none.
    StallWindow window(5000);
    std::uint64_t total = 0;
    for (std::uint64_t t = 0; t <= 5000; t += 250) {
        window.add(t, total);
        total += t < 3000 ? 250000 : 0;
    }
    EXPECT_NEAR(*window.share(3000), 0.0, 1e-9);
    EXPECT_NEAR(*window.share(), 0.6, 1e-9);
    EXPECT_FALSE(window.share(5000).has_value()) << "no reading covers the time since the step";
    EXPECT_FALSE(window.share(4900, 300).has_value());
}

TEST(StallWindow, ACounterThatJumpsStartsAfresh) {
    const struct {
        const char* what;
        std::uint64_t before, after;
    } cases[] = {
        {"goes back (another group's file)", 5000000, 10},
        {"wraps past 64 bits", UINT64_MAX - 100, 50},
        {"grows more than the time passed", 0, 10000000},
    };
    for (const auto& c : cases) {
        StallWindow window(5000);
        window.add(0, c.before);
        window.add(250, c.before);
        window.add(500, c.after);
        EXPECT_FALSE(window.share().has_value()) << c.what << ": a share made across the jump";
        window.add(750, c.after + 125000);
        ASSERT_TRUE(window.share().has_value()) << c.what;
        EXPECT_NEAR(*window.share(), 0.5, 1e-9) << c.what;
    }
}

TEST(StallWindow, ShareText) {
    EXPECT_EQ(shareText(0.125), "12.5%");
    EXPECT_EQ(shareText(0), "0.0%");
}
}  // namespace

#include "load/allocation_steps.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_allocator.h"

namespace {

// Records what the loop shows and when it pauses, in order.
class RecordingView final : public AllocationStepView {
public:
    std::vector<std::string> events;
    void stepStarting(int megabytes) override { events.push_back("start " + std::to_string(megabytes)); }
    void stepRefused() override { events.push_back("refused"); }
    void stepGranted(int megabytes) override { events.push_back("granted " + std::to_string(megabytes)); }
    void stepReleasing() override { events.push_back("releasing"); }
    void pause() override { events.push_back("pause"); }
};

constexpr std::uint64_t kMiB = 1ull << 20;

TEST(AllocationSteps, CountsUpUntilTheFirstRefusalInEitherMode) {
    struct Case {
        const char* what;
        int physicalMode;
        std::uint64_t grantUpTo;    // the allocator's own refusal
        std::uint64_t commitLimit;  // refused before the allocator is asked
        int refusedAt;
    };
    const Case cases[] = {
        {"normal, allocator refuses 4 MB", 0, 3 * kMiB, 1ull << 40, 4},
        {"physical, allocator refuses 4 MB", 1, 3 * kMiB, 1ull << 40, 4},
        {"normal, commit limit between 2 and 3 MB", 0, 1ull << 30, 2 * kMiB + 1, 3},
        {"physical, commit limit between 2 and 3 MB", 1, 1ull << 30, 2 * kMiB + 1, 3},
        {"normal, first step refused", 0, kMiB - 1, 1ull << 40, 1},
        {"physical, first block refused", 1, 0, 1ull << 40, 1},
    };
    for (const Case& c : cases) {
        FakeAllocator fake;
        fake.grantUpTo = c.grantUpTo;
        fake.limit = c.commitLimit;
        LoadBlock load;
        RecordingView view;
        int megabytes = 0;
        int held = 7;
        stepUntilRefused(load, fake, c.physicalMode, megabytes, held, view);

        std::vector<std::string> expected;
        for (int mb = 1; mb < c.refusedAt; ++mb) {
            expected.insert(expected.end(), {"start " + std::to_string(mb), "granted " + std::to_string(mb),
                                             "releasing", "pause"});
        }
        expected.insert(expected.end(), {"start " + std::to_string(c.refusedAt), "refused"});
        EXPECT_EQ(view.events, expected) << c.what;
        EXPECT_EQ(megabytes, c.refusedAt) << c.what << ": the last size granted is one less";
        EXPECT_EQ(held, 0) << c.what;
        EXPECT_TRUE(fake.liveBlocks.empty()) << c.what << ": every granted block was given back";
        EXPECT_TRUE(fake.liveHeaps.empty()) << c.what << ": every private heap was destroyed";
        EXPECT_EQ(fake.residentBytes, 0u) << c.what << ": the test never writes its blocks' pages";
        EXPECT_EQ(load.allocated, 0) << c.what;
    }
}

TEST(AllocationSteps, CounterStartsWhereTheCallerLeftIt) {
    // The panel sets the counter to 0 first; the loop itself only counts on.
    FakeAllocator fake;
    fake.grantUpTo = 12 * kMiB;
    LoadBlock load;
    RecordingView view;
    int megabytes = 10;
    int held = 0;
    stepUntilRefused(load, fake, 0, megabytes, held, view);
    EXPECT_EQ(megabytes, 13);
    ASSERT_FALSE(view.events.empty());
    EXPECT_EQ(view.events.front(), "start 11");
}

}  // namespace

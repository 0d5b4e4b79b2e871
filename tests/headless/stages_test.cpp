// --stages: the grammar, and the held size a run follows on a scripted clock.
#include <gtest/gtest.h>

#include "headless/cli/stage_list.h"
#include "headless/runs/stages.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;

TEST(Stages, ReadsEveryFormOfStage) {
    const StageReading reading = readStages("30s:2G,1m:50%,500ms:all-1G,0:0");
    ASSERT_EQ(reading.error, "");
    ASSERT_EQ(reading.stages.size(), 4u);
    EXPECT_EQ(reading.stages[0].milliseconds, 30000u);
    EXPECT_EQ(reading.stages[0].size.bytes, 2048 * kMiB);
    EXPECT_EQ(reading.stages[1].milliseconds, 60000u);
    EXPECT_EQ(reading.stages[1].size.kind, SizeRequest::Kind::PercentOfTotal);
    EXPECT_EQ(reading.stages[2].size.kind, SizeRequest::Kind::AllBut);
    EXPECT_EQ(reading.stages[3].milliseconds, 0u);
    EXPECT_EQ(reading.stages[3].size.bytes, 0u);
    EXPECT_EQ(reading.stages[1].text, "1m:50%");
}

TEST(Stages, RefusesWhatIsNoStageNamingIt) {
    const struct {
        const char* text;
        const char* error;  // the start of the message
    } cases[] = {
        {"", "no stages given"},
        {"30s:2G,", "stage 2 is empty"},
        {",30s:2G", "stage 1 is empty"},
        {"30s", "stage 1 (\"30s\") has no ':'"},
        {"10s:1G,2G", "stage 2 (\"2G\") has no ':'"},
        {"x:1G", "stage 1 (\"x:1G\"): \"x\" is not a duration"},
        {"-1s:1G", "stage 1 (\"-1s:1G\"): \"-1s\" is not a duration"},
        {"1s:512", "stage 1 (\"1s:512\"): \"512\" is 512 bytes?"},
        {"1s:1Q", "stage 1 (\"1s:1Q\"): "},
        {"2400h:1G,1s:1G", "the stages last more than 100 days"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const StageReading reading = readStages(c.text);
        EXPECT_TRUE(reading.stages.empty());
        EXPECT_EQ(reading.error.rfind(c.error, 0), 0u) << reading.error;
    }
}

TEST(Stages, TargetMovesLinearlyFromTheStageBefore) {
    const StageFollower plan({{1000, 100 * kMiB}, {0, 40 * kMiB}, {2000, 0}, {0, 8 * kMiB}});
    const struct {
        std::uint64_t at;
        std::uint64_t bytes;
    } cases[] = {
        {0, 0}, {500, 50 * kMiB}, {999, 100 * kMiB * 999 / 1000}, {1000, 40 * kMiB},
        {2000, 20 * kMiB}, {2999, 40 * kMiB - 40 * kMiB * 1999 / 2000}, {3000, 8 * kMiB}, {99999, 8 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        EXPECT_EQ(plan.targetAt(c.at), c.bytes);
    }
    EXPECT_EQ(plan.totalMilliseconds(), 3000u);
    EXPECT_EQ(plan.largest(), 100 * kMiB);
}

TEST(Stages, LargeSizesOverLongStagesDoNotOverflow) {
    const std::uint64_t big = 1ull << 62;
    const StageFollower plan({{100ull * 24 * 3600 * 1000, big}});
    EXPECT_EQ(plan.targetAt(50ull * 24 * 3600 * 1000), big / 2);
}

// A scripted clock's ticks: each stage begins and is reached once, in order,
// even when one tick passes several; moves only between.
TEST(Stages, FollowerStepsOnAScriptedClock) {
    StageFollower plan({{0, 64 * kMiB}, {1000, 64 * kMiB}, {0, 16 * kMiB}, {1000, 0}});
    std::string seen;
    for (std::uint64_t at : {0u, 500u, 1500u, 2000u}) {
        for (const StageStep& step : plan.advance(at)) {
            seen += step.kind == StageStep::Kind::Begin ? "B" : step.kind == StageStep::Kind::Move ? "M" : "R";
            seen += std::to_string(step.stage + 1) + "=" + std::to_string(step.bytes / kMiB) + " ";
        }
        seen += "| ";
    }
    EXPECT_EQ(seen,
              "B1=0 R1=64 B2=64 | | R2=64 B3=64 R3=16 B4=16 M4=8 | R4=0 | ");
    EXPECT_TRUE(plan.finished());
    EXPECT_TRUE(plan.advance(3000).empty());
}

TEST(Stages, SmallMovesWaitForAWholeStep) {
    StageFollower plan({{1000, 10 * kMiB}});
    plan.advance(0);
    EXPECT_TRUE(plan.advance(50).empty());  // 0.5 MiB on
    const std::vector<StageStep> steps = plan.advance(100);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].kind, StageStep::Kind::Move);
    EXPECT_EQ(steps[0].bytes, kMiB);
}
}  // namespace

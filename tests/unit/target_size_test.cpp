#include "panel/target_size.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(TargetSize, AddsStaysAtOrAboveZeroAndStopsAtIntMax) {
    struct Case { int target, delta, expected; };
    const Case cases[] = {
        {0, 1, 1},
        {0, -1, 0},
        {384, 1, 385},
        {5, -1, 4},
        {INT_MAX - 10, 128, INT_MAX},
        {INT_MAX, 1, INT_MAX},
        {INT_MAX, -1, INT_MAX - 1},
    };
    for (const Case& c : cases) EXPECT_EQ(addToTarget(c.target, c.delta), c.expected) << c.target << "+" << c.delta;
}

}  // namespace

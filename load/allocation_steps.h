// The allocation test's step loop, apart from the window: it counts up 1 MB
// at a time until a step is refused. The panel shows each step and pauses
// 1 ms between steps; a benchmark runs the same loop with a quiet view.
#pragma once
#include <climits>

#include "load_block.h"

// What the loop shows between its block operations (nothing, unless a view
// says otherwise), and its pause.
struct AllocationStepView {
    virtual ~AllocationStepView() = default;
    virtual void stepStarting(int /*megabytes*/) {}  // before the step's allocation
    virtual void stepRefused() {}
    virtual void stepGranted(int /*megabytes*/) {}   // the block is held
    virtual void stepReleasing() {}                  // just before its release
    virtual void pause() = 0;                        // after each granted step
};

// Each step takes and at once releases its block without writing its pages:
// the answer does not depend on them, and writing them would make the test's
// cost grow with the square of the limit. The limit check of allocateBlock
// makes the loop end even where the platform never refuses a commit.
// `megabytes` is the step counter and `held` the continuation flag; on return
// `megabytes` is the refused size (last granted + 1) and `held` is 0.
inline void stepUntilRefused(LoadBlock& load, BlockAllocator& allocator, int physicalMode, int& megabytes,
                             int& held, AllocationStepView& view) {
    held = 1;
    while (megabytes < INT_MAX) {
        ++megabytes;
        view.stepStarting(megabytes);
        if (allocateBlock(load, allocator, physicalMode, megabytesToBytes(megabytes), PageTouch::Leave) != 0) {
            view.stepRefused();
            break;
        }
        view.stepGranted(megabytes);
        view.stepReleasing();
        releaseBlock(load, allocator, physicalMode);
        view.pause();
    }
    held = 0;
}

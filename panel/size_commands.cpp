#include "size_commands.h"

#include "control_groups.h"
#include "panel_state.h"
#include "target_size.h"

int targetMegabytes = 0;

namespace {
void addAndShow(int delta) {
    targetMegabytes = addToTarget(targetMegabytes, delta);
    showTarget();
}
}  // namespace

void onPlus1() { addAndShow(1); }
void onMinus1() { addAndShow(-1); }
void onPlus4() { addAndShow(4); }
void onPlus8() { addAndShow(8); }
void onPlus16() { addAndShow(16); }
void onPlus32() { addAndShow(32); }
void onPlus64() { addAndShow(64); }
void onPlus128() { addAndShow(128); }

void onReset() {
    targetMegabytes = 0;
    showTarget();
}

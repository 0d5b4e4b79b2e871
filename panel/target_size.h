// Arithmetic of the target size in megabytes. No platform headers.
#pragma once

// Adds `delta` (positive or negative) to `target`: never below 0, and
// stopping at INT_MAX instead of overflowing.
int addToTarget(int target, int delta);

#include "target_size.h"

#include <climits>

int addToTarget(int target, int delta) {
    const long long sum = static_cast<long long>(target) + delta;
    if (sum < 0) return 0;
    if (sum > INT_MAX) return INT_MAX;
    return static_cast<int>(sum);
}

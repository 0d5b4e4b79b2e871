// The product's pass brought to the way it keeps: a large block is timed
// over its first passes (load/block_store.h), so the bench runs those
// before its timed repetitions, which then measure the pass as a load that
// runs for minutes runs it. Built natively and with MinGW.
#pragma once
#include <cstdint>
#include <string>

#include "load/block_store.h"

namespace bench {

// Runs `pass` over [block, block + bytes) until its way is chosen (the first
// pass and every calibration step); returns the way, or says the block is
// not timed.
template <typename Pass>
std::string settleProductPass(const Pass& pass, unsigned char* block, std::uint64_t bytes) {
    StoreWay way;
    for (int passes = 0; passes <= 1 + kCalibrationStepCount; ++passes) {
        if (calibratedWay(block, bytes, way))
            return std::string("the pass's way, timed over its first passes: ") + storeWayName(way);
        pass();
    }
    return std::string("the pass is not timed: ") + storeWayName(storeWayFor(processStorePlan(), bytes));
}

// The way the block's pass keeps at the row's end, when the chosen way's
// passes slowed and the ways were timed again during the row; "" if not.
inline std::string laterProductWay(const unsigned char* block, std::uint64_t bytes, const std::string& settled) {
    StoreWay way;
    if (!calibratedWay(block, bytes, way)) return "";
    const std::string name = storeWayName(way);
    if (settled.size() >= name.size() && settled.compare(settled.size() - name.size(), name.size(), name) == 0)
        return "";
    return std::string("; at the row's end: ") + name;
}

}  // namespace bench

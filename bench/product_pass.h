// The product's pass brought to the way it keeps: a large block is timed
// over its first passes (load/block_store.h), so the bench runs those
// before its timed repetitions, which then measure the pass as a load that
// runs for minutes runs it. Built natively and with MinGW.
#pragma once
#include <cstdint>
#include <string>

#include "load/block_store.h"

namespace bench {

// The pass brought to its way: the way it keeps (timed, or its size
// class's), and what the notes say of it.
struct SettledPass {
    bool timed = false;
    StoreWay way = StoreWay::Memset;
    unsigned parts = 1;
    std::string label() const {
        return std::string(timed ? "the pass's way, timed over its first passes: " : "the pass is not timed: ") +
               storeWayName(way);
    }
};

// Runs `pass` over [block, block + bytes), stored by `parts` threads, until
// its way is chosen (the first pass and every calibration step), or says the
// block is not timed.
template <typename Pass>
SettledPass settleProductPass(const Pass& pass, unsigned char* block, std::uint64_t bytes, unsigned parts) {
    SettledPass settled;
    settled.parts = parts;
    for (int passes = 0; passes <= 1 + kCalibrationStepCount; ++passes) {
        if (calibratedWay(block, bytes, settled.way, parts)) {
            settled.timed = true;
            return settled;
        }
        pass();
    }
    settled.way = storeWayFor(processStorePlan(), bytes);
    return settled;
}

// The way the block's pass keeps at the row's end, when the chosen way's
// passes slowed and the ways were timed again during the row; "" if not.
inline std::string laterProductWay(const unsigned char* block, std::uint64_t bytes, const SettledPass& settled) {
    StoreWay way;
    if (!settled.timed || !calibratedWay(block, bytes, way, settled.parts) || way == settled.way) return "";
    return std::string("; at the row's end: ") + storeWayName(way);
}

}  // namespace bench

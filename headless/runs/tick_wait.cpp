#include "headless/runs/tick_wait.h"

#include <chrono>
#include <thread>

namespace {
struct SteadyClock final : TickClock {
    std::uint64_t nowMilliseconds() override {
        const auto since = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    }
};
}  // namespace

TickClock& steadyClock() {
    static SteadyClock clock;
    return clock;
}

bool Pause::waitUpTo(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return false;
}

bool SlicedWait::waitUpTo(std::uint32_t milliseconds) {
    for (std::uint32_t waited = 0;;) {
        const std::uint32_t part = milliseconds - waited < slice_ ? milliseconds - waited : slice_;
        if (inner_.waitUpTo(part)) return true;
        between_();
        waited += part;
        if (waited >= milliseconds) return false;
    }
}

WaitEnd waitInTicks(Awaited& awaited, TickClock& clock, const WaitRules& rules,
                    const std::function<bool()>& stopRequested, const std::function<void()>& onTick) {
    const std::uint64_t start = clock.nowMilliseconds();
    std::optional<std::uint64_t> deadline;
    if (rules.limitMilliseconds) deadline = start + *rules.limitMilliseconds;
    std::uint64_t nextTick = start + kTickMilliseconds;
    for (;;) {
        if (rules.stopEndsWait && stopRequested()) return WaitEnd::Stopped;
        std::uint64_t now = clock.nowMilliseconds();
        if (deadline && now >= *deadline) return WaitEnd::TimeUp;
        std::uint64_t wake = nextTick;
        if (deadline && *deadline < wake) wake = *deadline;
        if (awaited.waitUpTo(static_cast<std::uint32_t>(wake > now ? wake - now : 0))) return WaitEnd::Ended;
        now = clock.nowMilliseconds();
        if (deadline && now >= *deadline) return WaitEnd::TimeUp;  // no pass to hold up the end
        if (now < nextTick) continue;
        onTick();
        nextTick += kTickMilliseconds;
        now = clock.nowMilliseconds();
        if (nextTick <= now) nextTick = now + kTickMilliseconds;
    }
}

// Waiting in 50 ms ticks: the console host's pauses, commands and pop-ups
// run the access load's passes on each tick and look for Ctrl-C in between,
// as the window's timer ticks arrive while it waits in a box.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>

constexpr std::uint32_t kTickMilliseconds = 50;

// Something waited for: a command, a line of input, or nothing (a pause).
struct Awaited {
    virtual ~Awaited() = default;
    // Waits at most `milliseconds`; true once the awaited thing has ended.
    virtual bool waitUpTo(std::uint32_t milliseconds) = 0;
};

struct TickClock {
    virtual ~TickClock() = default;
    virtual std::uint64_t nowMilliseconds() = 0;
};

// The steady clock, for real waits.
TickClock& steadyClock();

// A pause: waits the time it is given and never ends by itself.
struct Pause final : Awaited {
    bool waitUpTo(std::uint32_t milliseconds) override;
};

// Waits for `inner` in slices of `sliceMilliseconds`, calling `between`
// after each: for what must be acted on sooner than the next tick (a burst
// of another process's memory).
class SlicedWait final : public Awaited {
public:
    SlicedWait(Awaited& inner, std::uint32_t sliceMilliseconds, std::function<void()> between)
        : inner_(inner), slice_(sliceMilliseconds), between_(std::move(between)) {}
    bool waitUpTo(std::uint32_t milliseconds) override;

private:
    Awaited& inner_;
    std::uint32_t slice_;
    std::function<void()> between_;
};

struct WaitRules {
    std::optional<std::uint64_t> limitMilliseconds;  // none: until it ends
    bool stopEndsWait = true;  // false: a stop is noticed only once it has ended
};

enum class WaitEnd { Ended, TimeUp, Stopped };

// Waits for `awaited`, calling `onTick` every 50 ms. Ticks do not pile up: a
// tick that takes longer than the period puts the next one a full period
// after it, so slow passes lower the rate.
WaitEnd waitInTicks(Awaited& awaited, TickClock& clock, const WaitRules& rules,
                    const std::function<bool()>& stopRequested, const std::function<void()>& onTick);

// The kernel's stall figures read as a share of time over a window of our
// own. /proc/pressure/memory and a v2 group's memory.pressure say, per line
// ("some" and "full"), how many microseconds in all tasks were stalled on
// memory (`total=`); the share of a window is the growth of that total over
// the window's length. The kernel's own avg10 lags a step by about 10 s,
// twice the default window, so it serves only until the window has a
// reading to start from.
#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

// Which line of the figures: some task stalled, or all of them at once.
enum class StallLine { Some, Full };
const char* stallLineName(StallLine line);  // "some", "full"

// One reading of a stall file.
struct StallCounters {
    bool ok = false;
    std::string error;  // when !ok: what was wrong with the text
    std::uint64_t someTotal = 0;  // microseconds
    std::uint64_t fullTotal = 0;
    double someAvg10 = 0;  // the kernel's 10 s average, as a share 0..1
    double fullAvg10 = 0;
    std::uint64_t total(StallLine line) const { return line == StallLine::Some ? someTotal : fullTotal; }
    double avg10(StallLine line) const { return line == StallLine::Some ? someAvg10 : fullAvg10; }
};

// Reads the text of a stall file. Both lines must be there with a `total=`
// whole number (Linux 5.2 and later give "full" for memory; a file without
// it is not the memory figures); `shown` names the file in the error.
StallCounters parseStallCounters(const std::string& text, const std::string& shown);

// Where --pressure-from reads: the stall file, or why there is none.
struct StallSource {
    std::string path;   // e.g. /sys/fs/cgroup/app/memory.pressure
    std::string error;  // when path is empty: a sentence for the user
};

// --pressure-from's value resolved. "system": /proc/pressure/memory. "self":
// the v2 group of the `0::` line of `cgroupText` (/proc/self/cgroup) under
// the cgroup2 mount of `mountinfoText` (/proc/self/mountinfo); in the root
// group, /proc/pressure/memory, since the root has no memory.pressure. A
// host without the unified hierarchy mounted has no group figures at all,
// and says so. Anything else: a v2 group's folder, its memory.pressure.
StallSource resolveStallSource(const std::string& from, const std::string& cgroupText,
                               const std::string& mountinfoText);

// The share over the last `windowMilliseconds`, from readings of one line's
// total. A reading that goes back, or grows by more than the time passed
// (the file now belongs to another group, or the counter wrapped), starts
// the window afresh: no share is made of two unrelated counters.
class StallWindow {
public:
    explicit StallWindow(std::uint64_t windowMilliseconds) : window_(windowMilliseconds) {}
    void add(std::uint64_t nowMilliseconds, std::uint64_t totalMicroseconds);
    // The share 0..1 over the window, or over what of it the readings cover
    // since `since` (a step), whichever is shorter; nothing before two
    // readings cover at least `least` milliseconds.
    std::optional<double> share(std::uint64_t since = 0, std::uint64_t least = 1) const;
    // How many milliseconds the readings in the window cover since `since`.
    std::uint64_t covered(std::uint64_t since = 0) const;
    std::uint64_t window() const { return window_; }
    void clear() { readings_.clear(); }

private:
    struct Reading {
        std::uint64_t at;     // ms
        std::uint64_t total;  // us
    };
    const Reading* first(std::uint64_t since) const;
    std::uint64_t window_;
    std::deque<Reading> readings_;
};

// "12.5%" of a share 0..1, as the lines show it.
std::string shareText(double share);

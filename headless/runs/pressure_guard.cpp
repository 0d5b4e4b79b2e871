#include "headless/runs/pressure_guard.h"

#include "headless/system/stall_figures.h"

PressureGuard::PressureGuard(StallTarget limit, std::uint64_t windowMilliseconds, std::string file,
                             std::function<StallCounters()> read)
    : limit_(limit), file_(std::move(file)), read_(std::move(read)), window_(windowMilliseconds) {}

std::string PressureGuard::name() const { return "--stop-if-pressure " + stallTargetText(limit_); }

std::optional<GuardTrip> PressureGuard::check(std::uint64_t now) {
    const StallCounters counters = read_();
    if (!counters.ok) return GuardTrip{name(), "the stall figures cannot be read: " + counters.error};
    window_.add(now, counters.total(limit_.line));
    const std::optional<double> measured = window_.share(0, 250);
    const double share = measured ? *measured : counters.avg10(limit_.line);
    if (share <= limit_.share) return std::nullopt;
    const std::string over = measured ? "over the last " + std::to_string(window_.covered() / 1000.0).substr(0, 4) + " s"
                                      : "over the kernel's last 10 s";
    return GuardTrip{name(), std::string("the ") + stallLineName(limit_.line) + " stall share " + over + " is " +
                                 shareText(share) + " (" + file_ + ")"};
}

namespace {
// A guard whose figures are not there: it trips at its first check, which
// comes before anything is taken.
class UnreadableGuard final : public Guard {
public:
    UnreadableGuard(std::string name, std::string why) : trip_{std::move(name), std::move(why)} {}
    std::optional<GuardTrip> check(std::uint64_t) override { return trip_; }

private:
    GuardTrip trip_;
};
}  // namespace

std::string pressureGuardsUnreadable(const Options& options) {
    if (options.stopIfPressure.empty()) return {};
    const StallSource source = stallSourceFor(options.pressureFrom);
    if (source.path.empty()) return "--stop-if-pressure: " + source.error;
    const StallCounters counters = readStallFigures(source.path);
    if (!counters.ok) return "--stop-if-pressure: the stall figures cannot be read: " + counters.error;
    return {};
}

void appendPressureGuards(const Options& options, Guards& guards) {
    if (options.stopIfPressure.empty()) return;
    const StallSource source = stallSourceFor(options.pressureFrom);
    for (const StallTarget& limit : options.stopIfPressure) {
        if (source.path.empty()) {
            guards.push_back(std::make_unique<UnreadableGuard>("--stop-if-pressure " + stallTargetText(limit),
                                                               source.error));
            continue;
        }
        const std::string path = source.path;
        guards.push_back(std::make_unique<PressureGuard>(limit, options.pressureWindowMilliseconds, path,
                                                         [path] { return readStallFigures(path); }));
    }
}

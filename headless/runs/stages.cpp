#include "headless/runs/stages.h"

#include <algorithm>

StageFollower::StageFollower(std::vector<StageTarget> stages) : stages_(std::move(stages)) {
    for (const StageTarget& s : stages_) {
        total_ += s.milliseconds;
        ends_.push_back(total_);
    }
}

std::uint64_t StageFollower::largest() const {
    std::uint64_t most = 0;
    for (const StageTarget& s : stages_) most = std::max(most, s.bytes);
    return most;
}

std::uint64_t StageFollower::targetAt(std::uint64_t elapsed) const {
    for (std::size_t k = 0; k < stages_.size(); ++k) {
        if (elapsed >= ends_[k]) continue;
        const std::uint64_t from = fromOf(k), to = stages_[k].bytes;
        const std::uint64_t into = elapsed - (ends_[k] - stages_[k].milliseconds);
        // Sizes up to 2^62 times durations up to 2^33 ms: 128 bits.
        const unsigned __int128 span = from < to ? to - from : from - to;
        const auto moved = static_cast<std::uint64_t>(span * into / stages_[k].milliseconds);
        return from < to ? from + moved : from - moved;
    }
    return stages_.empty() ? 0 : stages_.back().bytes;
}

std::vector<StageStep> StageFollower::advance(std::uint64_t elapsed) {
    std::vector<StageStep> steps;
    while (reached_ < stages_.size()) {
        if (begun_ == reached_) {
            steps.push_back({StageStep::Kind::Begin, begun_, fromOf(begun_)});
            ++begun_;
        }
        if (elapsed < ends_[reached_]) break;
        asked_ = stages_[reached_].bytes;
        steps.push_back({StageStep::Kind::Reached, reached_, asked_});
        ++reached_;
    }
    if (finished()) return steps;
    const std::uint64_t now = targetAt(elapsed);
    const std::uint64_t apart = now > asked_ ? now - asked_ : asked_ - now;
    if (apart >= kStageMoveBytes) {
        asked_ = now;
        steps.push_back({StageStep::Kind::Move, reached_, now});
    }
    return steps;
}

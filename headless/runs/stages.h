// --stages' arithmetic: the held size at each moment of a list of stages,
// and the steps a run takes to follow it as its clock moves on. Portable:
// the run asks with its own clock, the tests with a scripted one.
#pragma once
#include <cstdint>
#include <vector>

// A stage with its size resolved against the room: reach `bytes` linearly
// over `milliseconds` from the stage before's bytes (0 before the first).
struct StageTarget {
    std::uint64_t milliseconds;
    std::uint64_t bytes;
};

// What following the stages asks of a run at a moment, in order.
struct StageStep {
    enum class Kind {
        Begin,    // stage `stage` begins, from `bytes`
        Move,     // hold `bytes` now (on the way through the current stage)
        Reached,  // hold `bytes`, stage `stage`'s target: its end has come
    };
    Kind kind;
    std::size_t stage;  // from 0
    std::uint64_t bytes;
};

// Moves smaller than this within a stage wait for the next tick: a ramp of
// 2 GiB over a minute in 50 ms ticks is some 1200 moves of 1.7 MiB, and one
// block per move; finer steps would only add blocks.
constexpr std::uint64_t kStageMoveBytes = 1ull << 20;

class StageFollower {
public:
    explicit StageFollower(std::vector<StageTarget> stages);

    // The held size `elapsed` milliseconds after the first stage began:
    // the last target once every stage has ended.
    std::uint64_t targetAt(std::uint64_t elapsed) const;
    std::uint64_t totalMilliseconds() const { return total_; }
    std::uint64_t largest() const;
    std::size_t count() const { return stages_.size(); }
    const StageTarget& stage(std::size_t k) const { return stages_[k]; }
    // The target the stage moves from.
    std::uint64_t fromOf(std::size_t k) const { return k == 0 ? 0 : stages_[k - 1].bytes; }

    // The steps due at `elapsed` since the last call (times never go back):
    // every stage that has begun since, every stage whose end has come (each
    // its own Reached, even when one tick passes several), and a Move to the
    // size now when it is at least kStageMoveBytes from the last asked.
    std::vector<StageStep> advance(std::uint64_t elapsed);
    // Every stage has been reached.
    bool finished() const { return reached_ == stages_.size(); }

private:
    std::vector<StageTarget> stages_;
    std::vector<std::uint64_t> ends_;  // each stage's end, from the first's start
    std::uint64_t total_ = 0;
    std::size_t begun_ = 0, reached_ = 0;
    std::uint64_t asked_ = 0;  // the last size a step asked for
};

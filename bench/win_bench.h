// Timing and output shared by the Windows benchmark programs: a
// QueryPerformanceCounter stopwatch and one tab-separated record per
// measurement, which tools/bench.sh collects into the table.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace bench {

class Stopwatch {
public:
    Stopwatch() { restart(); }
    void restart() { QueryPerformanceCounter(&start_); }
    double seconds() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency());
    }

private:
    static LONGLONG frequency() {
        static const LONGLONG f = [] {
            LARGE_INTEGER q;
            QueryPerformanceFrequency(&q);
            return q.QuadPart;
        }();
        return f;
    }
    LARGE_INTEGER start_;
};

// figure, case, series, value, unit: one repetition of one series.
inline void record(const char* figure, const char* what, const char* series, double value, const char* unit) {
    std::printf("BENCH\t%s\t%s\t%s\t%.9g\t%s\n", figure, what, series, value, unit);
    std::fflush(stdout);
}

// A measurement that could not be taken is reported, not guessed.
inline void note(const char* figure, const char* text) {
    std::printf("NOTE\t%s\t%s\n", figure, text);
    std::fflush(stdout);
}

inline int argOr(int argc, char** argv, int index, int fallback) {
    return argc > index ? std::atoi(argv[index]) : fallback;
}

constexpr std::uint64_t kMiB = 1ull << 20;

}  // namespace bench

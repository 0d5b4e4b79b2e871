// The access load as the product drives it: timer 19 every 50 ms, one pass
// per WM_TIMER message. Passes per second against what the period allows
// (20 a second, or back to back once a pass outlasts the period), and the
// bytes actually written.
#include <initializer_list>

#include "load/access_load.h"
#include "load/load_state.h"
#include "win_bench.h"

namespace {

constexpr UINT_PTR kTimerId = 19;
constexpr UINT kPeriodMilliseconds = 50;

struct TimedRun {
    bench::Stopwatch watch;
    double duration = 0;
    double elapsed = 0;
    int passes = 0;
};
TimedRun* currentRun = nullptr;

LRESULT CALLBACK timerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        TimedRun& run = *currentRun;
        const double now = run.watch.seconds();
        if (now >= run.duration) {
            run.elapsed = now;
            KillTimer(window, kTimerId);
            PostQuitMessage(0);
        } else if (accessLoadIfHeld(loadBlock, accessLoad)) {
            ++run.passes;
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Passes a second when they follow each other without a pause (at least
// three passes and a second).
double backToBackRate() {
    bench::Stopwatch watch;
    int passes = 0;
    double spent = 0;
    while (passes < 3 || (spent = watch.seconds()) < 1.0) {
        accessLoadIfHeld(loadBlock, accessLoad);
        ++passes;
    }
    return passes / spent;
}

void measure(HWND window, std::uint64_t megabytes, int repetitions, double seconds) {
    char what[32];
    std::snprintf(what, sizeof what, "%lluMiB", static_cast<unsigned long long>(megabytes));
    const std::uint64_t bytes = megabytes * bench::kMiB;
    if (allocateBlock(loadBlock, platformAllocator(), 0, bytes, PageTouch::Leave) != 0) {
        bench::note("timer", "block not granted");
        return;
    }
    accessLoadIfHeld(loadBlock, accessLoad);  // the first pass faults the pages in
    for (int rep = 0; rep < repetitions; ++rep) {
        const double before = backToBackRate();

        TimedRun run;
        run.duration = seconds;
        currentRun = &run;
        run.watch.restart();
        SetTimer(window, kTimerId, kPeriodMilliseconds, nullptr);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
        currentRun = nullptr;

        // What the period allows at most, with the back-to-back rate taken
        // on both sides of the timed run.
        const double backToBack = (before + backToBackRate()) / 2;
        const double periodRate = 1000.0 / kPeriodMilliseconds;
        const double possible = backToBack < periodRate ? backToBack : periodRate;
        bench::record("timer", what, "product", run.passes / run.elapsed, "passes/s");
        bench::record("timer", what, "possible", possible, "passes/s");
        bench::record("timer", what, "written", static_cast<double>(bytes) * run.passes / run.elapsed / 1e9, "GB/s");
    }
    releaseBlock(loadBlock, platformAllocator(), 0);
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = bench::argOr(argc, argv, 1, 3);
    const double seconds = bench::argOr(argc, argv, 2, 2);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = timerWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TorvaneBenchTimer";
    RegisterClassA(&wc);
    // A message-only window: timer messages need a window, not a screen.
    HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (!window) {
        bench::note("timer", "no window");
        return 1;
    }
    for (std::uint64_t megabytes : {256ull, 1024ull, 4096ull}) measure(window, megabytes, repetitions, seconds);
    DestroyWindow(window);
    return 0;
}

// The allocation test's own step loop up to a 2 GiB limit, in a Windows
// program with the 1 ms pause as the product takes it and the per-step
// figures the panel shows (five texts a step into static controls of a
// visible window, as load/allocation_test.cpp sets them); against the pauses
// alone (steps x the measured length of one pause). Where the rest goes:
// the steps' allocations alone, the figures alone, and the same texts set
// into hidden controls, which nothing paints: what Wine's WM_SETTEXT costs by
// itself (its window texts live in the wine server, a round trip each).
#include "win_bench.h"  // windows.h first: mmsystem.h needs its types

#include <mmsystem.h>

#include <cstdio>

#include "limited_allocator.h"
#include "load/allocation_steps.h"
#include "load/load_state.h"

namespace {

// The panel's three displays: static controls of style 0, the sizes of
// panel/control_table.cpp's, in a visible window.
struct Displays {
    HWND window = nullptr, target = nullptr, actual = nullptr, status = nullptr;
};

// The same three controls, hidden, in the same window.
Displays hiddenBeside(const Displays& shown) {
    Displays d;
    if (!shown.window) return d;
    d.window = shown.window;
    const auto label = [&](int y) {
        return CreateWindowExA(0, "static", "", WS_CHILD, 10, y, 100, 30, shown.window, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    };
    d.target = label(10);
    d.actual = label(50);
    d.status = label(90);
    return d;
}

Displays makeDisplays() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    wc.lpszClassName = "TorvaneBenchSteps";
    RegisterClassA(&wc);
    Displays d;
    d.window = CreateWindowExA(0, wc.lpszClassName, "Steps", WS_SYSMENU | WS_VISIBLE, 0, 0, 435, 380, nullptr,
                               nullptr, wc.hInstance, nullptr);
    if (!d.window) return d;
    const auto label = [&](int x, int y, int w, int h) {
        return CreateWindowExA(0, "static", "", WS_CHILD | WS_VISIBLE, x, y, w, h, d.window, nullptr,
                               wc.hInstance, nullptr);
    };
    d.target = label(10, 300, 100, 30);
    d.actual = label(110, 300, 100, 30);
    d.status = label(220, 310, 200, 20);
    UpdateWindow(d.window);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    return d;
}

// The steps as the panel shows them (load/allocation_test.cpp's view): the
// target, then the status of each block operation and the size granted;
// the status texts are the English string table's.
class Steps final : public AllocationStepView {
public:
    Steps(const Displays* displays, bool sleeps) : displays_(displays), sleeps_(sleeps) {}
    void stepStarting(int megabytes) override {
        if (!displays_) return;
        show(displays_->target, megabytes);
        SetWindowTextA(displays_->status, "Testing: Allocating");
    }
    void stepRefused() override {
        if (displays_) SetWindowTextA(displays_->status, "Testing: Allocation failed");
    }
    void stepGranted(int megabytes) override {
        if (!displays_) return;
        SetWindowTextA(displays_->status, "Testing: Allocated");
        show(displays_->actual, megabytes);
    }
    void stepReleasing() override {
        if (displays_) SetWindowTextA(displays_->status, "Testing: Freeing");
    }
    void pause() override {
        if (sleeps_) Sleep(1);
        ++pauses;
    }
    int pauses = 0;

private:
    static void show(HWND display, int megabytes) {
        char text[32];
        std::snprintf(text, sizeof text, "%dMB", megabytes);
        SetWindowTextA(display, text);
    }
    const Displays* displays_;
    bool sleeps_;
};

// Seconds for the texts of 2,048 steps into `displays`, with no block.
double textsAlone(const Displays& displays) {
    Steps texts(&displays, false);
    bench::Stopwatch watch;
    for (int step = 1; step <= 2048; ++step) {
        texts.stepStarting(step);
        texts.stepGranted(step);
        texts.stepReleasing();
    }
    return watch.seconds();
}

double meanPauseSeconds() {
    constexpr int kSamples = 200;
    bench::Stopwatch watch;
    for (int i = 0; i < kSamples; ++i) Sleep(1);
    return watch.seconds() / kSamples;
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = bench::argOr(argc, argv, 1, 3);
    bench::LimitedAllocator limited(platformAllocator(), 2048 * bench::kMiB);
    const Displays displays = makeDisplays();
    if (!displays.status) bench::note("alloctest.wine", "no window for the figures; timed without them");
    const Displays* shown = displays.status ? &displays : nullptr;
    const Displays hidden = hiddenBeside(displays);
    timeBeginPeriod(1);
    for (int physical = 0; physical <= 1; ++physical) {
        const char* what = physical ? "2GiB physical" : "2GiB normal";
        const char* withFigures = physical ? "2GiB physical, panel's figures" : "2GiB normal, panel's figures";
        for (int rep = 0; rep < repetitions; ++rep) {
            // The loop alone and the loop with the panel's figures take turns,
            // each against the pauses measured just before it.
            for (int turn = 0; turn < 2; ++turn) {
                const bool figures = (turn + rep) % 2 == 1;
                if (figures && !shown) continue;
                const char* row = figures ? withFigures : what;
                const double pause = meanPauseSeconds();
                Steps view(figures ? shown : nullptr, true);
                LoadBlock load;
                int megabytes = 0;
                int held = 0;
                bench::Stopwatch watch;
                stepUntilRefused(load, limited, physical, megabytes, held, view);
                const double seconds = watch.seconds();
                if (megabytes != 2049 || view.pauses != 2048) {
                    bench::note("alloctest.wine", "the loop did not stop at the limit");
                    continue;
                }
                bench::record("alloctest.wine", row, "product", seconds, "s");
                bench::record("alloctest.wine", row, "pauses", pause * view.pauses, "s");
                bench::record("alloctest.wine", row, "pause", pause * 1e3, "ms");
            }

            // The steps alone, without their pauses or figures: what the
            // block operations themselves cost.
            Steps quiet(nullptr, false);
            LoadBlock load;
            int megabytes = 0;
            int held = 0;
            bench::Stopwatch watch;
            stepUntilRefused(load, limited, physical, megabytes, held, quiet);
            const double steps = watch.seconds();
            bench::record("alloctest.wine", what, "steps alone", steps, "s");
            bench::record("alloctest.wine", withFigures, "steps alone", steps, "s");

            // The figures alone: the same texts for 2,048 steps, no block;
            // then the same into the hidden controls.
            if (shown) bench::record("alloctest.wine", withFigures, "figures alone", textsAlone(*shown), "s");
            if (hidden.status) {
                bench::record("alloctest.wine", withFigures, "texts alone, unpainted", textsAlone(hidden), "s");
            }
        }
    }
    timeEndPeriod(1);
    if (displays.window) DestroyWindow(displays.window);
    return 0;
}

// The yardsticks for a pass split across threads: a plain fill on N threads,
// each writing an equal share of the block, the threads started once and
// woken per fill the way the product's are (part_thread.h), so that the ratio
// is what the product's split and store routine cost, not how threads start.
// Built natively and with MinGW.
#pragma once
#include <cstddef>
#include <memory>
#include <vector>

#include "headless/system/part_thread.h"

namespace bench {

using Fill = void (*)(unsigned char*, std::size_t, unsigned char);

class ThreadTeam {
public:
    explicit ThreadTeam(unsigned threads) {
        for (unsigned k = 1; k < threads; ++k) {
            auto helper = std::make_unique<Helper>();
            helper->go = makePartSignal();
            helper->done = makePartSignal();
            helper->thread = startPartThread(&Helper::run, helper.get());
            helpers_.push_back(std::move(helper));
        }
    }
    ~ThreadTeam() {
        for (auto& helper : helpers_) {
            helper->quit = true;
            setPartSignal(helper->go);
            joinPartThread(helper->thread);
            freePartSignal(helper->go);
            freePartSignal(helper->done);
        }
    }
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;

    // False when the system refused a thread or a signal: no figures then.
    bool ready() const {
        for (const auto& helper : helpers_)
            if (!helper->thread || !helper->go || !helper->done) return false;
        return true;
    }
    unsigned threads() const { return static_cast<unsigned>(helpers_.size()) + 1; }

    // `fill` over equal shares of [p, p + n), the caller writing the first.
    void fill(Fill fill, unsigned char* p, std::size_t n, unsigned char v) {
        const std::size_t count = threads();
        for (std::size_t k = 1; k < count; ++k) {
            Helper& helper = *helpers_[k - 1];
            helper.fill = fill;
            helper.start = p + n / count * k;
            helper.bytes = (k + 1 == count ? n : n / count * (k + 1)) - n / count * k;
            helper.value = v;
            setPartSignal(helper.go);
        }
        fill(p, n / count, v);
        for (auto& helper : helpers_) waitPartSignal(helper->done);
    }

private:
    struct Helper {
        PartThread* thread = nullptr;
        PartSignal* go = nullptr;
        PartSignal* done = nullptr;
        Fill fill = nullptr;
        unsigned char* start = nullptr;
        std::size_t bytes = 0;
        unsigned char value = 0;
        bool quit = false;
        static void run(void* context) {
            Helper& helper = *static_cast<Helper*>(context);
            for (;;) {
                waitPartSignal(helper.go);
                if (helper.quit) return;
                helper.fill(helper.start, helper.bytes, helper.value);
                setPartSignal(helper.done);
            }
        }
    };
    std::vector<std::unique_ptr<Helper>> helpers_;
};

}  // namespace bench

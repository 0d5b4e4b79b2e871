// A platform allocator with a commit limit of its own, so that the
// allocation test's steps end there and not at the machine's memory. Built
// natively and with MinGW.
#pragma once
#include <cstdint>

#include "load/load_block.h"

namespace bench {

class LimitedAllocator final : public BlockAllocator {
public:
    LimitedAllocator(BlockAllocator& inner, std::uint64_t limit) : inner_(inner), limit_(limit) {}
    void* takeNormal(std::uint64_t bytes) override { return inner_.takeNormal(bytes); }
    void releaseNormal(void* block) override { inner_.releaseNormal(block); }
    void* createHeap() override { return inner_.createHeap(); }
    void* takeFromHeap(void* heap, std::uint64_t bytes) override { return inner_.takeFromHeap(heap, bytes); }
    void destroyHeap(void* heap) override { inner_.destroyHeap(heap); }
    bool makeResident(void* block, std::uint64_t bytes) override { return inner_.makeResident(block, bytes); }
    std::uint64_t commitLimit() override { return limit_; }

private:
    BlockAllocator& inner_;
    std::uint64_t limit_;
};

}  // namespace bench

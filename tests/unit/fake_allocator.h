// A BlockAllocator that hands out real small blocks and records every call,
// so tests can see what the load engine asked of the platform.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "load/load_block.h"

class FakeAllocator final : public BlockAllocator {
public:
    std::uint64_t limit = 1ull << 40;   // commit limit reported
    std::uint64_t grantUpTo = 1ull << 30;  // larger requests are refused
    bool heapsFail = false;
    bool populateFails = false;  // makeResident reports the system out of memory
    std::vector<std::string> calls;
    std::set<void*> liveBlocks, liveHeaps;
    std::uint64_t residentBytes = 0;

    ~FakeAllocator() override {
        for (void* b : liveBlocks) std::free(b);
    }
    void* takeNormal(std::uint64_t bytes) override {
        calls.push_back("malloc " + std::to_string(bytes));
        return take(bytes);
    }
    void releaseNormal(void* block) override {
        calls.push_back("free");
        if (block) {
            liveBlocks.erase(block);
            std::free(block);
        }
    }
    void* createHeap() override {
        calls.push_back("createHeap");
        if (heapsFail) return nullptr;
        void* heap = reinterpret_cast<void*>(++heapCount);
        liveHeaps.insert(heap);
        return heap;
    }
    void* takeFromHeap(void* heap, std::uint64_t bytes) override {
        calls.push_back("heapAlloc " + std::to_string(bytes));
        void* block = take(bytes);
        if (block) heapBlocks.push_back({heap, block});
        return block;
    }
    void destroyHeap(void* heap) override {
        calls.push_back("destroyHeap");
        liveHeaps.erase(heap);
        for (auto& hb : heapBlocks) {
            if (hb.first == heap && hb.second) {
                liveBlocks.erase(hb.second);
                std::free(hb.second);
                hb.second = nullptr;
            }
        }
    }
    bool makeResident(void*, std::uint64_t bytes) override {
        calls.push_back("resident " + std::to_string(bytes));
        if (populateFails) return false;
        residentBytes += bytes;
        return true;
    }
    std::uint64_t commitLimit() override { return limit; }

private:
    void* take(std::uint64_t bytes) {
        if (bytes > grantUpTo) return nullptr;
        void* block = std::calloc(1, bytes ? bytes : 1);
        liveBlocks.insert(block);
        return block;
    }
    std::uintptr_t heapCount = 0;
    std::vector<std::pair<void*, void*>> heapBlocks;
};

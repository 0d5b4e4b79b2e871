#include "headless/runs/parallel_fill.h"

#include "headless/system/part_thread.h"
#include "load/access_load.h"

namespace {
constexpr std::uintptr_t kPage = 4096;

struct Part {
    unsigned char* start;
    std::uint64_t bytes;
    unsigned char value;
    PartThread* thread;
};

void writePart(void* context) {
    const Part& part = *static_cast<const Part*>(context);
    fillBlock(part.start, part.bytes, part.value);
}
}  // namespace

std::vector<std::uintptr_t> fillPartEnds(std::uintptr_t address, std::uint64_t bytes, unsigned workers) {
    if (workers == 0) workers = 1;
    const std::uintptr_t end = address + static_cast<std::uintptr_t>(bytes);
    std::vector<std::uintptr_t> ends;
    ends.reserve(workers);
    for (unsigned k = 1; k < workers; ++k) {
        // The even split point, then up to the next page; `bytes / workers * k`
        // and the remainder's share keep the product within 64 bits.
        const std::uint64_t offset = bytes / workers * k + bytes % workers * k / workers;
        std::uintptr_t boundary = address + static_cast<std::uintptr_t>(offset);
        boundary = (boundary + kPage - 1) / kPage * kPage;
        if (boundary > end) boundary = end;
        ends.push_back(boundary);
    }
    ends.push_back(end);
    return ends;
}

void fillInParts(unsigned char* start, std::uint64_t bytes, unsigned char value, unsigned workers) {
    if (workers <= 1) {
        fillBlock(start, bytes, value);
        return;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    const std::vector<std::uintptr_t> ends = fillPartEnds(address, bytes, workers);
    // Sized once: the threads hold pointers into it.
    std::vector<Part> parts(ends.size());
    for (std::size_t k = 1; k < ends.size(); ++k) {
        Part& part = parts[k];
        part = {start + (ends[k - 1] - address), ends[k] - ends[k - 1], value, nullptr};
        if (part.bytes == 0) continue;
        part.thread = startPartThread(writePart, &part);
        if (part.thread == nullptr) writePart(&part);
    }
    fillBlock(start, ends[0] - address, value);
    for (const Part& part : parts) {
        if (part.thread != nullptr) joinPartThread(part.thread);
    }
}

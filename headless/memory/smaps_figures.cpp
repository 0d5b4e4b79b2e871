#include "headless/memory/smaps_figures.h"

#include <cstdlib>
#include <sstream>

#include "headless/memory/proc_fields.h"

namespace {
// "7f1c2a000000-7f1c3a000000 rw-p 00000000 00:00 0": a mapping's first line.
bool mappingHeader(const std::string& line, AddressRange& range) {
    const std::size_t dash = line.find('-');
    if (dash == std::string::npos || dash == 0) return false;
    char* after = nullptr;
    const unsigned long long start = std::strtoull(line.c_str(), &after, 16);
    if (after != line.c_str() + dash) return false;
    const unsigned long long end = std::strtoull(line.c_str() + dash + 1, &after, 16);
    if (*after != ' ') return false;
    range = {static_cast<std::uintptr_t>(start), static_cast<std::uintptr_t>(end)};
    return true;
}

bool overlaps(const AddressRange& a, const std::vector<AddressRange>& ranges) {
    for (const AddressRange& b : ranges) {
        if (a.start < b.end && b.start < a.end) return true;
    }
    return false;
}
}  // namespace

std::uint64_t hugeBytesInSmaps(const std::string& smaps, const std::vector<AddressRange>& ranges) {
    std::uint64_t total = 0;
    bool counting = false;
    std::istringstream in(smaps);
    for (std::string line; std::getline(in, line);) {
        AddressRange range;
        if (mappingHeader(line, range)) {
            counting = overlaps(range, ranges);
            continue;
        }
        if (!counting) continue;
        for (const char* field : {"AnonHugePages", "Private_Hugetlb", "Shared_Hugetlb"}) {
            if (line.rfind(field, 0) == 0 && line.size() > std::string(field).size() &&
                line[std::string(field).size()] == ':') {
                total += procField(line, field).value_or(0);
            }
        }
    }
    return total;
}

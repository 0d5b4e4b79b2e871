// What /proc/PID/smaps says of some of a process's mappings. Portable, so
// that the reading is tested on text.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct AddressRange {
    std::uintptr_t start = 0, end = 0;
};

// The bytes in huge pages (AnonHugePages, and Private_Hugetlb and
// Shared_Hugetlb for the pool's) of every mapping that overlaps one of
// `ranges`. A whole mapping counts: the kernel merges neighbouring blocks
// that were mapped alike into one.
std::uint64_t hugeBytesInSmaps(const std::string& smaps, const std::vector<AddressRange>& ranges);

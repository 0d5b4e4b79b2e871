#include "headless/memory/proc_fields.h"

#include <gtest/gtest.h>

namespace {

TEST(ProcFields, ReadsNamedFiguresInBytes) {
    const char* status =
        "Name:\ttorvane-run\n"
        "VmRSSx:\t 9 kB\n"
        "VmRSS:\t    2944 kB\n"
        "HugePages_Total:       3\n"
        "Broken: kB\n"
        "MemAvailable:   23101520 kB";
    const struct {
        const char* name;
        std::optional<std::uint64_t> bytes;
    } cases[] = {
        {"VmRSS", 2944u * 1024}, {"HugePages_Total", 3u}, {"MemAvailable", 23101520ull * 1024},
        {"VmRS", std::nullopt},  {"Broken", std::nullopt}, {"Name", std::nullopt}, {"VmData", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(procField(status, c.name), c.bytes) << c.name;
}

}  // namespace

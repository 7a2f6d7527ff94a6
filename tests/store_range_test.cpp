// Byte ranges of a store: adding keeps them sorted and merged, rounding
// widens each to whole units.
#include "flash/run_host.h"

#include <gtest/gtest.h>

using namespace brigant;

namespace
{

TEST(StoreRanges, AddMergesWhatTouchesAndRoundOutWidensToUnits)
{
    struct Row {
        const char *what;
        StoreRanges added; // in order
        StoreRanges merged;
        StoreRanges rounded4k;
    };
    const Row rows[] = {
        {"empty range", {{5, 5}}, {}, {}},
        {"one", {{0x100, 0x200}}, {{0x100, 0x200}}, {{0, 0x1000}}},
        {"touching", {{0, 0x4000}, {0x4000, 0x8000}}, {{0, 0x8000}}, {{0, 0x8000}}},
        {"apart, out of order",
         {{0x9000, 0xA000}, {0, 0x1000}},
         {{0, 0x1000}, {0x9000, 0xA000}},
         {{0, 0x1000}, {0x9000, 0xA000}}},
        {"bridged by a third", {{0, 0x10}, {0x20, 0x30}, {0x8, 0x28}}, {{0, 0x30}}, {{0, 0x1000}}},
        {"apart until rounded",
         {{0x10, 0x20}, {0xFF0, 0x1010}},
         {{0x10, 0x20}, {0xFF0, 0x1010}},
         {{0, 0x2000}}},
        {"inside another", {{0, 0x8000}, {0x1000, 0x2000}}, {{0, 0x8000}}, {{0, 0x8000}}},
    };
    for (const Row &row : rows) {
        StoreRanges ranges;
        for (const StoreRange &r : row.added)
            AddRange(ranges, r.start, r.end);
        EXPECT_EQ(ranges, row.merged) << row.what;
        EXPECT_EQ(RoundOut(ranges, 0x1000), row.rounded4k) << row.what;
        std::uint64_t bytes = 0;
        for (const StoreRange &r : row.merged)
            bytes += r.end - r.start;
        EXPECT_EQ(Covered(ranges), bytes) << row.what;
    }
}

} // namespace

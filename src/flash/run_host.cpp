#include "flash/run_host.h"

#include <algorithm>

namespace brigant
{

void AddRange(StoreRanges &ranges, std::uint64_t start, std::uint64_t end)
{
    if (end <= start)
        return;
    StoreRanges merged;
    merged.reserve(ranges.size() + 1);
    StoreRange added{start, end};
    bool placed = false;
    for (const StoreRange &r : ranges) {
        if (r.end < added.start) {
            merged.push_back(r);
        } else if (added.end < r.start) {
            if (!placed)
                merged.push_back(added);
            placed = true;
            merged.push_back(r);
        } else {
            added.start = std::min(added.start, r.start);
            added.end = std::max(added.end, r.end);
        }
    }
    if (!placed)
        merged.push_back(added);
    ranges = std::move(merged);
}

StoreRanges RoundOut(const StoreRanges &ranges, std::uint64_t unit)
{
    StoreRanges out;
    for (const StoreRange &r : ranges)
        AddRange(out, r.start / unit * unit, (r.end + unit - 1) / unit * unit);
    return out;
}

StoreRanges Intersect(const StoreRanges &a, const StoreRanges &b)
{
    StoreRanges out;
    for (const StoreRange &x : a)
        for (const StoreRange &y : b)
            AddRange(out, std::max(x.start, y.start), std::min(x.end, y.end));
    return out;
}

bool Touches(const StoreRanges &ranges, std::uint64_t start, std::uint64_t end)
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const StoreRange &r) { return r.start < end && start < r.end; });
}

std::uint64_t Covered(const StoreRanges &ranges)
{
    std::uint64_t bytes = 0;
    for (const StoreRange &r : ranges)
        bytes += r.end - r.start;
    return bytes;
}

const char *PhaseWords(RunPhase phase)
{
    switch (phase) {
    case RunPhase::Read:
        return "reading the flash";
    case RunPhase::Erase:
        return "erasing";
    case RunPhase::Program:
        return "programming";
    case RunPhase::Verify:
        break;
    }
    return "verifying";
}

} // namespace brigant

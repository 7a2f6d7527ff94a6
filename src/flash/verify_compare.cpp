#include "flash/verify_compare.h"
#include "common/hex.h"

#include <algorithm>
#include <vector>

namespace brigant
{

bool VerifyRange(RunHost &host, const VerifyRead &read, std::uint32_t address, const std::uint8_t *expected,
                 std::uint32_t length, const SkipByte &skip)
{
    std::vector<std::uint8_t> actual(length, 0);
    // The store read earlier stands for the flash where it covers the range;
    // a range past its end is read from the device.
    const std::vector<std::uint8_t> *store = host.storeRead();
    if (store && std::uint64_t(address) + length <= store->size()) {
        std::copy_n(store->begin() + address, length, actual.begin());
    } else if (!read(address, actual.data(), length)) {
        host.failing("the flash could not be read at " + HexNumber(address) +
                     "; nothing was compared past it");
        return false;
    }
    VerifyTally tally;
    constexpr std::uint32_t kSector = 0x1000;
    std::int64_t sector = -1;
    bool sectorDiffers = false;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (skip && skip(i)) {
            ++tally.skipped;
            continue;
        }
        ++tally.compared;
        if (const std::int64_t at = (std::int64_t(address) + i) / kSector; at != sector) {
            sector = at;
            sectorDiffers = false;
            ++tally.sectors;
        }
        if (expected[i] != actual[i]) {
            if (tally.differing++ == 0)
                tally.firstDifference = static_cast<std::int64_t>(address) + i;
            if (!sectorDiffers) {
                ++tally.differingSectors;
                AddRange(tally.differingRanges, std::uint64_t(sector) * kSector,
                         std::uint64_t(sector + 1) * kSector);
            }
            sectorDiffers = true;
        }
    }
    AddRange(tally.ranges, address, std::uint64_t(address) + length);
    host.verified(tally);
    return true;
}

bool InRewrittenHeader(std::uint32_t offset)
{
    return (offset >= 0x200 && offset <= 0x3FF) || (offset >= 0x20200 && offset <= 0x203FF);
}

} // namespace brigant

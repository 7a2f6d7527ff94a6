#include "flash/verify_compare.h"
#include "common/hex.h"

#include <vector>

namespace brigant
{

bool VerifyRange(RunHost &host, const VerifyRead &read, std::uint32_t address, const std::uint8_t *expected,
                 std::uint32_t length, const SkipByte &skip)
{
    std::vector<std::uint8_t> actual(length, 0);
    if (!read(address, actual.data(), length)) {
        host.failing("the flash could not be read at " + HexNumber(address) +
                     "; nothing was compared past it");
        return false;
    }
    VerifyTally tally;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (skip && skip(i)) {
            ++tally.skipped;
            continue;
        }
        ++tally.compared;
        if (expected[i] != actual[i]) {
            if (tally.differing++ == 0)
                tally.firstDifference = static_cast<std::int64_t>(address) + i;
        }
    }
    host.verified(tally);
    return true;
}

bool InRewrittenHeader(std::uint32_t offset)
{
    return (offset >= 0x200 && offset <= 0x3FF) || (offset >= 0x20200 && offset <= 0x203FF);
}

} // namespace brigant

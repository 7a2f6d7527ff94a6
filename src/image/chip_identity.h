#pragma once
// What identification learned about the selected bridge and its flash.
#include <cstdint>

namespace brigant
{

// FlashKind values: the row of the flash maker table.
enum FlashKindValue : std::int32_t {
    kFlashUnknown = 0,
    kFlashPmc = 1,
    kFlashSst = 2,
    kFlashStEonMxic = 3, // an ST-compatible part whose maker the bridge did not tell apart
    kFlashAtmel = 4,
    kFlashMxic = 5,
    kFlashWinbond = 6,
    kFlashAmic = 7,
    kFlashEon = 8,
    kFlashEsmt = 9,
    kFlashSanyo = 10,
    kFlashGigadevice = 11,
    kFlashVpowerwins = 12,
};

struct ChipIdentity {
    std::uint8_t ChipTypeCode = 0; // 0: not identified
    std::uint8_t ChipSubRevision = 0;
    std::int32_t FlashKind = 0; // index into FlashMakerTable
    std::int32_t AmicType = 0;
    std::int32_t AtmelType = 0;
    std::int32_t SstWordMode = 0;
    std::int32_t FlashSizeKb = 0;
    std::int32_t FirmwareLevel = 0;
    // An identification read whose answer decides how the flash is written,
    // and which failed or answered what cannot be: what it asked (a static
    // text), or null. A bridge identified with such a gap is not written.
    const char *failedIdentifyRead = nullptr;
};

} // namespace brigant

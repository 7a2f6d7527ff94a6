#pragma once
// What identification learned about the selected bridge and its flash.
#include <cstdint>

namespace brigant
{

struct ChipIdentity {
    std::uint8_t ChipTypeCode = 0; // 0: not identified
    std::uint8_t ChipSubRevision = 0;
    std::int32_t FlashKind = 0; // index into FlashMakerTable
    std::int32_t AmicType = 0;
    std::int32_t AtmelType = 0;
    std::int32_t SstWordMode = 0;
    std::int32_t FlashSizeKb = 0;
    std::int32_t FirmwareLevel = 0;
};

} // namespace brigant

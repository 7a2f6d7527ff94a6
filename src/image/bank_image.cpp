#include "image/bank_image.h"

#include "image/checksums.h"
#include "image/chip_types.h"
#include "image/firmware_header.h"
#include "image/model_tags.h"

namespace brigant
{

std::size_t BankImageEnd(unsigned code) { return ChipTypeOf(code).bankEnd; }

std::uint16_t BankImageChecksum(std::span<const std::uint8_t> image, std::size_t end)
{
    return ImageCrc16(image.data(), end - 4, 0);
}

std::uint16_t StoredBankChecksum(std::span<const std::uint8_t> image, std::size_t end)
{
    return static_cast<std::uint16_t>(image[end - 2] << 8 | image[end - 1]);
}

bool CheckBankImage(std::span<const std::uint8_t> image, unsigned code)
{
    const std::size_t end = BankImageEnd(code);
    if (end == 0 || image.size() < end)
        return false;
    HeaderRecord record;
    ReadHeaderRecord(image, end - 16, record);
    if (!record.startsWith(kHeaderSignature) || !TagMatchesModel(record.tag(), code))
        return false;
    return BankImageChecksum(image, end) == StoredBankChecksum(image, end);
}

} // namespace brigant

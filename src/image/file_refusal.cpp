#include "image/file_refusal.h"
#include "common/hex.h"

#include "image/chip_types.h"
#include "image/file_checks.h"
#include "image/firmware_header.h"
#include "image/model_tags.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace brigant
{

namespace
{

// Every place the match check reads a header record, with the signature a
// record there starts with.
struct RecordPlace {
    std::uint32_t offset;
    const std::array<std::uint8_t, 4> &signature;
};
const std::array<RecordPlace, 6> kRecordPlaces = {{
    {0, kHeaderSignature},
    {0x80, kLarchSignature},
    {0x1000, kHeaderSignature},
    {0x4000, kHeaderSignature},
    {0x7FF0, kHeaderSignature},
    {0xBFF0, kHeaderSignature},
}};

bool SameTag(const std::uint8_t *tag, const char *expected)
{
    return expected && std::strlen(expected) == 3 && std::memcmp(tag, expected, 3) == 0;
}

// The first chip type code whose files carry `tag`, or 0.
unsigned CodeOfTag(const std::uint8_t *tag)
{
    for (unsigned code = 1; code < kChipTypeCount; ++code)
        if (TagMatchesModel(tag, code))
            return code;
    return 0;
}

// A header record of another chip type where the match check would read
// one, described; empty when there is none.
std::string ForeignRecord(std::span<const std::uint8_t> head, const ChipType &row)
{
    for (const RecordPlace &place : kRecordPlaces) {
        if (head.size() < place.offset + kHeaderRecordSize)
            continue;
        HeaderRecord record;
        ReadHeaderRecord(head, place.offset, record);
        if (!record.startsWith(place.signature))
            continue;
        if (SameTag(record.tag(), row.modelTag) || SameTag(record.tag(), row.formerTag))
            continue;
        const unsigned other = CodeOfTag(record.tag());
        if (other == 0)
            continue;
        return "the file carries the header record of chip type code " + std::to_string(other) + " (" +
               HeaderTagText(record.tag(), 3) + ") at offset " + HexNumber(place.offset) +
               "; this bridge takes " + row.modelTag +
               (row.formerTag ? std::string(" or ") + row.formerTag : std::string()) + " firmware";
    }
    return {};
}

} // namespace

std::string FirmwareFileRefusal(std::span<const std::uint8_t> head, std::uint64_t length, unsigned code,
                                std::uint64_t flashBytes)
{
    const ChipType &row = ChipTypeOf(code);
    const std::string size = "the file is " + std::to_string(length) + " bytes";
    if (length == 0)
        return "the file is empty";
    if (row.imageLength != 0 && length != row.imageLength)
        return size + "; this bridge takes " + std::to_string(row.imageLength);
    if (flashBytes != 0 && length > flashBytes)
        return size + "; the flash holds " + std::to_string(flashBytes);
    // The flash keeps the device's NVRAM area in front of the firmware, and
    // the update takes the file's first 4 KiB for that area.
    if (row.nvramOffset == 0 && CheckNvramHeader(head, code) != 1)
        return "the file lacks the 4 KiB NVRAM area in front of its header record (a 55 AA AA 55 " +
               std::string(row.modelTag) + " record at offset " + HexNumber(kNvramAreaSize) + ")";
    // No match check passes a file of such a code, so its records are
    // looked at here.
    if (row.imageLength != 0)
        return ForeignRecord(head, row);
    return {};
}

} // namespace brigant

#include "image/model_tags.h"

#include <cstring>

namespace brigant
{

const char ModelTagTable[kChipTypeCount][kChipTableSlotSize] = {
    "",    "Q7A", "Q7B", "Q7C", "Q7C", "Q7E", "Q2F", "Q5G", "Q5H", "Q5K", "Q5K", "Q5L",
    "S1M", "S3N", "S6Y", "S6P", "S6Q", "S6R", "S6S", "Q5L", "Q5G", "Q5K", "Q5K", "Q5G",
    "Q5K", "Q5K", "S6O", "S3A", "S4B", "S0C", "Q7E", "Q7C", "Q7D", "Q7E", "Q7A", "Q7B",
};

const char *ModelTagOf(unsigned code) { return code < kChipTypeCount ? ModelTagTable[code] : ""; }

int TagMatchesModel(const std::uint8_t *text, unsigned code)
{
    const char *tag = ModelTagOf(code);
    if (std::strlen(tag) != 3)
        return 0;
    return std::memcmp(text, tag, 3) == 0 ? 1 : 0;
}

} // namespace brigant

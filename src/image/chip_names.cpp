#include "image/chip_names.h"

#include <cctype>

namespace brigant
{

const char ChipNameTable[kChipTypeCount][kChipTableSlotSize] = {
    "Unknown Chip",
    "Alder Series",
    "Birch Series",
    "Cedar Series",
    "CedarA3 Series",
    "Elm Series",
    "Figtree Series",
    "Ginkgo Series",
    "Hazel Series",
    "Juniper/Katsura Series",
    "Juniper/Katsura Series",
    "Larch Series",
    "Maple/Nutmeg Series",
    "Nutmeg Series",
    "Willow/Upas/Teak Series",
    "Pine Series",
    "Quince Series",
    "Rowan Series",
    "Spruce Series",
    "Nutmeg/Larch Series",
    "Nutmeg/Ginkgo Series",
    "Nutmeg/Juniper Series",
    "Nutmeg/Katsura Series",
    "Nutmeg/Ginkgo Series",
    "Nutmeg/Juniper Series",
    "Nutmeg/Katsura Series",
    "NutmegA->Oak Series",
    "Aspen Series",
    "Baobab Series",
    "Cypress Series",
    "Elm Series",
    "Cedar",
    "Dogwood",
    "Elm",
    "Alder",
    "Birch",
};

namespace
{
std::string Lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
} // namespace

int FindChipByName(const std::string &name)
{
    const std::string wanted = Lower(name);
    const std::string suffix = " series";
    for (unsigned code = 1; code < kChipTypeCount; ++code) {
        const std::string full = Lower(ChipNameTable[code]);
        if (wanted == full)
            return static_cast<int>(code);
        if (full.size() > suffix.size() && full.ends_with(suffix) &&
            wanted == full.substr(0, full.size() - suffix.size()))
            return static_cast<int>(code);
    }
    return -1;
}

} // namespace brigant

// brigant-chip-table: prints the README's table of supported bridges, one row
// per chip type code the Run button updates, read from the chip table.
// tests/readme_chip_table.sh compares it with the README.
#include "image/chip_types.h"

#include <cstdio>
#include <string>

namespace
{

using namespace brigant;

const char *FamilyName(UpdateFamily family)
{
    switch (family) {
    case UpdateFamily::Register:
        return "register-level";
    case UpdateFamily::Assisted:
        return "firmware-assisted";
    case UpdateFamily::DiskArea:
        return "disk-stored";
    case UpdateFamily::Staging:
        return "staging-buffer";
    case UpdateFamily::None:
        break;
    }
    return "none";
}

std::string Hex(std::int32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// How Run picks the procedure for the row.
std::string Procedure(const ChipType &row)
{
    const std::string plain = FamilyName(FamilyOf(row.procedure));
    switch (row.variant) {
    case RunVariant::Plain:
        return row.procedure == UpdateProcedure::UpdateBlockwise ? plain + ", block-wise" : plain;
    case RunVariant::SstSwitch:
        return plain + ", whole image (SPI programming on SST word-mode parts)";
    case RunVariant::Sbp2On1394:
        return "register-level on USB, whole image; firmware-assisted on 1394";
    case RunVariant::DiskWithoutFlash:
        return "register-level with a flash, whole image; disk-stored without one";
    case RunVariant::SizeCheckedSst:
        return "register-level, block-wise (SPI programming on SST parts); the file must fit the flash";
    case RunVariant::XdataProbe:
        return "register-level block-wise up to sub-revision 4 without firmware help; else SPI programming "
               "on "
               "SST word-mode parts, else firmware-assisted";
    }
    return plain;
}

// What an update leaves of the device's own settings (NVRAM), unless the
// user asks to include the file's.
std::string Kept(const ChipType &row)
{
    switch (row.variant) {
    case RunVariant::SstSwitch:
        return "512 bytes at 0x8000 (files up to 32 KiB); nothing on SST word-mode parts";
    case RunVariant::Sbp2On1394:
        return "512 bytes at 0x8000 on USB, 1 KiB at 0x8000 on 1394 (files up to 32 KiB)";
    case RunVariant::DiskWithoutFlash:
        return "512 bytes at 0x8000 (files up to 32 KiB); on the disk, the area marker when erasing";
    case RunVariant::SizeCheckedSst:
        return "4 KiB at 0x0, bytes 128-207 from a file that has its own; nothing on SST parts";
    case RunVariant::XdataProbe:
        return "4 KiB at " + Hex(row.nvramOffset) + "; nothing on SST parts";
    case RunVariant::Plain:
        break;
    }
    if (row.procedure == UpdateProcedure::UpdateBlockwise)
        return "4 KiB at 0x0";
    if (row.nvramOffset != kNoNvramArea) {
        std::string kept = "4 KiB at " + Hex(row.nvramOffset);
        if (row.eraseNvramOffset != row.nvramOffset)
            kept += " (at " + Hex(row.eraseNvramOffset) + " when erasing)";
        return kept;
    }
    if (row.eraseNvramOffset != kNoNvramArea)
        return "nothing (4 KiB at " + Hex(row.eraseNvramOffset) + " when erasing)";
    return "nothing";
}

} // namespace

int main()
{
    std::printf("| Series | Code | Update | Settings (NVRAM) kept |\n");
    std::printf("|---|---|---|---|\n");
    for (unsigned code = 0; code < kChipTypeCodes; ++code) {
        const ChipType &row = ChipTypeOf(code);
        if (!IsSupportedChip(code))
            continue;
        std::printf("| %s | %u | %s | %s |\n", row.series, code, Procedure(row).c_str(), Kept(row).c_str());
    }
    return 0;
}

#include "image/chip_types.h"

#include "image/chip_names.h"
#include "image/model_tags.h"

#include <array>

namespace brigant
{

namespace
{

// Codes without a row of their own below (0, 2, 6, 19 to 25, 29, 31 to 35) are
// identified and named, and nothing updates them.
// clang-format off
constexpr std::array<ChipType, kChipTypeCodes> kChipTypes = {{
    {.code = 0, .series = ChipNameTable[0], .modelTag = ModelTagTable[0], .identifyStep = IdentifyStep::Signature},
    {.code = 1, .series = ChipNameTable[1], .modelTag = ModelTagTable[1], .procedure = UpdateProcedure::UpdateWholeImage, .variant = RunVariant::SstSwitch, .identifyStep = IdentifyStep::Signature},
    {.code = 2, .series = ChipNameTable[2], .modelTag = ModelTagTable[2], .display = UnsupportedDisplay::VersionOnly},
    {.code = 3, .series = ChipNameTable[3], .modelTag = ModelTagTable[3], .procedure = UpdateProcedure::UpdateWholeImage, .variant = RunVariant::SstSwitch, .identifyStep = IdentifyStep::Signature},
    {.code = 4, .series = ChipNameTable[4], .modelTag = ModelTagTable[4], .procedure = UpdateProcedure::UpdateWholeImage, .variant = RunVariant::SstSwitch},
    {.code = 5, .series = ChipNameTable[5], .modelTag = ModelTagTable[5], .procedure = UpdateProcedure::UpdateWholeImage, .variant = RunVariant::SstSwitch, .identifyStep = IdentifyStep::Signature},
    {.code = 6, .series = ChipNameTable[6], .modelTag = ModelTagTable[6], .display = UnsupportedDisplay::FirmwareLevel},
    {.code = 7, .series = ChipNameTable[7], .modelTag = ModelTagTable[7], .nvramGroup = true, .procedure = UpdateProcedure::UpdateBlockwise, .tagChecked = true, .identifyStep = IdentifyStep::Signature},
    {.code = 8, .series = ChipNameTable[8], .modelTag = ModelTagTable[8], .reportedFlash = FlashReport::On1394, .procedure = UpdateProcedure::UpdateWholeImage, .variant = RunVariant::Sbp2On1394, .identifyStep = IdentifyStep::ChipInfoRevision},
    {.code = 9, .series = ChipNameTable[9], .modelTag = ModelTagTable[9], .nvramOffset = 0, .eraseNvramOffset = 0, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .tagChecked = true},
    {.code = 10, .series = ChipNameTable[10], .modelTag = ModelTagTable[10], .nvramOffset = 0, .eraseNvramOffset = 0, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .tagChecked = true},
    {.code = 11, .series = ChipNameTable[11], .modelTag = ModelTagTable[11], .nvramGroup = true, .procedure = UpdateProcedure::UpdateBlockwise, .variant = RunVariant::SizeCheckedSst, .tagChecked = true, .identifyStep = IdentifyStep::Signature},
    {.code = 12, .series = ChipNameTable[12], .modelTag = ModelTagTable[12], .nvramOffset = 0, .eraseNvramOffset = 0, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .variant = RunVariant::XdataProbe, .tagChecked = true, .identifyStep = IdentifyStep::StagingOrRevision, .versionProbe = VersionProbe::Toggle},
    {.code = 13, .series = ChipNameTable[13], .modelTag = ModelTagTable[13], .headerOffset = 0xBFF0, .nvramOffset = 0xC000, .eraseNvramOffset = 0xC000, .bankEnd = 0xC000, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .dualBank = true, .tagChecked = true},
    {.code = 14, .series = ChipNameTable[14], .modelTag = ModelTagTable[14], .headerOffset = 0xBFF0, .nvramOffset = 0xC000, .eraseNvramOffset = 0, .bankEnd = 0xC000, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .tagChecked = true, .versionProbe = VersionProbe::ChipInfoFE, .seriesFromBridge = true},
    {.code = 15, .series = ChipNameTable[15], .modelTag = ModelTagTable[15], .headerOffset = 0xBFF0, .eraseNvramOffset = 0, .bankEnd = 0xC000, .bufferPath = true, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .tagChecked = true, .versionOffset = 25},
    {.code = 16, .series = ChipNameTable[16], .modelTag = ModelTagTable[16], .headerOffset = 0xBFF0, .eraseNvramOffset = 0, .bankEnd = 0xC000, .bufferPath = true, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .tagChecked = true, .versionOffset = 25},
    {.code = 17, .series = ChipNameTable[17], .modelTag = ModelTagTable[17], .headerOffset = 0xBFF0, .eraseNvramOffset = 0, .bankEnd = 0xC000, .bufferPath = true, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .tagChecked = true, .versionOffset = 25},
    {.code = 18, .series = ChipNameTable[18], .modelTag = ModelTagTable[18], .headerOffset = 0xBFF0, .eraseNvramOffset = 0, .bankEnd = 0xC000, .bufferPath = true, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .tagChecked = true, .versionOffset = 25},
    {.code = 19, .series = ChipNameTable[19], .modelTag = ModelTagTable[19]},
    {.code = 20, .series = ChipNameTable[20], .modelTag = ModelTagTable[20]},
    {.code = 21, .series = ChipNameTable[21], .modelTag = ModelTagTable[21]},
    {.code = 22, .series = ChipNameTable[22], .modelTag = ModelTagTable[22]},
    {.code = 23, .series = ChipNameTable[23], .modelTag = ModelTagTable[23]},
    {.code = 24, .series = ChipNameTable[24], .modelTag = ModelTagTable[24]},
    {.code = 25, .series = ChipNameTable[25], .modelTag = ModelTagTable[25]},
    {.code = 26, .series = ChipNameTable[26], .modelTag = ModelTagTable[26], .procedure = UpdateProcedure::RunConversionUpdate, .imageLength = 0x40000, .formerTag = ModelTagTable[12], .versionProbe = VersionProbe::Toggle},
    {.code = 27, .series = ChipNameTable[27], .modelTag = ModelTagTable[27], .headerOffset = 0x7FF0, .nvramOffset = 0x8000, .eraseNvramOffset = 0x8000, .bankEnd = 0x8000, .nvramGroup = true, .reportedFlash = FlashReport::Yes, .procedure = UpdateProcedure::RunAssistedUpdate, .dualBank = true, .tagChecked = true},
    {.code = 28, .series = ChipNameTable[28], .modelTag = ModelTagTable[28], .headerOffset = 0x4000, .procedure = UpdateProcedure::UpdateWholeImage, .variant = RunVariant::SstSwitch, .identifyStep = IdentifyStep::Signature},
    {.code = 29, .series = ChipNameTable[29], .modelTag = ModelTagTable[29], .display = UnsupportedDisplay::FirmwareLevel},
    {.code = 30, .series = ChipNameTable[30], .modelTag = ModelTagTable[30], .headerOffset = 0x4000, .procedure = UpdateProcedure::UpdateWholeImage, .variant = RunVariant::DiskWithoutFlash},
    {.code = 31, .series = ChipNameTable[31], .modelTag = ModelTagTable[31]},
    {.code = 32, .series = ChipNameTable[32], .modelTag = ModelTagTable[32]},
    {.code = 33, .series = ChipNameTable[33], .modelTag = ModelTagTable[33]},
    {.code = 34, .series = ChipNameTable[34], .modelTag = ModelTagTable[34]},
    {.code = 35, .series = ChipNameTable[35], .modelTag = ModelTagTable[35], .display = UnsupportedDisplay::VersionOnly},
}};
// clang-format on

} // namespace

const ChipType &ChipTypeOf(unsigned code) { return kChipTypes[code < kChipTypeCodes ? code : 0]; }

UpdateFamily FamilyOf(UpdateProcedure procedure)
{
    switch (procedure) {
    case UpdateProcedure::UpdateWholeImage:
    case UpdateProcedure::UpdateBlockwise:
    case UpdateProcedure::UpdateBlockwiseSst:
        return UpdateFamily::Register;
    case UpdateProcedure::RunAssistedUpdate:
    case UpdateProcedure::RunSbp2Update:
        return UpdateFamily::Assisted;
    case UpdateProcedure::RunDiskFirmwareUpdate:
        return UpdateFamily::DiskArea;
    case UpdateProcedure::RunConversionUpdate:
        return UpdateFamily::Staging;
    case UpdateProcedure::None:
        break;
    }
    return UpdateFamily::None;
}

} // namespace brigant

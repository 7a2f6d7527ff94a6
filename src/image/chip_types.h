#pragma once
// Chip type codes 0 to 35 as data: one row per code with everything the
// program decides per code. Code that branches on a chip type reads its row
// here instead of keeping a list of codes of its own.
#include <cstdint>

namespace brigant
{

// The update procedures the Run button can choose.
enum class UpdateProcedure : std::uint8_t {
    None,
    UpdateWholeImage,
    UpdateBlockwise,
    UpdateBlockwiseSst,
    RunAssistedUpdate,
    RunSbp2Update,
    RunDiskFirmwareUpdate,
    RunConversionUpdate,
};

// The families the procedures belong to, each in a folder of its own.
enum class UpdateFamily : std::uint8_t { None, Register, Assisted, DiskArea, Staging };
UpdateFamily FamilyOf(UpdateProcedure procedure);

// How the Run button refines a row's procedure.
enum class RunVariant : std::uint8_t {
    Plain,            // the row's procedure as it is
    SstSwitch,        // SstWordMode set: UpdateBlockwiseSst
    Sbp2On1394,       // on 1394: RunSbp2Update; otherwise as SstSwitch
    DiskWithoutFlash, // FlashKind 0 (no flash): RunDiskFirmwareUpdate; otherwise as SstSwitch
    SizeCheckedSst,   // the file must fit the flash; FlashKind 2 (SST): UpdateBlockwiseSst
    XdataProbe,       // the 0x505E probe and the sub-revision pick the family
};

// Whether the bridge's firmware reports the flash maker (ReadFlashType).
enum class FlashReport : std::uint8_t { No, Yes, On1394 };

// What the selection shows for a code the tool does not update.
enum class UnsupportedDisplay : std::uint8_t {
    NotSupported,  // "The chip not support Firmware Update!"
    VersionOnly,   // the firmware version, no flash
    FirmwareLevel, // the version from firmware level 0xD0 on, else not supported
};

// What identification asks of a chip once its code is known.
enum class IdentifyStep : std::uint8_t {
    None,
    Signature,         // the signature check
    ChipInfoRevision,  // the short chip information: revision '1' or '2', else the information failed
    StagingOrRevision, // a staging buffer that answers makes it code 26; else the revision register
};

// What the version readout asks beside the chip information.
enum class VersionProbe : std::uint8_t {
    None,
    Toggle,     // the version toggle probe
    ChipInfoFE, // whether the chip information FE read answers
};

// No 4 KiB NVRAM area is handled at this point.
inline constexpr std::int32_t kNoNvramArea = -1;

struct ChipType {
    std::uint8_t code = 0;
    const char *series = "";                 // the display name, ChipNameTable
    const char *modelTag = "";               // three characters, ModelTagTable
    std::uint32_t headerOffset = 0;          // where a firmware file of this code carries its header record
    std::int32_t nvramOffset = kNoNvramArea; // NVRAM area kept while programming and backing up
    std::int32_t eraseNvramOffset = kNoNvramArea; // NVRAM area kept by the erase-only mode
    std::uint32_t bankEnd = 0; // end of the code area in each 64 KiB bank; 0: no bank layout
    bool bufferPath = false;   // programmed through READ/WRITE BUFFER (the manufacturing path)
    bool nvramGroup = false;   // offers "Include 4K NVRAM"
    FlashReport reportedFlash = FlashReport::No;
    UpdateProcedure procedure = UpdateProcedure::None;
    RunVariant variant = RunVariant::Plain;
    bool dualBank = false;   // keeps a firmware copy in each of the first two banks (bank repair)
    bool tagChecked = false; // a file's model tag must be the code's own
    UnsupportedDisplay display = UnsupportedDisplay::NotSupported;
    // The one file length the update takes (a whole image, not a part of
    // one); 0: any length the flash holds.
    std::uint32_t imageLength = 0;
    // The tag of the chip this one is identified from, which its firmware
    // files may carry beside its own.
    const char *formerTag = nullptr;
    // Where a firmware file carries the four version bytes that the running
    // firmware reports as chip information bytes 12-15; 0: not known.
    std::uint32_t versionOffset = 0;
    IdentifyStep identifyStep = IdentifyStep::None;
    VersionProbe versionProbe = VersionProbe::None;
    // The series name is read from the bridge (one code covers several series).
    bool seriesFromBridge = false;
};

inline constexpr unsigned kChipTypeCodes = 36; // 0 .. 35

// The row of a code; codes beyond 35 get row 0 (no chip).
const ChipType &ChipTypeOf(unsigned code);

// Whether the tool can update the code at all.
inline bool IsSupportedChip(unsigned code) { return ChipTypeOf(code).procedure != UpdateProcedure::None; }
inline bool UsesBankLayout(unsigned code) { return ChipTypeOf(code).bankEnd != 0; }

} // namespace brigant

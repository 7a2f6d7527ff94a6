#pragma once
// Chip identification: which bridge model and revision sits behind a disk
// (IdentifyChip), and the running firmware's version text and release state.
#include "device/device_entry.h"
#include "image/chip_types.h"

#include <cstdint>
#include <string>

namespace brigant
{

// Low byte ChipTypeCode, high byte ChipSubRevision. Sets `*infoFailed` in
// the code-8 case when the chip information does not name revision 1 or 2
// (the window then shows "Get chip information fail !"). Sets `*failedRead`
// (may be null) to what it asked when a read that decides how the flash is
// written failed, else to null. Sets `*inquiryFailure` (may be null) to why
// its INQUIRY got no answer, or clears it when it was answered.
std::uint16_t IdentifyChip(const std::string &path, bool *infoFailed = nullptr,
                           const char **failedRead = nullptr, std::string *inquiryFailure = nullptr);

constexpr std::uint8_t IdentifiedType(std::uint16_t packed)
{
    return static_cast<std::uint8_t>(packed & 0xFF);
}
constexpr std::uint8_t IdentifiedRevision(std::uint16_t packed)
{
    return static_cast<std::uint8_t>(packed >> 8);
}

// Codes whose flash maker the bridge firmware reports (a code's row may say: only on 1394).
bool IsFirmwareReportedFlashChip(unsigned code, BusKind bus);
// Codes that offer NVRAMCheck.
bool IsNvramChip(unsigned code);

// 1 when the version text is to be shown, 0 when "Internal code" is shown
// instead (codes 13 and 27 may answer the firmware's release byte itself).
int IsReleaseFirmware(const std::string &path, std::uint8_t chipTypeCode, const std::string &versionText,
                      std::int32_t flashKind);

// The probe of the data-space byte at 0x506A: 1 when writing 0 reads back 1.
// The byte's value is written back on every path.
int VersionToggleProbe(const std::string &path);

// How the version readout of UpdateBtnCheck ended.
enum class VersionReadout : std::uint8_t {
    NoReply,   // ReadChipInfo failed: the version field stays empty
    NotVelkor, // the reply lacks F4 E7: "Not Velkor Chip!!"
    Text,      // the text was formatted
};

// The inputs of the version text besides the chip information: whether
// ReadChipInfoFE succeeded (code 14) and what VersionToggleProbe answered
// (codes 12 and 26).
struct VersionExtras {
    bool chipInfoFeAnswered = false;
    int toggle = 0;
};

// Formats the version text of a ChipInfoBlock for a chip type code exactly as
// the window shows it; `transferred` is the count ReadChipInfo reported.
std::string FormatVersionText(std::uint8_t chipTypeCode, const std::uint8_t info[16],
                              std::uint32_t transferred, const VersionExtras &extras);

// Sends ReadChipInfo (16 bytes) and, for the codes that need them,
// ReadChipInfoFE or VersionToggleProbe, and formats the text.
VersionReadout ReadVersionText(const std::string &path, std::uint8_t chipTypeCode, std::string &text);

} // namespace brigant

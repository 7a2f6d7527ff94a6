#pragma once
// The chip presets as data: one row per simulated bridge, with what it
// answers to identification and how its firmware is laid out. Used by the
// code that builds a bridge from a row (chip_presets.cpp) and by the code
// the bridge runs when it starts (chip_preset_boot.cpp).
#include "sim/chip_firmware.h"
#include "sim/sim_bridge.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace brigant::sim::chip
{

constexpr std::uint16_t kVelkorVendorId = 0x3A9C;

// Data-space addresses the bridges expose.
constexpr std::uint16_t kChipRevisionRegister = 0xFDB0; // byte 1: silicon revision
constexpr std::uint16_t kAssistProbe = 0x505E;          // firmware-assisted update capability (code 12)
constexpr std::uint16_t kToggleByte = 0x506A;
constexpr std::uint16_t kFlagBytes = 0x7038;
constexpr std::uint16_t kFlagBytesDualBank = 0x70F0;
constexpr std::uint16_t kHeaderShadowAddress =
    0xC000; // the firmware's header record, mapped into the data space

enum Feature : unsigned {
    kFwInfo = 1u << 0,       // the firmware answers ReadFirmwareInfo
    kAnswersFE = 1u << 1,    // the FE F4 E7 chip information read is accepted
    kStaging = 1u << 2,      // the staging-area read is accepted
    kBufferFw = 1u << 3,     // READ / WRITE BUFFER firmware (codes 15 to 18)
    kDiskFirmware = 1u << 4, // no flash: the firmware lives on the attached disk
    kLegacy = 1u << 5,       // older model: chip information without F4 E7
    kHeaderShadow = 1u << 6, // the firmware header is visible at data-space 0xC000
    kToggle = 1u << 7,       // the byte at 0x506A reads back with bit 0 inverted
    kDualModel = 1u << 8,    // firmware information byte 8 is 1 (the dual-model Upas/Willow firmware)
    kHardwareRegs = 1u << 9, // the chip revision register at 0xFDB0 and the capability bytes at 0x505E
};

// How the revision follows the signature text.
enum class SigRev : std::uint8_t { None, Digit, Number };

// Where the running firmware shows that it is a release build.
struct ReleaseFlag {
    std::uint16_t address = kFlagBytes;
    std::uint8_t byte = 2;
    std::uint8_t mask = 0x01;
};

struct Def {
    const char *name;
    unsigned code;
    const char *description;
    const char *series; // product name stem
    const char *tag;
    const char *marker;    // INQUIRY bytes 36-39; nullptr: none
    const char *signature; // signature text before the revision byte; nullptr: command rejected
    SigRev sigRev;
    FirmwareLayout layout;
    const char *flash;
    std::uint8_t major, minor;
    std::array<std::uint8_t, 4> ext;
    std::uint16_t pid;
    std::uint32_t chipInfoLength;
    char rev;
    BusKind bus;
    ReleaseFlag release;
    unsigned features;
    std::uint8_t level = 0, altLevel = 0;
    std::uint8_t legacyProbe = 0; // first byte of the vendor probe's reply
    std::uint16_t vid = kVelkorVendorId;
    const char *extras = "";
};

// Every chip preset, in the order --simulate help lists them.
std::span<const Def> Defs();
// The preset of that name; nullptr for none.
const Def *FindDef(const std::string &name);
// Whether `key` is one of the preset's own options.
bool HasExtra(const Def &def, const std::string &key);
// Whether `key` is an option every chip preset takes.
bool IsCommonOption(const std::string &key);

} // namespace brigant::sim::chip

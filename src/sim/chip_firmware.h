#pragma once
// Firmware images of our own making for the simulated bridges of every chip
// family, laid out where each family keeps its firmware and its header record,
// and the bridge side of booting: finding the firmware a bridge runs in what
// its flash (or disk) holds.
//
// Every image carries, at offset 0x15 from its start, the simulator's build
// block (the same place the code-16 images carry their tag and version):
//   0x15-0x17 model tag, 0x18 revision character, 0x19-0x1C extended version
//   (chip information bytes 12-15), 0x1D major and 0x1E minor version (bytes 6
//   and 7), 0x1F build flags (bit 0: release build), 0x20 firmware level and
//   0x21 alternative level (firmware information bytes 8 and 18).
// The rest of the code area is a deterministic pseudo-random fill.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brigant::sim
{

// Where a chip family keeps its firmware.
enum class FirmwareLayout : std::uint8_t {
    HeaderAtStart, // header record 55 AA AA 55 at offset 0
    AfterNvram,    // a 4 KiB NVRAM area, then the firmware, its header record at 0x1000
    Larch,         // header record E9 AC 67 32 at 0x80 in the settings area, the code from 0x1000
    VkAt4000,      // record 55 AA "VK" and four model characters at 0x4000
    Bank,          // one 64 KiB bank: header record at the end of the code area, checksum after it
    DualBank,      // the same bank twice, at 0 and at 0x10000 on a flash of 128 KiB or more
    Stamped256,    // 256 KiB image whose two halves carry stamped header blocks
};

struct FirmwareBuild {
    unsigned chipCode = 0;
    std::string tag;                   // three characters
    char revision = '0';               // the chip revision digit the firmware was built for
    std::uint8_t major = 1;            // chip information byte 6
    std::uint8_t minor = 0;            // chip information byte 7
    std::array<std::uint8_t, 4> ext{}; // chip information bytes 12-15
    bool release = true;
    std::uint8_t level = 0;
    std::uint8_t altLevel = 0;
    std::uint32_t seed = 1;
};

// Offsets of the build block in an image.
inline constexpr std::size_t kBuildTag = 0x15;
inline constexpr std::size_t kBuildRevision = 0x18;
inline constexpr std::size_t kBuildExt = 0x19;
inline constexpr std::size_t kBuildMajor = 0x1D;
inline constexpr std::size_t kBuildMinor = 0x1E;
inline constexpr std::size_t kBuildFlags = 0x1F;
inline constexpr std::size_t kBuildLevel = 0x20;
inline constexpr std::size_t kBuildAltLevel = 0x21;

inline constexpr std::uint32_t kNvramAreaBytes = 0x1000;

// The image as a firmware file of the family holds it (for AfterNvram without
// the NVRAM area in front).
std::vector<std::uint8_t> BuildFirmwareImage(FirmwareLayout layout, const FirmwareBuild &build);

// Where the image starts in the flash.
std::uint32_t FirmwareImageBase(FirmwareLayout layout);

// Writes the image into a flash array as the factory does; DualBank writes it
// into both banks when the flash has room for two. Returns false when the
// image does not fit.
bool InstallFirmware(std::vector<std::uint8_t> &flash, FirmwareLayout layout, const FirmwareBuild &build);

// The firmware a bridge starts, found the way its boot code looks for it: the
// header record (and for the bank layouts the model tag, for DualBank also the
// checksum, bank 0 first). Empty when there is none: the bridge runs from ROM.
struct RunningFirmware {
    std::uint32_t base = 0;                // where the image starts
    std::array<std::uint8_t, 10> header{}; // its header record
    FirmwareBuild build;                   // what its build block says
};
std::optional<RunningFirmware> FindRunningFirmware(const std::vector<std::uint8_t> &flash,
                                                   FirmwareLayout layout, unsigned chipCode,
                                                   const std::string &tag);

// Damages a bank's code (as an interrupted update leaves it) so that its
// checksum no longer matches.
void DamageBank(std::vector<std::uint8_t> &flash, std::uint32_t bank);

} // namespace brigant::sim

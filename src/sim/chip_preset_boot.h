#pragma once
// What a chip preset's bridge does when it starts: it finds the firmware its
// flash (or disk) holds and reports what that firmware is.
#include "sim/chip_preset_table.h"
#include "sim/disk_firmware.h"
#include "sim/sim_bridge.h"

#include <cstdint>
#include <optional>
#include <string>

namespace brigant::sim::chip
{

// What the bridge needs to know about itself when it starts.
struct ChipModel {
    unsigned code = 0;
    std::string tag;
    FirmwareLayout layout = FirmwareLayout::HeaderAtStart;
    ReleaseFlag release;
    unsigned features = 0;
    std::optional<std::uint8_t> verdict; // fixed flash verdict; empty: identify the flash
    std::uint8_t chipRevision = 0xB3;    // 0xFDB0 byte 1
    bool assist = false;                 // 0x505E capability bytes
    bool forceRom = false;               // the bridge ignores its flash and starts from ROM
    DiskArea diskArea;                   // firmware on the disk: end flag and area marker
};

// The bridge starts: it looks for its firmware and reports what that firmware
// is; without one it runs from ROM and reports version 0, not a release.
void BootChip(SimBridge &bridge, const ChipModel &m);

} // namespace brigant::sim::chip

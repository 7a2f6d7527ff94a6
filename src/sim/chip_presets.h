#pragma once
// Simulated bridges for every chip type code: presets named after the chip
// series, each answering identification the way the hardware does (INQUIRY
// vendor bytes, chip information, signature, firmware information, data-space
// bytes, flash verdict) and booting from the firmware its flash holds.
#include "common/clock.h"
#include "sim/presets.h"
#include "sim/sim_bridge.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brigant::sim
{

// True for the names of the chip presets below.
bool IsChipPresetName(const std::string &name);

// Builds the bridge a chip preset spec names; nullptr with a reason for an
// unknown option or a bad value.
std::shared_ptr<SimBridge> MakeChipPresetDevice(const PresetSpec &spec, Clock &clock, std::string &error);

struct ChipPresetInfo {
    std::string name;
    unsigned code; // the chip type code identification finds with the default options
    std::string description;
    std::string product;        // the INQUIRY product it answers with the default options
    BusKind bus = BusKind::Usb; // the bus it sits on by default
    bool diskFirmware = false;  // its firmware lives on the attached disk (no flash)
};
const std::vector<ChipPresetInfo> &ChipPresets();

// The firmware file a maker ships for a chip preset's bridge, in the family's
// layout and with the version the options give (the preset's own options,
// plus nvram=1: a 4 KiB NVRAM area in front, for the families whose flash
// keeps one before the firmware). Written at `flashOffset` into the flash of
// such a bridge, it is the firmware the bridge starts.
struct PresetFirmwareFile {
    unsigned code = 0;
    std::uint32_t flashOffset = 0;
    std::vector<std::uint8_t> bytes;
};
bool MakePresetFirmwareFile(const PresetSpec &spec, PresetFirmwareFile &file, std::string &error);

// The preset list and the options of the chip presets, for --simulate help.
std::string ChipPresetListHelp();
std::string ChipPresetOptionsHelp();

} // namespace brigant::sim

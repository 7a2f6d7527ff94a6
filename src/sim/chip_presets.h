#pragma once
// Simulated bridges for every chip type code: presets named after the chip
// series, each answering identification the way the hardware does (INQUIRY
// vendor bytes, chip information, signature, firmware information, data-space
// bytes, flash verdict) and booting from the firmware its flash holds.
#include "common/clock.h"
#include "sim/presets.h"
#include "sim/sim_bridge.h"

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
};
const std::vector<ChipPresetInfo> &ChipPresets();

// The preset list and the options of the chip presets, for --simulate help.
std::string ChipPresetListHelp();
std::string ChipPresetOptionsHelp();

} // namespace brigant::sim

#pragma once
// Named simulated devices for --simulate NAME[:key=value,...].
#include "common/clock.h"
#include "sim/sim_bridge.h"

#include <map>
#include <memory>
#include <string>

namespace brigant::sim
{

struct PresetSpec {
    std::string name;
    std::map<std::string, std::string> options;
};

// Splits "NAME:key=value,key=value"; false with a reason when malformed.
bool ParsePresetSpec(const std::string &text, PresetSpec &spec, std::string &error);

// Builds the device a spec names; nullptr with a reason for an unknown preset,
// an unknown option or a bad value.
std::shared_ptr<SimBridge> MakePresetDevice(const PresetSpec &spec, Clock &clock, std::string &error);

// The text of --simulate help: presets, their options and the flash parts.
std::string PresetHelp();

} // namespace brigant::sim

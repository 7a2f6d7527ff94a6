#pragma once
// Named simulated devices for --simulate NAME[:key=value,...].
#include "common/clock.h"
#include "sim/sim_backend.h"
#include "sim/sim_bridge.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace brigant::sim
{

struct PresetSpec {
    std::string name;
    std::map<std::string, std::string> options;
    std::vector<std::string> faults; // the values of every fault=KIND@N, in order
};

// Splits "NAME:key=value,key=value"; false with a reason when malformed or
// when an option other than fault is given twice.
bool ParsePresetSpec(const std::string &text, PresetSpec &spec, std::string &error);

// A fault for any preset, from the value of fault=KIND@N: the device's Nth
// command (counted from 1) fails the way KIND says. False with a reason that
// names the option for an unknown kind or a bad N.
bool ParseFaultOption(const std::string &value, FaultRule &rule, std::string &error);

// Builds the device a spec names; nullptr with a reason for an unknown preset,
// an unknown option or a bad value.
std::shared_ptr<SimBridge> MakePresetDevice(const PresetSpec &spec, Clock &clock, std::string &error);

// The text of --simulate help: presets, their options and the flash parts.
std::string PresetHelp();

} // namespace brigant::sim

#pragma once
// A simulated twin of a recorded device (brigant-fw record): it answers every
// command the recording holds as the device answered it, in the order it did
// (the last answer again once they are used up), and any other command as a
// bridge with the recorded disk, partitions and flash would.
#include "common/clock.h"
#include "sim/sim_bridge.h"

#include <memory>
#include <string>

namespace brigant::sim
{

// Reads the recording in `file`; null with the reason in `error`.
std::shared_ptr<SimBridge> MakeRecordedTwin(const std::string &file, Clock &clock, std::string &error);

} // namespace brigant::sim

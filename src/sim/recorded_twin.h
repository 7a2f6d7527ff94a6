#pragma once
// A simulated twin of a recorded device (brigant-fw record): it answers every
// command the recording holds as the device answered it, in the order it did
// (the last answer again once they are used up) until the first command the
// recording lacks. From then on the chip model of its type code answers, with
// the recorded flash part and disk and the recorded image: a write on the twin
// does what it would do on the device. A twin of a chip the tool does not
// update, or whose image was not read, answers the rest as a plain disk.
#include "common/clock.h"
#include "sim/sim_bridge.h"

#include <memory>
#include <string>
#include <vector>

namespace brigant::sim
{

// Reads the recording in `file`; null with the reason in `error`.
std::shared_ptr<SimBridge> MakeRecordedTwin(const std::string &file, Clock &clock, std::string &error);
// The same from the recording's text; `name` names it in errors.
std::shared_ptr<SimBridge> MakeRecordedTwinFromText(const std::string &text, const std::string &name,
                                                    Clock &clock, std::string &error);

// What a bridge keeps its firmware in: its flash, or (without one) the first
// 64 KiB of its disk's firmware area.
std::vector<std::uint8_t> FirmwareStore(SimBridge &bridge);

} // namespace brigant::sim

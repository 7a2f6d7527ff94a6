#pragma once
// A device that replays a session written with --trace-data: it expects the
// session's commands in their order, each with the same direction, CDB,
// length and data-out bytes, and answers each as the session's device did.
// The first command that differs is reported on standard error ("replay:
// ..."), and every command from then on fails with a hardware error.
#include "common/clock.h"
#include "sim/sim_bridge.h"

#include <memory>
#include <string>

namespace brigant::sim
{

// Reads the session in `file`; null with the reason in `error`.
std::shared_ptr<SimBridge> MakeSessionReplay(const std::string &file, Clock &clock, std::string &error);

} // namespace brigant::sim

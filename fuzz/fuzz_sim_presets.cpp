// Fuzzes the simulator's --simulate PRESET[:key=value,...] parser and the
// devices it builds from the options: a spec either makes a device that
// boots and answers, or is refused with a reason. The same input, taken as a
// recording, either makes a twin or is refused with a reason.
#include "common/clock.h"
#include "device/scsi_backend.h"
#include "fuzz_require.h"
#include "sim/presets.h"
#include "sim/simulation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace brigant;
using brigant::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    sim::FaultRule rule;
    std::string faultError;
    if (sim::ParseFaultOption(text, rule, faultError))
        Require(rule.nth >= 1 && faultError.empty());
    else
        Require(!faultError.empty());

    VirtualClock clock;
    {
        // The same bytes as a recording's text: a twin is built, or refused with a reason.
        sim::Simulation twins(clock);
        std::string why;
        if (twins.addRecording(text, "the input", why).empty())
            Require(!why.empty() && twins.bridges().empty());
    }
    sim::Simulation simulation(clock);
    std::string error;
    const std::string path = simulation.add(text, error);
    if (path.empty()) {
        Require(!error.empty() && simulation.bridges().empty());
        return 0;
    }
    const auto paths = simulation.backend().paths();
    Require(simulation.bridges().size() == 1 && std::find(paths.begin(), paths.end(), path) != paths.end());

    // The device answers what every front end asks first: INQUIRY and the
    // vendor chip information (or refuses it, as a plain disk does).
    const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 96, 0};
    const std::uint8_t chipInfo[12] = {0xE0, 0xF4, 0xE7};
    for (const auto *cdb : {inquiry, chipInfo}) {
        std::uint8_t reply[96] = {};
        std::uint8_t sense[32] = {};
        ScsiCommand cmd;
        cmd.cdb = cdb;
        cmd.cdbLength = cdb == inquiry ? 6 : 12;
        cmd.data = reply;
        cmd.length = cdb == inquiry ? 96 : 16;
        cmd.sense = sense;
        cmd.senseCapacity = sizeof sense;
        const ScsiOutcome outcome = simulation.backend().execute(path, cmd);
        Require(outcome.transferred <= cmd.length && outcome.senseLength <= sizeof sense);
    }
    return 0;
}

#pragma once
// update --all: every listed bridge (or those --device / --index pick)
// updated at once, one worker process per device, with one plan, one
// question and one report.
#include "app/update_plan.h"
#include "cli/chosen_bridge.h"
#include "cli/cli_context.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brigant::cli
{

struct AllOptions {
    std::vector<std::string> files; // one per model; each bridge takes the first that fits it
    bool embedded = false;          // the built-in image instead
    std::vector<int> indexes;       // --index, repeated: the devices to update (empty: every one)
    bool includeNvram = false;
    bool readWriteBuffer = false;
    bool json = false;
    VersionOptions versions;
    bool changedOnly = false;       // plan (and pass on) --changed-only
    std::vector<std::string> ports; // --port: only the bridges on these port paths
    std::string slotsFile;          // --slots: port paths and their labels
    std::string logFile;            // --log: the station log, CSV (empty: none)
    std::string logJsonFile;        // --log-json: the same as JSON Lines
    unsigned jobs = 0;              // workers at once; 0: one per device
    // The station: --watch keeps taking bridges as they arrive, until
    // Ctrl-C or --count units; --again updates a unit each time it arrives.
    bool watch = false;
    unsigned count = 0; // 0: no end
    bool again = false;
    std::string retryFailedLog; // --retry-failed: only the units whose last row there failed
    // Per-unit product serial numbers: --serial-from PREFIX0001 (counting
    // up) or --serial-list FILE; `serials` is set when either is given.
    std::string serialFrom;
    std::string serialList;
    bool serials = false;
};

// What update FILE (or --embedded) does with one bridge, decided as the
// verb decides it, before anything is written.
struct DevicePlan {
    enum class Action : std::uint8_t { Update, Current, Skip };
    Action action = Action::Skip;
    int index = 0;
    std::string path;
    std::string port;       // its port path (empty: not known)
    std::string slot;       // its label from --slots (empty: none)
    std::string serial;     // the bridge's own serial number, its USB iSerial (empty: not known)
    std::string unitSerial; // the product serial number its update writes (empty: none)
    std::string chip;       // the series identification gave ("unknown": none)
    int typeCode = 0;
    std::string from;   // the running version, as the user reads it ("unknown": not read)
    std::string to;     // the version the update writes ("unknown": not known)
    std::string file;   // the file that fits (empty: the built-in image)
    std::string reason; // why a bridge is skipped, or already current
    PlanRefusal refusal = PlanRefusal::None; // why it is skipped, as the plan refused it
    bool finishing = false;                  // the update finishes a cut one the journal keeps open
    bool storeHoldsFile = false;             // current: the flash holds the file already
    bool madeForIt = false; // the file passed the match check (refused, if at all, for another reason)
    std::optional<PlanLayout> layout; // where the write goes, once the flash was read for the plan
};

// The plan for `bridge` (identified already), entry `index` of the device
// list. For the built-in image, asks the bridge what the one-button face asks.
DevicePlan PlanDeviceUpdate(const ChosenBridge &bridge, const AllOptions &options, int index);

// The verb: exit 0 when every update planned succeeded, 1 when any failed, 4
// when no bridge needed one, 2 when no given file fits any.
int RunUpdateAll(CliContext &ctx, const AllOptions &options);

} // namespace brigant::cli

#pragma once
// A write rehearsed on the twin of a recorded device: the twin (a simulated
// bridge built from the recording, alone on a bus of its own, on virtual
// time) is identified, the write planned and run on it as on the device,
// without a question, a backup or a journal entry. What it leaves (the
// sectors of the firmware store that changed, the settings, the commands,
// the time, how it ended) is the plan the user is shown before the real
// write.
#include "app/one_button.h"
#include "app/update_plan.h"
#include "rehearse/recording.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brigant
{

enum class RehearsedVerb : std::uint8_t {
    Update,         // update FILE
    Erase,          // erase
    EmbeddedUpdate, // update --embedded
    Recover,        // recover [FILE]
};

struct RehearsalRequest {
    RehearsedVerb verb = RehearsedVerb::Update;
    std::string file;             // update: the firmware file; recover: the image (empty: its default)
    bool includeNvram = false;    // the settings area goes with the write
    bool readWriteBuffer = false; // the buffer transfer (asked for)
    VersionOptions versions;
    bool changedOnly = false; // update: only the erase units that differ
};

// A changed stretch of the firmware store, in whole 4 KiB sectors: left
// blank (erased) or holding data (written).
struct StoreChange {
    enum class Kind : std::uint8_t { Erased, Written } kind = Kind::Written;
    std::size_t start = 0, end = 0; // [start, end)
};
inline constexpr std::size_t kPlanSector = 0x1000;
// The sectors in which `after` differs from `before`, runs of one kind joined.
std::vector<StoreChange> ChangedSectors(const std::vector<std::uint8_t> &before,
                                        const std::vector<std::uint8_t> &after);

// How the rehearsed write ended on the twin.
enum class RehearsalEnd : std::uint8_t {
    Written,      // done and verified
    NothingToDo,  // the twin already holds it, or there is nothing to recover
    Refused,      // refused before anything was written: the file or the options
    NotUpdatable, // the verb does not work on this bridge
    Failed,       // the write failed, or no twin could be made (`twinMade` false)
};

struct RehearsalPlan {
    std::string device;        // the recorded device
    bool twinMade = false;     // false: nothing was rehearsed (`reason` says why)
    bool startedBlank = false; // the bridge runs from its ROM: the twin's flash started blank
    bool onFlash = true;       // the firmware store is the flash (else the disk's firmware area)
    std::size_t storeSize = 0;
    std::vector<StoreChange> changes;
    SettingsFate settings = SettingsFate::NotApplicable;
    std::uint64_t commands = 0, commandsWithDataOut = 0;
    std::uint64_t expectedMs = 0; // the twin's simulated time
    RehearsalEnd end = RehearsalEnd::Failed;
    std::string reason; // why it did not end Written
    // The plan of update FILE, and the one-button decision of --embedded, as
    // they were made on the twin.
    std::optional<UpdatePlan> update;
    std::optional<OneButtonState> oneButton;
};

// Rehearses `request` on the twin of `recording`. Sends nothing to the
// device; the process-wide services are the twin's while it runs.
RehearsalPlan RehearseOnTwin(const Recording &recording, const RehearsalRequest &request);

// The settings line of a plan ("kept (the 4K NVRAM area is not written)").
std::string PlanSettingsText(SettingsFate fate);
// The plan as both front ends show it, one line each (the first names the
// device and the store; the others are indented by two blanks).
std::vector<std::string> PlanLines(const RehearsalPlan &plan);

} // namespace brigant

#pragma once
// What a user does next about a bridge, decided in one place from how the
// bridge runs and the journal's open entry for it. Every verb, the window
// and the JSON name this step's command, and only a command that works
// from that state.
#include "app/bridge_state.h"
#include "app/update_journal.h"

#include <cstdint>
#include <optional>
#include <string>

namespace brigant
{

enum class StepKind : std::uint8_t {
    None,        // nothing is left undone
    FinishWrite, // the cut write is written again: the same update (or erase)
    Recover,     // the bridge runs from its ROM: recover brings its firmware back
    Repair,      // a damaged bank, no cut write: repair copies the valid bank over it
};

struct NextStep {
    StepKind kind = StepKind::None;
    std::string command;    // the command line that takes the step; empty for None
    bool needsFile = false; // FILE in `command` stands for this bridge's firmware file
    std::string warning;    // what is wrong, and the command, in one sentence; empty for None
};

// `runs`, `damagedBank` and `chipCode` as identification found them; a
// bridge that is not at hand (the journal read alone) counts as running its
// firmware.
NextStep NextStepFor(BridgeRuns runs, int damagedBank, const std::optional<JournalEntry> &open,
                     std::uint8_t chipCode);
inline NextStep NextStepFor(const BridgeState &state)
{
    return NextStepFor(state.runs, state.damagedBank, state.openEntry, state.chip.ChipTypeCode);
}

// The fact of a damaged bank, as a warning line; it names repair only when
// repair is the next step.
std::string DamagedBankWarning(int bank, const NextStep &step);

} // namespace brigant

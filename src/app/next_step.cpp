#include "app/next_step.h"

#include "app/one_button.h"

namespace brigant
{

NextStep NextStepFor(BridgeRuns runs, int damagedBank, const std::optional<JournalEntry> &open,
                     std::uint8_t chipCode)
{
    NextStep step;
    // A bridge in its ROM takes no update or erase: the recovery writes its
    // firmware back, and closes any cut write it finds. It writes the cut
    // write's own file, else the built-in image, which only the one-button
    // model takes: the others need their firmware file.
    if (runs == BridgeRuns::Rom) {
        step.kind = StepKind::Recover;
        if (open && !open->firmware.empty())
            step.command = "brigant-fw recover " + open->firmware;
        else if (chipCode == kOneButtonChipType)
            step.command = "brigant-fw recover";
        else {
            step.command = "brigant-fw recover FILE";
            step.needsFile = true;
        }
        step.warning = "the bridge runs from its ROM (an update was cut short): '" + step.command + "'" +
                       (step.needsFile ? ", with this bridge's firmware file as FILE," : "") +
                       " brings its firmware back";
        return step;
    }
    // A cut write is finished by writing it again, which also rewrites a
    // bank it left damaged: repair would restore the old firmware instead.
    if (open) {
        step.kind = StepKind::FinishWrite;
        step.command = FinishingCommand(*open);
        step.warning = UnfinishedText(*open) + ": `" + step.command + "` finishes it";
        return step;
    }
    if (runs == BridgeRuns::BankDamaged && damagedBank >= 0) {
        step.kind = StepKind::Repair;
        step.command = "brigant-fw repair";
        step.warning = "bank " + std::to_string(damagedBank) + " is damaged; `" + step.command +
                       "` restores it from bank " + std::to_string(1 - damagedBank);
    }
    return step;
}

std::string DamagedBankWarning(int bank, const NextStep &step)
{
    if (step.kind == StepKind::Repair)
        return step.warning;
    return "bank " + std::to_string(bank) + " is damaged";
}

} // namespace brigant

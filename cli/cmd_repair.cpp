// brigant-fw repair: the dual-bank repair that the window runs when a device
// is selected, asked for on purpose: the damaged firmware bank is written
// over with the valid one and read back.
#include "app/update_journal.h"
#include "app/write_guard.h"
#include "cli/chosen_bridge.h"
#include "cli/cli_context.h"
#include "cli/cli_host.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "identify/bank_recovery.h"
#include "image/chip_types.h"

#include <CLI/CLI.hpp>
#include <ctime>
#include <iostream>
#include <memory>

namespace brigant::cli
{

namespace
{

struct RepairArgs {
    int index = 0;
    bool json = false;
};

int RunRepair(CliContext &ctx, const RepairArgs &args)
{
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    ChosenBridge chosen;
    if (const int rc = ChooseBridge(ctx, args.index, chosen); rc != kExitOk)
        return rc;
    DeviceEntry &entry = chosen.entry;
    ChipIdentity &chip = chosen.state.chip;
    const std::uint8_t code = chip.ChipTypeCode;
    const std::string path = entry.path;
    const std::string &series = chosen.state.bridge.series;
    ReportDevice(path, series, code);
    if (!ChipTypeOf(code).dualBank || chip.FlashSizeKb <= 127) {
        std::cout << path << ": " << series << " keeps no second firmware bank: nothing to repair\n";
        return kExitNothingToDo;
    }
    if (entry.damagedBank < 0) {
        if (entry.bankCheckDone != 1) {
            SayError().as(MessageCode::Failed) << "the firmware banks of " << path << " could not be read";
            return kExitFailed;
        }
        std::cout << path << ": no bank to repair (both firmware banks are valid, or neither is)\n";
        return kExitNothingToDo;
    }
    const int damaged = entry.damagedBank;
    std::cout << "bank " << damaged << " is damaged; bank " << 1 - damaged << " is valid\n";
    const std::string writes = "bank " + std::to_string(1 - damaged) + " copied over the damaged bank " +
                               std::to_string(damaged) + " (64 KiB at " +
                               (damaged == 0 ? "0x00000" : "0x10000") + "), then read back";
    bool noTerminal = false;
    int repaired = 0;
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    CliRunHost host(*view, ctx.style, chosen.transfer);
    // The backup: the family's backup-only mode, the whole flash.
    RunRequest req;
    req.chip = chip;
    req.candidateCount = chosen.candidateCount;
    req.chipResetsItself = chosen.settings.ChipReset == 1;
    const GuardedRun run = RunGuarded(
        path, DescribeWrite(chosen.state, path, chosen.item, writes),
        CliWriteGuard(ctx, "repair will write:", noTerminal),
        [&] { return BackupThroughRequest(req, entry.bus, path, host, series, ""); },
        [&] {
            entry.bankCheckDone = 0;
            repaired = RecoverFirmwareBank(host, chip, entry, true, path, code);
        });
    view->endLine();
    if (run.backedUp && run.backup.outcome == BackupResult::Outcome::Saved)
        ReportBackup(run.backup.file, run.backup.saved, run.backup.area);
    // Both banks hold the same valid firmware again: a cut write that left
    // one damaged is over (its file is not on the flash; writing it again
    // is a new update).
    if (repaired == 1)
        FinishJournalEntries(BridgeJournalKey(path), std::time(nullptr), "repair");
    ReportStatus(repaired == 1 ? "repaired" : "not repaired");
    if (const int stopped = ReportGuard(run, path, noTerminal); stopped >= 0)
        return stopped;
    std::cout << (repaired == 1 ? "result: success\n" : "result: FAILED\n");
    if (repaired != 1)
        ReportReason("bank " + std::to_string(damaged) + " was not repaired");
    return repaired == 1 ? kExitOk : kExitFailed;
}

} // namespace

void RegisterRepairCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<RepairArgs>();
    auto *cmd = app.add_subcommand(
        "repair", "Restore a damaged firmware bank from the valid one (dual-bank bridges, codes 13 and 27)");
    AddIndexAndJson(*cmd, args->index, args->json);
    AddWriteOptions(*cmd, ctx, true);
    cmd->callback([&ctx, args] {
        ctx.action = [&ctx, args] {
            return WithReport(args->json, "repair", [&] { return RunRepair(ctx, *args); });
        };
    });
}

} // namespace brigant::cli

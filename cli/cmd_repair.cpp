// brigant-fw repair: the dual-bank repair that the window runs when a device
// is selected, asked for on purpose: the damaged firmware bank is written
// over with the valid one and read back.
#include "app/window_run.h"
#include "app/write_guard.h"
#include "cli/cli_context.h"
#include "cli/json_report.h"
#include "cli/say.h"
#include "cli/window_session.h"
#include "cli/write_safety.h"
#include "identify/bank_recovery.h"
#include "image/chip_types.h"
#include "model/fwupdate.h"

#include <CLI/CLI.hpp>
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
    WindowSession session(ctx, MessageStream(ctx));
    TBrigantFwTool &form = session.form();
    form.repairBankOnSelect = false; // look first; write only once confirmed
    session.open();
    if (form.listedCount == 0) {
        if (!ReportAccessProblem(ctx.runtime) && !ReportUnaskedDisks(true))
            SayError() << "no disk behind a supported bridge was found";
        return kExitNoDevice;
    }
    if (args.index >= form.listedCount) {
        SayError() << "--index " << args.index << ": the device list has entries 0 to "
                   << form.listedCount - 1;
        return kExitUsage;
    }
    if (const int claimed = ClaimBridge(ctx, form.devices[static_cast<std::size_t>(args.index)].path);
        claimed != kExitOk)
        return claimed;
    form.DeviceList.select(args.index);
    DeviceEntry &entry = form.selectedEntry();
    const std::uint8_t code = form.chip.ChipTypeCode;
    const std::string path = entry.path;
    ReportDevice(path, form.selected.series, code);
    if (!ChipTypeOf(code).dualBank || form.chip.FlashSizeKb <= 127) {
        std::cout << path << ": " << form.selected.series
                  << " keeps no second firmware bank: nothing to repair\n";
        return kExitNothingToDo;
    }
    if (entry.damagedBank < 0) {
        if (entry.bankCheckDone != 1) {
            SayError() << "the firmware banks of " << path << " could not be read";
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
    const GuardedRun run = RunGuarded(
        form, DescribeWrite(form, writes), CliWriteGuard(ctx, "repair will write:", noTerminal),
        [&form] { return BackupThroughRunButton(form, ""); },
        [&] {
            form.repairBankOnSelect = true;
            entry.bankCheckDone = 0;
            WindowRunHost host(form);
            repaired = RecoverFirmwareBank(host, form.chip, entry, true, path, code);
        });
    if (run.backedUp && run.backup.outcome == BackupResult::Outcome::Saved)
        ReportBackup(run.backup.file, run.backup.saved, run.backup.area);
    ReportStatus(repaired == 1 ? "repaired" : "not repaired");
    if (const int stopped = ReportGuard(run, path, noTerminal); stopped >= 0)
        return stopped;
    if (ctx.style.verbosity == Verbosity::Verbose)
        std::cout << "status: " << form.StatusEdit.text() << "\n";
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

// brigant-fw recover: a way back for a code 15-18 bridge left running from
// its ROM (an update cut after the chip erase). The manufacturing firmware
// goes to the bridge's RAM, then the image (the built-in update image, or a
// FILE) to the flash; the flash is read back, the bridge reset, and the
// firmware it then runs is checked.
#include "app/recover_bridge.h"
#include "app/update_journal.h"
#include "app/write_guard.h"
#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "cli/chosen_bridge.h"
#include "cli/cli_context.h"
#include "cli/cli_host.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/user_text.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "flash/verify_compare.h"
#include "forms/ui_services.h"
#include "image/chip_types.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <vector>

namespace brigant::cli
{

namespace
{

struct RecoverArgs {
    int index = 0;
    std::string file;
    bool json = false;
};

// Four version bytes in the command line's form (digit characters as their values).
std::string VersionText(const std::uint8_t *v)
{
    int n[4];
    const bool digits = v[0] >= '0' && v[0] <= '9';
    for (int i = 0; i < 4; ++i)
        n[i] = digits ? v[i] - '0' : v[i];
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", n[0], n[1], n[2], n[3]);
    return UserVersion(text);
}

// The end of a recover that failed, for `why`.
int Failed(const std::string &why)
{
    std::cout << "result: FAILED: " << why << "\n";
    ReportReason(why);
    return kExitFailed;
}

int RunRecover(CliContext &ctx, const RecoverArgs &args)
{
    // Message boxes of discovery and identification: warnings and errors,
    // and information with --verbose.
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    ChosenBridge chosen;
    if (const int rc = ChooseBridge(ctx, args.index, chosen); rc != kExitOk)
        return rc;
    const std::uint32_t code = chosen.state.chip.ChipTypeCode;
    const std::string path = chosen.entry.path;
    const std::string &series = chosen.state.bridge.series;
    ReportDevice(path, series, static_cast<int>(code));
    view->endLine();
    if (!ChipTypeOf(code).bufferPath) {
        SayError().as(MessageCode::NotSupported) << "recover brings back code 15-18 bridges; " << path
                                                 << " is code " << code << " (" << series << ")";
        return kExitNoDevice;
    }
    const RecoverPlan plan = PlanRecover(path, code, args.file);
    switch (plan.refusal) {
    case RecoverPlan::Refusal::None:
        break;
    case RecoverPlan::Refusal::NothingToRecover:
        std::cout << plan.reason << " (brigant-fw update programs it)\n";
        return kExitNothingToDo;
    case RecoverPlan::Refusal::ForeignImage:
        SayError().as(MessageCode::Refused) << plan.reason << ": nothing was written";
        return kExitUsage;
    case RecoverPlan::Refusal::CutFileChanged:
    case RecoverPlan::Refusal::NoImage:
        SayError().as(MessageCode::Refused) << plan.reason;
        return kExitUsage;
    }
    if (!plan.fromRom)
        SayNote(std::cout).as(MessageCode::Unfinished)
            << UnfinishedText(*plan.unfinished) << "; recover rewrites the whole flash through "
            << "the firmware the bridge runs now";

    bool noTerminal = false;
    RecoverResult result;
    WriteGuard guard = CliWriteGuard(ctx, "recover will write:", noTerminal);
    guard.backup = false; // a bridge in ROM offers no flash to read; a cut one, a half-written one
    // The buffer path, as on every bridge of these codes; no serial record.
    RunRequest req;
    req.readWriteBuffer = true;
    req.chipResetsItself = chosen.settings.ChipReset == 1;
    req.chip = chosen.state.chip;
    req.candidateCount = chosen.candidateCount;
    CliRunHost host(*view, ctx.style, chosen.transfer);
    const GuardedRun run =
        RunGuarded(path, DescribeWrite(chosen.state, path, chosen.item, plan.writes), guard, nullptr, [&] {
            result = RecoverBridge(req, host, path, plan,
                                   [&] { return host.returnedAt().empty() ? path : host.returnedAt(); });
        });
    if (const int stopped = ReportGuard(run, path, noTerminal); stopped >= 0)
        return stopped;
    view->endLine();
    const bool back = result.ok() || result.end == RecoverResult::End::NotBuiltIn;
    if (back) {
        std::cout << result.now << " runs firmware " << VersionText(result.running.data()) << "\n";
        ReportVersions(plan.fromRom ? "" : chosen.state.bridge.version, VersionText(result.running.data()));
    }
    if (!result.ok())
        return Failed(RecoverFailureText(result));
    ReportStatus("recovered");
    std::cout << "result: success\n";
    return kExitOk;
}

} // namespace

int RecoverVerb(CliContext &ctx, int index)
{
    RecoverArgs args;
    args.index = index;
    return RunRecover(ctx, args);
}

void RegisterRecoverCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<RecoverArgs>();
    auto *cmd = app.add_subcommand("recover", "Bring back a code 15-18 bridge that runs from ROM after an "
                                              "interrupted update: program the built-in image (or FILE)");
    cmd->add_option("FILE", args->file, "Firmware image to program (default: the built-in update image)")
        ->type_name("FILE");
    AddIndexAndJson(*cmd, args->index, args->json);
    AddWriteOptions(*cmd, ctx, false);
    cmd->callback([&ctx, args] {
        ctx.action = [&ctx, args] {
            return WithReport(args->json, "recover", [&] {
                RehearsalRequest rehearsed;
                rehearsed.verb = RehearsedVerb::Recover;
                rehearsed.file = args->file;
                return WithRehearsal(ctx, args->index, rehearsed, [&] { return RunRecover(ctx, *args); });
            });
        };
    });
}

} // namespace brigant::cli

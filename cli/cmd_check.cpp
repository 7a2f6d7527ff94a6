// brigant-fw check: whether a firmware file fits a chip, without a device.
#include "app/check_report.h"
#include "cli/cli_context.h"

#include <iostream>
#include <memory>

namespace brigant::cli
{

namespace
{

struct CheckArgs {
    std::string file;
    std::string chip;
};

int RunCheck(const CheckArgs &a)
{
    if (a.chip.empty()) {
        std::cerr << "error: check needs --chip CODE[:REV] (a chip type code or series name)\n";
        return kExitUsage;
    }
    ChipChoice chip;
    std::string error;
    if (!ParseChipChoice(a.chip, chip, error)) {
        std::cerr << "error: --chip " << a.chip << ": " << error << "\n";
        return kExitUsage;
    }
    std::string text;
    switch (DescribeFirmwareFileCheck(a.file, chip, text)) {
    case FileCheckOutcome::Fits:
        std::cout << text;
        return kExitOk;
    case FileCheckOutcome::DoesNotFit:
        std::cout << text;
        return kExitFailed;
    case FileCheckOutcome::Unreadable:
        break;
    }
    std::cerr << "error: " << text;
    return kExitUsage;
}

} // namespace

void RegisterCheckCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<CheckArgs>();
    auto *cmd =
        app.add_subcommand("check", "Tell whether a firmware file fits a chip type (exit 0 fits, 1 not)");
    cmd->add_option("FILE", args->file, "Firmware file")->required();
    cmd->add_option(
        "--chip", args->chip,
        "Chip type code (0-255) or series name, optionally with :REV, the sub-revision (default 0)");
    cmd->callback([&ctx, args] { ctx.action = [args] { return RunCheck(*args); }; });
}

} // namespace brigant::cli

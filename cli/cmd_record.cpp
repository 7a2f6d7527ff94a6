// brigant-fw record: what listing and identifying a device asks it and what
// it answers, with its disk's extents and the firmware it holds, in one JSON
// file (docs/recording.md). Nothing is written to the device: it sends what
// list and info send, and the flash read of backup.
#include "cli/cli_context.h"
#include "cli/say.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <memory>

namespace brigant::cli
{

namespace
{

struct RecordArgs {
    std::string output;
    int index = 0;
};

int RunRecord(CliContext &ctx, const RecordArgs &a)
{
    Recording recording;
    if (const int rc = RecordDevice(ctx, a.index, recording); rc != kExitOk)
        return rc;
    const std::size_t commands = recording.commands.size();
    const std::string &path = recording.path;
    const std::string text = RecordingJson(recording).dump(1) + "\n";
    if (a.output.empty() || a.output == "-") {
        std::cout << text;
    } else {
        std::ofstream out(a.output, std::ios::trunc);
        if (!(out << text) || !out.flush()) {
            SayError().as(MessageCode::Failed) << "cannot write " << a.output;
            return kExitFailed;
        }
        std::cerr << "record: " << commands << " commands of " << path << " recorded in " << a.output << "\n";
    }
    return kExitOk;
}

} // namespace

void RegisterRecordCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<RecordArgs>();
    auto *cmd = app.add_subcommand("record", "Record what listing and identifying a device asks and what it "
                                             "answers, and the firmware it holds (read-only; "
                                             "--simulate @FILE builds its twin)");
    cmd->add_option("-o,--output", args->output, "Where to write the recording (default: standard output)")
        ->type_name("FILE");
    cmd->add_option("--index", args->index, "Which entry of the device list: 0 (the default) is the first")
        ->type_name("N");
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunRecord(ctx, *args); }; });
}

} // namespace brigant::cli

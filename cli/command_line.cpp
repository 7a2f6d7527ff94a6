// brigant-fw's options and sub-commands.
#include "cli/command_line.h"
#include "cli/say.h"

#include "app/one_button.h"
#include "cli/user_text.h"
#include "common/version.h"
#include "sim/presets.h"

#include <cstdlib>
#include <ostream>

namespace brigant::cli
{

namespace
{

// The one table of exit codes, the same for every verb.
const char *const kExitCodes = R"(Exit codes:
  0  success
  1  the operation failed
  2  usage error or unusable input (a bad option, file, --index or directory): nothing was written
  3  no device, no permission, or the chip is not supported
  4  nothing to do: the firmware is current
  5  the question before a write was answered no: nothing was written
  6  the bridge is busy: another program of ours works on it (--wait waits); nothing was sent to it
  130, 143  stopped by SIGINT or SIGTERM
)";

const char *const kGlobalOptions =
    R"(Global options (before or after the verb): --simulate PRESET, --device NODE, --helper [PROGRAM],
  --sim-state DIR, --trace[=FILE], --debug, -q/--quiet, -v/--verbose (see brigant-fw --help)

)";

const char *const kSettings = R"(Settings:
  FwUpdateTool.ini is read from the working directory, if there is one: the USB
  IDs and serial number written by the update, and ChipReset. Its warnings go to
  standard error.

)";

const char *const kExamples = R"(
Examples:
  brigant-fw list                              the bridges found, with chip and firmware
  brigant-fw --device /dev/sg2 info --json     one bridge, as JSON
  brigant-fw check firmware.bin --chip 13      whether a file fits a chip
  brigant-fw update --embedded                 install the built-in image (code-16 bridges)
  brigant-fw --device /dev/sg2 update fw.bin   program a firmware file
  brigant-fw --simulate quince list            try it on a simulated bridge)";

// The program's version and the built-in update image's.
std::string VersionText()
{
    const std::string image = BuiltInImageVersion();
    return std::string("brigant-fw ") + kVersionText + "\nbuilt-in update image: " +
           (image.empty()
                ? "none"
                : "version " + image + ", for chip type code " + std::to_string(kOneButtonChipType) +
                      " bridges (brigant-fw update --embedded)");
}

} // namespace

CommandLine::CommandLine()
    : app{"Brigant Firmware Update Utility for Linux: update the firmware of Velkor storage bridges"}
{
    app.set_version_flag("--version", VersionText(), "Show the program's version and the built-in image's");
    app.footer(std::string(kSettings) + kExitCodes + kExamples);
    app.add_option("--simulate", ctx.simulate,
                   "Use a simulated device: PRESET[:key=value,...] (repeat for several; 'help' lists them)")
        ->type_name("PRESET")
        ->expected(1)
        ->take_all();
    app.add_option("--device", ctx.devices,
                   "SCSI generic node of the bridge's disk, e.g. /dev/sg2 (with --simulate: sim:sgN; "
                   "update --all takes several)")
        ->type_name("NODE")
        ->expected(1)
        ->allow_extra_args(false) // one value each time: `--device NODE FILE`
        ->take_all();
    helperOption =
        app.add_option("--helper", helperProgram,
                       "Send every command through the privileged helper, started with pkexec (or through "
                       "PROGRAM, started as it is)")
            ->type_name("PROGRAM")
            ->expected(0, 1);
    app.add_option("--sim-state", ctx.simState, "Directory that keeps the simulated devices' state")
        ->type_name("DIR");
    // What update --all gives each of its workers: no group, so no help line.
    app.add_option("--sim-first-index", ctx.simFirstIndex)->group("");
    app.add_option("--worker-fd", ctx.workerFd)->group("")->check(CLI::NonNegativeNumber);
    traceOption =
        app.add_option("--trace", ctx.traceFile, "Write one line per SCSI command (to FILE or stderr)")
            ->type_name("FILE")
            ->expected(0, 1);
    app.add_option("--trace-data", ctx.traceDataFile,
                   "Write every SCSI command with the bytes of its data phase to FILE (JSON Lines, "
                   "docs/trace-data.md)")
        ->type_name("FILE");
    app.add_flag("--debug", ctx.debug, "Print the program's debug trace to standard error");
    // A flag whose value, if any, follows "=": "--wait FILE" leaves FILE to the verb.
    app.add_flag("--wait{forever}", ctx.waitText,
                 "When another program of ours works on the bridge, wait for it (--wait=SECONDS: at most "
                 "that long; --wait: as long as it takes) instead of stopping with exit status 6")
        ->check([this](const std::string &value) -> std::string {
            if (value == "forever") {
                ctx.waitSeconds = 0;
                return {};
            }
            char *end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(seconds > 0) || seconds > 1e7)
                return "give a number of seconds (above 0), or --wait alone to wait as long as it takes";
            ctx.waitSeconds = seconds;
            return {};
        });
    auto *quiet = app.add_flag("-q,--quiet", ctx.quiet, "Print only errors and results: no progress");
    app.add_flag("-v,--verbose", ctx.verbose,
                 "Print more: the window-level fields of info and list, the status line's colours")
        ->excludes(quiet);
    app.require_subcommand(0, 1);
    // The global options are also taken after the verb.
    app.fallthrough();

    RegisterRawCommand(app, ctx);
    RegisterCheckCommand(app, ctx);
    RegisterInfoCommand(app, ctx);
    RegisterListCommand(app, ctx);
    RegisterUpdateCommand(app, ctx);
    RegisterRepairCommand(app, ctx);
    RegisterRecoverCommand(app, ctx);
    RegisterHistoryCommand(app, ctx);
    RegisterDoctorCommand(app, ctx);
    RegisterReportCommand(app, ctx);
    RegisterRecordCommand(app, ctx);
    for (CLI::App *verb : app.get_subcommands({}))
        verb->footer(std::string(kGlobalOptions) + kExitCodes);
}

std::optional<int> ParseCommandLine(CommandLine &line, int argc, const char *const *argv, std::ostream &out,
                                    std::ostream &err)
{
    try {
        line.app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return line.app.exit(e, out, err) == 0 ? kExitOk : kExitUsage;
    }
    if (line.ctx.simulate.size() == 1 && line.ctx.simulate[0] == "help") {
        out << sim::PresetHelp();
        return kExitOk;
    }
    if (!line.ctx.action) {
        err << line.app.help();
        return kExitUsage;
    }
    CliContext &ctx = line.ctx;
    if (ctx.devices.size() > 1 && !ctx.severalDevices) {
        SayError(err).as(MessageCode::Usage) << "--device is given " << ctx.devices.size()
                                             << " times: only update --all works on several devices";
        return kExitUsage;
    }
    if (ctx.devices.size() == 1)
        ctx.device = ctx.devices.front();
    if (line.helperOption->count() > 0)
        ctx.helperArgs = {line.helperProgram.empty() ? "--helper" : "--helper=" + line.helperProgram};

    return std::nullopt;
}

} // namespace brigant::cli

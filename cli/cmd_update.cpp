// brigant-fw update, verify, backup and erase: their options and what each
// runs. The runs live in files of their own: update_full_tool.cpp (update
// FILE, backup, erase), update_embedded.cpp (update --embedded),
// update_verify.cpp (verify) and cmd_update_all.cpp (update --all).
#include "cli/json_report.h"
#include "cli/say.h"
#include "cli/station_serials.h"
#include "cli/update_all.h"
#include "cli/update_verbs.h"
#include "cli/user_text.h"
#include "cli/write_safety.h"
#include "image/firmware_file.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

// Why the backup verb cannot write `file` (empty: it can, or no file was
// given), told before the flash is read. An existing file is someone's data:
// it is written over only when `overwrite` says so.
std::string BackupPathProblem(const std::string &file, bool overwrite)
{
    if (file.empty())
        return {};
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(file, ec))
        return file + " is a folder: give the backup a file name";
    const fs::path folder =
        fs::path(file).parent_path().empty() ? fs::path(".") : fs::path(file).parent_path();
    if (!fs::is_directory(folder, ec))
        return file + ": the folder " + folder.string() + " does not exist";
    const bool exists = fs::exists(file, ec);
    if (exists && !overwrite)
        return file + " exists: give another name, or --force to write over it";
    if (::access(exists ? file.c_str() : folder.c_str(), W_OK) != 0)
        return "cannot write " + file + ": " + std::strerror(errno);
    return {};
}

// update FILE, or update --embedded: the arguments checked before any
// device is asked anything, then the run (after a rehearsal with --rehearse).
int RunFileOrEmbedded(CliContext &ctx, const UpdateArgs &args)
{
    if (args.embedded) {
        if (!args.file.empty() || args.includeNvram || args.readWriteBuffer) {
            SayError().as(MessageCode::Usage)
                << "--embedded programs the built-in image: no FILE and no check boxes";
            return kExitUsage;
        }
        if (ctx.write.changedOnly)
            SayNote() << "--changed-only: the built-in image is written whole (the one-button update "
                         "takes no blocks)";
        RehearsalRequest rehearsed;
        rehearsed.verb = RehearsedVerb::EmbeddedUpdate;
        return WithRehearsal(ctx, args.index, rehearsed, [&] { return RunOneButtonUpdate(ctx, args); });
    }
    if (args.file.empty()) {
        SayError().as(MessageCode::Usage) << "update needs a firmware FILE (or --embedded)";
        return kExitUsage;
    }
    // A file that cannot be read, or holds nothing, is refused before any
    // device is asked anything.
    if (const std::string why = FirmwareFileProblem(args.file.c_str()); !why.empty()) {
        SayError().as(MessageCode::Usage) << args.file << ": " << why << "; nothing was sent to any device";
        return kExitUsage;
    }
    RehearsalRequest rehearsed;
    rehearsed.file = args.file;
    rehearsed.includeNvram = args.includeNvram;
    rehearsed.readWriteBuffer = args.readWriteBuffer;
    rehearsed.versions = args.versions;
    rehearsed.changedOnly = ctx.write.changedOnly;
    ToolArgs tool;
    tool.mode = ToolMode::Program;
    tool.index = args.index;
    tool.file = args.file;
    tool.includeNvram = args.includeNvram;
    tool.readWriteBuffer = args.readWriteBuffer;
    tool.versions = args.versions;
    return WithRehearsal(ctx, args.index, rehearsed, [&] { return RunFullTool(ctx, tool); });
}
// The options of update for one bridge (update --all takes them too).
void AddUpdateOptions(CLI::App &update, CliContext &ctx, UpdateArgs &args, AllOptions &all)
{
    update.add_flag(
        "--embedded", args.embedded,
        "Program the firmware image built into the program (one-button update of a code-16 bridge)");
    update
        .add_option("FILE", all.files,
                    "Firmware file to program (the full tool's Load File and Run); with --all, one per model")
        ->type_name("FILE");
    update.add_flag(
        "--include-nvram", args.includeNvram,
        "Check \"Include 4K NVRAM\": write the file's NVRAM area instead of keeping the device's");
    update.add_flag("--read-write-buffer", args.readWriteBuffer,
                    "Check \"Read/Write Buffer\": program through READ/WRITE BUFFER (codes 15-18)");
    update
        .add_option("--index", all.indexes, "Device list entry (default: the first; with --all, repeat it)")
        ->type_name("N")
        ->expected(1)
        ->allow_extra_args(false) // one value each time: `--index 0 FILE`
        ->take_all()
        ->check(CLI::NonNegativeNumber);
    update.add_flag(
        "--json", args.json,
        "End with a JSON report on standard output (the rest goes to standard error; docs/json.md)");
    update.add_flag("--allow-reinstall", args.versions.allowReinstall,
                    "Write FILE although the bridge runs its version already (else exit 4)");
    update.add_flag("--allow-older", args.versions.allowOlder,
                    "Write FILE although its version is older than the running one (else exit 2)");
    update.add_flag(
        "--changed-only", ctx.write.changedOnly,
        "Erase and program only the erase blocks whose bytes differ from FILE (where the "
        "bridge's update writes by blocks; docs/usage.md), then read back and compare the whole image");
    update
        .add_option(
            "--serial", ctx.write.serial,
            "Write this product serial number (at most 20 characters) into the bridge's serial record "
            "(codes 15 to 18, a blank unit that runs from its ROM)")
        ->type_name("TEXT")
        ->check(SerialProblem);
}

// The options of update --all: which bridges, the station's log and its
// watch, and the units' serial numbers.
void AddAllOptions(CLI::App &update, AllOptions &all, bool &everyDevice)
{
    update.add_flag("--all", everyDevice,
                    "Update every listed bridge (or those --device / --index name) at once, each with the "
                    "FILE that fits it, after one question");
    update
        .add_option("--port", all.ports,
                    "With --all: only the bridge on this port path (`list` shows it; repeat it)")
        ->type_name("PATH")
        ->expected(1)
        ->allow_extra_args(false)
        ->take_all();
    update
        .add_option(
            "--slots", all.slotsFile,
            "With --all: a file of port paths and labels, one \"PATH LABEL\" per line, shown instead of "
            "the device in tables and given in JSON")
        ->type_name("FILE");
    update
        .add_option("--log", all.logFile,
                    "With --all: append a CSV row per bridge to FILE as its update ends (the station log)")
        ->type_name("FILE");
    update.add_option("--log-json", all.logJsonFile, "With --all: the same rows as JSON Lines")
        ->type_name("FILE");
    update.add_option("--jobs", all.jobs, "With --all: update at most N bridges at a time (default: all)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    update.add_flag(
        "--watch", all.watch,
        "With --all: the station; update each bridge as it arrives, until Ctrl-C or --count units");
    update.add_option("--count", all.count, "With --all --watch: end after N units")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    update
        .add_option("--serial-from", all.serialFrom,
                    "With --all: give each unit its own product serial number, counting up from this one "
                    "(PREFIX and digits, e.g. SN0100); a number used before at this station is refused")
        ->type_name("SERIAL");
    update
        .add_option("--serial-list", all.serialList,
                    "With --all: give each unit the next unused product serial number of FILE (one a line)")
        ->type_name("FILE");
    update.add_flag("--again", all.again,
                    "With --all --watch: update a bridge each time it arrives, also one updated in this run");
    update
        .add_option("--retry-failed", all.retryFailedLog,
                    "With --all --watch: take only the bridges whose last row in this station log (--log or "
                    "--log-json) says failed")
        ->type_name("LOG");
}

// update --all: the options of one bridge's update handed on to every
// bridge's.
int RunEveryDevice(CliContext &ctx, const UpdateArgs &args, AllOptions &all)
{
    all.embedded = args.embedded;
    all.includeNvram = args.includeNvram;
    all.readWriteBuffer = args.readWriteBuffer;
    all.json = args.json;
    all.versions = args.versions;
    all.changedOnly = ctx.write.changedOnly;
    all.serials = !all.serialFrom.empty() || !all.serialList.empty();
    if (!ctx.write.serial.empty()) {
        SayError().as(MessageCode::Usage) << "--serial gives one bridge its number: update --all "
                                             "takes --serial-from or --serial-list";
        return static_cast<int>(kExitUsage);
    }
    return RunUpdateAll(ctx, all);
}

// The first option given that only update --all takes (nullptr: none).
const char *AllOnlyOption(const AllOptions &all)
{
    return all.jobs > 0                  ? "--jobs"
           : all.watch                   ? "--watch"
           : all.count > 0               ? "--count"
           : all.again                   ? "--again"
           : !all.retryFailedLog.empty() ? "--retry-failed"
           : !all.serialFrom.empty()     ? "--serial-from"
           : !all.serialList.empty()     ? "--serial-list"
           : !all.ports.empty()          ? "--port"
           : !all.slotsFile.empty()      ? "--slots"
           : !all.logFile.empty()        ? "--log"
           : !all.logJsonFile.empty()    ? "--log-json"
           : all.files.size() > 1        ? "several FILEs"
           : all.indexes.size() > 1      ? "a repeated --index"
                                         : nullptr;
}

void RegisterUpdate(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<UpdateArgs>();
    auto all = std::make_shared<AllOptions>();
    auto everyDevice = std::make_shared<bool>(false);
    auto *update = app.add_subcommand("update", "Update a bridge's firmware (or, with --all, every bridge)");
    AddUpdateOptions(*update, ctx, *args, *all);
    AddAllOptions(*update, *all, *everyDevice);
    AddWriteOptions(*update, ctx, true);
    update->callback([&ctx, args, all, everyDevice] {
        ctx.severalDevices = *everyDevice;
        ctx.action = [&ctx, args, all, everyDevice]() -> int {
            if (*everyDevice)
                return RunEveryDevice(ctx, *args, *all);
            args->file = all->files.empty() ? "" : all->files.front();
            args->index = all->indexes.empty() ? -1 : all->indexes.front();
            return WithReport(args->json, "update", [&] {
                if (const char *allOnly = AllOnlyOption(*all)) {
                    SayError().as(MessageCode::Usage)
                        << allOnly << ": only update --all updates several bridges";
                    return static_cast<int>(kExitUsage);
                }
                return RunFileOrEmbedded(ctx, *args);
            });
        };
    });
}

void RegisterVerify(CLI::App &app, CliContext &ctx)
{
    auto verifyArgs = std::make_shared<VerifyArgs>();
    auto *verify = app.add_subcommand(
        "verify", "Compare the flash with what an update with FILE (or the built-in image) leaves there");
    verify->add_option("FILE", verifyArgs->file, "Firmware file to compare with")->type_name("FILE");
    verify->add_flag("--embedded", verifyArgs->embedded, "Compare with the built-in image (code-16 bridges)");
    verify->add_flag(
        "--raw", verifyArgs->raw,
        "Compare FILE byte for byte with the flash from address 0 (a backup or a whole-flash image, as "
        "large as the flash) instead of with what an update with it leaves");
    verify
        ->add_option("--offset", verifyArgs->offset, "With --raw: FILE holds the flash from this address on")
        ->type_name("N");
    verify->add_option("--length", verifyArgs->length, "With --raw: FILE holds this many bytes of the flash")
        ->type_name("N");
    verify->add_flag("--include-nvram", verifyArgs->includeNvram,
                     "Compare the file's NVRAM area too, as update --include-nvram writes it");
    AddIndexAndJson(*verify, verifyArgs->index, verifyArgs->json);
    verify->callback([&ctx, verifyArgs] {
        ctx.action = [&ctx, verifyArgs] {
            return WithReport(verifyArgs->json, "verify", [&] { return RunVerify(ctx, *verifyArgs); });
        };
    });
}

void RegisterBackup(CLI::App &app, CliContext &ctx)
{
    auto backupArgs = std::make_shared<ServiceArgs>();
    auto *backup = app.add_subcommand(
        "backup", "Save the bridge's whole flash (or disk area) to a file (\"RD Version\" service mode)");
    backup
        ->add_option("FILE", backupArgs->file, "Backup file (default: oldFlash.bak in the current directory)")
        ->type_name("FILE");
    backup->add_flag("--window-range", backupArgs->windowRange,
                     "Save what the window's backup saves (the family's backup length) instead of the whole "
                     "flash");
    backup->add_flag("--include-nvram", backupArgs->includeNvram,
                     "With --window-range: keep the 4K NVRAM area in the file (the whole flash holds it)");
    backup->add_flag("--force", backupArgs->overwrite,
                     "Write over FILE when it exists (else refused, exit 2)");
    AddIndexAndJson(*backup, backupArgs->index, backupArgs->json);
    backup->callback([&ctx, backupArgs] {
        ctx.action = [&ctx, backupArgs] {
            return WithReport(backupArgs->json, "backup", [&] {
                if (const std::string why = BackupPathProblem(backupArgs->file, backupArgs->overwrite);
                    !why.empty()) {
                    SayError().as(MessageCode::Usage) << why << "; nothing was read";
                    return static_cast<int>(kExitUsage);
                }
                ToolArgs tool;
                tool.mode = ToolMode::Backup;
                tool.index = backupArgs->index;
                tool.file = backupArgs->file;
                tool.includeNvram = backupArgs->includeNvram;
                tool.windowRange = backupArgs->windowRange;
                return RunFullTool(ctx, tool);
            });
        };
    });
}

void RegisterErase(CLI::App &app, CliContext &ctx)
{
    auto eraseArgs = std::make_shared<ServiceArgs>();
    auto *erase = app.add_subcommand("erase", "Erase the bridge's flash (\"RD Version\" service mode)");
    erase->add_flag("--include-nvram", eraseArgs->includeNvram,
                    "Erase the 4K NVRAM area too (codes 15-18 always erase it: their window has no such box "
                    "and erases it)");
    AddIndexAndJson(*erase, eraseArgs->index, eraseArgs->json);
    AddWriteOptions(*erase, ctx, true);
    erase->callback([&ctx, eraseArgs] {
        ctx.action = [&ctx, eraseArgs] {
            return WithReport(eraseArgs->json, "erase", [&] {
                RehearsalRequest rehearsed;
                rehearsed.verb = RehearsedVerb::Erase;
                rehearsed.includeNvram = eraseArgs->includeNvram;
                ToolArgs tool;
                tool.mode = ToolMode::Erase;
                tool.index = eraseArgs->index;
                tool.includeNvram = eraseArgs->includeNvram;
                return WithRehearsal(ctx, eraseArgs->index, rehearsed,
                                     [&] { return RunFullTool(ctx, tool); });
            });
        };
    });
}

} // namespace

void RegisterUpdateCommand(CLI::App &app, CliContext &ctx)
{
    RegisterUpdate(app, ctx);
    RegisterVerify(app, ctx);
    RegisterBackup(app, ctx);
    RegisterErase(app, ctx);
}

} // namespace brigant::cli

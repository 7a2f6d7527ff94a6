// brigant-fw verify: the flash (or the disk area) read where the update
// with FILE (or the built-in image) writes, compared with what that update
// leaves there; with --raw, byte for byte from address 0. Nothing is
// written; no backup, question or journal.
#include "app/one_button.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/update_verbs.h"
#include "cli/user_text.h"
#include "common/clock.h"
#include "common/hex.h"
#include "image/firmware_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

namespace brigant::cli
{

namespace
{

// The part of the flash verify --raw compares: all of it, or `length` bytes
// from `offset`.
struct RawRange {
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> length;
};

// verify --raw: the flash (or disk area) as the backup mode reads it, whole,
// against `file` byte for byte; the file must be as long as the flash, or as
// the part asked for. Refused (nothing compared) when it is not.
RunOutcome RawVerify(RunRequest req, const DeviceEntry &entry, RunHost &host, const std::string &file,
                     const RawRange &range)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string temp = (fs::temp_directory_path(ec) / "brigant-verify-XXXXXX").string();
    RunOutcome outcome;
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        outcome.reason = "no temporary file for the flash: " + std::string(std::strerror(errno));
        return outcome;
    }
    ::close(fd);
    req.mode = RunMode::BackupOnly;
    req.wholeFlash = true;
    req.includeNvram = true;
    req.backupFile = temp;
    outcome = RunRequested(req, entry.bus, entry.path, host);
    std::ifstream flashIn(temp, std::ios::binary);
    const std::vector<char> flash((std::istreambuf_iterator<char>(flashIn)),
                                  std::istreambuf_iterator<char>());
    fs::remove(temp, ec);
    if (!outcome.ok())
        return outcome;
    const bool disk = outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate;
    const std::string area = disk ? "the disk's firmware area" : "the flash";
    const std::uint64_t fileSize = fs::file_size(file, ec);
    const auto refuse = [&](const std::string &why) {
        outcome.result = RunOutcome::Result::Refused;
        outcome.reason = why + "; nothing was compared";
        return outcome;
    };
    if (ec)
        return refuse("cannot read " + file + ": " + ec.message());
    const std::uint64_t size = flash.size();
    if (!range.length && fileSize != size)
        return refuse(file + " has " + std::to_string(fileSize) + " bytes, " + area + " " +
                      std::to_string(size) + ": give --offset and --length to compare a part");
    const std::uint64_t length = range.length.value_or(size);
    if (range.offset > size || length > size - range.offset)
        return refuse("--offset " + HexNumber(range.offset) + " --length " + std::to_string(length) +
                      " reaches past the end of " + area + " (" + std::to_string(size) + " bytes)");
    if (fileSize != length)
        return refuse(file + " has " + std::to_string(fileSize) + " bytes, --length asks for " +
                      std::to_string(length));
    std::ifstream fileIn(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(fileIn)), std::istreambuf_iterator<char>());
    if (bytes.size() != length)
        return refuse("cannot read " + file + " whole");
    VerifyTally &t = outcome.verify;
    t.compared = bytes.size();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (flash[range.offset + i] != bytes[i]) {
            if (t.differing++ == 0)
                t.firstDifference = static_cast<std::int64_t>(range.offset + i);
        }
    return outcome;
}

// The arguments verify checks before any device is asked anything:
// kExitOk with `range` filled, or the usage error after saying why.
int CheckVerifyArgs(const VerifyArgs &args, RawRange &range)
{
    if (args.embedded == !args.file.empty()) {
        SayError().as(MessageCode::Usage) << "verify needs a firmware FILE or --embedded (not both)";
        return kExitUsage;
    }
    if (args.embedded && (args.includeNvram || args.raw)) {
        SayError().as(MessageCode::Usage)
            << "--embedded compares the built-in image: no --include-nvram or --raw";
        return kExitUsage;
    }
    if (!args.offset.empty() || !args.length.empty()) {
        const std::optional<std::uint64_t> offset = args.offset.empty() ? 0 : ParseNumber(args.offset);
        range.length = ParseNumber(args.length);
        if (!args.raw || args.length.empty()) {
            SayError().as(MessageCode::Usage)
                << "--offset and --length go with --raw, and --offset needs --length";
            return kExitUsage;
        }
        if (!offset || !range.length || *range.length == 0) {
            SayError().as(MessageCode::Usage)
                << "--offset and --length take numbers (decimal or 0x...), --length above 0";
            return kExitUsage;
        }
        range.offset = *offset;
    }
    if (!args.embedded)
        if (const std::string why = FirmwareFileProblem(args.file.c_str()); !why.empty()) {
            SayError().as(MessageCode::Usage)
                << args.file << ": " << why << "; nothing was sent to any device";
            return kExitUsage;
        }
    return kExitOk;
}

// Whether the identified bridge can be compared as asked: kExitOk, or the
// exit code after saying why not.
int CheckVerifyBridge(const VerifyArgs &args, const ChosenBridge &chosen)
{
    const SelectedBridge &selected = chosen.state.bridge;
    const std::uint8_t code = chosen.state.chip.ChipTypeCode;
    if (!selected.supported) {
        std::cout << "this bridge's firmware cannot be read: chip type code " << static_cast<int>(code)
                  << "\n";
        return kExitNoDevice;
    }
    if (args.embedded && code != kOneButtonChipType) {
        SayError().as(MessageCode::Usage)
            << "the built-in image is for code-" << kOneButtonChipType << " bridges; this one is code "
            << static_cast<int>(code) << ": give the firmware FILE";
        return kExitUsage;
    }
    if (args.includeNvram && !selected.nvramOffered) {
        SayError().as(MessageCode::Usage) << "--include-nvram: this bridge has no 4K NVRAM area to include";
        return kExitUsage;
    }
    return kExitOk;
}

// What verify compared, in the words its messages use.
struct Compared {
    std::string image; // the file (and the part of it), or the built-in image
    std::string where; // the flash, or the disk's firmware area
};

// The comparison in the report.
void ReportComparison(const VerifyArgs &args, const VerifyTally &t)
{
    nlohmann::json comparison = {{"file", args.embedded ? nlohmann::json() : nlohmann::json(args.file)},
                                 {"builtInImage", args.embedded},
                                 {"comparedBytes", t.compared},
                                 {"differingBytes", t.differing},
                                 {"skippedBytes", t.skipped}};
    comparison["firstDifference"] =
        t.firstDifference < 0 ? nlohmann::json() : nlohmann::json(HexNumber(t.firstDifference));
    ReportField("comparison", comparison);
}

// How the comparison ended, and the exit code that tells it.
int ReportVerify(const VerifyArgs &args, const RunOutcome &outcome, const Compared &compared,
                 const std::string &version)
{
    if (outcome.result == RunOutcome::Result::Refused) {
        NoteRun("refused: " + outcome.reason);
        SayError().as(MessageCode::Refused) << outcome.reason;
        return outcome.deviceUnanswered ? kExitFailed : kExitUsage;
    }
    const VerifyTally &t = outcome.verify;
    ReportVersions(version, version);
    if (!outcome.ok() || t.compared == 0) {
        const std::string why = outcome.reason.empty() ? "nothing could be compared" : outcome.reason;
        NoteRun("failed: " + why);
        SayError().as(MessageCode::Failed)
            << compared.where << " could not be compared with " << compared.image << ": " << why;
        return kExitFailed;
    }
    ReportComparison(args, t);
    const std::string skipped =
        t.skipped == 0 ? ""
                       : "; " + std::to_string(t.skipped) + " bytes the bridge rewrites itself not compared";
    if (t.differing == 0) {
        NoteRun("verified");
        std::cout << "VERIFIED: " << compared.where << " holds " << compared.image << " (" << t.compared
                  << " bytes compared" << skipped << ")\n";
        return kExitOk;
    }
    NoteRun("differs");
    ReportReason(std::to_string(t.differing) + " of " + std::to_string(t.compared) +
                 " bytes differ, the first at " + HexNumber(t.firstDifference));
    std::cout << "DIFFERS: " << compared.where << " does not hold " << compared.image << ": " << t.differing
              << " of " << t.compared << " bytes differ, the first at " << HexNumber(t.firstDifference)
              << skipped << "\n";
    return kExitFailed;
}

} // namespace

int RunVerify(CliContext &ctx, const VerifyArgs &args)
{
    RawRange range;
    if (const int rc = CheckVerifyArgs(args, range); rc != kExitOk)
        return rc;
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    MessageBoxes boxes(MessageStream(ctx), &std::cerr);
    ChosenBridge chosen;
    if (const int rc = ChooseTarget(ctx, args.index, chosen); rc != kExitOk)
        return rc;
    const DeviceEntry entry = chosen.entry;
    view->endLine();
    PrintDeviceLine(entry.path, chosen.state.bridge, chosen.state.chip.ChipTypeCode);
    if (const int rc = CheckVerifyBridge(args, chosen); rc != kExitOk)
        return rc;
    RunRequest req = VerbRequest(chosen.state, chosen.settings, chosen.candidateCount, ToolMode::Program,
                                 args.file, args.includeNvram);
    req.mode = RunMode::VerifyOnly;
    CliRunHost host(*view, ctx.style, chosen.transfer);
    const RunOutcome outcome = args.raw        ? RawVerify(req, entry, host, args.file, range)
                               : args.embedded ? RunEmbeddedVerify(req, entry.path, host)
                                               : RunRequested(req, entry.bus, entry.path, host);
    view->endLine();
    Compared compared;
    compared.image = args.embedded  ? "the built-in image"
                     : range.length ? args.file + " at " + HexNumber(range.offset) + "-" +
                                          HexNumber(range.offset + *range.length - 1)
                                    : args.file;
    compared.where = outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate
                         ? "the firmware area on the disk behind " + entry.path
                         : "the flash of " + entry.path;
    return ReportVerify(args, outcome, compared, chosen.state.bridge.version);
}

} // namespace brigant::cli

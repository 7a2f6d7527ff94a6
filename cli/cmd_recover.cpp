// brigant-fw recover: a way back for a code 15-18 bridge left running from
// its ROM (an update cut after the chip erase). The manufacturing firmware
// goes to the bridge's RAM, then the image (the built-in update image, or a
// FILE) to the flash; the flash is read back, the bridge reset, and the
// firmware it then runs is checked.
#include "app/update_journal.h"
#include "app/write_guard.h"
#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "cli/cli_context.h"
#include "cli/cli_host.h"
#include "cli/json_report.h"
#include "cli/user_text.h"
#include "cli/window_session.h"
#include "cli/write_safety.h"
#include "common/clock.h"
#include "flash/verify_compare.h"
#include "forms/ui_services.h"
#include "image/chip_types.h"
#include "model/fwupdate.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"

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

constexpr std::uint32_t kBuiltInImageChip = 16;
constexpr std::size_t kLargestImage = 16u * 1024 * 1024; // larger than any flash these bridges carry

bool RunsFromRom(const std::string &path)
{
    std::uint8_t boundary = 0;
    return ProbeReadBuffer(path, PumpMessages, &boundary) && boundary == kRomDescriptorBoundary;
}

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

// The image to program, padded with zeros to a multiple of 256 bytes.
bool LoadImage(const RecoverArgs &args, std::uint32_t code, std::vector<std::uint8_t> &image)
{
    if (args.file.empty()) {
        if (code != kBuiltInImageChip) {
            std::cerr << "error: the built-in image is for code-16 bridges; this one is code " << code
                      << ": give the firmware FILE to program\n";
            return false;
        }
        image.assign(kUpdateImageSize, 0);
        const std::uint32_t size = LoadUpdateImage(image.data(), 0, 0);
        if (size == 0) {
            std::cerr << "error: this program carries no built-in update image\n";
            return false;
        }
        image.resize(size);
    } else {
        std::ifstream in(args.file, std::ios::binary);
        if (!in) {
            std::cerr << "error: " << args.file << ": " << std::strerror(errno) << "\n";
            return false;
        }
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (image.size() < 0x20 || image.size() > kLargestImage) {
            std::cerr << "error: " << args.file << ": " << image.size()
                      << " bytes is no firmware image for this bridge\n";
            return false;
        }
    }
    image.resize((image.size() + 255) / 256 * 256, 0);
    return true;
}

// Reads `length` bytes of flash through the buffer path, in the pieces a
// ROM0-mode bridge needs.
bool ReadBack(RunHost &host, const std::string &path, std::vector<std::uint8_t> &flash, std::uint32_t length)
{
    flash.assign(length, 0);
    return ReadWholeFlashViaBuffer(host, path, flash.data(), length) == 1;
}

// The programmed image against the flash, without the two header areas the
// bridge keeps for itself (as the one-button update compares).
bool SameImage(const std::vector<std::uint8_t> &image, const std::vector<std::uint8_t> &flash)
{
    for (std::size_t i = 0; i < image.size() && i < flash.size(); ++i) {
        if (InRewrittenHeader(i))
            continue;
        if (image[i] != flash[i])
            return false;
    }
    return flash.size() >= image.size();
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
    WindowSession session(ctx, MessageStream(ctx));
    TBrigantFwTool &form = session.form();
    form.repairBankOnSelect = false;
    auto view = std::make_shared<ProgressView>(std::cout, ctx.style, ProgramClock());
    ctx.view = view;
    session.ui().onProgress = [view](const ProgressEvent &event) { view->progress(event); };
    session.open();
    if (form.listedCount == 0) {
        if (!ReportAccessProblem(ctx.runtime))
            std::cerr << "error: no disk behind a supported bridge was found\n";
        return kExitNoDevice;
    }
    if (args.index >= form.listedCount) {
        std::cerr << "error: --index " << args.index << ": the device list has entries 0 to "
                  << form.listedCount - 1 << "\n";
        return kExitUsage;
    }
    const int index = args.index > 0 ? args.index : 0;
    const bool wasBusy = !form.devices[static_cast<std::size_t>(index)].busy.empty();
    if (const int claimed = ClaimBridge(ctx, form.devices[static_cast<std::size_t>(index)].path);
        claimed != kExitOk)
        return claimed;
    if (args.index > 0 || wasBusy)
        form.DeviceList.select(index);
    const std::uint32_t code = form.chip.ChipTypeCode;
    const std::string path = form.selectedEntry().path;
    ReportDevice(path, form.selected.series, static_cast<int>(code));
    view->endLine();
    if (!ChipTypeOf(code).bufferPath) {
        std::cerr << "error: recover brings back code 15-18 bridges; " << path << " is code " << code << " ("
                  << form.selected.series << ")\n";
        return kExitNoDevice;
    }
    // A bridge that runs firmware is recovered only when this computer's
    // journal holds a write to it that was cut: the firmware it runs then may
    // be half written, and its answers (version, model tag) are not trusted.
    const std::string bridgeKey = BridgeJournalKey(path);
    const std::optional<JournalEntry> unfinished = OpenJournalEntry(bridgeKey);
    const bool fromRom = RunsFromRom(path);
    if (!fromRom && !unfinished) {
        std::cout << path << " runs firmware that can program its flash, not its ROM: nothing to recover "
                  << "(brigant-fw update programs it)\n";
        return kExitNothingToDo;
    }
    RecoverArgs chosen = args;
    if (!fromRom) {
        std::cout << "note: " << UnfinishedText(*unfinished) << "; recover rewrites the whole flash through "
                  << "the firmware the bridge runs now\n";
        // The cut update's file, unless another is given: the same file as
        // then (its SHA-256 must still be the journal's).
        if (chosen.file.empty() && !unfinished->firmware.empty()) {
            if (FileSha256(unfinished->firmware) != unfinished->sha256) {
                std::cerr << "error: " << unfinished->firmware
                          << " is not the file the cut update wrote (it is "
                          << "gone or changed): give the firmware FILE to program\n";
                return kExitUsage;
            }
            chosen.file = unfinished->firmware;
        }
    }
    std::vector<std::uint8_t> image;
    if (!LoadImage(chosen, code, image))
        return kExitUsage;
    std::uint8_t info[16] = {};
    std::uint32_t transferred = 0;
    if (fromRom && ReadChipInfo(path, info, 16, transferred) &&
        std::memcmp(image.data() + 0x15, info + 8, 3) != 0) {
        std::cerr << "error: the image is not made for this chip (model tag differs): nothing was written\n";
        return kExitUsage;
    }

    const std::string what =
        (chosen.file.empty() ? "the built-in update image, version " + VersionText(image.data() + 25)
                             : "the firmware file " + chosen.file) +
        (fromRom ? ", through the manufacturing firmware in RAM" : ", through the running firmware") +
        "; the whole flash is rewritten";
    bool noTerminal = false;
    bool programmed = false, verified = false, back = false;
    WriteGuard guard = CliWriteGuard(ctx, "recover will write:", noTerminal);
    guard.backup = false; // a bridge in ROM offers no flash to read; a cut one, a half-written one
    // The buffer path, as on every bridge of these codes; no serial record.
    RunRequest req;
    req.readWriteBuffer = true;
    req.chipResetsItself = form.settings.ChipReset == 1;
    req.chip = form.chip;
    req.candidateCount = form.candidateCount;
    CliRunHost host(*view, ctx.style, form.transfer);
    const GuardedRun run = RunGuarded(form, DescribeWrite(form, what), guard, nullptr, [&] {
        programmed = ProgramViaBuffer(req, host, path, 0, image.data(),
                                      static_cast<std::uint32_t>(image.size()), fromRom) == 1;
        if (!programmed)
            return;
        std::vector<std::uint8_t> flash;
        verified =
            ReadBack(host, path, flash, static_cast<std::uint32_t>(image.size())) && SameImage(image, flash);
        if (verified)
            back = ResetAndWaitReattach(req, host, path) == 1;
    });
    if (const int stopped = ReportGuard(run, path, noTerminal); stopped >= 0)
        return stopped;
    view->endLine();
    if (!programmed) {
        return Failed("the flash was not programmed");
    }
    if (!verified) {
        return Failed("the flash does not read back as programmed");
    }
    if (!back) {
        return Failed(
            "the flash is programmed and verified, but the bridge did not come back after its reset");
    }
    const std::string now = host.returnedAt().empty() ? path : host.returnedAt();
    std::memset(info, 0, sizeof info);
    if (!ReadChipInfo(now, info, 16, transferred) || RunsFromRom(now)) {
        return Failed(now + " still runs from ROM after its reset");
    }
    std::cout << now << " runs firmware " << VersionText(info + 12) << "\n";
    ReportVersions(fromRom ? "" : form.selected.version, VersionText(info + 12));
    if (chosen.file.empty() && std::memcmp(info + 12, image.data() + 25, 4) != 0) {
        return Failed("the bridge does not run the built-in image");
    }
    // A verified image on a bridge that is back: a cut update of it is over.
    FinishJournalEntries(bridgeKey, std::time(nullptr));
    ReportStatus("recovered");
    std::cout << "result: success\n";
    return kExitOk;
}

} // namespace

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
                return WithRehearsal(ctx, args->index, "recover", [&](int index) {
                    RecoverArgs on = *args;
                    on.index = index;
                    return RunRecover(ctx, on);
                });
            });
        };
    });
}

} // namespace brigant::cli

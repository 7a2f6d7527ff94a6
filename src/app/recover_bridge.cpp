#include "app/recover_bridge.h"

#include "app/one_button.h"
#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "flash/verify_compare.h"
#include "forms/ui_services.h"
#include "image/firmware_file.h"
#include "image/firmware_version.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

namespace brigant
{

namespace
{

RecoverPlan Refused(RecoverPlan plan, RecoverPlan::Refusal why, std::string reason)
{
    plan.refusal = why;
    plan.reason = std::move(reason);
    return plan;
}

// The image to program, padded with zeros to a multiple of 256 bytes; why
// there is none otherwise.
std::string LoadImage(const std::string &file, std::uint32_t code, std::vector<std::uint8_t> &image)
{
    if (file.empty()) {
        if (code != static_cast<std::uint32_t>(kOneButtonChipType))
            return "the built-in image is for code-16 bridges; this one is code " + std::to_string(code) +
                   ": give the firmware FILE to program";
        image.assign(kUpdateImageSize, 0);
        const std::uint32_t size = LoadUpdateImage(image.data(), 0, 0);
        if (size == 0)
            return "this program carries no built-in update image";
        image.resize(size);
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return file + ": " + std::strerror(errno);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (image.size() < 0x20 || image.size() > kLargestFirmwareFile)
            return file + ": " + std::to_string(image.size()) + " bytes is no firmware image for this bridge";
    }
    image.resize((image.size() + 255) / 256 * 256, 0);
    return {};
}

// The programmed image against the flash, without the two header areas the
// bridge keeps for itself (as the one-button update compares).
bool SameImage(const std::vector<std::uint8_t> &image, const std::vector<std::uint8_t> &flash)
{
    for (std::size_t i = 0; i < image.size() && i < flash.size(); ++i) {
        if (InRewrittenHeader(static_cast<std::uint32_t>(i)))
            continue;
        if (image[i] != flash[i])
            return false;
    }
    return flash.size() >= image.size();
}

} // namespace

bool BridgeRunsFromRom(const std::string &path)
{
    std::uint8_t boundary = 0;
    return ProbeReadBuffer(path, PumpMessages, &boundary) && boundary == kRomDescriptorBoundary;
}

RecoverPlan PlanRecover(const std::string &path, std::uint32_t code, const std::string &file)
{
    RecoverPlan plan;
    // A bridge that runs firmware is recovered only when this computer's
    // journal holds a write to it that was cut: the firmware it runs then may
    // be half written, and its answers (version, model tag) are not trusted.
    plan.unfinished = OpenJournalEntry(BridgeJournalKey(path));
    plan.fromRom = BridgeRunsFromRom(path);
    if (!plan.fromRom && !plan.unfinished)
        return Refused(std::move(plan), RecoverPlan::Refusal::NothingToRecover,
                       path + " runs firmware that can program its flash, not its ROM: nothing to recover");
    plan.file = file;
    // The cut update's file, unless another is given: the same file as then
    // (its SHA-256 must still be the journal's).
    if (!plan.fromRom && plan.file.empty() && !plan.unfinished->firmware.empty()) {
        if (FileSha256(plan.unfinished->firmware) != plan.unfinished->sha256)
            return Refused(std::move(plan), RecoverPlan::Refusal::CutFileChanged,
                           plan.unfinished->firmware +
                               " is not the file the cut update wrote (it is gone or changed): give the "
                               "firmware FILE to program");
        plan.file = plan.unfinished->firmware;
    }
    if (std::string why = LoadImage(plan.file, code, plan.image); !why.empty())
        return Refused(std::move(plan), RecoverPlan::Refusal::NoImage, std::move(why));
    std::uint8_t info[16] = {};
    std::uint32_t transferred = 0;
    if (plan.fromRom && ReadChipInfo(path, info, 16, transferred) &&
        std::memcmp(plan.image.data() + 0x15, info + 8, 3) != 0)
        return Refused(std::move(plan), RecoverPlan::Refusal::ForeignImage,
                       "the image is not made for this chip (model tag differs)");
    plan.writes =
        (plan.file.empty()
             ? "the built-in update image, version " + PlainVersion(FirmwareImageVersion(code, plan.image))
             : "the firmware file " + plan.file) +
        (plan.fromRom ? ", through the manufacturing firmware in RAM" : ", through the running firmware") +
        "; the whole flash is rewritten";
    return plan;
}

RecoverResult RecoverBridge(const RunRequest &req, RunHost &host, const std::string &path,
                            const RecoverPlan &plan, const std::function<std::string()> &pathAfterReset)
{
    RecoverResult result;
    const auto size = static_cast<std::uint32_t>(plan.image.size());
    if (ProgramViaBuffer(req, host, path, 0, plan.image.data(), size, plan.fromRom) != 1)
        return result;
    std::vector<std::uint8_t> flash(size, 0);
    if (ReadWholeFlashViaBuffer(host, path, flash.data(), size) != 1 || !SameImage(plan.image, flash)) {
        result.end = RecoverResult::End::NotVerified;
        return result;
    }
    host.bridgeResetting();
    if (ResetAndWaitReattach(req, host, path) != 1) {
        result.end = RecoverResult::End::NotBack;
        return result;
    }
    result.now = pathAfterReset ? pathAfterReset() : path;
    std::uint8_t info[16] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(result.now, info, 16, transferred) || BridgeRunsFromRom(result.now)) {
        result.end = RecoverResult::End::StillRom;
        return result;
    }
    std::memcpy(result.running.data(), info + 12, 4);
    if (plan.file.empty() && std::memcmp(info + 12, plan.image.data() + 25, 4) != 0) {
        result.end = RecoverResult::End::NotBuiltIn;
        return result;
    }
    // A verified image on a bridge that is back: a cut update of it is over.
    FinishJournalEntries(BridgeJournalKey(path), std::time(nullptr), "recover");
    result.end = RecoverResult::End::Recovered;
    return result;
}

std::string RecoverFailureText(const RecoverResult &result)
{
    switch (result.end) {
    case RecoverResult::End::Recovered:
        return {};
    case RecoverResult::End::NotProgrammed:
        return "the flash was not programmed";
    case RecoverResult::End::NotVerified:
        return "the flash does not read back as programmed";
    case RecoverResult::End::NotBack:
        return "the flash is programmed and verified, but the bridge did not come back after its reset";
    case RecoverResult::End::StillRom:
        return result.now + " still runs from ROM after its reset";
    case RecoverResult::End::NotBuiltIn:
        return "the bridge does not run the built-in image";
    }
    return {};
}

} // namespace brigant

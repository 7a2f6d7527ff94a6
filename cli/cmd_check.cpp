// brigant-fw check: whether a firmware file fits a chip, without a device; and,
// with a device, whether Load File takes the file there and whether the
// one-button face would offer the built-in image (--embedded) or the file.
#include "app/check_report.h"
#include "app/file_verdict.h"
#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/update_journal.h"
#include "bridge/chip_commands.h"
#include "cli/chosen_bridge.h"
#include "cli/cli_context.h"
#include "cli/json_report.h"
#include "cli/message_boxes.h"
#include "cli/say.h"
#include "cli/update_all.h"
#include "cli/user_text.h"
#include "common/clock.h"
#include "common/hex.h"
#include "device/transport.h"
#include "identify/chip_identify.h"
#include "image/firmware_file.h"
#include "update/assisted/embedded_images.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

namespace brigant::cli
{

namespace
{

struct CheckArgs {
    std::string file;
    std::string chip;
    bool embedded = false;
    bool json = false;
};

// What `update FILE` would do with device 0, from the plan update --all makes of it (PlanDeviceUpdate),
// before anything is written: "update" (exit 0), "nothing to do" (exit 4), or "refused" (the exit status
// update gives, with the reason).
struct UpdateVerdict {
    std::string action;
    int exitCode = 0;
    std::string text;   // one line for the user
    std::string reason; // why it is refused, or nothing to do
    std::string from, to;
    PlanRefusal refusal = PlanRefusal::None;
    std::optional<PlanLayout> layout;
};

UpdateVerdict DeviceVerdict(const std::string &file)
{
    UpdateVerdict v;
    v.action = "refused";
    v.exitCode = kExitUsage;
    if (const std::string why = FirmwareFileProblem(file.c_str()); !why.empty()) {
        v.reason = why;
        v.text = "refused: " + why;
        return v;
    }
    MessageBoxes boxes(nullptr, &std::cerr);
    ChosenBridge bridge;
    ReadSettings(bridge.settings);
    const BridgeList list = DiscoverBridges();
    if (list.listed.empty()) {
        v.action = "no device";
        v.exitCode = kExitNoDevice;
        v.text = v.reason = "no device found";
        return v;
    }
    IdentifyListed(list.listed.front(), list.candidateCount, bridge);
    if (!bridge.state.bridge.supported) {
        v.exitCode = kExitNoDevice;
        v.refusal = PlanRefusal::NotSupported;
        v.reason =
            "this bridge cannot be updated: chip type code " + std::to_string(bridge.state.chip.ChipTypeCode);
        v.text = "refused: " + v.reason;
        return v;
    }
    AllOptions options;
    options.files = {file};
    const DevicePlan plan = PlanDeviceUpdate(bridge, options, 0);
    v.from = plan.from == "unknown" ? "" : plan.from;
    v.to = plan.to == "unknown" ? "" : plan.to;
    v.reason = plan.reason;
    v.refusal = plan.refusal;
    v.layout = plan.layout;
    switch (plan.action) {
    case DevicePlan::Action::Update:
        v.action = "update";
        v.exitCode = kExitOk;
        v.text = std::string(plan.finishing ? "would finish the cut update" : "would write it") + " (" +
                 (v.from.empty() ? "unknown" : v.from) + " -> " + (v.to.empty() ? "unknown" : v.to) + ")";
        break;
    case DevicePlan::Action::Current:
        v.action = "nothing to do";
        v.exitCode = kExitNothingToDo;
        v.text = "already installed: " + plan.path + (plan.storeHoldsFile ? ": " : " ") + plan.reason;
        break;
    case DevicePlan::Action::Skip:
        v.text = "refused: " + plan.reason;
        break;
    }
    return v;
}

struct Offer {
    int exitCode = kExitOk;
    std::string verdict; // "version differs", "same version", "other identity", "not supported"
    std::string text;
};

// What the one-button face decides for the image whose first 32 bytes are
// `header`: identity in bytes 25-26 and version in 25-28, against the running
// firmware's in chip information bytes 12-15.
Offer OneButtonOffer(const std::string &path, const std::uint8_t header[32])
{
    const std::uint16_t packed = IdentifyChip(path);
    // A bridge that cannot be opened is no answer about its chip.
    if ((packed & 0xFF) == 0 && PermissionProblem())
        return {kExitFailed, "unreadable", "the running firmware's version could not be read from " + path};
    if ((packed & 0xFF) != kOneButtonChipType)
        return {kExitNoDevice, "not supported",
                path + " is not a chip type code " + std::to_string(kOneButtonChipType) +
                    " bridge: the one-button face offers nothing"};
    std::uint8_t reply[16] = {};
    std::uint32_t transferred = 0;
    if (!ReadChipInfo(path, reply, sizeof reply, transferred) || reply[0] != 0xF4 || reply[1] != 0xE7)
        return {kExitFailed, "unreadable", "the running firmware's version could not be read from " + path};
    if (std::memcmp(reply + 12, header + 25, 2) != 0)
        return {kExitFailed, "other identity", "other identity: the image is not offered for " + path};
    if (std::memcmp(reply + 12, header + 25, 4) == 0)
        return {kExitNothingToDo, "same version", "same version: " + path + " already runs it"};
    return {kExitOk, "version differs", "version differs: the image would be offered for " + path};
}

// The arguments check needs: kExitOk, or the usage error after saying why.
// `device`: a device was given to compare with.
int CheckUsage(const CheckArgs &a, bool device)
{
    if (a.file.empty() == !a.embedded) {
        SayError().as(MessageCode::Usage) << "check needs a firmware FILE or --embedded (not both)";
        return kExitUsage;
    }
    if (a.chip.empty() && !device) {
        SayError().as(MessageCode::Usage)
            << "check needs --chip CODE[:REV] (a chip type code or series name), or a device "
               "(--device) to compare with";
        return kExitUsage;
    }
    return kExitOk;
}

// What check found, gathered into its JSON document, and its exit code so far.
struct CheckResult {
    nlohmann::json document = {{"verb", "check"}};
    int code = kExitOk;
};

// The file check against a chip in the JSON document.
void AddFileCheck(nlohmann::json &document, const std::string &file, const ChipChoice &chip,
                  const FileCheckReport &report)
{
    document["file"] = file;
    document["size"] = report.size;
    document["chip"] = {
        {"typeCode", chip.code},
        {"subRevision", report.chip.subRevision},
        {"name", report.series.empty() ? nlohmann::json() : nlohmann::json(report.series)},
        {"modelTag", report.modelTag.empty() ? nlohmann::json() : nlohmann::json(report.modelTag)}};
    document["fits"] = report.outcome == FileCheckOutcome::Fits;
    document["reason"] = report.reason;
    nlohmann::json records = nlohmann::json::array();
    for (const CheckedRecord &r : report.records)
        records.push_back({{"offset", HexNumber(r.offset)},
                           {"bytesInFile", r.bytesRead},
                           {"signature", r.signature},
                           {"tag", r.tag},
                           {"revision", r.revision}});
    document["headerRecords"] = records;
    document["comparisonText"] =
        report.comparisonTaken
            ? nlohmann::json{{"text", report.comparisonText}, {"offset", HexNumber(report.comparisonOffset)}}
            : nlohmann::json();
    document["bankImage"] =
        report.bankImage.empty()
            ? nlohmann::json()
            : nlohmann::json{{"state", report.bankImage},
                             {"end", HexNumber(report.bankEnd)},
                             {"checksumStored", report.checksumStored < 0
                                                    ? nlohmann::json()
                                                    : nlohmann::json(HexNumber(report.checksumStored))},
                             {"checksumComputed", report.checksumComputed < 0
                                                      ? nlohmann::json()
                                                      : nlohmann::json(HexNumber(report.checksumComputed))}};
}

// --chip: the file checked against the chip named, without a device.
// kExitOk with the verdict in `result`, or the usage error after saying why.
int CheckForChip(const CheckArgs &a, CheckResult &result)
{
    if (a.embedded) {
        SayError().as(MessageCode::Usage) << "--chip checks a FILE; --embedded is compared with a device";
        return kExitUsage;
    }
    ChipChoice chip;
    std::string error;
    if (!ParseChipChoice(a.chip, chip, error)) {
        SayError().as(MessageCode::Usage) << "--chip " << a.chip << ": " << error;
        return kExitUsage;
    }
    const FileCheckReport report = CheckFirmwareFile(a.file, chip);
    const std::string text = FileCheckText(report);
    if (report.outcome == FileCheckOutcome::Unreadable) {
        // One line: "cannot read FILE: why".
        SayError().as(MessageCode::Usage) << text.substr(0, text.find('\n'));
        return kExitUsage;
    }
    result.code = report.outcome == FileCheckOutcome::Fits ? kExitOk : kExitFailed;
    AddFileCheck(result.document, a.file, chip, report);
    if (!a.json)
        std::cout << text;
    return kExitOk;
}

// The first bytes of the image compared with a device: the built-in one's or
// the file's. kExitOk, or the exit code after saying why there are none.
int ReadImageHeader(const CheckArgs &a, std::uint8_t (&header)[32])
{
    if (a.embedded) {
        if (LoadUpdateImage(header, 0, sizeof header) == 0) {
            SayError().as(MessageCode::Failed) << "the program carries no built-in update image";
            return kExitFailed;
        }
        return kExitOk;
    }
    std::vector<std::uint8_t> head;
    std::uint64_t length = 0;
    std::string error;
    if (!ReadFirmwareFileHead(a.file.c_str(), sizeof header, head, &length, &error)) {
        SayError().as(MessageCode::Usage) << "cannot read " << a.file << ": " << error;
        return kExitUsage;
    }
    if (!head.empty()) // an empty file has no bytes (and data() may be null)
        std::memcpy(header, head.data(), std::min(head.size(), sizeof header));
    return kExitOk;
}

// The checks Load File applies on the bridge at `path` (the running
// firmware's verdict of codes 15-18 included), and what `update FILE` does
// with it, decided where it decides it: that is the answer (and the exit
// status) here. Returns the bridge's chip type code.
std::uint8_t CheckFileOnBridge(const CheckArgs &a, const std::string &path, CheckResult &result)
{
    const std::uint16_t packed = IdentifyChip(path);
    ChipIdentity identity;
    identity.ChipTypeCode = IdentifiedType(packed);
    identity.ChipSubRevision = IdentifiedRevision(packed);
    const LoadCheck load = CheckFileForBridge(a.file, identity, path);
    const bool accepted = load.result == LoadResult::Accepted;
    std::string why = LoadCheckText(load);
    result.document["loadFile"] = {{"typeCode", identity.ChipTypeCode},
                                   {"accepted", accepted},
                                   {"reason", accepted ? nlohmann::json() : nlohmann::json(why)}};
    if (!a.json)
        std::cout << "Load File on " << path << " (code " << int(identity.ChipTypeCode)
                  << "): " << (accepted ? "accepted" : "refused: " + why) << "\n";
    const UpdateVerdict verdict = DeviceVerdict(a.file);
    result.document["update"] = {
        {"action", verdict.action},
        {"reason", verdict.reason.empty() ? nlohmann::json() : nlohmann::json(verdict.reason)},
        {"refusal", RefusalJson(verdict.refusal)},
        {"layout", LayoutJson(verdict.layout)},
        {"from", verdict.from.empty() ? nlohmann::json() : nlohmann::json(verdict.from)},
        {"to", verdict.to.empty() ? nlohmann::json() : nlohmann::json(verdict.to)}};
    if (!a.json)
        std::cout << "update " << a.file << ": " << verdict.text << "\n";
    if (result.code == kExitOk)
        result.code = verdict.exitCode;
    return identity.ChipTypeCode;
}

// The one-button face's verdict on the image for the bridge at `path`; with
// --embedded, that is the answer (and the exit status).
void CheckOneButtonFace(CliContext &ctx, const CheckArgs &a, const std::string &path,
                        const std::uint8_t (&header)[32], CheckResult &result)
{
    Offer offer = OneButtonOffer(path, header);
    // A half-written flash may already report the image's version: an
    // open journal entry for the built-in image says the update is not done.
    if (a.embedded && offer.verdict == "same version") {
        const std::optional<JournalEntry> open = OpenJournalEntry(BridgeJournalKey(path));
        if (open && !open->builtIn.empty())
            offer = {kExitOk, "unfinished",
                     "unfinished: " + NextStepFor(BridgeRuns::Firmware, -1, open,
                                                  static_cast<std::uint8_t>(open->chipCode))
                                          .warning};
    }
    if (offer.exitCode == kExitFailed && offer.verdict == "unreadable")
        ReportAccessProblem(ctx.runtime);
    result.document["image"] = a.embedded ? "built-in " + BuiltInImageVersion() : a.file;
    result.document["device"] = path;
    result.document["oneButton"] = {{"verdict", offer.verdict}, {"text", offer.text}};
    if (!a.json)
        std::cout << "one-button face: " << offer.text << "\n";
    if (a.embedded)
        result.code = offer.exitCode;
}

// The image compared with the device given: kExitOk with the verdicts in
// `result`, or the exit code after saying why nothing was compared.
int CheckOnDevice(CliContext &ctx, const CheckArgs &a, CheckResult &result)
{
    std::uint8_t header[32] = {};
    if (const int rc = ReadImageHeader(a, header); rc != kExitOk)
        return rc;
    std::string path;
    if (!ctx.attachDevice(path))
        return kExitNoDevice;
    std::uint8_t typeCode = 0;
    if (!a.embedded)
        typeCode = CheckFileOnBridge(a, path, result);
    // The one-button face takes no file: for a file its verdict is said on
    // its own bridges only, and the update's verdict above stays the answer.
    if (!a.embedded && typeCode != kOneButtonChipType) {
        result.document["image"] = a.file;
        result.document["device"] = path;
        return kExitOk;
    }
    CheckOneButtonFace(ctx, a, path, header, result);
    return kExitOk;
}

int RunCheck(CliContext &ctx, const CheckArgs &a)
{
    const bool device = !ctx.device.empty() || ctx.simulation != nullptr;
    if (const int rc = CheckUsage(a, device); rc != kExitOk)
        return rc;
    CheckResult result;
    if (!a.chip.empty())
        if (const int rc = CheckForChip(a, result); rc != kExitOk)
            return rc;
    if (device)
        if (const int rc = CheckOnDevice(ctx, a, result); rc != kExitOk)
            return rc;
    if (a.json)
        std::cout << JsonText(result.document);
    return result.code;
}

} // namespace

void RegisterCheckCommand(CLI::App &app, CliContext &ctx)
{
    auto args = std::make_shared<CheckArgs>();
    auto *cmd = app.add_subcommand("check", "Tell whether a firmware file fits a chip type (exit 0 fits, 1 "
                                            "not) and, with a device, whether the one-button face offers it");
    cmd->add_option("FILE", args->file, "Firmware file")->type_name("FILE");
    cmd->add_option(
           "--chip", args->chip,
           "Chip type code (0-255) or series name, optionally with :REV, the sub-revision (default 0)")
        ->type_name("CODE");
    cmd->add_flag("--embedded", args->embedded,
                  "Compare the built-in update image with the device's firmware instead of a FILE");
    cmd->add_flag("--json", args->json, "Print the result as JSON (UTF-8)");
    cmd->callback([&ctx, args] { ctx.action = [&ctx, args] { return RunCheck(ctx, *args); }; });
}

} // namespace brigant::cli

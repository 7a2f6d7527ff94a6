#include "rehearse/rehearsal.h"

#include "app/bridge_state.h"
#include "app/device_list.h"
#include "app/installed_services.h"
#include "app/one_button_run.h"
#include "app/quiet_host.h"
#include "app/recover_bridge.h"
#include "app/run_dispatch.h"
#include "app/settings.h"
#include "app/update_journal.h"
#include "app/write_guard.h"
#include "common/clock.h"
#include "common/hex.h"
#include "image/chip_types.h"
#include "sim/recorded_twin.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <algorithm>
#include <cstdio>

namespace brigant
{

std::vector<StoreChange> ChangedSectors(const std::vector<std::uint8_t> &before,
                                        const std::vector<std::uint8_t> &after)
{
    std::vector<StoreChange> changes;
    const std::size_t size = std::min(before.size(), after.size());
    for (std::size_t at = 0; at < size; at += kPlanSector) {
        const std::size_t end = std::min(size, at + kPlanSector);
        const auto from = static_cast<std::ptrdiff_t>(at), to = static_cast<std::ptrdiff_t>(end);
        if (std::equal(before.begin() + from, before.begin() + to, after.begin() + from))
            continue;
        const bool blank =
            std::all_of(after.begin() + from, after.begin() + to, [](std::uint8_t b) { return b == 0xFF; });
        const auto kind = blank ? StoreChange::Kind::Erased : StoreChange::Kind::Written;
        if (!changes.empty() && changes.back().kind == kind && changes.back().end == at)
            changes.back().end = end;
        else
            changes.push_back({kind, at, end});
    }
    return changes;
}

namespace
{

// Counts what reaches the twin.
class CountingBackend final : public ScsiBackend
{
  public:
    explicit CountingBackend(ScsiBackend &inner) : inner_(inner) {}
    std::uint64_t commands = 0;
    std::uint64_t dataOut = 0;
    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override
    {
        ++commands;
        if (cmd.direction == DataDirection::Out)
            ++dataOut;
        return inner_.execute(path, cmd);
    }

  private:
    ScsiBackend &inner_;
};

// The twin's message boxes: nobody sees them; the first error is kept.
class QuietUi final : public UiServices
{
  public:
    void messageBox(const std::string &text, const std::string &title, MessageKind kind) override
    {
        (void)title;
        if (kind == MessageKind::Error && firstError.empty())
            firstError = text;
    }
    void processMessages() override {}
    std::string firstError;
};

RehearsalEnd EndOf(const RunOutcome &outcome)
{
    if (outcome.ok())
        return RehearsalEnd::Written;
    if (outcome.result == RunOutcome::Result::Refused && !outcome.deviceUnanswered)
        return RehearsalEnd::Refused;
    return RehearsalEnd::Failed;
}

// The write of `request` on the twin at `path`, identified as `state`.
void RunOnTwin(const RehearsalRequest &request, const ListedBridge &listed, int candidateCount,
               const BridgeState &state, QuietHost &host, RehearsalPlan &plan)
{
    INI_STATE settings;
    ReadSettings(settings);
    const DeviceEntry &entry = listed.entry;
    const std::string &path = entry.path;
    const std::uint8_t code = state.chip.ChipTypeCode;
    const SelectedBridge &bridge = state.bridge;
    RunOutcome outcome;
    switch (request.verb) {
    case RehearsedVerb::Update: {
        if (!bridge.supported) {
            plan.end = RehearsalEnd::NotUpdatable;
            plan.reason = "this bridge cannot be updated: chip type code " + std::to_string(code);
            return;
        }
        PlanRequest asked;
        asked.file = request.file;
        asked.includeNvram = request.includeNvram;
        asked.readWriteBuffer = request.readWriteBuffer;
        asked.versions = request.versions;
        asked.changedOnly = request.changedOnly;
        asked.run = VerbRunRequest(state, settings, candidateCount, RunMode::Update, request.file,
                                   request.includeNvram);
        // The twin's flash, read as the update reads it before its question.
        std::optional<StoreRead> store;
        asked.transfer = host.transfer();
        asked.readStore = [&]() -> const std::vector<std::uint8_t> * {
            if (!store) {
                QuietHost reader(host.transfer());
                store = ReadStore(asked.run, entry.bus, path, reader, bridge.series, false);
            }
            return store->bytes.empty() ? nullptr : &store->bytes;
        };
        plan.update = PlanUpdate(state, entry, asked);
        plan.settings = plan.update->settings;
        if (!plan.update->writes()) {
            plan.end =
                plan.update->refusal == PlanRefusal::None ? RehearsalEnd::NothingToDo : RehearsalEnd::Refused;
            plan.reason = plan.update->reason;
            return;
        }
        ApplyChangedOnly(asked.run, *plan.update);
        outcome = RunRequested(asked.run, entry.bus, path, host);
        break;
    }
    case RehearsedVerb::Erase: {
        if (!bridge.supported) {
            plan.end = RehearsalEnd::NotUpdatable;
            plan.reason = "this bridge cannot be updated: chip type code " + std::to_string(code);
            return;
        }
        if (request.includeNvram && !bridge.nvramOffered) {
            plan.end = RehearsalEnd::Refused;
            plan.reason = "--include-nvram: this bridge has no 4K NVRAM area to include";
            return;
        }
        const RunRequest req =
            VerbRunRequest(state, settings, candidateCount, RunMode::EraseOnly, "", request.includeNvram);
        plan.settings = DecideSettings(state.chip, entry.bus, req, bridge.nvramOffered);
        outcome = RunRequested(req, entry.bus, path, host);
        break;
    }
    case RehearsedVerb::EmbeddedUpdate: {
        const OneButtonDecision decided = DecideOneButton(entry, code, false);
        plan.oneButton = decided.state;
        if (!decided.buttonEnabled || decided.state == OneButtonState::RunsFromRom) {
            plan.end =
                decided.state == OneButtonState::Current ? RehearsalEnd::NothingToDo
                : decided.state == OneButtonState::NoDevice || decided.state == OneButtonState::NotSupported
                    ? RehearsalEnd::NotUpdatable
                    : RehearsalEnd::Failed;
            plan.reason = "the built-in image is not offered for this bridge";
            return;
        }
        const RunRequest req = VerbRunRequest(state, settings, candidateCount, RunMode::Update, "", false);
        outcome =
            RunWatched(host, [&](RunHost &watched) { return RunEmbeddedUpdate(req, watched, path, [] {}); });
        break;
    }
    case RehearsedVerb::Recover: {
        if (!ChipTypeOf(code).bufferPath) {
            plan.end = RehearsalEnd::NotUpdatable;
            plan.reason = "recover brings back code 15-18 bridges; " + path + " is code " +
                          std::to_string(code) + " (" + bridge.series + ")";
            return;
        }
        const RecoverPlan recover = PlanRecover(path, code, request.file);
        if (recover.refusal != RecoverPlan::Refusal::None) {
            plan.end = recover.refusal == RecoverPlan::Refusal::NothingToRecover ? RehearsalEnd::NothingToDo
                                                                                 : RehearsalEnd::Refused;
            plan.reason = recover.reason;
            return;
        }
        RunRequest req;
        req.readWriteBuffer = true;
        req.chipResetsItself = settings.ChipReset == 1;
        req.chip = state.chip;
        req.candidateCount = candidateCount;
        const RecoverResult result = RecoverBridge(
            req, host, path, recover, [&] { return host.returnedAt.empty() ? path : host.returnedAt; });
        plan.end = result.ok() ? RehearsalEnd::Written : RehearsalEnd::Failed;
        if (!result.ok())
            plan.reason = RecoverFailureText(result);
        return;
    }
    }
    plan.end = EndOf(outcome);
    if (!outcome.ok())
        plan.reason = !outcome.reason.empty() ? outcome.reason : host.reason;
}

} // namespace

RehearsalPlan RehearseOnTwin(const Recording &recording, const RehearsalRequest &request)
{
    RehearsalPlan plan;
    plan.device = recording.path;
    if (!recording.supported) {
        plan.end = RehearsalEnd::NotUpdatable;
        plan.reason = recording.path + ": the tool does not update this bridge";
        return plan;
    }
    plan.startedBlank = recording.runsFromRom && !recording.imageRead();
    if (!recording.imageRead() && !plan.startedBlank) {
        plan.reason = (recording.imageNotRead.empty() ? std::string("the firmware could not be read")
                                                      : recording.imageNotRead) +
                      "; without it there is no twin to rehearse on";
        return plan;
    }

    // The twin, alone on a simulated bus of its own, on virtual time.
    VirtualClock clock;
    sim::Simulation simulation(clock);
    std::string error;
    const std::string twinPath =
        simulation.addRecording(RecordingJson(recording).dump(), "the recording of " + recording.path, error);
    if (twinPath.empty()) {
        plan.reason = "no twin of " + recording.path + ": " + error;
        return plan;
    }
    plan.twinMade = true;
    sim::SimBridge &twin = *simulation.bridges().front();
    plan.onFlash = twin.identity().flashAttached;
    const std::vector<std::uint8_t> before = sim::FirmwareStore(twin);
    plan.storeSize = before.size();
    sim::SimDiskEnumerator disks(simulation);
    CountingBackend counted(simulation.backend());
    QuietUi ui;
    {
        InstalledServices services;
        services.clock(&clock)
            .backend(&counted)
            .diskEnumerator(&disks)
            .ui(&ui)
            .commandTrace(nullptr)
            .commandDataTrace(nullptr)
            .debugSink(nullptr);
        ScopedJournalOff journalOff;
        const BridgeList list = DiscoverBridges();
        if (list.listed.empty()) {
            plan.reason = "the twin of " + recording.path + " is not listed";
            plan.end = RehearsalEnd::Failed;
        } else {
            ListedBridge listed = list.listed.front();
            QuietHost probes;
            IdentifyOptions options;
            options.repairBank = false; // as the verbs identify: look first
            const BridgeState state = IdentifyBridge(probes, listed.entry, options);
            QuietHost host(probes.transfer());
            RunOnTwin(request, listed, list.candidateCount, state, host, plan);
            if (plan.end != RehearsalEnd::Written && plan.reason.empty())
                plan.reason = !host.firstError.empty() ? host.firstError : ui.firstError;
        }
    }
    plan.changes = ChangedSectors(before, sim::FirmwareStore(twin));
    plan.commands = counted.commands;
    plan.commandsWithDataOut = counted.dataOut;
    plan.expectedMs = clock.nowMs();
    return plan;
}

std::string PlanSettingsText(SettingsFate fate)
{
    switch (fate) {
    case SettingsFate::Kept:
        return "kept (the 4K NVRAM area is not written)";
    case SettingsFate::KeptFileHasNone:
        return "kept (the file carries no settings area of its own)";
    case SettingsFate::Erased:
        return "erased with the rest";
    case SettingsFate::Replaced:
        return "replaced by the file's";
    case SettingsFate::WrittenAsIs:
    case SettingsFate::NotApplicable:
        break;
    }
    return "none: this bridge keeps no separate settings area";
}

namespace
{

std::string SizeText(std::uint64_t bytes)
{
    return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " bytes";
}

std::string Seconds(std::uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%01llu s", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000 / 100));
    return text;
}

const char *EndText(RehearsalEnd end)
{
    switch (end) {
    case RehearsalEnd::Written:
        return "success";
    case RehearsalEnd::NothingToDo:
        return "nothing to do";
    case RehearsalEnd::Refused:
        return "refused";
    case RehearsalEnd::NotUpdatable:
        return "not updatable";
    case RehearsalEnd::Failed:
        break;
    }
    return "FAILED";
}

} // namespace

std::vector<std::string> PlanLines(const RehearsalPlan &plan)
{
    const char *store = plan.onFlash ? "flash" : "disk's firmware area";
    std::vector<std::string> lines;
    lines.push_back("rehearsal plan for " + plan.device + " (" + SizeText(plan.storeSize) + " of " + store +
                    "):");
    for (const StoreChange &c : plan.changes)
        lines.push_back(std::string("  ") + (c.kind == StoreChange::Kind::Erased ? "erased" : "written") +
                        ": " + HexNumber(c.start) + "-" + HexNumber(c.end - 1) + " (" +
                        SizeText(c.end - c.start) + ")");
    if (plan.changes.empty())
        lines.push_back(std::string("  nothing in the ") + store + " changes");
    lines.push_back("  settings: " + PlanSettingsText(plan.settings));
    lines.push_back("  commands: " + std::to_string(plan.commands) + " (" +
                    std::to_string(plan.commandsWithDataOut) + " with data out)");
    lines.push_back("  expected duration: " + Seconds(plan.expectedMs) + " (the twin's simulated time)");
    lines.push_back(std::string("  outcome: ") + EndText(plan.end) +
                    (plan.reason.empty() ? "" : ": " + plan.reason));
    return lines;
}

} // namespace brigant

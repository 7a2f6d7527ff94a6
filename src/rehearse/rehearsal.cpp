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

// What a rehearsed verb works with: the request, the twin's bridge as
// listed and identified, the host, the settings, and the plan it fills in.
struct TwinRun {
    const RehearsalRequest &request;
    const DeviceEntry &entry;
    int candidateCount;
    const BridgeState &state;
    QuietHost &host;
    RehearsalPlan &plan;
    INI_STATE settings;
};

// Ends the rehearsal before any write: nullopt, for the verb to return.
std::optional<RunOutcome> EndBefore(RehearsalPlan &plan, RehearsalEnd end, std::string reason)
{
    plan.end = end;
    plan.reason = std::move(reason);
    return std::nullopt;
}

std::string NotUpdatableText(const BridgeState &state)
{
    return "this bridge cannot be updated: chip type code " + std::to_string(state.chip.ChipTypeCode);
}

// `update FILE`: planned as the verb plans it, then run. Nullopt: the plan
// ended the rehearsal.
std::optional<RunOutcome> RehearseUpdate(TwinRun &t)
{
    const SelectedBridge &bridge = t.state.bridge;
    if (!bridge.supported)
        return EndBefore(t.plan, RehearsalEnd::NotUpdatable, NotUpdatableText(t.state));
    PlanRequest asked;
    asked.file = t.request.file;
    asked.includeNvram = t.request.includeNvram;
    asked.readWriteBuffer = t.request.readWriteBuffer;
    asked.versions = t.request.versions;
    asked.changedOnly = t.request.changedOnly;
    asked.run = VerbRunRequest(t.state, t.settings, t.candidateCount, RunMode::Update, t.request.file,
                               t.request.includeNvram);
    // The twin's flash, read as the update reads it before its question.
    std::optional<StoreRead> store;
    asked.transfer = t.host.transfer();
    asked.readStore = [&]() -> const std::vector<std::uint8_t> * {
        if (!store) {
            QuietHost reader(t.host.transfer());
            store = ReadStore(asked.run, t.entry.bus, t.entry.path, reader, bridge.series, false);
        }
        return store->bytes.empty() ? nullptr : &store->bytes;
    };
    t.plan.update = PlanUpdate(t.state, t.entry, asked);
    t.plan.settings = t.plan.update->settings;
    if (!t.plan.update->writes())
        return EndBefore(t.plan,
                         t.plan.update->refusal == PlanRefusal::None ? RehearsalEnd::NothingToDo
                                                                     : RehearsalEnd::Refused,
                         t.plan.update->reason);
    ApplyChangedOnly(asked.run, *t.plan.update);
    return RunRequested(asked.run, t.entry.bus, t.entry.path, t.host);
}

// `erase`.
std::optional<RunOutcome> RehearseErase(TwinRun &t)
{
    const SelectedBridge &bridge = t.state.bridge;
    if (!bridge.supported)
        return EndBefore(t.plan, RehearsalEnd::NotUpdatable, NotUpdatableText(t.state));
    if (t.request.includeNvram && !bridge.nvramOffered)
        return EndBefore(t.plan, RehearsalEnd::Refused,
                         "--include-nvram: this bridge has no 4K NVRAM area to include");
    const RunRequest req =
        VerbRunRequest(t.state, t.settings, t.candidateCount, RunMode::EraseOnly, "", t.request.includeNvram);
    t.plan.settings = DecideSettings(t.state.chip, t.entry.bus, req, bridge.nvramOffered);
    return RunRequested(req, t.entry.bus, t.entry.path, t.host);
}

// The one-button update with the built-in image.
std::optional<RunOutcome> RehearseEmbedded(TwinRun &t)
{
    const OneButtonDecision decided = DecideOneButton(t.entry, t.state.chip.ChipTypeCode, false);
    t.plan.oneButton = decided.state;
    if (!decided.buttonEnabled || decided.state == OneButtonState::RunsFromRom)
        return EndBefore(t.plan,
                         decided.state == OneButtonState::Current ? RehearsalEnd::NothingToDo
                         : decided.state == OneButtonState::NoDevice ||
                                 decided.state == OneButtonState::NotSupported
                             ? RehearsalEnd::NotUpdatable
                             : RehearsalEnd::Failed,
                         "the built-in image is not offered for this bridge");
    const RunRequest req = VerbRunRequest(t.state, t.settings, t.candidateCount, RunMode::Update, "", false);
    const std::string &path = t.entry.path;
    return RunWatched(t.host, [&](RunHost &watched) { return RunEmbeddedUpdate(req, watched, path, [] {}); });
}

// `recover`: it ends the rehearsal itself (nullopt always).
std::optional<RunOutcome> RehearseRecover(TwinRun &t)
{
    const std::string &path = t.entry.path;
    const std::uint8_t code = t.state.chip.ChipTypeCode;
    if (!ChipTypeOf(code).bufferPath)
        return EndBefore(t.plan, RehearsalEnd::NotUpdatable,
                         "recover brings back code 15-18 bridges; " + path + " is code " +
                             std::to_string(code) + " (" + t.state.bridge.series + ")");
    const RecoverPlan recover = PlanRecover(path, code, t.request.file);
    if (recover.refusal != RecoverPlan::Refusal::None)
        return EndBefore(t.plan,
                         recover.refusal == RecoverPlan::Refusal::NothingToRecover ? RehearsalEnd::NothingToDo
                                                                                   : RehearsalEnd::Refused,
                         recover.reason);
    RunRequest req;
    req.readWriteBuffer = true;
    req.chipResetsItself = t.settings.ChipReset == 1;
    req.chip = t.state.chip;
    req.candidateCount = t.candidateCount;
    QuietHost &host = t.host;
    const RecoverResult result = RecoverBridge(
        req, host, path, recover, [&] { return host.returnedAt.empty() ? path : host.returnedAt; });
    return EndBefore(t.plan, result.ok() ? RehearsalEnd::Written : RehearsalEnd::Failed,
                     result.ok() ? std::string() : RecoverFailureText(result));
}

// The write of `request` on the twin listed as `listed`, identified as `state`.
void RunOnTwin(const RehearsalRequest &request, const ListedBridge &listed, int candidateCount,
               const BridgeState &state, QuietHost &host, RehearsalPlan &plan)
{
    TwinRun t{request, listed.entry, candidateCount, state, host, plan, {}};
    ReadSettings(t.settings);
    std::optional<RunOutcome> outcome;
    switch (request.verb) {
    case RehearsedVerb::Update:
        outcome = RehearseUpdate(t);
        break;
    case RehearsedVerb::Erase:
        outcome = RehearseErase(t);
        break;
    case RehearsedVerb::EmbeddedUpdate:
        outcome = RehearseEmbedded(t);
        break;
    case RehearsedVerb::Recover:
        outcome = RehearseRecover(t);
        break;
    }
    if (!outcome)
        return;
    plan.end = EndOf(*outcome);
    if (!outcome->ok())
        plan.reason = !outcome->reason.empty() ? outcome->reason : host.reason;
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

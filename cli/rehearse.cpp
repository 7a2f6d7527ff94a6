// --rehearse: the device is recorded (read-only), and the write rehearsed on
// its twin, on virtual time, with no question and no backup. The plan it
// leaves (what changed in the twin's flash, the settings, the commands, the
// time, the outcome) is shown; the real write follows only when the
// rehearsal succeeded.
#include "cli/cli_context.h"
#include "cli/json_report.h"
#include "cli/say.h"
#include "device/transport.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace brigant::cli
{

namespace
{

const char *VerbName(RehearsedVerb verb)
{
    switch (verb) {
    case RehearsedVerb::Erase:
        return "erase";
    case RehearsedVerb::EmbeddedUpdate:
        return "update --embedded";
    case RehearsedVerb::Recover:
        return "recover";
    case RehearsedVerb::Update:
        break;
    }
    return "update";
}

// The exit status the verb itself ends with where its rehearsal ended so.
int ExitOf(RehearsalEnd end)
{
    switch (end) {
    case RehearsalEnd::Written:
        return kExitOk;
    case RehearsalEnd::NothingToDo:
        return kExitNothingToDo;
    case RehearsalEnd::Refused:
        return kExitUsage;
    case RehearsalEnd::NotUpdatable:
        return kExitNoDevice;
    case RehearsalEnd::Failed:
        break;
    }
    return kExitFailed;
}

} // namespace

int RecordDevice(CliContext &ctx, int index, Recording &recording)
{
    if (!TransportBackend()) {
        std::string path;
        if (!ctx.attachDevice(path))
            return kExitNoDevice;
    }
    CommandRecorder recorder;
    RecordTarget target;
    if (const int rc = RecordTargetOf(ctx, index, target); rc != kExitOk)
        return rc;
    recording = RecordBridge(recorder, target);
    if (!recording.failure.empty()) {
        if (!ReportAccessProblem(ctx.runtime))
            SayError().as(MessageCode::Failed) << recording.failure;
        return kExitFailed;
    }
    return kExitOk;
}

int Rehearse(CliContext &ctx, int index, const RehearsalRequest &request)
{
    std::cout << "rehearsal: recording the device (read-only)\n" << std::flush;
    Recording recording;
    if (const int rc = RecordDevice(ctx, index < 0 ? 0 : index, recording); rc != kExitOk)
        return rc;
    const std::string &path = recording.path;
    if (!recording.supported) {
        SayError().as(MessageCode::NotSupported)
            << path << ": the tool does not update this bridge; nothing was written";
        return kExitNoDevice;
    }
    if (recording.runsFromRom && !recording.imageRead())
        std::cout << "rehearsal: the bridge runs from its ROM and its flash cannot be read: the twin's flash "
                     "starts blank\n";
    const char *verb = VerbName(request.verb);
    std::cout << "rehearsal: " << verb << " on the device's twin\n" << std::flush;
    const RehearsalPlan plan = RehearseOnTwin(recording, request);
    if (!plan.twinMade) {
        SayError().as(MessageCode::Failed) << "--rehearse: " << plan.reason << "; nothing was written";
        return kExitFailed;
    }
    for (const std::string &line : PlanLines(plan))
        std::cout << line << "\n";
    nlohmann::json ranges = nlohmann::json::array();
    for (const StoreChange &c : plan.changes)
        ranges.push_back({{"kind", c.kind == StoreChange::Kind::Erased ? "erased" : "written"},
                          {"start", c.start},
                          {"end", c.end}});
    const int rc = ExitOf(plan.end);
    ReportField("rehearsal", {{"device", path},
                              {"ranges", ranges},
                              {"settings", PlanSettingsText(plan.settings)},
                              {"commands", plan.commands},
                              {"commandsWithDataOut", plan.commandsWithDataOut},
                              {"expectedMs", plan.expectedMs},
                              {"exitStatus", rc},
                              {"refusal", plan.update ? RefusalJson(plan.update->refusal) : nlohmann::json()},
                              {"layout", plan.update ? LayoutJson(plan.update->layout) : nlohmann::json()}});
    if (rc == kExitOk)
        return kExitOk;
    if (plan.end == RehearsalEnd::NothingToDo) {
        std::cout << "rehearsal: nothing to do: " << plan.reason << "; nothing was written to " << path
                  << "\n";
        return rc;
    }
    SayError().as(MessageCode::Failed)
        << "the rehearsal of " << verb << " failed" << (plan.reason.empty() ? "" : ": " + plan.reason)
        << "; nothing was written to " << path;
    return rc;
}

int WithRehearsal(CliContext &ctx, int index, const RehearsalRequest &request,
                  const std::function<int()> &run)
{
    if (ctx.write.rehearse)
        if (const int rc = Rehearse(ctx, index, request); rc != kExitOk)
            return rc;
    return run();
}

} // namespace brigant::cli

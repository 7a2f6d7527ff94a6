// --rehearse: the device is recorded (read-only), its twin is built from the
// recording, and the same verb runs on the twin, on virtual time, with its
// question answered and no backup. The plan it leaves (what changed in the
// twin's flash, the settings, the commands, the time, the outcome) is shown;
// the real write follows only when the rehearsal succeeded.
#include "app/installed_services.h"
#include "app/update_journal.h"
#include "cli/captured_stream.h"
#include "cli/cli_context.h"
#include "cli/json_report.h"
#include "cli/say.h"
#include "common/clock.h"
#include "common/hex.h"
#include "device/scsi_backend.h"
#include "device/transport.h"
#include "sim/recorded_twin.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <sstream>

namespace brigant::cli
{

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

// A changed stretch of a firmware store, in whole 4 KiB sectors: left blank
// (erased) or holding data (written).
constexpr std::size_t kPlanSector = 0x1000;
struct StoreChange {
    enum class Kind { Erased, Written } kind;
    std::size_t start = 0, end = 0; // [start, end)
};

std::vector<StoreChange> ChangedSectors(const std::vector<std::uint8_t> &before,
                                        const std::vector<std::uint8_t> &after)
{
    std::vector<StoreChange> changes;
    const std::size_t size = std::min(before.size(), after.size());
    for (std::size_t at = 0; at < size; at += kPlanSector) {
        const std::size_t end = std::min(size, at + kPlanSector);
        if (std::equal(before.begin() + static_cast<std::ptrdiff_t>(at),
                       before.begin() + static_cast<std::ptrdiff_t>(end),
                       after.begin() + static_cast<std::ptrdiff_t>(at)))
            continue;
        const bool blank = std::all_of(after.begin() + static_cast<std::ptrdiff_t>(at),
                                       after.begin() + static_cast<std::ptrdiff_t>(end),
                                       [](std::uint8_t b) { return b == 0xFF; });
        const auto kind = blank ? StoreChange::Kind::Erased : StoreChange::Kind::Written;
        if (!changes.empty() && changes.back().kind == kind && changes.back().end == at)
            changes.back().end = end;
        else
            changes.push_back({kind, at, end});
    }
    return changes;
}

} // namespace

int Rehearse(CliContext &ctx, int index, const char *verb, const std::function<int(int index)> &run)
{
    const int at = index < 0 ? 0 : index;
    std::cout << "rehearsal: recording the device (read-only)\n" << std::flush;
    nlohmann::json recording;
    int rc;
    {
        ScopedReportPause pause;
        rc = RecordDevice(ctx, at, recording);
    }
    if (rc != kExitOk)
        return rc;
    const std::string path = recording.at("device").value("path", "");
    const nlohmann::json &image = recording.value("image", nlohmann::json());
    if (!recording.at("identity").value("chip", nlohmann::json::object()).value("supported", false)) {
        SayError() << path << ": the tool does not update this bridge; nothing was written";
        return kExitNoDevice;
    }
    const bool fromRom = recording.at("identity").value("runsFromRom", false);
    if (fromRom && !(image.is_object() && image.contains("segments")))
        std::cout << "rehearsal: the bridge runs from its ROM and its flash cannot be read: the twin's flash "
                     "starts blank\n";
    else if (!image.is_object() || !image.contains("segments")) {
        SayError() << "--rehearse: "
                   << (image.is_object() ? image.value("notRead", "the firmware could not be read")
                                         : std::string("the firmware could not be read"))
                   << "; without it there is no twin to rehearse on: nothing was written";
        return kExitFailed;
    }

    // The twin, alone on a simulated bus of its own, on virtual time.
    VirtualClock clock;
    sim::Simulation simulation(clock);
    std::string error;
    const std::string twinPath = simulation.addRecording(recording.dump(), "the recording of " + path, error);
    if (twinPath.empty()) {
        SayError() << "--rehearse: no twin of " << path << ": " << error << "; nothing was written";
        return kExitFailed;
    }
    sim::SimBridge &twin = *simulation.bridges().front();
    const std::vector<std::uint8_t> before = sim::FirmwareStore(twin);
    sim::SimDiskEnumerator disks(simulation);
    CountingBackend counted(simulation.backend());

    std::cout << "rehearsal: " << verb << " on the device's twin\n" << std::flush;
    int twinRc;
    std::string twinOut, twinErr, why;
    RunFacts facts;
    {
        InstalledServices services;
        services.clock(&clock)
            .backend(&counted)
            .diskEnumerator(&disks)
            .commandTrace(nullptr)
            .commandDataTrace(nullptr)
            .debugSink(nullptr);
        ScopedJournalOff journalOff;
        ScopedReportPause pause;
        // Only what the twin's run needs changes (the running action stays as it is).
        struct Saved {
            CliContext &ctx;
            std::string device = ctx.device;
            runtime::Runtime *runtime = ctx.runtime;
            sim::Simulation *simulation = ctx.simulation;
            DeviceChangeSource *changes = ctx.changes;
            std::shared_ptr<ProgressView> view = ctx.view;
            WriteOptions write = ctx.write;
            std::function<bool(std::string &)> attach = ctx.attachDevice;
            ~Saved()
            {
                ctx.device = device;
                ctx.runtime = runtime;
                ctx.simulation = simulation;
                ctx.changes = changes;
                ctx.view = view;
                ctx.write = write;
                ctx.attachDevice = attach;
            }
        } saved{ctx};
        ctx.device.clear();
        ctx.runtime = nullptr;
        ctx.simulation = &simulation;
        ctx.changes = &disks;
        ctx.view = nullptr;
        ctx.write.yes = true;
        ctx.write.noBackup = true;
        ctx.lastRun = {};
        ctx.attachDevice = [twinPath](std::string &p) {
            p = twinPath;
            return true;
        };
        CapturedStream out(std::cout), err(std::cerr);
        MessageLog messages;
        // The twin is alone on its bus (an index left to its default stays so).
        twinRc = run(index < 0 ? index : 0);
        if (ctx.view)
            ctx.view->endLine();
        twinOut = out.text();
        twinErr = err.text();
        why = messages.first(Severity::Error);
        facts = ctx.lastRun;
    }
    const std::vector<std::uint8_t> after = sim::FirmwareStore(twin);
    const std::vector<StoreChange> changes = ChangedSectors(before, after);

    // The plan.
    const bool ok = twinRc == kExitOk;
    const char *store = twin.identity().flashAttached ? "flash" : "disk's firmware area";
    std::cout << "rehearsal plan for " << path << " (" << SizeText(before.size()) << " of " << store
              << "):\n";
    nlohmann::json ranges = nlohmann::json::array();
    for (const StoreChange &c : changes) {
        const char *kind = c.kind == StoreChange::Kind::Erased ? "erased" : "written";
        std::cout << "  " << kind << ": " << HexNumber(c.start) << "-" << HexNumber(c.end - 1) << " ("
                  << SizeText(c.end - c.start) << ")\n";
        ranges.push_back({{"kind", kind}, {"start", c.start}, {"end", c.end}});
    }
    if (changes.empty())
        std::cout << "  nothing in the " << store << " changes\n";
    std::string settings = "none: this bridge keeps no separate settings area";
    switch (facts.settings) {
    case SettingsFate::Kept:
        settings = "kept (the 4K NVRAM area is not written)";
        break;
    case SettingsFate::KeptFileHasNone:
        settings = "kept (the file carries no settings area of its own)";
        break;
    case SettingsFate::Erased:
        settings = "erased with the rest";
        break;
    case SettingsFate::Replaced:
        settings = "replaced by the file's";
        break;
    case SettingsFate::WrittenAsIs:
    case SettingsFate::NotApplicable:
        break;
    }
    std::cout << "  settings: " << settings << "\n"
              << "  commands: " << counted.commands << " (" << counted.dataOut << " with data out)\n"
              << "  expected duration: " << Seconds(clock.nowMs()) << " (the twin's simulated time)\n"
              << "  outcome: " << (ok ? "success" : "FAILED (exit " + std::to_string(twinRc) + ")") << "\n";
    ReportField("rehearsal", {{"device", path},
                              {"ranges", ranges},
                              {"settings", settings},
                              {"commands", counted.commands},
                              {"commandsWithDataOut", counted.dataOut},
                              {"expectedMs", clock.nowMs()},
                              {"exitStatus", twinRc}});
    if (ok)
        return kExitOk;

    // What the run on the twin said, then why the device is left alone.
    std::istringstream lines(twinErr + twinOut);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            std::cout << "  twin: " << line << "\n";
    SayError() << "the rehearsal of " << verb << " failed" << (why.empty() ? "" : ": " + why)
               << "; nothing was written to " << path;
    return twinRc == kExitOk ? kExitFailed : twinRc;
}

int RehearseFullToolRun(CliContext &ctx, int index, bool erase, const std::string &file, bool includeNvram,
                        bool readWriteBuffer, std::string &text, std::string &reason)
{
    CapturedStream out(std::cout), err(std::cerr);
    MessageLog messages;
    const int rc = Rehearse(ctx, index, erase ? "erase" : "update", [&](int at) {
        return FullToolVerb(ctx, erase, at, file, includeNvram, readWriteBuffer);
    });
    text = out.text();
    reason = messages.first(Severity::Error);
    return rc;
}

int RehearseBuiltInRun(CliContext &ctx, int index, std::string &text, std::string &reason)
{
    CapturedStream out(std::cout), err(std::cerr);
    MessageLog messages;
    const int rc = Rehearse(ctx, index, "update --embedded", [&](int at) { return BuiltInVerb(ctx, at); });
    text = out.text();
    reason = messages.first(Severity::Error);
    return rc;
}

int WithRehearsal(CliContext &ctx, int index, const char *verb, const std::function<int(int index)> &run)
{
    if (ctx.write.rehearse)
        if (const int rc = Rehearse(ctx, index, verb, run); rc != kExitOk)
            return rc;
    return run(index);
}

} // namespace brigant::cli

// brigant-sim-usb: one simulated bridge as a USB mass-storage device on a Linux
// USB gadget (FunctionFS, bulk-only transport). The host's own usb-storage
// driver binds to it as to a real bridge; every command it sends runs in the
// same simulator code the unit tests drive.
#include "common/clock.h"
#include "common/hex.h"
#include "functionfs.h"
#include "sim/presets.h"
#include "sim/simulation.h"
#include "sim/usb/bulk_only.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

using namespace brigant;
using namespace brigant::sim;
using namespace brigant::simusb;

namespace
{

std::atomic<bool> stopRequested{false};
std::atomic<bool> unplugRequested{false};
std::atomic<bool> plugRequested{false};

void OnSignal(int) { stopRequested = true; }
void OnUnplug(int) { unplugRequested = true; }
void OnPlug(int) { plugRequested = true; }

// Interrupts blocking endpoint I/O (no SA_RESTART) so that the main loop sees the request.
void InstallSignalHandlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = OnUnplug;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = OnPlug;
    sigaction(SIGUSR2, &sa, nullptr);
}

// Holds the reply to the next command that starts with `prefix` for `ms` milliseconds.
struct Stall {
    std::uint32_t ms = 0;
    std::vector<std::uint8_t> prefix;
    bool used = false;
};

struct Options {
    std::string preset = "generic";
    std::string ffsDir;
    std::string gadgetDir;
    std::string udc;
    std::string simState;
    std::string serial = "0000000001";
    std::vector<std::string> notReady;
    std::vector<std::string> unitAttention;
    std::vector<std::string> stalls;
    std::uint32_t reattachDelayMs = Simulation::kReattachDelayMs;
    std::uint32_t leaveDelayMs = 0;
    bool verbose = false;
};

void Log(const std::string &text)
{
    std::fprintf(stderr, "[sim-usb] %s\n", text.c_str());
    std::fflush(stderr);
}

// "N" or "N:CDB-PREFIX-HEX" of option `name`: answer CHECK CONDITION with
// the sense of `rule` to the next N matching commands.
bool ParseSenseFault(const std::string &name, const std::string &text, FaultRule &rule, std::string &error)
{
    const auto colon = text.find(':');
    const auto times = ParseNumber(text.substr(0, colon));
    std::vector<std::uint8_t> prefix;
    if (colon != std::string::npos) {
        const auto bytes = ParseHexBytes({text.substr(colon + 1)});
        if (!bytes || bytes->size() > 16) {
            error = name + ": the CDB prefix must be up to 16 hexadecimal bytes";
            return false;
        }
        prefix = *bytes;
    }
    if (!times || *times == 0 || *times > 1000000) {
        error = name + ": N must be a positive number";
        return false;
    }
    rule.kind = FaultRule::Kind::CheckCondition;
    rule.times = static_cast<int>(*times);
    rule.cdbPrefix = std::move(prefix);
    return true;
}

// "MS:CDB-PREFIX-HEX": hold the reply to the next matching command for MS milliseconds.
bool ParseStall(const std::string &text, Stall &stall, std::string &error)
{
    const auto colon = text.find(':');
    const auto ms = ParseNumber(text.substr(0, colon));
    const auto bytes = colon == std::string::npos ? std::nullopt : ParseHexBytes({text.substr(colon + 1)});
    if (!ms || *ms == 0 || *ms > 600000 || !bytes || bytes->empty() || bytes->size() > 16) {
        error = "--stall: expected MS:CDB-PREFIX, MS from 1 to 600000 and up to 16 hexadecimal bytes";
        return false;
    }
    stall.ms = static_cast<std::uint32_t>(*ms);
    stall.prefix = *bytes;
    return true;
}

std::uint16_t RevisionBcd(const std::string &revision)
{
    const auto v = ParseNumber("0x" + revision.substr(0, 4));
    return v && *v <= 0xFFFF ? static_cast<std::uint16_t>(*v) : 0x0100;
}

class Presenter
{
  public:
    Presenter(const Options &options, Simulation &simulation, const std::string &path,
              std::vector<Stall> stalls)
        : options_(options), simulation_(simulation), unit_(simulation.backend(), path),
          stalls_(std::move(stalls)),
          gadget_(options.gadgetDir, options.udc.empty() ? FirstUdc() : options.udc)
    {
        // The bridge asks to leave the bus (its reset command); the wrapper of
        // that command still goes out first, as from a real bridge.
        simulation.bridges().front()->setResetListener([this] { resetPending_ = true; });
    }

    bool start(std::string &error)
    {
        // The unit serial number (VPD page 0x80) is the USB one, as on such bridges.
        simulation_.bridges().front()->identity().serial = options_.serial;
        const BridgeIdentity &id = simulation_.bridges().front()->identity();
        if (!ffs_.open(options_.ffsDir, error))
            return false;
        ffs_.startControlThread(Log);
        if (!gadget_.setIdentity(id.usbVendorId, id.usbProductId, RevisionBcd(id.revision), id.vendor,
                                 id.product, options_.serial, error))
            return false;
        if (gadget_.udc().empty()) {
            error = "no USB device controller in /sys/class/udc";
            return false;
        }
        // Powered on: the unit attention the host's probe meets first.
        simulation_.bridges().front()->raiseUnitAttention(0x29, 0x00);
        char text[128];
        std::snprintf(text, sizeof text, "presenting %04x:%04x '%s %s' on %s", id.usbVendorId,
                      id.usbProductId, id.vendor.c_str(), id.product.c_str(), gadget_.udc().c_str());
        Log(text);
        return gadget_.attach(error);
    }

    // Serves wrappers until a stop signal; false on a failure to save state.
    bool serve()
    {
        std::uint8_t block[512];
        while (!stopRequested) {
            // A signal that comes while a read is blocked is seen only after
            // the next command; whoever sends it repeats it until it is done.
            if (unplugRequested.exchange(false) && !unplugged_) {
                if (!unplug())
                    return false;
            }
            if (plugRequested.exchange(false) && unplugged_)
                plug();
            if (unplugged_) {
                ::usleep(10000);
                continue;
            }
            const long n = ffs_.readOut(block, sizeof block);
            if (n < 0) {
                if (errno != EINTR)
                    ::usleep(10000); // disabled endpoint: the host is away or resetting
                continue;
            }
            usb::Cbw cbw;
            if (!usb::ParseCbw(block, static_cast<std::size_t>(n), cbw)) {
                Log("invalid command block wrapper of " + std::to_string(n) + " bytes: stalling until reset");
                ffs_.haltBoth();
                continue;
            }
            command(cbw);
            if (resetPending_ || gone_) {
                if (!leaveBus())
                    return false;
            }
        }
        return saveState();
    }

  private:
    void command(const usb::Cbw &cbw)
    {
        data_.assign(cbw.dataLength, 0);
        if (!cbw.dataIn && cbw.dataLength && !ffs_.readOutFully(data_.data(), cbw.dataLength)) {
            Log("data-out stage broken off");
            return;
        }
        if (!hold(cbw))
            return;
        const usb::BotResult r = unit_.run(cbw, data_.data());
        gone_ = r.deviceGone;
        if (cbw.dataIn && cbw.dataLength) {
            // A short data stage ends with a short packet; one that ends on a
            // packet boundary needs a zero-length packet to say so.
            bool ok = r.transferred == 0 || ffs_.writeIn(data_.data(), r.transferred);
            if (ok && r.transferred < cbw.dataLength && r.transferred % ffs_.inPacketSize() == 0)
                ok = ffs_.writeIn(nullptr, 0);
            if (!ok) {
                Log("data-in stage broken off");
                return;
            }
        }
        const auto csw = usb::MakeCsw(cbw.tag, r.residue, r.status);
        const bool sent = ffs_.writeIn(csw.data(), csw.size());
        if (options_.verbose || !sent) {
            static const char *const kStatus[] = {"passed", "failed", "phase error"};
            std::string text =
                (cbw.dataIn ? "in  " : "out ") + HexBytes(cbw.cdb.data(), cbw.cdbLength) +
                " len=" + std::to_string(cbw.dataLength) + " -> " + kStatus[static_cast<int>(r.status)] +
                " xfer=" + std::to_string(r.transferred) + " residue=" + std::to_string(r.residue);
            if (r.status == usb::CswStatus::Failed)
                text += " sense=" + HexBytes(unit_.lastSense().data(), 14, "");
            if (!sent)
                text += " (status wrapper not delivered)";
            Log(text);
        }
    }

    // A reset bridge leaves the bus and comes back after the delay; a device
    // that lost power stays away.
    bool leaveBus()
    {
        if (!gone_ && options_.leaveDelayMs > 0) {
            // Still enumerated, not answering: commands wait in the endpoint.
            Log("bridge reset: staying on the bus for " + std::to_string(options_.leaveDelayMs) + " ms");
            for (std::uint32_t waited = 0; waited < options_.leaveDelayMs && !stopRequested; waited += 10)
                ::usleep(10000);
        }
        const bool saved = saveState();
        std::string error;
        Log(gone_ ? "power lost: leaving the bus" : "bridge reset: leaving the bus");
        if (!gadget_.detach(error))
            Log(error);
        if (gone_) {
            while (!stopRequested)
                ::pause();
            return saved;
        }
        resetPending_ = false;
        for (std::uint32_t waited = 0; waited < options_.reattachDelayMs && !stopRequested; waited += 10)
            ::usleep(10000);
        if (!gadget_.attach(error))
            Log(error);
        else
            Log("back on the bus");
        return saved;
    }

    // A device that takes too long: waits before it runs a command that a
    // --stall names. False when the host gave up on the command and reset the
    // device in the meantime: the command is dropped, nothing is answered.
    bool hold(const usb::Cbw &cbw)
    {
        for (Stall &stall : stalls_) {
            if (stall.used || stall.prefix.size() > cbw.cdbLength ||
                !std::equal(stall.prefix.begin(), stall.prefix.end(), cbw.cdb.begin()))
                continue;
            stall.used = true;
            const std::uint32_t resets = ffs_.hostResets();
            Log("holding " + HexBytes(cbw.cdb.data(), cbw.cdbLength) + " for " + std::to_string(stall.ms) +
                " ms");
            for (std::uint32_t waited = 0; waited < stall.ms && !stopRequested; waited += 10) {
                if (ffs_.hostResets() != resets) {
                    Log("the host reset the device during the held command after " + std::to_string(waited) +
                        " ms: command dropped");
                    return false;
                }
                ::usleep(10000);
            }
            Log("held command released");
            return true;
        }
        return true;
    }

    // SIGUSR1: the cable is pulled. The state is saved (and may be changed in
    // the state directory, as with a flash programmer) until SIGUSR2 plugs the
    // device in again: it then starts from the saved state, as after a power cycle.
    bool unplug()
    {
        const bool saved = saveState();
        std::string error;
        if (!gadget_.detach(error))
            Log(error);
        unplugged_ = true;
        Log(saved ? "unplugged: state saved" : "unplugged: the state was not saved");
        return saved;
    }

    void plug()
    {
        std::string error;
        if (!options_.simState.empty() && !simulation_.loadState(options_.simState, error))
            Log("--sim-state: " + error);
        unplugged_ = false;
        simulation_.bridges().front()->raiseUnitAttention(0x29, 0x00); // powered on again
        if (!gadget_.attach(error))
            Log(error);
        else
            Log("plugged in");
    }

    bool saveState()
    {
        if (options_.simState.empty())
            return true;
        std::string error;
        if (simulation_.saveState(options_.simState, error))
            return true;
        Log("--sim-state: " + error);
        return false;
    }

    const Options &options_;
    Simulation &simulation_;
    usb::BotUnit unit_;
    std::vector<Stall> stalls_;
    FfsInterface ffs_;
    Gadget gadget_;
    std::vector<std::uint8_t> data_;
    bool resetPending_ = false;
    bool gone_ = false;
    bool unplugged_ = false;
};

// The command line.
void AddOptions(CLI::App &app, Options &o)
{
    app.add_option("--simulate", o.preset, "PRESET[:key=value,...] as for brigant-fw ('help' lists them)")
        ->type_name("PRESET");
    app.add_option("--ffs", o.ffsDir, "Mounted FunctionFS directory of the gadget's function")
        ->type_name("DIR")
        ->required();
    app.add_option("--gadget", o.gadgetDir,
                   "configfs directory of the gadget, e.g. /sys/kernel/config/usb_gadget/g1")
        ->type_name("DIR")
        ->required();
    app.add_option("--udc", o.udc,
                   "USB device controller to plug into (default: the first in /sys/class/udc)")
        ->type_name("UDC");
    app.add_option("--serial", o.serial, "USB serial number string")->type_name("SERIAL");
    app.add_option("--sim-state", o.simState,
                   "Directory that keeps the device's state (saved at every reset and at exit)")
        ->type_name("DIR");
    app.add_option(
           "--not-ready", o.notReady,
           "N[:CDB-PREFIX]: answer NOT READY (2/04/01) to the next N commands starting with the prefix")
        ->type_name("N[:CDB-PREFIX]");
    app.add_option("--unit-attention", o.unitAttention,
                   "N[:CDB-PREFIX]: answer UNIT ATTENTION (6/29/00) to the next N commands starting with "
                   "the prefix (the bridge also raises one at power-on and after its reset)")
        ->type_name("N[:CDB-PREFIX]");
    app.add_option("--stall", o.stalls,
                   "MS:CDB-PREFIX: hold the reply to the next command starting with the prefix for MS "
                   "milliseconds (dropped when the host resets the device meanwhile)")
        ->type_name("MS:CDB-PREFIX");
    app.add_option("--reattach-delay-ms", o.reattachDelayMs, "How long a reset bridge stays off the bus")
        ->type_name("MS");
    app.add_option("--leave-delay-ms", o.leaveDelayMs,
                   "How long a reset bridge stays on the bus (enumerated, not answering) before it leaves")
        ->type_name("MS");
    app.add_flag("--verbose", o.verbose, "Log every command and its outcome to standard error");
}

// --not-ready and --unit-attention: sense faults on the device at `path`.
bool AddSenseFaults(const Options &o, Simulation &simulation, const std::string &path, std::string &error)
{
    for (const auto &text : o.notReady) {
        FaultRule rule = NotReadyFault(1);
        if (!ParseSenseFault("--not-ready", text, rule, error))
            return false;
        simulation.backend().addFault(path, rule);
    }
    for (const auto &text : o.unitAttention) {
        FaultRule rule = NotReadyFault(1);
        rule.key = 0x06; // power on, reset, or bus device reset occurred
        rule.asc = 0x29;
        rule.ascq = 0x00;
        if (!ParseSenseFault("--unit-attention", text, rule, error))
            return false;
        simulation.backend().addFault(path, rule);
    }
    return true;
}

bool ParseStalls(const Options &o, std::vector<Stall> &stalls, std::string &error)
{
    for (const auto &text : o.stalls) {
        Stall stall;
        if (!ParseStall(text, stall, error))
            return false;
        stalls.push_back(std::move(stall));
    }
    return true;
}

// Presents the device on the bus and serves the host until a stop signal;
// the exit status.
int Present(const Options &o, Simulation &simulation, const std::string &path, std::vector<Stall> stalls)
{
    // Only the main thread takes the stop and plug signals, so that they interrupt its endpoint I/O.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    Presenter presenter(o, simulation, path, std::move(stalls));
    std::string error;
    const bool started = presenter.start(error);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    InstallSignalHandlers();
    if (!started) {
        std::cerr << "error: " << error << "\n";
        return 1;
    }
    const bool ok = presenter.serve();
    Log("stopped");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    CLI::App app{"Present a simulated bridge as a USB mass-storage device over FunctionFS"};
    AddOptions(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (o.preset == "help") {
        std::cout << PresetHelp();
        return 0;
    }

    RealClock clock;
    SetProgramClock(&clock);
    Simulation simulation(clock);
    std::string error;
    const std::string path = simulation.add(o.preset, error);
    if (path.empty()) {
        std::cerr << "error: --simulate " << o.preset << ": " << error << "\n";
        return 2;
    }
    if (!o.simState.empty() && !simulation.loadState(o.simState, error)) {
        std::cerr << "error: --sim-state: " << error << "\n";
        return 2;
    }
    std::vector<Stall> stalls;
    if (!AddSenseFaults(o, simulation, path, error) || !ParseStalls(o, stalls, error)) {
        std::cerr << "error: " << error << "\n";
        return 2;
    }
    return Present(o, simulation, path, std::move(stalls));
}

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

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace brigant;
using namespace brigant::sim;
using namespace brigant::simusb;

namespace
{

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

// Interrupts blocking endpoint I/O (no SA_RESTART) so that the main loop sees the request.
void InstallSignalHandlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

struct Options {
    std::string preset = "generic";
    std::string ffsDir;
    std::string gadgetDir;
    std::string udc;
    std::string simState;
    std::string serial = "0000000001";
    std::vector<std::string> notReady;
    std::uint32_t reattachDelayMs = Simulation::kReattachDelayMs;
    bool verbose = false;
};

void Log(const std::string &text)
{
    std::fprintf(stderr, "[sim-usb] %s\n", text.c_str());
    std::fflush(stderr);
}

// "N" or "N:CDB-PREFIX-HEX": answer NOT READY (2/04/01) to the next N matching commands.
bool ParseNotReady(const std::string &text, FaultRule &rule, std::string &error)
{
    const auto colon = text.find(':');
    const auto times = ParseNumber(text.substr(0, colon));
    std::vector<std::uint8_t> prefix;
    if (colon != std::string::npos) {
        const auto bytes = ParseHexBytes({text.substr(colon + 1)});
        if (!bytes || bytes->size() > 16) {
            error = "--not-ready: the CDB prefix must be up to 16 hexadecimal bytes";
            return false;
        }
        prefix = *bytes;
    }
    if (!times || *times == 0 || *times > 1000000) {
        error = "--not-ready: N must be a positive number";
        return false;
    }
    rule = NotReadyFault(static_cast<int>(*times), prefix);
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
    Presenter(const Options &options, Simulation &simulation, const std::string &path)
        : options_(options), simulation_(simulation), unit_(simulation.backend(), path),
          gadget_(options.gadgetDir, options.udc.empty() ? FirstUdc() : options.udc)
    {
        // The bridge asks to leave the bus (its reset command); the wrapper of
        // that command still goes out first, as from a real bridge.
        simulation.bridges().front()->setResetListener([this] { resetPending_ = true; });
    }

    bool start(std::string &error)
    {
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
    FfsInterface ffs_;
    Gadget gadget_;
    std::vector<std::uint8_t> data_;
    bool resetPending_ = false;
    bool gone_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    Options o;
    CLI::App app{"Present a simulated bridge as a USB mass-storage device over FunctionFS"};
    app.add_option("--simulate", o.preset, "PRESET[:key=value,...] as for brigant-fw ('help' lists them)");
    app.add_option("--ffs", o.ffsDir, "Mounted FunctionFS directory of the gadget's function")->required();
    app.add_option("--gadget", o.gadgetDir,
                   "configfs directory of the gadget, e.g. /sys/kernel/config/usb_gadget/g1")
        ->required();
    app.add_option("--udc", o.udc,
                   "USB device controller to plug into (default: the first in /sys/class/udc)");
    app.add_option("--serial", o.serial, "USB serial number string");
    app.add_option("--sim-state", o.simState,
                   "Directory that keeps the device's state (saved at every reset and at exit)");
    app.add_option(
        "--not-ready", o.notReady,
        "N[:CDB-PREFIX]: answer NOT READY (2/04/01) to the next N commands starting with the prefix");
    app.add_option("--reattach-delay-ms", o.reattachDelayMs, "How long a reset bridge stays off the bus");
    app.add_flag("--verbose", o.verbose, "Log every command and its outcome to standard error");
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
    for (const auto &text : o.notReady) {
        FaultRule rule;
        if (!ParseNotReady(text, rule, error)) {
            std::cerr << "error: " << error << "\n";
            return 2;
        }
        simulation.backend().addFault(path, rule);
    }

    // Only the main thread takes the stop signals, so that they interrupt its endpoint I/O.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    Presenter presenter(o, simulation, path);
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

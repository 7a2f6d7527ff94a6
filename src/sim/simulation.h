#pragma once
// A set of simulated devices behind one transport back end, with their state
// kept in a directory between runs.
#include "common/clock.h"
#include "sim/sim_backend.h"
#include "sim/sim_bridge.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brigant::sim
{

class Simulation
{
  public:
    explicit Simulation(Clock &clock) : clock_(clock), backend_(clock) {}

    // Adds a device from "NAME[:key=value,...]", or the twin of the device
    // recorded in FILE from "@FILE", or a replay of the session FILE written
    // with --trace-data from "replay@FILE"; returns its path, or an empty string
    // with the reason in `error`.
    std::string add(const std::string &specText, std::string &error);
    // Adds the twin of the device recorded in `text` (`name` names the
    // recording in errors).
    std::string addRecording(const std::string &text, const std::string &name, std::string &error);

    SimBackend &backend() { return backend_; }
    const std::vector<std::shared_ptr<SimBridge>> &bridges() const { return bridges_; }

    // Device 0 keeps its state in DIR/flash.bin (exactly the flash size) and
    // DIR/xdata.bin; device N > 0 in DIR/devN/. Missing files leave the device
    // as its preset made it; a flash file of the wrong size is an error.
    bool loadState(const std::string &dir, std::string &error);
    bool saveState(const std::string &dir, std::string &error) const;
    // Numbers the devices from `first` on (before the first add): their
    // paths, ports and state folders are those of devices first, first+1, ...
    // of a larger simulation.
    void setFirstIndex(std::size_t first)
    {
        firstIndex_ = first;
        backend_.setFirstNumber(static_cast<std::uint32_t>(first));
    }

    // How long a reset bridge stays off the bus (option reattach=MS), and how
    // long it stays on it first (leave-after=MS).
    static constexpr std::uint32_t kReattachDelayMs = 1500;
    static constexpr std::uint32_t kLeaveDelayMs = 0;

    // How a preset's device sits on the bus: options of every preset.
    struct BusOptions {
        std::uint32_t leaveMs = kLeaveDelayMs;       // leave-after=MS: on the bus after its reset
        std::uint32_t reattachMs = kReattachDelayMs; // reattach=MS: off the bus after leaving
        std::uint32_t arriveMs = 0;                  // arrive=MS: plugged in that long after the start
        std::uint32_t maxTransferKb = 0;             // maxkb=N: the host's largest transfer; 0: no limit
        std::optional<std::string> serial;           // serial=TEXT; empty: SIM and its port
        std::string quirks;                          // quirks=FLAGS: the host's usb-storage quirks
    };

  private:
    std::string attachTwin(std::shared_ptr<SimBridge> twin);
    std::string attachPreset(std::shared_ptr<SimBridge> bridge, const BusOptions &bus,
                             std::vector<FaultRule> faults);

    Clock &clock_;
    SimBackend backend_;
    std::vector<std::shared_ptr<SimBridge>> bridges_;
    std::size_t firstIndex_ = 0;
};

} // namespace brigant::sim

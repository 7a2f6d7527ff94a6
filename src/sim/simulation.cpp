#include "sim/simulation.h"

#include "common/hex.h"
#include "sim/presets.h"
#include "sim/recorded_twin.h"
#include "sim/session_replay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

namespace brigant::sim
{

namespace fs = std::filesystem;

namespace
{

std::string DeviceDir(const std::string &dir, std::size_t index)
{
    return index == 0 ? dir : (fs::path(dir) / ("dev" + std::to_string(index))).string();
}

// Reads a whole file of exactly `expected` bytes; 0 missing, 1 read, -1 error.
int ReadExact(const fs::path &file, std::vector<std::uint8_t> &out, std::size_t expected, std::string &error)
{
    std::error_code ec;
    if (!fs::exists(file, ec))
        return 0;
    if (!fs::is_regular_file(file, ec)) {
        error = file.string() + " is not a regular file";
        return -1;
    }
    const auto size = fs::file_size(file, ec);
    if (ec || size != expected) {
        error = file.string() + " has " + std::to_string(size) + " bytes; the simulated part needs exactly " +
                std::to_string(expected);
        return -1;
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> data(expected);
    if (!in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(expected))) {
        error = "cannot read " + file.string();
        return -1;
    }
    out = std::move(data);
    return 1;
}

// A simulated bridge's USB serial number unless one is given: SIM and its port.
std::string DefaultSerial(std::uint32_t port)
{
    char text[16];
    std::snprintf(text, sizeof text, "SIM%07u", port % 10000000u);
    return text;
}

bool WriteAtomically(const fs::path &file, const std::vector<std::uint8_t> &data, std::string &error)
{
    const fs::path tmp = file.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out.flush()) {
            error = "cannot write " + tmp.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(tmp, file, ec);
    if (ec) {
        error = "cannot replace " + file.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// "@FILE" (a recorded device's twin) or "replay[:bus=usb|uasp|1394]@FILE".
bool IsReplaySpec(const std::string &specText)
{
    return specText.rfind("replay@", 0) == 0 || specText.rfind("replay:bus=", 0) == 0;
}

bool IsTwinSpec(const std::string &specText)
{
    return IsReplaySpec(specText) || (!specText.empty() && specText[0] == '@');
}

// The twin or the replay a twin spec names; nullptr with the reason in `error`.
std::shared_ptr<SimBridge> MakeTwin(const std::string &specText, Clock &clock, std::string &error)
{
    const auto at = specText.find('@');
    if (!IsReplaySpec(specText))
        return MakeRecordedTwin(specText.substr(1), clock, error);
    const std::string bus = specText.substr(0, at).substr(std::min<std::size_t>(at, 11));
    if (at == std::string::npos) {
        error = "a replay names its session: replay[:bus=usb|uasp|1394]@FILE";
        return nullptr;
    }
    auto twin = MakeSessionReplay(specText.substr(at + 1), clock, error);
    if (twin && !bus.empty()) {
        if (bus != "usb" && bus != "uasp" && bus != "1394") {
            error = "bus=" + bus + ": usb, uasp or 1394";
            return nullptr;
        }
        twin->identity().bus = bus == "1394"   ? BusKind::Ieee1394
                               : bus == "uasp" ? BusKind::Uasp
                                               : BusKind::Usb;
    }
    return twin;
}

// Takes the options of every preset that say how the device sits on the bus
// out of `spec`, leaving the preset's own.
bool TakeBusOptions(PresetSpec &spec, Simulation::BusOptions &bus, std::string &error)
{
    std::uint32_t *const delays[4] = {&bus.leaveMs, &bus.reattachMs, &bus.arriveMs, &bus.maxTransferKb};
    const char *const delayKeys[4] = {"leave-after", "reattach", "arrive", "maxkb"};
    for (int i = 0; i < 4; ++i) {
        const auto it = spec.options.find(delayKeys[i]);
        if (it == spec.options.end())
            continue;
        const auto ms = ParseNumber(it->second);
        if (!ms || *ms > 600000) {
            error = std::string("option ") + delayKeys[i] + "=" + it->second +
                    ": give milliseconds, from 0 to 600000";
            return false;
        }
        *delays[i] = static_cast<std::uint32_t>(*ms);
        spec.options.erase(it);
    }
    if (const auto it = spec.options.find("serial"); it != spec.options.end()) {
        if (it->second.empty() || it->second.size() > 126) {
            error = "option serial=" + it->second + ": give 1 to 126 characters";
            return false;
        }
        bus.serial = it->second;
        spec.options.erase(it);
    }
    if (const auto it = spec.options.find("quirks"); it != spec.options.end()) {
        if (it->second.empty() ||
            it->second.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
            error = "option quirks=" + it->second + ": give usb-storage quirk letters (u, f, ...)";
            return false;
        }
        bus.quirks = it->second;
        spec.options.erase(it);
    }
    return true;
}

} // namespace

std::string Simulation::attachTwin(std::shared_ptr<SimBridge> twin)
{
    const std::string path = backend_.attach(twin);
    if (twin->identity().serial == BridgeIdentity{}.serial)
        twin->identity().serial = DefaultSerial(backend_.portNumber(path).value_or(0));
    SimBridge *raw = twin.get();
    twin->setResetListener([this, raw] { backend_.detachFor(backend_.pathOf(raw), kReattachDelayMs); });
    bridges_.push_back(std::move(twin));
    return path;
}

std::string Simulation::addRecording(const std::string &text, const std::string &name, std::string &error)
{
    auto twin = MakeRecordedTwinFromText(text, name, clock_, error);
    return twin ? attachTwin(std::move(twin)) : std::string();
}

std::string Simulation::add(const std::string &specText, std::string &error)
{
    if (IsTwinSpec(specText)) {
        auto twin = MakeTwin(specText, clock_, error);
        return twin ? attachTwin(std::move(twin)) : std::string();
    }
    PresetSpec spec;
    if (!ParsePresetSpec(specText, spec, error))
        return {};
    std::vector<FaultRule> faults(spec.faults.size());
    for (std::size_t i = 0; i < faults.size(); ++i)
        if (!ParseFaultOption(spec.faults[i], faults[i], error))
            return {};
    BusOptions bus;
    if (!TakeBusOptions(spec, bus, error))
        return {};
    auto bridge = MakePresetDevice(spec, clock_, error);
    if (!bridge)
        return {};
    return attachPreset(std::move(bridge), bus, std::move(faults));
}

std::string Simulation::attachPreset(std::shared_ptr<SimBridge> bridge, const BusOptions &bus,
                                     std::vector<FaultRule> faults)
{
    bridge->identity().quirks = bus.quirks;
    const std::string path = backend_.attach(bridge);
    bridge->identity().serial =
        bus.serial ? *bus.serial : DefaultSerial(backend_.portNumber(path).value_or(0));
    if (bus.arriveMs > 0)
        backend_.arriveLater(path, bus.arriveMs);
    if (bus.maxTransferKb > 0) {
        bridge->identity().maxTransferKb = bus.maxTransferKb;
        backend_.setMaxTransfer(path, bus.maxTransferKb * 1024);
    }
    for (FaultRule &rule : faults)
        backend_.addFault(path, std::move(rule));
    SimBridge *raw = bridge.get();
    bridge->setResetListener([this, raw, leave = bus.leaveMs, away = bus.reattachMs] {
        backend_.detachLater(backend_.pathOf(raw), leave, away);
    });
    bridges_.push_back(std::move(bridge));
    return path;
}

bool Simulation::loadState(const std::string &dir, std::string &error)
{
    for (std::size_t i = 0; i < bridges_.size(); ++i) {
        SimBridge &b = *bridges_[i];
        const fs::path d = DeviceDir(dir, firstIndex_ + i);
        if (ReadExact(d / "flash.bin", b.flash().contents(), b.flash().contents().size(), error) < 0)
            return false;
        if (ReadExact(d / "xdata.bin", b.xdata(), kXdataSize, error) < 0)
            return false;
        if (b.identity().disk && !b.identity().disk->load((d / "disk.img").string(), error))
            return false;
        b.boot();
    }
    return true;
}

bool Simulation::saveState(const std::string &dir, std::string &error) const
{
    for (std::size_t i = 0; i < bridges_.size(); ++i) {
        SimBridge &b = *bridges_[i];
        const fs::path d = DeviceDir(dir, firstIndex_ + i);
        std::error_code ec;
        fs::create_directories(d, ec);
        if (ec) {
            error = "cannot create " + d.string() + ": " + ec.message();
            return false;
        }
        if (!WriteAtomically(d / "flash.bin", b.flash().contents(), error) ||
            !WriteAtomically(d / "xdata.bin", b.xdata(), error))
            return false;
        if (b.identity().disk && !b.identity().disk->save((d / "disk.img").string(), error))
            return false;
    }
    return true;
}

} // namespace brigant::sim

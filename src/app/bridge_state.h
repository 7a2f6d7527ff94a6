#pragma once
// What identification learns of one bridge, as typed values, and the one
// function that learns it. The window, every verb and the update plan read
// the state; none of them asks the bridge again.
#include "app/update_journal.h"
#include "device/device_entry.h"
#include "identify/probe_host.h"
#include "image/chip_identity.h"
#include "model/fwupdate.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace brigant
{

// How the bridge runs, as identification found it.
enum class BridgeRuns : std::uint8_t {
    Firmware,    // its firmware (or nothing says otherwise)
    Rom,         // its ROM: a buffer-path update was cut short
    BankDamaged, // one firmware bank is damaged, the other valid (not repaired)
};

struct BridgeState {
    std::uint16_t packedId = 0; // the chip identification as read: type and sub-revision
    ChipIdentity chip;          // type code, sub-revision, flash kind and geometry
    SelectedBridge bridge;      // series, version, what it offers and what the window shows of it
    BridgeRuns runs = BridgeRuns::Firmware;
    int damagedBank = -1;      // the damaged bank, when runs is BankDamaged
    bool bankRepaired = false; // a damaged bank was repaired while the flash was probed
    bool infoFailed = false;   // the chip information could not be read
    // The chips that report a firmware level: whether it was read.
    bool firmwareLevelRead = false;
    // The update journal's open entry for this bridge: a write that was cut.
    std::optional<JournalEntry> openEntry;

    // The running version in the one printed form ("31.25.1.5"); empty
    // when none was read.
    std::string version() const;
};

struct IdentifyOptions {
    // A damaged firmware bank found while the flash is probed is repaired
    // (true), or only recorded in the state and the entry.
    bool repairBank = false;
    // The values the probes of this chip do not reach: the window keeps
    // the last identified bridge's, as its fields do.
    ChipIdentity carried;
    // Called once the chip's type and series are known, before the flash is
    // probed: a window shows its fields here, so that what the probes tell
    // the host lands in them.
    std::function<void(const BridgeState &)> chipKnown;
};

// Identifies the bridge of `entry`: the chip, its flash (through `host`,
// which hears the probes' progress and findings, and the message box of a
// chip information read that failed), the running firmware and the
// journal's open entry. Sends only what identification sends; a bank
// repair happens only where `options` allow it.
BridgeState IdentifyBridge(ProbeHost &host, DeviceEntry &entry, const IdentifyOptions &options);

// The host of an identification that shows nothing of its own: the probes'
// message boxes go to the UI services, their status texts and progress
// nowhere, and what they learn of the flash's geometry into its own
// transfer state.
class PlainProbeHost final : public ProbeHost
{
  public:
    void showStatus(const RunStatus &status) override { (void)status; }
    void setStatus(const RunStatus &status) override { (void)status; }
    void progressDot(const ProgressEvent &step) override { (void)step; }
    void message(const std::string &text, const std::string &title, MessageKind kind) override;
    void notify(Notice what) override;
    void processMessages() override;
    TransferState &transfer() override { return transfer_; }

  private:
    TransferState transfer_;
};

// How a bridge runs, from what identification recorded of it.
BridgeRuns RunsOf(bool runsFromRom, int damagedBank);

// The state of the bridge selected in `form`, as its identification left it.
BridgeState SelectedBridgeState(const TBrigantFwTool &form);

} // namespace brigant

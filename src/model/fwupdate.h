#pragma once
// The main window, TBrigantFwTool, as a plain framework-free record: every
// control of the form with its name, caption and initial state, and the
// window's state (device table, identified chip, settings, mode flags). It
// holds no behaviour: constructing it wires no handler (WireMainWindow in
// app/ does). The Qt front end mirrors it; the command-line tool and the
// tests drive it directly.
#include "device/device_entry.h"
#include "flash/run_request.h"
#include "flash/transfer_state.h"
#include "forms/controls.h"
#include "image/chip_identity.h"
#include "model/ini_state.h"

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace brigant
{

using forms::Bounds;

// The form's client area; controls "outside the client area" sit beyond it.
constexpr int kClientWidth = 398;
constexpr int kClientHeight = 143;

// Window timer that runs the Refresh Device action after device events.
constexpr int kRefreshTimerId = 101;
constexpr std::uint32_t kArrivalSettleMs = 1200;
constexpr std::uint32_t kRemovalSettleMs = 200;

// What the one-button face decided for the selected device, beside the text
// its status line shows.
enum class OneButtonState : std::uint8_t {
    Blank,        // nothing said yet
    NoDevice,     // no disk behind a supported bridge
    NotSupported, // the bridge is not the model the built-in image is for
    IdMismatch,   // it runs firmware of another identity
    RunsFromRom,  // it runs from its ROM (an interrupted update)
    Current,      // it already runs the built-in image's version
    Offered,      // the update button is offered
    Updating,     // the update runs
    Passed,       // the update passed
    Failed,       // the update failed
};

// What Load File made of the chosen file.
enum class LoadResult : std::uint8_t {
    None,       // no file chosen (or the dialog cancelled)
    Accepted,   // the file passed the checks Load File applies
    TooLarge,   // larger than any firmware file
    OpenFailed, // it could not be read
    Mismatch,   // it does not fit the selected chip
    NotChecked, // the running firmware could not be asked; Run stays disabled
    Refused,    // Run would refuse it (its length or layout, the flash's size)
};

// What identification found on the selected device, beside the fields the
// window shows it in.
struct SelectedBridge {
    std::string series;          // the series name identification gave
    bool supported = false;      // Run can update this chip
    std::string version;         // the running firmware's version as read; empty when none was read
    bool releaseFirmware = true; // false: an internal build (the window says "Internal code")
    bool velkorFirmware = true;  // false: the bridge answered as another maker's firmware
    bool versionShown = false;   // the window shows a version field for this chip
    bool runsFromRom = false;    // a buffer-path bridge left in its ROM by a cut update
    std::string flashMaker;      // empty when the maker is not known
    bool flashShown = false;     // the window shows a flash field for this chip
    bool nvramOffered = false;   // the window offers "Include 4K NVRAM" for this chip
    bool bufferPath = false;     // programmed through READ/WRITE BUFFER (the box checked and fixed)
};

class TBrigantFwTool
{
  public:
    // Builds the form as its resource describes it; runs and wires no handler.
    TBrigantFwTool();
    TBrigantFwTool(const TBrigantFwTool &) = delete;
    TBrigantFwTool &operator=(const TBrigantFwTool &) = delete;

    // Controls, in declaration order.
    forms::Panel Panel1;
    forms::Panel RdPanel;
    forms::CheckBox BackupFWCheckBox;
    forms::CheckBox EraseOnlyCheck;
    forms::LabeledEdit BackupFileEdit;
    forms::Button BackupBtn;
    forms::LabeledEdit ChipLabelEdit;
    forms::Button RefreshBtn;
    forms::LabeledEdit FwFilenameEdit;
    forms::Button LoadBtn;
    forms::ComboBox DeviceList;
    forms::Label diskLabel;
    forms::OpenDialog OpenDialog1;
    forms::LabeledEdit DiskLetterLable;
    forms::LabeledEdit FwVerLableEdit;
    forms::LabeledEdit SFlashTypeLable;
    forms::LabeledEdit StatusEdit;
    forms::CheckBox RdCheckBox;
    forms::Button ExitBtn;
    forms::Button UpdateBtn;
    forms::CheckBox NVRAMCheck;
    forms::CheckBox ReadWriteBufferChk;
    forms::ProgressBar ProgressBar1;
    forms::CheckBox SetPrdSNchk;
    forms::Button YesBtn;
    forms::Label replugLable;
    forms::ProgressBar ProgressBar2;
    forms::Panel devpnl;
    // Below the one-button face's progress bar: where to turn when the
    // selected bridge is not one the button updates, or else the result of
    // the face's last run (oneButtonResult).
    forms::Label faceHint;

    // Every control above, for views and tests.
    std::vector<forms::Control *> controls();

    // Window state.
    std::string caption = "TBrigantFwTool";
    int clientHeight = kClientHeight;
    std::array<DeviceEntry, kDeviceTableSize> devices{};
    std::int32_t candidateCount = 0;
    std::int32_t listedCount = 0; // entries the last refresh put in the device list
    ChipIdentity chip;
    SelectedBridge selected;
    // The transfer values every procedure of this session shares.
    TransferState transfer;
    std::int32_t eraseOnly = 0;
    std::int32_t includeNvram = 0;
    std::uint8_t updateRunning = 0;
    OneButtonState oneButton = OneButtonState::Blank;
    // The last one-button run's result in words (device, from -> to, the
    // backup; or the failure and the way forward), kept on the face until
    // the next run; empty: none yet.
    std::string oneButtonResult;
    // Told each time the one-button face has shown a state (text and colour set).
    std::function<void(OneButtonState)> oneButtonShown;
    // What the last Run really came to: 1 the procedure verified its work,
    // 0 it failed or nothing ran, -1 no Run yet. The window shows results
    // through the procedures' own texts; the command line reads this.
    std::int32_t runResult = -1;
    // The same run, typed: how it ended and why.
    RunOutcome lastRun;
    // Told the device's settings the write in progress keeps, as soon as
    // they were read (the update journal keeps them); empty: nobody listens.
    std::function<void(const std::vector<std::uint8_t> &)> keptSettingsSink;
    // Settings a cut update of this bridge saved: kept instead of the flash's.
    std::vector<std::uint8_t> journalSettings;
    // The backup the last write from this window took, for the bridge
    // `BridgeJournalKey` names: the status line names it again after a
    // refresh, until another write or another bridge.
    struct {
        std::string bridge;
        std::string text; // "Backup of the flash: FILE"
    } lastBackup;
    // A Run that failed with its write cut: what it said and the way forward,
    // kept on the status line until the user acts, also while the bridge is
    // away (its power lost); empty when there is none.
    std::string wayForward;
    LoadResult lastLoad = LoadResult::None;
    std::string lastLoadReason; // why the running firmware did not take the file (Mismatch)
    // The selection handler showed that the chosen file does not match the chip.
    bool fileMismatchShown = false;
    // Whether selecting a dual-bank device repairs a damaged firmware bank
    // (the window does); when false the check only reads both banks and
    // records the damage in the entry's damagedBank.
    bool repairBankOnSelect = true;
    INI_STATE settings;
    bool notificationsRegistered = false;
    bool acceptsDroppedFiles = false;
    bool closed = false;
    // Where "ExChangeData.tmp" is removed at close; empty means the running
    // program's directory.
    std::string programDirectory;

    // The entry of the device list's selected item (item 0 when none is selected).
    DeviceEntry &selectedEntry();
    const DeviceEntry &selectedEntry() const;
};

} // namespace brigant

// What guards a write: the wait for the bridge that was reset when another
// bridge is attached, and the guard that writes nothing when a filesystem is
// mounted, the user declines or the backup fails.
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/one_button.h"
#include "app/window_run.h"
#include "app/write_guard.h"
#include "common/clock.h"
#include "firmware_files.h"
#include "flash/backup_file.h"
#include "forms/headless_ui.h"
#include "model/fwupdate.h"
#include "sim/chip_presets.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

using namespace brigant;
using namespace brigant::sim;

namespace
{

class TwoBridges : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        services.clock(&clock).backend(&simulation.backend()).ui(&ui);
        std::string error;
        first = simulation.add("quince", error);
        second = simulation.add(secondSpec(), error);
        ASSERT_FALSE(second.empty()) << error;
        enumerator = std::make_unique<SimDiskEnumerator>(simulation);
        services.diskEnumerator(enumerator.get());
        form = std::make_unique<TBrigantFwTool>();
        WireMainWindow(*form);
        RefreshBtnClick(*form);
        ASSERT_EQ(form->listedCount, 2);
        form->DeviceList.setItemIndex(1);
    }
    virtual std::string secondSpec() const { return "quince:mount=/media/José"; }

    VirtualClock clock;
    Simulation simulation{clock};
    forms::HeadlessUi ui{clock, nullptr};
    InstalledServices services;
    std::unique_ptr<SimDiskEnumerator> enumerator;
    std::unique_ptr<TBrigantFwTool> form;
    std::string first, second;
};

TEST_F(TwoBridges, TheWaitIsForTheBridgeThatWasResetUnderItsNewPath)
{
    simulation.backend().setRenumberOnReattach(true);
    const SimDevice *reset = simulation.backend().device(second).get();
    const std::uint64_t start = clock.nowMs();
    WindowRunHost formHost(*form);
    ASSERT_EQ(ResetAndWaitReattach(RequestFromWindow(*form), formHost, second), 1);
    // The other bridge was there all along: only the reset one's return ends the wait.
    EXPECT_GE(clock.nowMs() - start, Simulation::kReattachDelayMs);
    const std::string now = simulation.backend().pathOf(reset);
    EXPECT_NE(now, second);
    EXPECT_EQ(form->selectedEntry().path, now);
    EXPECT_EQ(form->devices[0].path, first);
}

TEST_F(TwoBridges, ABridgeThatNeverComesBackFailsTheWaitAndSaysSo)
{
    FaultRule lost = Fault(FaultRule::Kind::PowerLoss);
    lost.cdbPrefix = {0xFF, 0x04, 0x26}; // the reset command
    simulation.backend().addFault(second, lost);
    WindowRunHost formHost(*form);
    EXPECT_EQ(ResetAndWaitReattach(RequestFromWindow(*form), formHost, second), 0);
    EXPECT_NE(form->StatusEdit.text().find("did not come back"), std::string::npos);
}

// Two bridges of one model: each list item says where its bridge is, and a
// list made again while one of them is written (its reset, the other one
// arriving) keeps that one selected; without a write the list starts at 0.
TEST_F(TwoBridges, AlikeBridgesAreToldApartAndTheOneWrittenStaysSelected)
{
    const std::vector<std::string> &items = form->DeviceList.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(items[0], items[1]);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_NE(items[i].find("  (port " + form->devices[i].location + ")"), std::string::npos) << items[i];

    WriteGuard guard;
    guard.allowMounted = true;
    guard.confirm = [](const WritePlan &) { return true; };
    int selectedUnderWrite = -1;
    RunGuarded(
        *form, DescribeWrite(*form, "test"), guard,
        [] {
            BackupResult r;
            r.outcome = BackupResult::Outcome::NothingToRead;
            return r;
        },
        [&] {
            RefreshBtnClick(*form);
            selectedUnderWrite = form->DeviceList.itemIndex();
        });
    EXPECT_EQ(selectedUnderWrite, 1);
    EXPECT_EQ(form->selectedEntry().path, second);
    RefreshBtnClick(*form);
    EXPECT_EQ(form->DeviceList.itemIndex(), 0);
}

TEST_F(TwoBridges, TheGuardWritesNothingWhenStopped)
{
    struct Case {
        const char *name;
        bool allowMounted;
        bool answer;
        BackupResult::Outcome backup;
        GuardedRun::Stop stop;
        bool written;
        std::optional<bool> rehearsal = std::nullopt; // ran, and succeeded or not
    };
    using O = BackupResult::Outcome;
    using S = GuardedRun::Stop;
    const Case cases[] = {
        {"mounted", false, true, O::Saved, S::Mounted, false},
        {"declined", true, false, O::Saved, S::Declined, false},
        {"backup failed", true, true, O::Failed, S::BackupFailed, false},
        {"from ROM: nothing to read, goes on", true, true, O::NothingToRead, S::None, true},
        {"forced and backed up", true, true, O::Saved, S::None, true},
        {"the rehearsal failed: no question", true, true, O::Saved, S::RehearsalFailed, false, false},
        {"rehearsed: its plan is asked", true, true, O::Saved, S::None, true, true},
    };
    for (const Case &c : cases) {
        WriteGuard guard;
        guard.allowMounted = c.allowMounted;
        bool asked = false;
        guard.confirm = [&c, &asked](const WritePlan &plan) {
            asked = true;
            EXPECT_EQ(plan.rehearsal, c.rehearsal ? "the plan" : "") << c.name;
            return c.answer;
        };
        if (c.rehearsal)
            guard.rehearse = [&c](TBrigantFwTool &, const WritePlan &) {
                return RehearsalVerdict{true, *c.rehearsal, "the plan", "why"};
            };
        bool written = false;
        bool backedUp = false;
        const GuardedRun run = RunGuarded(
            *form, DescribeWrite(*form, "test"), guard,
            [&] {
                backedUp = true;
                BackupResult r;
                r.outcome = c.backup;
                return r;
            },
            [&] {
                EXPECT_EQ(CurrentWritePhase(), WritePhase::Writing);
                written = true;
            });
        EXPECT_EQ(run.stop, c.stop) << c.name;
        EXPECT_EQ(written, c.written) << c.name;
        EXPECT_EQ(backedUp, c.allowMounted && c.answer && c.rehearsal.value_or(true)) << c.name;
        EXPECT_EQ(asked, c.allowMounted && c.rehearsal.value_or(true)) << c.name;
        if (c.stop == S::RehearsalFailed) {
            EXPECT_EQ(run.rehearsalReason, "why") << c.name;
        }
        EXPECT_EQ(CurrentWritePhase(), WritePhase::Idle) << c.name;
    }
    // The mount point is named, non-ASCII as it is; the first bridge has none.
    bool known = false;
    EXPECT_EQ(MountedFilesystems(second, known), std::vector<std::string>{"/media/José"});
    EXPECT_TRUE(known);
    EXPECT_TRUE(MountedFilesystems(first, known).empty());
}

// A window with the write guards wired as the window program wires them, on
// one simulated bridge, its backups kept in a directory of the test's own.
struct AskingWindow {
    explicit AskingWindow(const std::string &spec)
    {
        if (const char *state = std::getenv("XDG_STATE_HOME"))
            savedState = state;
        ::setenv("XDG_STATE_HOME", states.path().c_str(), 1);
        services.clock(&clock).backend(&simulation.backend()).ui(&ui).diskEnumerator(&enumerator);
        std::string error;
        path = simulation.add(spec, error);
        EXPECT_FALSE(path.empty()) << error;
        WireMainWindow(form);
        WireWriteGuards(form);
        RefreshBtnClick(form);
    }
    ~AskingWindow()
    {
        if (savedState)
            ::setenv("XDG_STATE_HOME", savedState->c_str(), 1);
        else
            ::unsetenv("XDG_STATE_HOME");
    }
    // Loads the file a maker ships for the preset `spec` names.
    void load(const std::string &spec)
    {
        PresetSpec preset;
        PresetFirmwareFile file;
        std::string error;
        ASSERT_TRUE(ParsePresetSpec(spec, preset, error)) << error;
        ASSERT_TRUE(MakePresetFirmwareFile(preset, file, error)) << error;
        form.FwFilenameEdit.setText(files.write("fw.bin", file.bytes));
        ASSERT_TRUE(form.UpdateBtn.enabled());
    }
    std::vector<std::string> backups() const
    {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator(states.path() / "brigant/backups", ec))
            found.push_back(entry.path().string());
        return found;
    }
    const std::vector<std::uint8_t> &flash() { return simulation.bridges().back()->flash().contents(); }

    test::TempDir states, files;
    std::optional<std::string> savedState;
    VirtualClock clock;
    Simulation simulation{clock};
    forms::HeadlessUi ui{clock, nullptr};
    SimDiskEnumerator enumerator{simulation};
    InstalledServices services;
    TBrigantFwTool form;
    std::string path;
};

// The built-in image's version bytes as characters, and a running version of
// the same identity that differs from it in the last one.
std::string ImageVersionBytes()
{
    std::uint8_t header[32] = {};
    LoadUpdateImage(header, 0, sizeof header);
    return std::string(reinterpret_cast<const char *>(header + 25), 4);
}
std::string Dotted(const std::string &v) { return {v[0], '.', v[1], '.', v[2], '.', v[3]}; }
std::string OtherLastDigit(std::string v)
{
    v[3] = v[3] == '0' ? '1' : '0';
    return v;
}

// The question says plainly what the service modes do: an erase leaves the
// bridge without firmware; the backup box without "RD Version" writes the file.
TEST(WindowConfirmation, NamesWhatTheServiceModesLeave)
{
    struct Case {
        bool rd, erase, backupBox;
        const char *said;
    };
    for (const Case &c : {Case{true, true, false,
                               "The bridge has no firmware afterwards: it does not start again until "
                               "firmware is written to it. To bring it back, load a firmware file"},
                          Case{false, false, true, "This is not a backup"}}) {
        AskingWindow w("nutmeg");
        w.load("nutmeg");
        w.form.RdCheckBox.setChecked(c.rd);
        w.form.EraseOnlyCheck.setChecked(c.erase);
        w.form.eraseOnly = c.erase ? 1 : 0;
        w.form.BackupFWCheckBox.setChecked(c.backupBox);
        w.form.UpdateBtn.setEnabled(true);
        w.form.UpdateBtn.click(); // no answer queued: No
        ASSERT_EQ(w.ui.questions().size(), 1u) << c.said;
        EXPECT_NE(w.ui.questions()[0].text.find(c.said), std::string::npos) << w.ui.questions()[0].text;
    }
}

TEST(WindowConfirmation, SaysWhatTheWriteDoesAndNoWritesNothing)
{
    struct Case {
        std::string bridge, file; // no file: the update button
        bool nvram;
        std::vector<std::string> said;
    };
    const std::string image = ImageVersionBytes();
    const Case cases[] = {
        {"nutmeg",
         "nutmeg",
         true,
         {"Chip: Nutmeg Series", "New firmware: not known", "will be replaced by the file's"}},
        {"nutmeg",
         "nutmeg",
         false,
         {"NVRAM area kept", "The device's settings (its 4K NVRAM area) are kept."}},
        // A file is taken only from firmware that runs 31.25.1.5.
        {"quince:version=3.0,ext=31.25.1.5",
         "quince:version=3.0,ext=31.25.1.5,exttext=2345",
         true,
         {"Running firmware: 31.25.1.5\n", "New firmware: 2.3.4.5\n",
          "no settings area of the device is kept apart", "Will write: the firmware file "}},
        {"quince:exttext=" + OtherLastDigit(image),
         "",
         true,
         {"Running firmware: " + Dotted(OtherLastDigit(image)), "New firmware: " + Dotted(image) + " (",
          "built-in image is written as it is"}},
    };
    for (const Case &c : cases) {
        AskingWindow w(c.bridge);
        w.form.NVRAMCheck.setChecked(c.nvram);
        forms::Button *button = &w.form.YesBtn;
        if (!c.file.empty()) {
            w.load(c.file);
            button = &w.form.UpdateBtn;
        }
        ASSERT_TRUE(button->enabled()) << c.bridge;
        const std::vector<std::uint8_t> flash = w.flash();
        const std::uint64_t commands = w.simulation.backend().commandCount(w.path);
        const std::string status = w.form.StatusEdit.text(), face = w.form.devpnl.caption();

        button->click(); // no answer queued: No

        ASSERT_EQ(w.ui.questions().size(), 1u) << c.bridge;
        const std::string &asked = w.ui.questions()[0].text;
        EXPECT_NE(asked.find("Device: " + w.path), std::string::npos) << asked;
        EXPECT_NE(asked.find("A backup is saved in " + (w.states.path() / "brigant/backups").string()),
                  std::string::npos)
            << asked;
        for (const std::string &part : c.said)
            EXPECT_NE(asked.find(part), std::string::npos) << part << " in\n" << asked;
        // Nothing written, and nothing read but Run's own question to the
        // running firmware whether the file fits (buffer-path bridges).
        EXPECT_LE(w.simulation.backend().commandCount(w.path) - commands, c.file.empty() ? 0u : 1u)
            << c.bridge;
        EXPECT_EQ(w.flash(), flash) << c.bridge;
        EXPECT_TRUE(w.backups().empty()) << c.bridge;
        EXPECT_EQ(w.form.runResult, -1) << c.bridge;
        EXPECT_EQ(w.form.StatusEdit.text(), status) << c.bridge;
        EXPECT_EQ(w.form.devpnl.caption(), face) << c.bridge;
    }
}

TEST(WindowConfirmation, YesWritesAndTheStatusNamesTheBackup)
{
    // Codes 15 to 18 take a file from this running firmware only.
    AskingWindow w("quince:version=3.0,ext=31.25.1.5");
    w.load("quince:exttext=1109");
    const std::vector<std::uint8_t> before = w.flash();
    w.ui.queueQuestionAnswer(true);
    w.form.UpdateBtn.click();

    EXPECT_EQ(w.form.runResult, 1) << w.form.StatusEdit.text();
    EXPECT_NE(w.flash(), before);
    const std::vector<std::string> saved = w.backups();
    ASSERT_EQ(saved.size(), 1u);
    const std::string note = "  Backup of the flash: " + saved[0];
    const std::string &status = w.form.StatusEdit.text();
    ASSERT_GT(status.size(), note.size());
    // The run's own text stays in front of the note.
    EXPECT_EQ(status.substr(status.size() - note.size()), note) << status;
}

// The backup-only mode with no backup name, twice: the second run takes the
// next free name, the first backup stays as it was, and the status line
// names the file each run wrote, a refresh later too.
TEST(WindowBackupOnly, NeverWritesOverAnEarlierBackupAndNamesItsFile)
{
    AskingWindow w("nutmeg");
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(w.files.path());
    w.form.RdCheckBox.setChecked(true);
    w.form.BackupFWCheckBox.setChecked(true);
    w.form.UpdateBtn.setEnabled(true);
    const std::vector<std::uint8_t> flash = w.flash();
    for (const char *name : {"oldFlash.bak", "oldFlash-2.bak"}) {
        if (std::string(name) == "oldFlash-2.bak")
            std::filesystem::resize_file(w.files.path() / "oldFlash.bak", 7); // someone's own file
        w.form.UpdateBtn.click();
        const std::string file = (w.files.path() / name).string();
        ASSERT_TRUE(std::filesystem::exists(file)) << w.form.StatusEdit.text();
        const std::string said = "Backup file: " + file;
        EXPECT_NE(w.form.StatusEdit.text().find(said), std::string::npos) << w.form.StatusEdit.text();
        RefreshBtnClick(w.form);
        EXPECT_NE(w.form.StatusEdit.text().find(said), std::string::npos) << w.form.StatusEdit.text();
    }
    EXPECT_EQ(std::filesystem::file_size(w.files.path() / "oldFlash.bak"), 7u);
    std::ifstream second(w.files.path() / "oldFlash-2.bak", std::ios::binary);
    const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(second), {}};
    ASSERT_GT(saved.size(), 7u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), flash.begin()));
    EXPECT_EQ(w.flash(), flash);
    std::filesystem::current_path(cwd);
}

TEST(BackupNames, HoldSeriesDeviceAndTimeInFileNameCharacters)
{
    const std::time_t when = 0;
    const std::string name = BackupFileName("Quince Series", "sim:sg0", when);
    EXPECT_EQ(name.rfind("Quince-Series_sim-sg0_19", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".bin");
    EXPECT_EQ(BackupFileName("../x", "/dev/sg2", when).find('/'), std::string::npos);
}

} // namespace

// A run's host that keeps why the run failed.
class FailureHost final : public RunHost
{
  public:
    void showStatus(const RunStatus &) override {}
    void setStatus(const RunStatus &) override {}
    void progressDot(const ProgressEvent &) override {}
    void message(const std::string &, const std::string &, MessageKind) override {}
    void notify(Notice) override {}
    void processMessages() override {}
    TransferState &transfer() override { return transfer_; }
    void failing(const std::string &why) override { failedWhy = why; }
    std::string failedWhy;

  private:
    TransferState transfer_;
};

// A backup counts only once it is on the disk as it was read: a file that
// cannot be created, or a device that takes no bytes, is no backup, and the
// run is told why.
TEST(BackupFile, CountsOnlyWhenItReadsBackFromTheDiskAsWritten)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "brigant-backup-file-test";
    std::filesystem::create_directories(dir);
    const std::vector<std::uint8_t> flash = {0x55, 0xAA, 0x00, 0xFF, 0x12};
    struct Case {
        std::string file;
        bool saved;
    };
    const Case cases[] = {
        {(dir / "flash.bin").string(), true},
        {(dir / "no such folder" / "flash.bin").string(), false},
        {"/dev/full", false}, // opens, but holds nothing
    };
    for (const Case &c : cases) {
        FailureHost host;
        EXPECT_EQ(SaveBackupFile(host, c.file, flash.data(), static_cast<std::uint32_t>(flash.size())),
                  c.saved ? 1 : 0)
            << c.file;
        EXPECT_EQ(host.failedWhy.empty(), c.saved) << c.file << ": " << host.failedWhy;
        if (c.saved) {
            std::ifstream in(c.file, std::ios::binary);
            EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}), flash);
        }
    }
    std::filesystem::remove_all(dir);
}

// Discovery, the Refresh Device action and the device-change handlers, on
// simulated bridges and virtual time.
#include "app/device_change.h"
#include "app/device_list.h"
#include "app/installed_services.h"
#include "app/one_button.h"
#include "app/window_run.h"
#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "forms/headless_ui.h"
#include "identify/candidates.h"
#include "model/fwupdate.h"
#include "sim/sim_discovery.h"
#include "sim/simulation.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"
#include "wired_window.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace brigant;

namespace
{

// The one-button model (code 16), another supported model (code 13), and a
// bridge whose model tag names no chip (code 0). The table-size test uses the
// lightest bridge that identifies as code 16.
const char *const kQuince = "quince";
const char *const kOtherChip = "nutmeg";
const char *const kUnknownChip = "generic";
const char *const kLightQuince = "generic:tag=S6Q,flash=SST25VF512A";

// A preset spec with one more option.
std::string With(const std::string &spec, const std::string &option)
{
    return spec + (spec.find(':') == std::string::npos ? ":" : ",") + option;
}

// The 24-character inquiry name the simulated bridges report: vendor and
// product padded with blanks to 8 and 16 characters.
std::string InquiryName(const std::string &product)
{
    std::string padded = product;
    padded.resize(16, ' ');
    return "Velkor  " + padded;
}

class DiscoveryTest : public ::testing::Test
{
  protected:
    DiscoveryTest()
    {
        services.clock(&clock).backend(&simulation.backend()).diskEnumerator(&enumerator).ui(&ui);
        ui.addEventSource([this] { DeliverDeviceChanges(form, enumerator); });
    }
    ~DiscoveryTest() override { UnregisterDeviceNotifications(form); }

    std::string add(const std::string &spec)
    {
        std::string error;
        std::string path = simulation.add(spec, error);
        EXPECT_FALSE(path.empty()) << error;
        return path;
    }
    sim::SimBridge &bridge(std::size_t i) { return *simulation.bridges()[i]; }

    // Makes bridge i run the embedded image's firmware identity with the given version bytes.
    void runFirmware(std::size_t i, bool sameIdentity, bool sameVersion)
    {
        std::uint8_t header[32] = {};
        ASSERT_GT(LoadUpdateImage(header, 0, sizeof header), 0u);
        auto &info = bridge(i).identity().chipInfo;
        std::memcpy(info.data() + 12, header + 25, 4);
        if (!sameIdentity)
            info[13] ^= 0x5A;
        if (!sameVersion)
            info[15] ^= 0x01;
    }

    VirtualClock clock;
    sim::Simulation simulation{clock};
    sim::SimDiskEnumerator enumerator{simulation};
    forms::HeadlessUi ui{clock, nullptr};
    InstalledServices services;
    test::WiredWindow form;
};

TEST_F(DiscoveryTest, WithoutCandidatesTheListIsDisabledAndTheFieldsCleared)
{
    add("plain-disk"); // answers neither the marker nor the vendor probe
    form.ChipLabelEdit.setText("old chip");
    form.FwVerLableEdit.setText("1.00");
    form.SFlashTypeLable.setText("MXIC");
    form.StatusEdit.setText("old status");
    form.DiskLetterLable.setText("/media/old");
    form.UpdateBtn.setEnabled(true);
    form.NVRAMCheck.show();

    RefreshBtnClick(form);

    EXPECT_EQ(form.candidateCount, 0);
    EXPECT_EQ(form.DeviceList.items(), std::vector<std::string>{"No available device!!!"});
    EXPECT_EQ(form.DeviceList.itemIndex(), 0);
    EXPECT_FALSE(form.DeviceList.enabled());
    EXPECT_FALSE(form.UpdateBtn.enabled());
    for (auto *edit : {&form.ChipLabelEdit, &form.FwVerLableEdit, &form.SFlashTypeLable, &form.StatusEdit,
                       &form.DiskLetterLable})
        EXPECT_EQ(edit->text(), "") << edit->name();
    EXPECT_FALSE(form.NVRAMCheck.visible());
    EXPECT_EQ(form.devpnl.caption(), "No device found!!");
    EXPECT_EQ(form.devpnl.fontColour(), forms::kRed);
}

TEST_F(DiscoveryTest, CandidatesQualifyByBusAndByTheInquiryMarkerOrTheVendorProbe)
{
    const std::string usb = add(kUnknownChip); // vendor probe only
    const std::string uasp = add(With(kUnknownChip, "bus=uasp"));
    const std::string firewire = add(With(kUnknownChip, "bus=1394"));
    add("plain-disk");
    const std::string markerOnly = add(kUnknownChip);
    bridge(4).identity().inquiryMarker = std::array<std::uint8_t, 4>{'v', 'S', '6', 'Q'};
    bridge(4).identity().probeReply.reset();
    add(kUnknownChip); // a foreign marker and no probe: not a bridge of ours
    bridge(5).identity().inquiryMarker = std::array<std::uint8_t, 4>{'v', 'X', '6', 'Q'};
    bridge(5).identity().probeReply.reset();

    std::vector<DiskInterface> list;
    ASSERT_EQ(EnumerateDiskInterfaces(list, 1), 4);
    EXPECT_EQ(list[0].path, usb);
    EXPECT_EQ(list[1].path, uasp);
    EXPECT_EQ(list[1].bus, BusKind::Uasp);
    EXPECT_EQ(list[2].path, firewire);
    EXPECT_EQ(list[2].bus, BusKind::Ieee1394);
    EXPECT_EQ(list[3].path, markerOnly);

    // Without the 1394 flag only the FireWire disk drops out; UASP stays.
    ASSERT_EQ(EnumerateDiskInterfaces(list, 0), 3);
    EXPECT_EQ(list[1].path, uasp);
    EXPECT_EQ(list[2].path, markerOnly);

    // A disk that does not answer the marker is asked the vendor probe; one that does is not.
    const std::uint64_t markerCommands = simulation.backend().commandCount(markerOnly);
    const std::uint64_t probeCommands = simulation.backend().commandCount(usb);
    EnumerateDiskInterfaces(list, 1);
    EXPECT_EQ(simulation.backend().commandCount(markerOnly) - markerCommands, 1u);
    EXPECT_EQ(simulation.backend().commandCount(usb) - probeCommands, 2u);

    services.diskEnumerator(nullptr); // no enumeration service: nothing found
    EXPECT_EQ(EnumerateDiskInterfaces(list, 1), 0);
    EXPECT_TRUE(list.empty());
}

TEST_F(DiscoveryTest, InquiryMarkerIsVQOrVSAtBytes36And37)
{
    const std::string path = add(kUnknownChip);
    auto &marker = bridge(0).identity().inquiryMarker;
    EXPECT_EQ(HasVendorInquiryMarker(path), 0); // 36 bytes only: 36-37 stay zero
    marker = std::array<std::uint8_t, 4>{'v', 'Q', '7', 'C'};
    EXPECT_EQ(HasVendorInquiryMarker(path), 1);
    marker = std::array<std::uint8_t, 4>{'v', 'S', '0', 'C'};
    EXPECT_EQ(HasVendorInquiryMarker(path), 1);
    marker = std::array<std::uint8_t, 4>{'V', 'Q', '7', 'C'};
    EXPECT_EQ(HasVendorInquiryMarker(path), 0);
    marker = std::array<std::uint8_t, 4>{'v', 'Q', '7', 'C'};
    simulation.backend().addFault(path, sim::Fault(sim::FaultRule::Kind::TransportError));
    EXPECT_EQ(HasVendorInquiryMarker(path), 0);
}

TEST_F(DiscoveryTest, ItemsAreTheBusTagAndTheInquiryNameAsReported)
{
    add(With(kQuince, "product=Twin"));
    add(With(kQuince, "bus=uasp,product=Other  Name"));
    add(With(kOtherChip, "bus=1394"));
    add(With(kQuince, "product=Twin")); // same name as the first: told apart by its port

    RefreshBtnClick(form);

    const auto port = [this](int i) {
        return "  (port " + form.devices[static_cast<std::size_t>(i)].location + ")";
    };
    EXPECT_EQ(form.DeviceList.items(),
              (std::vector<std::string>{
                  "<<USB>> " + InquiryName("Twin") + port(0), "<<UASP>> " + InquiryName("Other  Name"),
                  "<<1394>> " + InquiryName("Nutmeg Bridge"), "<<USB>> " + InquiryName("Twin") + port(3)}));
    EXPECT_NE(form.devices[0].location, form.devices[3].location);
    EXPECT_EQ(form.candidateCount, 4);
    EXPECT_EQ(form.listedCount, 4);
    EXPECT_TRUE(form.DeviceList.enabled());
    EXPECT_EQ(form.DeviceList.itemIndex(), 0);
    EXPECT_EQ(form.diskLabel.caption(), "USB DISK"); // the selected disk's kind
    EXPECT_EQ(form.devices[1].bus, BusKind::Uasp);
    EXPECT_EQ(form.devices[2].bus, BusKind::Ieee1394);
    EXPECT_EQ(form.devices[3].path, simulation.backend().paths()[3]);
    // Item 0 was identified last: the one-button model.
    EXPECT_EQ(form.chip.ChipTypeCode, 16);
    EXPECT_EQ(form.ChipLabelEdit.text(), "Quince Series");
}

TEST_F(DiscoveryTest, CandidateWhoseInquiryFailsShowsThePreviousName)
{
    const std::string first = add(With(kQuince, "product=First"));
    const std::string second = add(With(kQuince, "product=Second"));
    // Only the INQUIRY of the listing loop fails: it is the first command after
    // the enumeration's marker test (and probe), before identification.
    auto failListingInquiry = [&](const std::vector<std::string> &paths) {
        std::vector<std::uint64_t> before;
        for (const auto &path : paths)
            before.push_back(simulation.backend().commandCount(path));
        std::vector<DiskInterface> list;
        EnumerateDiskInterfaces(list, 1);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::uint64_t now = simulation.backend().commandCount(paths[i]);
            sim::FaultRule rule;
            rule.kind = sim::FaultRule::Kind::TransportError;
            rule.cdbPrefix = {0x12};
            rule.nth = now + (now - before[i]) + 1;
            simulation.backend().addFault(paths[i], rule);
        }
    };

    failListingInquiry({second});
    RefreshBtnClick(form);
    ASSERT_EQ(form.DeviceList.items().size(), 2u);
    const auto port = [this](int i) {
        return "  (port " + form.devices[static_cast<std::size_t>(i)].location + ")";
    };
    EXPECT_EQ(form.DeviceList.items()[0], "<<USB>> " + InquiryName("First") + port(0));
    EXPECT_EQ(form.DeviceList.items()[1], "<<USB>> " + InquiryName("First") + port(1));

    // The first has no predecessor: an empty name, and the second inherits it.
    failListingInquiry({first, second});
    RefreshBtnClick(form);
    ASSERT_EQ(form.DeviceList.items().size(), 2u);
    EXPECT_EQ(form.DeviceList.items()[0], "<<USB>> " + port(0));
    EXPECT_EQ(form.DeviceList.items()[1], "<<USB>> " + port(1));
}

TEST_F(DiscoveryTest, UnidentifiedCandidatesAreSkippedAndTheirSlotGoesToTheNextDisk)
{
    const std::string unknown = add(kUnknownChip);
    const std::string quince = add(With(kQuince, "bus=uasp"));

    RefreshBtnClick(form);
    EXPECT_EQ(form.candidateCount, 2);
    EXPECT_EQ(form.listedCount, 1);
    EXPECT_EQ(form.DeviceList.items(), std::vector<std::string>{"<<UASP>> " + InquiryName("Quince Bridge")});
    EXPECT_EQ(form.devices[0].path, quince);
    EXPECT_EQ(form.devices[0].bus, BusKind::Uasp);

    // Candidates but none identified: the list stays enabled with one empty item.
    simulation.backend().detachFor(quince, 100000);
    RefreshBtnClick(form);
    EXPECT_EQ(form.candidateCount, 1);
    EXPECT_EQ(form.listedCount, 0);
    EXPECT_EQ(form.DeviceList.items(), std::vector<std::string>{""});
    EXPECT_TRUE(form.DeviceList.enabled());
    EXPECT_EQ(form.DeviceList.itemIndex(), 0);
    EXPECT_EQ(form.devices[0].path, unknown); // written before identification failed
    EXPECT_EQ(form.devpnl.caption(), "No device found!!");
}

TEST_F(DiscoveryTest, AtMost128DisksAreListedWithOneWarning)
{
    for (int i = 0; i < kDeviceTableSize; ++i)
        add(kLightQuince);
    RefreshBtnClick(form);
    EXPECT_EQ(form.listedCount, kDeviceTableSize);
    EXPECT_TRUE(ui.messages().empty()); // exactly 128: no warning

    const std::string extra = add(kLightQuince);
    const std::uint64_t before = simulation.backend().commandCount(extra);
    RefreshBtnClick(form);
    EXPECT_EQ(form.candidateCount, kDeviceTableSize + 1);
    EXPECT_EQ(form.listedCount, kDeviceTableSize);
    EXPECT_EQ(form.DeviceList.items().size(), static_cast<std::size_t>(kDeviceTableSize));
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0].text, "The tool only can show 128 disks.");
    EXPECT_EQ(ui.messages()[0].title, "Warning");
    EXPECT_EQ(ui.messages()[0].kind, MessageKind::Warning);
    // The 129th is enumerated (marker and probe) but no longer examined.
    EXPECT_EQ(simulation.backend().commandCount(extra) - before, 2u);
}

TEST_F(DiscoveryTest, VolumesAreTheMountPointsOfThePartitionsInOrderNeverRoot)
{
    const std::string a = add(With(kQuince, "mount=/media/a one:/:/media/a3"));
    const std::string b = add(With(kQuince, "mount=/media/b"));
    add(kQuince);

    RefreshBtnClick(form);
    EXPECT_EQ(form.devices[0].driveLetters, "/media/a one /media/a3");
    EXPECT_EQ(form.devices[1].driveLetters, "/media/b");
    EXPECT_EQ(form.devices[2].driveLetters, "");
    EXPECT_EQ(form.DiskLetterLable.text(), "/media/a one /media/a3"); // item 0 is selected

    std::string letters = "untouched";
    FindDriveLetters(b, letters);
    EXPECT_EQ(letters, "/media/b");
    FindDriveLetters("sim:sg99", letters); // not present: left as it was
    EXPECT_EQ(letters, "/media/b");
    // The lists leave "/" out; the check before a write that resets the bridge counts it.
    using Points = std::vector<std::string>;
    const Points unknown{"(unknown)"};
    EXPECT_EQ(MountPointsOf(a, RootMount::LeftOut).value_or(unknown), (Points{"/media/a one", "/media/a3"}));
    EXPECT_EQ(MountPointsOf(a, RootMount::Counted).value_or(unknown),
              (Points{"/media/a one", "/", "/media/a3"}));
    EXPECT_EQ(MountPointsOf("sim:sg99", RootMount::Counted).value_or(unknown), Points{});

    // Slots are reused: a disk without volumes never shows the volumes of
    // the disk that had its slot before, and the bank check starts again.
    form.devices[0].bankCheckDone = 1;
    simulation.backend().detachFor(a, 100000);
    RefreshBtnClick(form);
    EXPECT_EQ(form.devices[0].path, b);
    EXPECT_EQ(form.devices[0].driveLetters, "/media/b");
    EXPECT_EQ(form.devices[1].driveLetters, "");
    EXPECT_EQ(form.devices[0].bankCheckDone, 0);
}

class OneButtonRefreshTest : public DiscoveryTest
{
};

TEST_F(OneButtonRefreshTest, OffersTheUpdateOnlyForTheSameFirmwareIdentityAndAnotherVersion)
{
    add(kQuince);
    runFirmware(0, true, false);
    RefreshBtnClick(form);
    EXPECT_TRUE(form.YesBtn.enabled());

    runFirmware(0, true, true);
    form.devpnl.setCaption("before");
    RefreshBtnClick(form);
    EXPECT_FALSE(form.YesBtn.enabled());
    EXPECT_EQ(form.devpnl.caption(), "Firmware already updated.");
    EXPECT_EQ(form.devpnl.fontColour(), forms::kGreen);

    runFirmware(0, false, false);
    RefreshBtnClick(form);
    EXPECT_FALSE(form.YesBtn.enabled());
    EXPECT_EQ(form.devpnl.caption(), "Firmware ID not match!!");
    EXPECT_EQ(form.devpnl.fontColour(), forms::kRed);
}

TEST_F(OneButtonRefreshTest, ChoosingADeviceShowsThatDevicesKindVerdictAndOffer)
{
    add(kQuince);
    add(kQuince);
    add(With(kOtherChip, "bus=1394"));
    runFirmware(0, true, true);
    runFirmware(1, true, false);
    RefreshBtnClick(form);
    EXPECT_EQ(form.diskLabel.caption(), "USB DISK"); // item 0's, not the 1394 disk listed last

    struct Choice {
        int item;
        const char *kind;
        const char *status;
        forms::Colour colour;
        bool offered;
    };
    for (const Choice &c :
         {Choice{1, "USB DISK", "Click Update firmware button to proceed.", forms::kBlue, true},
          Choice{2, "1394 DISK", "Chip not support!!", forms::kRed, false},
          Choice{1, "USB DISK", "Click Update firmware button to proceed.", forms::kBlue, true},
          Choice{0, "USB DISK", "Firmware already updated.", forms::kGreen, false}}) {
        form.DeviceList.select(c.item);
        EXPECT_EQ(form.diskLabel.caption(), c.kind) << c.item;
        EXPECT_EQ(form.devpnl.caption(), c.status) << c.item;
        EXPECT_EQ(form.devpnl.fontColour(), c.colour) << c.item;
        EXPECT_EQ(form.YesBtn.enabled(), c.offered) << c.item;
    }

    // During a run the choice leaves the run's status line and button alone.
    form.updateRunning = 1;
    ShowOneButtonStatus(form, OneButtonState::Updating);
    form.DeviceList.select(2);
    EXPECT_EQ(form.devpnl.caption(), "Updating firmware. Please wait...");
    EXPECT_EQ(form.chip.ChipTypeCode, 13);
}

TEST_F(OneButtonRefreshTest, DuringARunTheRefreshKeepsTheRunsMessagesAndProgress)
{
    add(kQuince);
    form.updateRunning = 1;
    form.ProgressBar2.setPosition(60);
    ShowOneButtonStatus(form, OneButtonState::Updating);

    runFirmware(0, false, false);
    RefreshBtnClick(form);
    EXPECT_EQ(form.ProgressBar2.position(), 60);
    EXPECT_EQ(form.devpnl.caption(), "Updating firmware. Please wait...");
    EXPECT_FALSE(form.YesBtn.enabled());

    runFirmware(0, true, false);
    RefreshBtnClick(form);
    EXPECT_FALSE(form.YesBtn.enabled()); // never offered while running

    runFirmware(0, true, true); // the device is current: shown even during a run
    RefreshBtnClick(form);
    EXPECT_EQ(form.devpnl.caption(), "Firmware already updated.");

    simulation.backend().detachFor(simulation.backend().paths()[0], 100000);
    RefreshBtnClick(form);
    EXPECT_EQ(form.devpnl.caption(), "Firmware already updated."); // no "No device found!!"

    form.updateRunning = 0;
    RefreshBtnClick(form);
    EXPECT_EQ(form.ProgressBar2.position(), 0);
    EXPECT_EQ(form.devpnl.caption(), "No device found!!");
}

TEST_F(OneButtonRefreshTest, OtherChipsAndSilentBridgesAreNotOffered)
{
    const std::string path = add(kOtherChip);
    form.updateRunning = 1; // "Chip not support!!" is shown even during a run
    RefreshBtnClick(form);
    EXPECT_EQ(form.chip.ChipTypeCode, 13);
    EXPECT_EQ(form.devpnl.caption(), "Chip not support!!");
    EXPECT_EQ(form.devpnl.fontColour(), forms::kRed);
    form.updateRunning = 0;

    // A one-button model whose chip information fails at the end of the
    // refresh: no button, and the status line stays as it was.
    simulation.backend().detachFor(path, 100000);
    const std::string quince = add(kQuince);
    runFirmware(1, true, false);
    form.replugLable.show();
    ShowOneButtonStatus(form, OneButtonState::Offered);
    RefreshStart(form);
    RefreshDeviceList(form);
    sim::FaultRule chipInfo;
    chipInfo.kind = sim::FaultRule::Kind::TransportError;
    chipInfo.cdbPrefix = {0xE0, 0xF4, 0xE7};
    simulation.backend().addFault(quince, chipInfo);
    RefreshEnd(form);
    EXPECT_EQ(form.chip.ChipTypeCode, 16);
    EXPECT_FALSE(form.YesBtn.enabled());
    EXPECT_FALSE(form.replugLable.visible());
    EXPECT_EQ(form.devpnl.caption(), "Click Update firmware button to proceed.");
}

// The wait after a reset follows the bridge off the bus and back: it ends
// when the bridge has come back, not at a fixed time; one that stays on the
// bus for a while after its reset is waited for, never taken at its old
// place; one that never leaves, or never comes back, is named so.
TEST_F(DiscoveryTest, TheWaitAfterAResetFollowsTheBridgeOffTheBusAndBack)
{
    const std::string path = add(kQuince);
    RefreshBtnClick(form);
    const std::uint64_t t0 = clock.nowMs();
    WindowRunHost formHost(form);
    ASSERT_EQ(ResetAndWaitReattach(RequestFromWindow(form), formHost, path), 1);
    EXPECT_EQ(clock.nowMs() - t0, sim::Simulation::kReattachDelayMs); // the events are read every 100 ms
    EXPECT_EQ(form.devices[0].path, path);

    struct Row {
        const char *options;
        int result;
        std::uint64_t waitedMs; // from the reset
        const char *status;     // the start of what the status line says
    };
    const Row rows[] = {
        {"leave-after=5000", 1, 5000 + sim::Simulation::kReattachDelayMs, ""},
        {"leave-after=5000,reattach=8000", 1, 13000, ""},
        {"leave-after=20000", 0, 15000, "The bridge did not leave the bus within 15 s"},
        {"reattach=100000", 0, 90000, "The bridge left the bus after its reset but did not come back"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.options);
        const std::string slow = add(std::string("quince:") + row.options);
        RefreshBtnClick(form);
        form.StatusEdit.setText("");
        const std::uint64_t start = clock.nowMs();
        const std::uint64_t commands = simulation.backend().commandCount(slow);
        ASSERT_EQ(ResetAndWaitReattach(RequestFromWindow(form), formHost, slow), row.result);
        EXPECT_EQ(clock.nowMs() - start, row.waitedMs);
        EXPECT_EQ(form.StatusEdit.text().rfind(row.status, 0), 0u) << form.StatusEdit.text();
        // Nothing is asked of the bridge while it goes: only the reset, and
        // after its return the enumeration's identification.
        if (row.result == 0) {
            EXPECT_EQ(simulation.backend().commandCount(slow) - commands, 1u);
        }
        clock.advance(120000);
        simulation.backend().poll();
    }
}

class DeviceChangeTest : public DiscoveryTest
{
  protected:
    DeviceChangeTest()
    {
        RegisterDeviceNotifications(form);
        form.DeviceList.addObserver([this](forms::Control &) {
            if (form.DeviceList.items().empty()) // every refresh clears the list once
                refreshes.push_back(clock.nowMs());
        });
    }
    // Lets time pass a millisecond at a time, processing messages like an idle window.
    void idle(std::uint32_t ms)
    {
        ui.processMessages();
        for (std::uint32_t i = 0; i < ms; ++i) {
            clock.advance(1);
            ui.processMessages();
        }
    }
    std::vector<std::uint64_t> refreshes;
};

TEST_F(DeviceChangeTest, EventsRestartTheTimerSoABurstGivesOneRefresh)
{
    add(kQuince);
    form.devpnl.setFontColour(forms::kRed);
    FormDeviceChange(form, DeviceChange::Arrival);
    EXPECT_EQ(form.devpnl.caption(), "Click Update firmware button to proceed.");
    EXPECT_EQ(form.devpnl.fontColour(), forms::kBlue);
    idle(1000);
    FormDeviceChange(form, DeviceChange::RemoveComplete);
    idle(150);
    FormDeviceChange(form, DeviceChange::Arrival); // at 1150
    idle(1199);
    EXPECT_TRUE(refreshes.empty());
    idle(1);
    EXPECT_EQ(refreshes, std::vector<std::uint64_t>{2350});
    EXPECT_FALSE(ui.timerRunning(kRefreshTimerId));
    idle(5000);
    EXPECT_EQ(refreshes.size(), 1u);

    FormDeviceChange(form, DeviceChange::RemoveComplete);
    idle(200);
    EXPECT_EQ(refreshes, (std::vector<std::uint64_t>{2350, 7550}));
}

TEST_F(DeviceChangeTest, ArrivalDuringARunLeavesTheStatusLine)
{
    form.updateRunning = 1;
    ShowOneButtonStatus(form, OneButtonState::Updating);
    FormDeviceChange(form, DeviceChange::Arrival);
    EXPECT_EQ(form.devpnl.caption(), "Updating firmware. Please wait...");
    EXPECT_TRUE(ui.timerRunning(kRefreshTimerId));

    // Changes that arrive while the window is not registered are dropped.
    UnregisterDeviceNotifications(form);
    EXPECT_FALSE(ui.timerRunning(kRefreshTimerId));
    const std::string path = add(kQuince);
    simulation.backend().detachFor(path, 10);
    idle(2000);
    EXPECT_FALSE(ui.timerRunning(kRefreshTimerId));
    EXPECT_TRUE(refreshes.empty());
}

TEST_F(DeviceChangeTest, SimulatedResetRefreshesOnceAfterEachSettlingDelay)
{
    const std::string path = add(kQuince);
    RefreshBtnClick(form);
    refreshes.clear();
    const std::uint64_t t0 = clock.nowMs();

    ASSERT_EQ(ResetChip(path), 1); // the bridge leaves the bus now and returns 1500 ms later
    idle(sim::Simulation::kReattachDelayMs + kArrivalSettleMs + 1000);

    // Removal: refresh 200 ms later, with the bridge gone; arrival: one more
    // refresh 1200 ms after it, with the bridge back.
    ASSERT_EQ(refreshes,
              (std::vector<std::uint64_t>{t0 + kRemovalSettleMs,
                                          t0 + sim::Simulation::kReattachDelayMs + kArrivalSettleMs}));
    EXPECT_EQ(form.DeviceList.items().size(), 1u);
    EXPECT_EQ(form.DeviceList.items()[0], "<<USB>> " + InquiryName("Quince Bridge"));
    EXPECT_EQ(form.devices[0].path, path);
}

TEST_F(DeviceChangeTest, ResetWhileTheWindowIsBusyGivesOneRefreshAfterTheArrival)
{
    const std::string path = add(kQuince);
    RefreshBtnClick(form);
    refreshes.clear();
    ASSERT_EQ(ResetChip(path), 1);
    // A long operation keeps the window from processing messages until the
    // bridge is back; both changes are then taken at once.
    clock.advance(sim::Simulation::kReattachDelayMs + 300);
    const std::uint64_t t1 = clock.nowMs();
    idle(kArrivalSettleMs + 1000);
    EXPECT_EQ(refreshes, std::vector<std::uint64_t>{t1 + kArrivalSettleMs});
    EXPECT_EQ(form.listedCount, 1);
}

} // namespace

// Chip identification against the simulated bridges of every chip
// type code, through the real transport and bridge commands: IdentifyChip,
// UpdateBtnCheck on the window model, the version display and its release
// test, and the presets' boot from what their flash holds.
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "common/clock.h"
#include "device/transport.h"
#include "flash/chunked_transfer.h"
#include "identify/chip_identify.h"
#include "identify/flash_identify.h"
#include "image/bank_image.h"
#include "image/chip_match.h"
#include "model/fwupdate.h"
#include "sim/chip_firmware.h"
#include "sim/chip_presets.h"
#include "sim/presets.h"
#include "sim/simulation.h"

#include "app/bridge_state.h"
#include "app/selection.h"
#include "app/write_guard.h"
#include "firmware_files.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <tuple>
#include <utility>

using namespace brigant;
using namespace brigant::sim;

namespace
{

using Bytes = std::vector<std::uint8_t>;

// A simulated world whose window's device table holds the simulated devices.
class IdentifyFixture : public test::SimWorld
{
  public:
    IdentifyFixture() { window.includeNvram = 1; }

    // Adds a device and lists it in the window (without selecting it).
    std::string add(const std::string &spec)
    {
        std::string error;
        const std::string path = simulation.add(spec, error);
        EXPECT_FALSE(path.empty()) << spec << ": " << error;
        const std::size_t i = simulation.bridges().size() - 1;
        DeviceEntry &entry = window.devices[i];
        entry.path = path;
        entry.bus = simulation.bridges()[i]->identity().bus;
        entry.driveLetters = "/media/disk" + std::to_string(i);
        window.DeviceList.addItem(BusListTag(entry.bus) + path);
        window.candidateCount = static_cast<std::int32_t>(i + 1);
        return path;
    }
    // Selects device `i` as a user does: the change handler runs.
    void select(int i = 0) { window.DeviceList.select(i); }
    SimBridge &bridge(std::size_t i = 0) { return *simulation.bridges()[i]; }
    const std::string &path(std::size_t i = 0) { return window.devices[i].path; }
};

class IdentifyTest : public ::testing::Test, public IdentifyFixture
{
};

// ---------------------------------------------------------------------------
// Every preset, identified as the window's selection handler does.

struct PresetRow {
    const char *spec;
    unsigned code;
    unsigned revision;
    const char *chipName;
    std::int32_t flashKind;
    std::int32_t flashSizeKb;
    const char *version;    // FwVerLableEdit
    const char *flashLabel; // SFlashTypeLable
    const char *status;     // StatusEdit
    bool supported;
};

void PrintTo(const PresetRow &row, std::ostream *os) { *os << row.spec; }

class PresetTable : public ::testing::TestWithParam<PresetRow>, public IdentifyFixture
{
};

TEST_P(PresetTable, IdentifiesAsTheWindowShowsIt)
{
    const PresetRow &row = GetParam();
    add(row.spec);
    select(0);

    EXPECT_EQ(IdentifyChip(path()), PackChip(row.code, row.revision));
    EXPECT_EQ(window.chip.ChipTypeCode, row.code);
    EXPECT_EQ(window.chip.ChipSubRevision, row.revision);
    EXPECT_EQ(window.ChipLabelEdit.text(), row.chipName);
    EXPECT_EQ(window.chip.FlashKind, row.flashKind);
    EXPECT_EQ(window.chip.FlashSizeKb, row.flashSizeKb);
    EXPECT_EQ(window.FwVerLableEdit.text(), row.version);
    EXPECT_EQ(window.SFlashTypeLable.text(), row.flashLabel);
    EXPECT_EQ(window.StatusEdit.text(), row.status);
    EXPECT_EQ(window.DiskLetterLable.text(), "/media/disk0");
    EXPECT_EQ(IsSupportedChip(row.code), row.supported);
    EXPECT_EQ(window.SFlashTypeLable.visible(), row.supported);
    EXPECT_EQ(window.NVRAMCheck.visible(), IsNvramChip(row.code) && !(row.code >= 15 && row.code <= 18));
    EXPECT_TRUE(ui.boxes.empty());
}

// Counts the commands that reach the simulation, CDB by CDB.
class CdbTap final : public ScsiBackend
{
  public:
    explicit CdbTap(ScsiBackend &inner) : inner_(inner) {}
    std::vector<Bytes> cdbs;
    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override
    {
        cdbs.emplace_back(cmd.cdb, cmd.cdb + cmd.cdbLength);
        return inner_.execute(path, cmd);
    }

  private:
    ScsiBackend &inner_;
};

// The command line identifies without the window: the same commands reach
// the bridge, and the state it gets is what the window shows.
TEST_P(PresetTable, IdentificationWithoutTheWindowAgreesWithIt)
{
    // Two bridges alike, fresh from boot: the window asks the first, the
    // command line the second.
    add(GetParam().spec);
    add(GetParam().spec);
    window.repairBankOnSelect = false;
    CdbTap tap(simulation.backend());
    InstalledServices tapped;
    tapped.backend(&tap);
    window.DeviceList.setItemIndex(0);
    UpdateBtnCheck(window);
    const std::vector<Bytes> windowCdbs = std::exchange(tap.cdbs, {});

    DeviceEntry entry = window.devices[1];
    PlainProbeHost host;
    const BridgeState state = IdentifyBridge(host, entry, IdentifyOptions{});
    EXPECT_EQ(tap.cdbs, windowCdbs);
    const ChipIdentity &a = state.chip, &b = window.chip;
    EXPECT_EQ(std::tie(a.ChipTypeCode, a.ChipSubRevision, a.FlashKind, a.FlashSizeKb, a.AmicType, a.AtmelType,
                       a.SstWordMode, a.FirmwareLevel),
              std::tie(b.ChipTypeCode, b.ChipSubRevision, b.FlashKind, b.FlashSizeKb, b.AmicType, b.AtmelType,
                       b.SstWordMode, b.FirmwareLevel));
    const SelectedBridge &x = state.bridge, &y = window.selected;
    EXPECT_EQ(std::tie(x.series, x.version, x.flashMaker, x.versionShown, x.flashShown, x.supported,
                       x.nvramOffered, x.bufferPath, x.runsFromRom, x.releaseFirmware, x.velkorFirmware),
              std::tie(y.series, y.version, y.flashMaker, y.versionShown, y.flashShown, y.supported,
                       y.nvramOffered, y.bufferPath, y.runsFromRom, y.releaseFirmware, y.velkorFirmware));
    EXPECT_EQ(entry.damagedBank, window.devices[0].damagedBank);
    // What a write's question says of the bridge, from the fields or from the state.
    const WritePlan shown = DescribeWrite(window, "w");
    const WritePlan told = DescribeWrite(state, window.devices[0].path, window.DeviceList.items()[0], "w");
    EXPECT_EQ(std::tie(told.device, told.chip, told.firmware, told.runningVersion),
              std::tie(shown.device, shown.chip, shown.firmware, shown.runningVersion));
    EXPECT_EQ(host.transfer().FlashBlockSize, window.transfer.FlashBlockSize);
    EXPECT_EQ(host.transfer().FlashSectorSize, window.transfer.FlashSectorSize);
}

const char *kNotSupported = "The chip not support Firmware Update!";
const char *kNotVelkor = "Not Velkor Chip!!";

// clang-format off
INSTANTIATE_TEST_SUITE_P(EveryChipTypeCode, PresetTable, ::testing::Values(
    PresetRow{"alder",        1,  2, "Alder Series",           0,  0,   "1.02",           "AMIC",       "", true},
    PresetRow{"alder:marker=none", 1, 2, "Alder Series",       0,  0,   "1.02",           "AMIC",       "", true},
    PresetRow{"birch",        2,  0, "Birch Series",           0,  0,   "2.10",           "",           "", false},
    PresetRow{"cedar",        3,  0, "Cedar Series",           4,  0,   "3.05",           "ATMEL",      "", true},
    PresetRow{"cedar:marker=none,rev=4", 3, 4, "Cedar Series", 4,  0,   "3.05",           "ATMEL",      "", true},
    PresetRow{"cedar-a3",     4,  0, "CedarA3 Series",         5,  0,   "3.21",           "MXIC",       "", true},
    PresetRow{"elm",          5,  2, "Elm Series",             6,  0,   "5.02.07",        "WINBOND",    "", true},
    PresetRow{"figtree",      6,  0, "Figtree Series",         0,  0,   "6.01.03",        "",           "", false},
    PresetRow{"ginkgo",       7,  3, "Ginkgo Series",          8,  0,   "7.03.01",        "EON",        "", true},
    PresetRow{"hazel",        8,  1, "Hazel Series",           1,  0,   "8.04",           "PMC",        "", true},
    PresetRow{"hazel-1394",   8,  2, "Hazel Series",           2,  0,   "8.04",           "SST",        "", true},
    PresetRow{"juniper",      9,  0, "Juniper/Katsura Series", 5,  0,   "11.20.02.16.00", "MXIC",       "", true},
    PresetRow{"juniper:marker=vQ5J", 9, 0, "Juniper/Katsura Series", 5, 0, "11.20.02.16.00", "MXIC",   "", true},
    PresetRow{"juniper:marker=none,tag=Q5J,rev=3", 9, 3, "Juniper/Katsura Series", 5, 0, "11.20.02.16.00", "MXIC", "", true},
    PresetRow{"larch",       11,  1, "Larch Series",           2,  64,  "76.48.03.01.07", "SST",        "", true},
    PresetRow{"maple",       12,  0, "Maple/Nutmeg Series",    5,  0,   "12.02.02.16.00", "MXIC",       "", true},
    PresetRow{"maple:chiprev=B4", 12, 5, "Maple/Nutmeg Series", 5, 0,   "12.02.02.16.00", "MXIC",       "", true},
    PresetRow{"nutmeg",      13,  0, "Nutmeg Series",          5,  512, "1.00.05",        "MXIC",       "", true},
    PresetRow{"willow",      14,  0, "Upas/Willow Series",     6,  512, "01.02.03.04",    "WINBOND",    "", true},
    PresetRow{"willow:fwinfo=0", 14, 0, "Willow/Upas/Teak Series", 6, 512, "01.02.03.04", "WINBOND",    "", true},
    PresetRow{"teak",        14,  0, "Teak Series",            6,  512, "01.02.04.00",    "WINBOND",    "", true},
    PresetRow{"yew",         14,  0, "Yew Series",             6,  512, "1.0.2.3",        "WINBOND",    "", true},
    PresetRow{"pine",        15,  0, "Pine Series",            5,  512, "1.1.0.5",        "MXIC",       "", true},
    PresetRow{"quince",      16,  0, "Quince Series",          5,  512, "1.1.0.8",        "MXIC",       "", true},
    PresetRow{"rowan",       17,  0, "Rowan Series",          11,  512, "1.1.0.2",        "GIGADEVICE", "", true},
    PresetRow{"spruce",      18,  0, "Spruce Series",          8,  512, "1.1.0.1",        "EON",        "", true},
    PresetRow{"oak",         26,  0, "NutmegA->Oak Series",    5,  0,   "1.00.03.01.05",  "MXIC",       "", true},
    PresetRow{"maple:staging=1", 26, 0, "NutmegA->Oak Series", 5,  0,   "12.02.02.16.00", "MXIC",       "", true},
    PresetRow{"oak:tag=S6O,marker=vS6O", 26, 0, "NutmegA->Oak Series", 5, 0, "1.00.03.01.05", "MXIC",   "", true},
    PresetRow{"aspen",       27,  0, "Aspen Series",           6,  512, "2.01.00",        "WINBOND",    "", true},
    PresetRow{"baobab",      28,  1, "Baobab Series",          5,  0,   "3.01.04",        "MXIC",       "", true},
    PresetRow{"cypress",     29,  0, "Cypress Series",         0,  0,   "2.09.01",        "",           "", false},
    PresetRow{"elm-e",       30,  1, "Elm Series",             7,  0,   "4.00.02",        "AMIC",       "", true},
    PresetRow{"elm-e-disk",  30,  1, "Elm Series",             0,  0,   "4.00.03",        "Unknown",    "", true},
    PresetRow{"legacy-cedar", 31, 0, "Cedar",                  0,  0,   "",               "",           kNotVelkor, false},
    PresetRow{"dogwood",     32,  0, "Dogwood",                0,  0,   "",               "",           kNotVelkor, false},
    PresetRow{"legacy-elm",  33,  0, "Elm",                    0,  0,   "",               "",           kNotVelkor, false},
    PresetRow{"legacy-alder", 34, 0, "Alder",                  0,  0,   "",               "",           kNotVelkor, false},
    PresetRow{"birch-ids",   35,  0, "Birch",                  0,  0,   "1.03.00",        "",           "", false},
    PresetRow{"plain-disk",   0,  0, "Unknown Chip",           0,  0,   "",               "",           kNotSupported, false}));
// clang-format on

TEST(ChipPresets, EveryPresetIsListedInTheHelp)
{
    const std::string help = PresetHelp();
    for (const ChipPresetInfo &p : ChipPresets())
        EXPECT_NE(help.find("  " + p.name + " "), std::string::npos) << p.name;
    EXPECT_NE(help.find("generic"), std::string::npos);
    EXPECT_NE(help.find("plain-disk"), std::string::npos);
    EXPECT_NE(help.find("build=release|internal"), std::string::npos);
}

TEST(ChipPresets, EveryPresetIsIdentifiedAsItsCode)
{
    for (const ChipPresetInfo &p : ChipPresets()) {
        IdentifyFixture f;
        f.add(p.name);
        EXPECT_EQ(IdentifiedType(IdentifyChip(f.path())), p.code) << p.name;
    }
}

TEST(ChipPresets, RefusesWhatItDoesNotKnow)
{
    VirtualClock clock;
    for (const char *bad : {"quince:colour=red",
                            "quince:flash=NOPE",
                            "quince:ext=1.2.3",
                            "quince:ext=1.2.3.400",
                            "quince:version=1",
                            "quince:build=beta",
                            "quince:rev=x",
                            "quince:tag=AB",
                            "quince:marker=vQ7",
                            "quince:bus=scsi",
                            "quince:chipinfo=14",
                            "quince:flashtype=300",
                            "elm:chiprev=B4",
                            "maple:chiprev=1FF",
                            "maple:toggle=2",
                            "nutmeg:damage=bank2",
                            "nutmeg:flash=A25L05PT,damage=bank0",
                            "oak:flash=A25L05PT",
                            "quince:exttext=12345",
                            "quince:mount=relative"}) {
        PresetSpec spec;
        std::string error;
        ASSERT_TRUE(ParsePresetSpec(bad, spec, error)) << bad;
        EXPECT_EQ(MakePresetDevice(spec, clock, error), nullptr) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

// ---------------------------------------------------------------------------
// Edge cases of IdentifyChip.

TEST_F(IdentifyTest, TheFirstEqualTagSlotWins)
{
    // "vQ7C" is the tag of slots 3, 4 and 31: slot 3 wins, and a chip
    // without the CedarA3 signature stays 3.
    add("cedar");
    EXPECT_EQ(IdentifyChip(path()), PackChip(3, 0));
    // "Q7D" is in slot 32 only.
    add("dogwood:marker=vQ7D");
    EXPECT_EQ(IdentifyChip(path(1)), PackChip(32, 0));
    // "Q5L" repeats in slot 19, "Q5G" in 20 and 23: never chosen.
    add("larch:marker=none");
    EXPECT_EQ(IdentifiedType(IdentifyChip(path(2))), 11);
}

TEST_F(IdentifyTest, AQ5JChipInfoTagGivesJuniperWithItsRevisionDigit)
{
    add("juniper:marker=none,tag=Q5J,rev=7");
    EXPECT_EQ(IdentifyChip(path()), PackChip(9, 7));
}

TEST_F(IdentifyTest, IdWord0x40WithoutTheSignatureIsAnElmThatIsNotSupported)
{
    add("legacy-elm");
    std::uint8_t reply[2] = {};
    ASSERT_EQ(ProbeVendorCommand(path(), reply), 1);
    EXPECT_EQ(reply[0], 0x40);
    std::vector<std::string> statusTexts;
    window.StatusEdit.addObserver([&](forms::Control &) { statusTexts.push_back(window.StatusEdit.text()); });
    select();
    EXPECT_EQ(window.chip.ChipTypeCode, 33);
    EXPECT_EQ(window.ChipLabelEdit.text(), "Elm");
    EXPECT_NE(std::find(statusTexts.begin(), statusTexts.end(), kNotSupported), statusTexts.end());
    EXPECT_EQ(window.StatusEdit.text(), kNotVelkor);
    EXPECT_FALSE(window.SFlashTypeLable.visible());
    EXPECT_FALSE(window.FwVerLableEdit.visible());
}

TEST_F(IdentifyTest, ElmSignatureRevisions)
{
    add("elm-e:rev=0"); // "vQ7EE" with byte 5 = 0
    EXPECT_EQ(IdentifyChip(path()), PackChip(30, 1));
    add("elm:rev=0"); // "vQ7EC0"
    EXPECT_EQ(IdentifyChip(path(1)), PackChip(5, 1));
    add("elm-e:rev=4"); // byte 5 = 4, a plain number
    EXPECT_EQ(IdentifyChip(path(2)), PackChip(30, 5));
}

TEST_F(IdentifyTest, SignatureEdgeCases)
{
    // Ginkgo's signature with byte 5 = 0 gives revision 1.
    add("ginkgo");
    bridge(0).identity().signature->at(5) = 0;
    EXPECT_EQ(IdentifyChip(path()), PackChip(7, 1));
    // An Alder that rejects the signature read is revision 1.
    add("alder:rev=5");
    bridge(1).identity().signature.reset();
    EXPECT_EQ(IdentifyChip(path(1)), PackChip(1, 1));
    // A Cedar answering "vQ7CA3" is a CedarA3 and keeps its revision.
    add("cedar-a3:marker=none,rev=6");
    EXPECT_EQ(IdentifyChip(path(2)), PackChip(4, 6));
    // Baobab and Larch take the revision from the digit.
    add("baobab:rev=2");
    EXPECT_EQ(IdentifyChip(path(3)), PackChip(28, 3));
    add("larch:rev=8");
    EXPECT_EQ(IdentifyChip(path(4)), PackChip(11, 9));
}

TEST_F(IdentifyTest, HazelNeedsRevisionOneOrTwo)
{
    add("hazel:rev=2");
    bool infoFailed = false;
    EXPECT_EQ(IdentifyChip(path(), &infoFailed), PackChip(8, 2));
    EXPECT_FALSE(infoFailed);
    add("hazel:rev=3");
    EXPECT_EQ(IdentifyChip(path(1), &infoFailed), PackChip(8, 0));
    EXPECT_TRUE(infoFailed);
    // The window says it when it identifies the device.
    select(1);
    ASSERT_FALSE(ui.boxes.empty());
    EXPECT_EQ(ui.boxes.back().text, "Get chip information fail !");
    EXPECT_EQ(ui.boxes.back().kind, MessageKind::Error);
}

TEST_F(IdentifyTest, MapleRevisionRegisterAndStaging)
{
    // 0xB3 keeps the revision found before; 0xB4 gives 5 and the SPI probes run.
    add("maple:marker=none,rev=2,chiprev=B3,flash=SST25VF040B");
    add("maple:chiprev=B4,flash=SST25VF040B");
    add("maple:chiprev=B3,flash=SST25VF040B");
    EXPECT_EQ(IdentifyChip(path(0)), PackChip(12, 2));
    EXPECT_EQ(IdentifyChip(path(1)), PackChip(12, 5));
    EXPECT_EQ(IdentifyChip(path(2)), PackChip(12, 0));
    std::uint8_t reg[4] = {};
    ASSERT_EQ(ReadXdata(path(1), reg, 0xFDB0, 4), 1);
    EXPECT_EQ(reg[1], 0xB4);

    select(1);
    EXPECT_EQ(window.chip.FlashKind, 2);
    EXPECT_EQ(window.chip.SstWordMode, 1); // step 7.3 ran: 9F answered BF 25
    select(2);
    EXPECT_EQ(window.chip.FlashKind, 2);
    EXPECT_EQ(window.chip.SstWordMode, 0);

    // A staging read accepted makes it the Oak conversion chip.
    add("maple:staging=1,chiprev=B4");
    EXPECT_EQ(IdentifyChip(path(3)), PackChip(26, 0));
    std::uint8_t staging[512];
    EXPECT_EQ(ReadStagingBuffer(path(0), staging), 0);
    EXPECT_EQ(ReadStagingBuffer(path(3), staging), 1);
}

TEST_F(IdentifyTest, BirchByItsUsbIds)
{
    add("birch-ids");
    EXPECT_EQ(IdentifyChip(path()), PackChip(35, 0));
    // The same chip information with another product ID is an unknown tag.
    add("birch-ids:pid=2B18");
    EXPECT_EQ(IdentifyChip(path(1)), PackChip(2, 0)); // the tag Q7B
}

TEST_F(IdentifyTest, APlainDiskIsNotIdentifiedAndRejectsTheVendorCommands)
{
    add("plain-disk");
    EXPECT_EQ(IdentifyChip(path()), 0);
    select();
    EXPECT_EQ(window.StatusEdit.text(), kNotSupported);
    EXPECT_EQ(window.FwVerLableEdit.text(), "");
}

// ---------------------------------------------------------------------------
// UpdateBtnCheck: groups, firmware-file gate, flash probes.

TEST_F(IdentifyTest, FirmwareFileGate)
{
    test::TempDir dir;
    const std::string junk = dir.write("junk.bin", Bytes(0x10000, 0x00));
    add("rowan");
    add("nutmeg");
    add("quince");
    window.DeviceList.setItemIndex(0);
    // Only UpdateBtnCheck is under test: the mode check boxes' own handler stays out.
    window.BackupFWCheckBox.onClick = nullptr;

    // A type-17 chip whose file does not match: no message, UpdateBtn as it was.
    window.UpdateBtn.setEnabled(true);
    window.FwFilenameEdit.setText(junk); // the change handler runs
    EXPECT_EQ(window.chip.ChipTypeCode, 17);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_TRUE(window.UpdateBtn.enabled());
    window.UpdateBtn.setEnabled(false);
    UpdateBtnCheck(window);
    EXPECT_FALSE(window.UpdateBtn.enabled());

    // A type-13 chip: the message, and Run disabled.
    window.UpdateBtn.setEnabled(true);
    select(1);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "The firmware file seems not match this chip!");
    EXPECT_EQ(ui.boxes[0].title, "Message");
    EXPECT_FALSE(window.UpdateBtn.enabled());
    // The status line keeps the text and says why.
    EXPECT_EQ(window.StatusEdit.text(),
              "The firmware file seems not match this chip! no 55 AA signature at 0xBFF0");

    // A matching bank image for the Quince enables Run.
    FirmwareBuild build;
    build.chipCode = 16;
    build.tag = "S6Q";
    const std::string good = dir.write("quince.bin", BuildFirmwareImage(FirmwareLayout::Bank, build));
    select(2);
    EXPECT_FALSE(window.UpdateBtn.enabled());
    window.FwFilenameEdit.setText(good);
    EXPECT_TRUE(window.UpdateBtn.enabled());
    EXPECT_EQ(ui.boxes.size(), 1u);

    // No file: the erase-only or backup-only mode enables Run.
    window.FwFilenameEdit.setText("");
    window.UpdateBtn.setEnabled(false);
    UpdateBtnCheck(window);
    EXPECT_FALSE(window.UpdateBtn.enabled());
    window.BackupFWCheckBox.setChecked(true);
    UpdateBtnCheck(window);
    EXPECT_TRUE(window.UpdateBtn.enabled());

    // A disabled device list (no device) gates nothing.
    window.BackupFWCheckBox.setChecked(false);
    window.UpdateBtn.setEnabled(false);
    window.DeviceList.setEnabled(false);
    window.FwFilenameEdit.setText(good);
    EXPECT_FALSE(window.UpdateBtn.enabled());
}

TEST_F(IdentifyTest, NothingHappensWithoutCandidates)
{
    add("quince");
    window.candidateCount = 0;
    window.NVRAMCheck.show();
    window.ChipLabelEdit.setText("before");
    UpdateBtnCheck(window);
    EXPECT_FALSE(window.NVRAMCheck.visible());
    EXPECT_EQ(window.ChipLabelEdit.text(), "before");
    EXPECT_EQ(window.chip.ChipTypeCode, 0);
}

TEST_F(IdentifyTest, ChangeEventsRunTheHandler)
{
    add("quince");
    add("nutmeg");
    select(1);
    EXPECT_EQ(window.chip.ChipTypeCode, 13);
    select(0);
    EXPECT_EQ(window.chip.ChipTypeCode, 16);
    window.chip.ChipTypeCode = 0;
    window.FwFilenameEdit.setText("/nonexistent/file.bin");
    EXPECT_EQ(window.chip.ChipTypeCode, 16);
    ASSERT_EQ(ui.boxes.size(), 1u); // the file cannot be opened; code 16 gets no mismatch box
    EXPECT_EQ(ui.boxes[0].text, "Open Firmware File Error!!");
    EXPECT_EQ(ui.boxes[0].title, "Error");
}

TEST_F(IdentifyTest, BufferFamilyCheckBoxes)
{
    add("quince");
    add("quince:readbuffer=0");
    select(0);
    EXPECT_FALSE(window.NVRAMCheck.visible());
    EXPECT_TRUE(window.ReadWriteBufferChk.visible());
    EXPECT_TRUE(window.ReadWriteBufferChk.checked());
    EXPECT_FALSE(window.ReadWriteBufferChk.enabled());
    EXPECT_EQ(window.ReadWriteBufferChk.bounds().top, 8);
    EXPECT_TRUE(window.SetPrdSNchk.visible());

    select(1);
    EXPECT_FALSE(window.ReadWriteBufferChk.visible());
    EXPECT_FALSE(window.ReadWriteBufferChk.checked());
    EXPECT_FALSE(window.SetPrdSNchk.checked());
    EXPECT_FALSE(window.SetPrdSNchk.visible());
    EXPECT_EQ(window.chip.FlashSizeKb, 512);
}

TEST_F(IdentifyTest, SstWordModeFromTheIdBytesOfTheSizeProbe)
{
    // A bridge of the buffer family without the buffer path, with an SST part:
    // SstWordMode from the ID bytes of the size probe.
    add("pine:readbuffer=0,flash=SST25VF016B");
    select(0);
    EXPECT_EQ(window.chip.FlashKind, 2);
    EXPECT_EQ(window.chip.SstWordMode, 1);
    EXPECT_EQ(window.chip.FlashSizeKb, 2048);
    // With the buffer path the word mode is not set.
    add("pine:flash=SST25VF016B");
    select(1);
    EXPECT_EQ(window.chip.SstWordMode, 0);
}

TEST_F(IdentifyTest, ReadFlashTypeVerdicts)
{
    // The bridge reports 3 (the generic ST/EON/MXIC class): the tool's own
    // JEDEC probe then names the maker.
    add("nutmeg:flashtype=3");
    select(0);
    EXPECT_EQ(window.chip.FlashKind, 5);
    EXPECT_EQ(window.SFlashTypeLable.text(), "MXIC");
    EXPECT_EQ(window.transfer.FlashBlockSize, 0x10000u);
    EXPECT_EQ(window.transfer.FlashSectorSize, 0x1000u);

    // A verdict outside the table leaves the label empty and the geometry as it was.
    add("juniper:flashtype=13");
    window.transfer.FlashBlockSize = 0x1234;
    window.transfer.FlashSectorSize = 0x567;
    select(1);
    EXPECT_EQ(window.chip.FlashKind, 13);
    EXPECT_EQ(window.SFlashTypeLable.text(), "");
    EXPECT_EQ(window.transfer.FlashBlockSize, 0x1234u);
    EXPECT_EQ(window.transfer.FlashSectorSize, 0x567u);

    // The other supported types take a non-zero verdict without the geometry.
    add("cedar-a3:flashtype=8");
    select(2);
    EXPECT_EQ(window.chip.FlashKind, 8);
    EXPECT_EQ(window.SFlashTypeLable.text(), "EON");
    EXPECT_EQ(window.transfer.FlashBlockSize, 0x1234u);
}

TEST_F(IdentifyTest, FirmwareLevelsOfFigtreeAndCypress)
{
    add("figtree:level=C0");
    add("cypress:altlevel=D1"); // level 0xAB with byte 18 below 0xD2: stays 0xAB
    add("cypress:altlevel=D2");
    add("figtree:level=D0");
    select(0);
    EXPECT_EQ(window.chip.FirmwareLevel, 0xC0);
    EXPECT_EQ(window.StatusEdit.text(), kNotSupported);
    EXPECT_FALSE(window.FwVerLableEdit.visible());
    select(1);
    EXPECT_EQ(window.chip.FirmwareLevel, 0xAB);
    EXPECT_EQ(window.StatusEdit.text(), kNotSupported);
    select(2);
    EXPECT_EQ(window.chip.FirmwareLevel, 0xD2);
    EXPECT_EQ(window.StatusEdit.text(), "");
    EXPECT_TRUE(window.FwVerLableEdit.visible());
    EXPECT_FALSE(window.SFlashTypeLable.visible());
    select(3);
    EXPECT_EQ(window.chip.FirmwareLevel, 0xD0);
    EXPECT_TRUE(window.FwVerLableEdit.visible());
}

TEST_F(IdentifyTest, AFigtreeWithoutFirmwareInformationLeavesTheFieldsAsTheyWere)
{
    add("quince");
    add("figtree:fwinfo=0");
    select(0);
    ASSERT_TRUE(window.SFlashTypeLable.visible());
    select(1);
    EXPECT_EQ(window.chip.ChipTypeCode, 6);
    EXPECT_TRUE(window.SFlashTypeLable.visible()); // not hidden: the level is unknown
    EXPECT_EQ(window.StatusEdit.text(), "");
    EXPECT_EQ(window.FwVerLableEdit.text(), "6.01.03");
}

TEST_F(IdentifyTest, FieldsNotReachedKeepTheirValues)
{
    add("nutmeg");
    add("alder");
    select(0);
    EXPECT_EQ(window.chip.FlashKind, 5);
    EXPECT_EQ(window.chip.FlashSizeKb, 512);
    select(1); // AMIC: the kind and size are not touched
    EXPECT_EQ(window.chip.AmicType, 4);
    EXPECT_EQ(window.chip.FlashKind, 5);
    EXPECT_EQ(window.chip.FlashSizeKb, 512);
    EXPECT_EQ(window.SFlashTypeLable.text(), "AMIC");
}

// ---------------------------------------------------------------------------
// Version display.

TEST(VersionText, FormatsOfThePart)
{
    std::uint8_t b[16] = {0xF4, 0xE7, 0x3A, 0x9C, 0x20, 0x00, 7, 7, 'Q', '5', 'K', '0', 0, 16, 0, 9};
    EXPECT_EQ(FormatVersionText(9, b, 16, {}), "7.07.00.16.00");
    EXPECT_EQ(FormatVersionText(10, b, 16, {}), "7.07.00.16.00");
    EXPECT_EQ(FormatVersionText(13, b, 16, {}), "0.16.00");
    EXPECT_EQ(FormatVersionText(1, b, 12, {}), "7.07");
    EXPECT_EQ(FormatVersionText(11, b, 16, {}), "75.48.00.16.00");
    EXPECT_EQ(FormatVersionText(14, b, 16, {}), "00.16.00.09");
    b[12] = '1', b[13] = '0', b[14] = '2', b[15] = '3';
    EXPECT_EQ(FormatVersionText(14, b, 16, {.chipInfoFeAnswered = true}), "1.0.2.3");
    EXPECT_EQ(FormatVersionText(16, b, 16, {}), "49.48.50.51");
    b[6] = 2;
    EXPECT_EQ(FormatVersionText(16, b, 16, {}), "1.0.2.3");
    EXPECT_EQ(FormatVersionText(18, b, 16, {}), "1.0.2.3");
    // Codes 12 and 26: the last field XORed with 1 when the toggle probe
    // answers 1, shown as a signed 8-bit value.
    b[6] = 12, b[7] = 2, b[12] = 2, b[13] = 16, b[14] = 0x85;
    EXPECT_EQ(FormatVersionText(12, b, 16, {}), "12.02.02.16.-123");
    EXPECT_EQ(FormatVersionText(12, b, 16, {.toggle = 1}), "12.02.02.16.-124");
    EXPECT_EQ(FormatVersionText(26, b, 16, {.toggle = 1}), "12.02.02.16.-124");
    b[14] = 1;
    EXPECT_EQ(FormatVersionText(26, b, 16, {.toggle = 1}), "12.02.02.16.00");
}

TEST_F(IdentifyTest, ToggleProbeShowsMinus124)
{
    add("maple:ext=2.16.133.0,toggle=1");
    add("oak:ext=3.1.133.0");
    add("maple:ext=2.16.133.0");
    select(0);
    EXPECT_EQ(window.FwVerLableEdit.text(), "12.02.02.16.-124");
    select(1);
    EXPECT_EQ(window.FwVerLableEdit.text(), "1.00.03.01.-124");
    select(2);
    EXPECT_EQ(window.FwVerLableEdit.text(), "12.02.02.16.-123");
}

TEST_F(IdentifyTest, ToggleProbePutsTheByteBack)
{
    add("maple:toggle=1");
    add("maple:toggle=0");
    for (std::size_t i = 0; i < 2; ++i) {
        for (std::uint8_t value : {0x00, 0x01, 0x5A}) {
            ASSERT_EQ(WriteXdata(path(i), &value, 0x506A, 1), 1);
            std::uint8_t before = 0;
            ASSERT_EQ(ReadXdata(path(i), &before, 0x506A, 1), 1);
            EXPECT_EQ(VersionToggleProbe(path(i)), i == 0 ? 1 : 0);
            std::uint8_t after = 0;
            ASSERT_EQ(ReadXdata(path(i), &after, 0x506A, 1), 1);
            EXPECT_EQ(after, before);
        }
    }
    // A device that rejects the data-space read answers 0.
    add("plain-disk");
    EXPECT_EQ(VersionToggleProbe(path(2)), 0);
}

TEST_F(IdentifyTest, ShortChipInformationUsesTheTwoByteForm)
{
    add("elm:chipinfo=12");
    select();
    EXPECT_EQ(window.FwVerLableEdit.text(), "5.00");
}

TEST(ReleaseBuilds, InternalBuildsShowInternalCode)
{
    for (const char *name : {"elm", "ginkgo", "juniper", "maple", "nutmeg", "aspen", "willow", "teak", "pine",
                             "quince", "rowan", "spruce", "baobab", "elm-e", "elm-e-disk"}) {
        IdentifyFixture f;
        f.add(std::string(name) + ":build=internal");
        f.select();
        EXPECT_EQ(f.window.FwVerLableEdit.text(), "Internal code") << name;
    }
    // Families without a release test show the text of any build.
    for (const char *name : {"alder", "cedar", "hazel", "larch", "oak", "yew"}) {
        IdentifyFixture f;
        f.add(std::string(name) + ":build=internal");
        f.select();
        EXPECT_NE(f.window.FwVerLableEdit.text(), "Internal code") << name;
        EXPECT_FALSE(f.window.FwVerLableEdit.text().empty()) << name;
    }
}

TEST_F(IdentifyTest, ReleaseTestsOfThePart)
{
    // Texts that are never release builds, even with the release flag.
    add("juniper:version=7.7,ext=0.16.0.0");
    add("maple:version=5.13,ext=11.16.0.0");
    add("baobab:ext=2.0.0.0");
    add("elm-e:ext=0.160.144.0");
    add("juniper:version=7.7,ext=0.16.1.0");
    for (std::size_t i = 0; i < 4; ++i) {
        select(static_cast<int>(i));
        EXPECT_EQ(window.FwVerLableEdit.text(), "Internal code") << i;
    }
    select(4);
    EXPECT_EQ(window.FwVerLableEdit.text(), "7.07.00.16.01");

    // Type 13: with FlashKind 0 the flag alone decides; without the firmware
    // information the header in the flash decides.
    EXPECT_EQ(IsReleaseFirmware(path(0), 13, "1.00.05", 0), 0); // a Juniper has no flag at 0x70F0
    add("nutmeg:build=internal");
    add("nutmeg:fwinfo=0");
    add("aspen:fwinfo=0");
    EXPECT_EQ(IsReleaseFirmware(path(5), 13, "1.00.05", 5), 0);
    EXPECT_EQ(IsReleaseFirmware(path(6), 13, "1.00.05", 0), 1);
    EXPECT_EQ(IsReleaseFirmware(path(6), 13, "1.00.05", 5), 1);
    EXPECT_EQ(IsReleaseFirmware(path(6), 13, "49.48.48.49", 5), 0);
    EXPECT_EQ(IsReleaseFirmware(path(7), 27, "2.01.00", 6), 1);
    // The header test reads the Nutmeg layout: an Aspen is not a Nutmeg there.
    EXPECT_EQ(IsReleaseFirmware(path(7), 13, "2.01.00", 6), 0);

    // Type 14: the text 00.00.00.01 alone is internal.
    EXPECT_EQ(IsReleaseFirmware(path(0), 14, "00.00.00.01", 0), 0);
    EXPECT_EQ(IsReleaseFirmware(path(0), 14, "00.00.00.02", 0), 1);
    // Every other type is a release.
    EXPECT_EQ(IsReleaseFirmware(path(0), 3, "", 0), 1);
}

// ---------------------------------------------------------------------------
// The presets boot from what their flash holds.

TEST_F(IdentifyTest, DualBankPresetsReportTheValidBank)
{
    add("nutmeg:ext=1.0.7.0,ext1=1.0.6.0");
    add("nutmeg:ext=1.0.7.0,ext1=1.0.6.0,damage=bank0");
    add("aspen:damage=both");
    std::string version;
    ASSERT_EQ(ReadVersionText(path(0), 13, version), VersionReadout::Text);
    EXPECT_EQ(version, "1.00.07");
    ASSERT_EQ(ReadVersionText(path(1), 13, version), VersionReadout::Text);
    EXPECT_EQ(version, "1.00.06");
    ASSERT_EQ(ReadVersionText(path(2), 27, version), VersionReadout::Text);
    EXPECT_EQ(version, "0.00.00"); // no valid bank: the bridge runs from ROM

    // The bank images carry real header records and checksums.
    const auto &flash = bridge(0).flash().contents();
    EXPECT_TRUE(CheckBankImage(std::span<const std::uint8_t>(flash.data(), 0x10000), 13));
    EXPECT_TRUE(CheckBankImage(std::span<const std::uint8_t>(flash.data() + 0x10000, 0x10000), 13));
    const auto &damaged = bridge(1).flash().contents();
    EXPECT_FALSE(CheckBankImage(std::span<const std::uint8_t>(damaged.data(), 0x10000), 13));
    const auto &aspen = bridge(2).flash().contents();
    EXPECT_FALSE(CheckBankImage(std::span<const std::uint8_t>(aspen.data(), 0x10000), 27));
    EXPECT_FALSE(CheckBankImage(std::span<const std::uint8_t>(aspen.data() + 0x10000, 0x10000), 27));
}

TEST_F(IdentifyTest, SelectingADamagedDualBankChipRepairsIt)
{
    add("nutmeg:damage=bank0,ext1=1.0.6.0");
    select();
    EXPECT_EQ(window.StatusEdit.text(), "FW Recovery successful!!");
    EXPECT_EQ(window.devices[0].bankCheckDone, 1);
    const auto &flash = bridge().flash().contents();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x10000, flash.begin() + 0x10000));
    EXPECT_EQ(window.FwVerLableEdit.text(), "1.00.06");

    // A 64 KiB flash is never examined.
    add("nutmeg:flash=A25L05PT");
    select(1);
    EXPECT_EQ(window.chip.FlashSizeKb, 64);
    EXPECT_EQ(window.devices[1].bankCheckDone, 0);
    EXPECT_EQ(window.StatusEdit.text(), "");
}

TEST_F(IdentifyTest, ANewImageInTheFlashIsReportedAfterAReset)
{
    add("quince:exttext=1108");
    select();
    EXPECT_EQ(window.FwVerLableEdit.text(), "1.1.0.8");

    FirmwareBuild build;
    build.chipCode = 16;
    build.tag = "S6Q";
    build.major = 2;
    build.ext = {'1', '2', '0', '3'};
    ASSERT_TRUE(InstallFirmware(bridge().flash().contents(), FirmwareLayout::Bank, build));
    ASSERT_EQ(ResetChip(path()), 1);
    clock.advance(Simulation::kReattachDelayMs);
    simulation.backend().poll();
    select();
    EXPECT_EQ(window.FwVerLableEdit.text(), "1.2.0.3");

    // An erased flash: the bridge runs from ROM and reports no version.
    add("elm:blank=1");
    std::string version;
    ASSERT_EQ(ReadVersionText(path(1), 5, version), VersionReadout::Text);
    EXPECT_EQ(version, "0.00.00");
    EXPECT_EQ(IsReleaseFirmware(path(1), 5, version, 6), 0);
}

TEST_F(IdentifyTest, DataSpaceBytesTheTwoFamiliesRead)
{
    add("elm");
    add("maple:fwassist=1");
    add("maple");
    std::uint8_t header[10] = {};
    ASSERT_EQ(ReadXdata(path(0), header, 0xC000, 10), 1);
    EXPECT_EQ(Bytes(header, header + 7), (Bytes{0x55, 0xAA, 0xAA, 0x55, 'Q', '7', 'E'}));
    std::uint8_t flags[4] = {};
    ASSERT_EQ(ReadXdata(path(0), flags, 0x7038, 4), 1);
    EXPECT_EQ(flags[2] & 0x01, 0x01);
    std::uint8_t probe[4] = {};
    ASSERT_EQ(ReadXdata(path(1), probe, 0x505E, 4), 1);
    EXPECT_EQ(probe[1], 0x00);
    EXPECT_EQ(probe[2], 0x01);
    ASSERT_EQ(ReadXdata(path(2), probe, 0x505E, 4), 1);
    EXPECT_NE(probe[2], 0x01);
}

TEST_F(IdentifyTest, TheDiskFirmwareBridgeHasNoFlash)
{
    add("elm-e-disk:areamarker=1");
    std::uint8_t verdict[4] = {0xEE};
    ASSERT_EQ(ReadFlashType(path(), verdict), 1);
    EXPECT_EQ(verdict[0], 0);
    std::uint8_t id[4] = {};
    EXPECT_EQ(SpiQuery(path(), 0x9F, id, 4), 0);
    EXPECT_EQ(ReadFlashIdBytes4(path(), id, 0x9F, false), 0);
    std::uint8_t info[20] = {};
    ASSERT_EQ(ReadFirmwareInfo(path(), info, 18), 1);
    EXPECT_EQ(info[16], 1); // the firmware area's marker
    std::uint8_t record[8] = {};
    ASSERT_EQ(ReadFlash(path(), 0x4000, record, 8), 1);
    EXPECT_EQ(Bytes(record, record + 8), (Bytes{0x55, 0xAA, 'V', 'K', 'Q', '7', 'E', 'E'}));
}

} // namespace

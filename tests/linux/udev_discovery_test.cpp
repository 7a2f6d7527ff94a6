// The libudev discovery and the USB monitor against mocked device trees, and
// the mount-table reader.
#include "app/device_list.h"
#include "app/installed_services.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "device/linux/sg_backend.h"
#include "device/linux/udev_discovery.h"
#include "device/transport.h"
#include "disk_tree.h"
#include "forms/headless_ui.h"
#include "model/fwupdate.h"
#include "sg_testbed.h"
#include "sim/presets.h"
#include "wired_window.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <chrono>
#include <thread>

namespace brigant::test
{
namespace
{

constexpr const char *kMountInfo = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                                   "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
                                   "40 22 8:26 / /media/p10 rw shared:30 - vfat /dev/sdb10 rw\n"
                                   "41 22 8:17 / /media/p1 rw shared:31 - vfat /dev/sdb1 rw\n"
                                   "42 22 8:18 / /media/with\\040blank rw shared:32 - exfat /dev/sdb2 rw\n"
                                   "43 22 8:32 / /media/uas rw shared:33 - ext4 /dev/sdc rw\n"
                                   "44 22 8:17 /sub /srv/bound rw shared:31 - vfat /dev/sdb1 rw\n"
                                   "45 22 8:48 / / rw - ext4 /dev/sdd rw\n";

class UdevTestbed
{
  public:
    UdevTestbed()
    {
        testbed_ = umockdev_testbed_new();
        GError *error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed_, kDiskTree, &error)) {
            error_ = error ? error->message : "?";
            g_clear_error(&error);
        }
    }
    ~UdevTestbed() { g_object_unref(testbed_); }
    UdevTestbed(const UdevTestbed &) = delete;
    UdevTestbed &operator=(const UdevTestbed &) = delete;

    UMockdevTestbed *get() { return testbed_; }
    const std::string &error() const { return error_; }

  private:
    UMockdevTestbed *testbed_ = nullptr;
    std::string error_;
};

class UdevDiscoveryTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!UnderUmockdev())
            GTEST_SKIP() << "needs umockdev's preload library: run through ctest, or with "
                            "LD_PRELOAD=libumockdev-preload.so.0";
        testbed = std::make_unique<UdevTestbed>();
        ASSERT_EQ(testbed->error(), "");
    }

    std::unique_ptr<UdevTestbed> testbed;
    UdevDiskEnumerator enumerator{[](std::string &text) {
        text = kMountInfo;
        return true;
    }};
};

TEST_F(UdevDiscoveryTest, BridgeDisksAreFoundWithTheirBusAndInternalDisksNeverAre)
{
    std::vector<DiskInterface> disks;
    ASSERT_TRUE(enumerator.listDisks(disks));
    ASSERT_EQ(disks.size(), 3u)
        << "SATA, NVMe, the optical drive and the disk without an sg node are left out";

    std::map<std::string, const DiskInterface *> byPath;
    for (const auto &d : disks)
        byPath[d.path] = &d;
    ASSERT_TRUE(byPath.count("/dev/sg2") && byPath.count("/dev/sg3") && byPath.count("/dev/sg4"));
    EXPECT_EQ(byPath["/dev/sg2"]->bus, BusKind::Usb);
    EXPECT_EQ(byPath["/dev/sg3"]->bus, BusKind::Uasp);
    EXPECT_EQ(byPath["/dev/sg4"]->bus, BusKind::Ieee1394);
    // The bridge's own serial number: the USB device's iSerial, none where it has none.
    EXPECT_EQ(byPath["/dev/sg2"]->serial, "BR0000A7F3");
    EXPECT_EQ(byPath["/dev/sg3"]->serial, "");
    // Its USB IDs, and the largest transfer its queue takes.
    EXPECT_EQ(byPath["/dev/sg2"]->usbId, "3a9c:2001");
    EXPECT_EQ(byPath["/dev/sg2"]->maxHwSectorsKb, 120u);
    EXPECT_EQ(byPath["/dev/sg2"]->maxSectorsKb, 120u);

    // The disk and its partitions by partition number (10 after 2, though it sorts before it by name).
    const DiskIdentity &usb = byPath["/dev/sg2"]->identity;
    EXPECT_EQ(usb.disk, MakeDeviceNumber(8, 16));
    EXPECT_EQ(usb.partitions, (std::vector<std::uint64_t>{MakeDeviceNumber(8, 17), MakeDeviceNumber(8, 18),
                                                          MakeDeviceNumber(8, 26)}));
    EXPECT_EQ(byPath["/dev/sg3"]->identity.disk, MakeDeviceNumber(8, 32));
    EXPECT_TRUE(byPath["/dev/sg3"]->identity.partitions.empty());

    // Where each partition lies, from its start and size; sdb10 gives neither,
    // so the disk's extents are not all known. A disk without partitions has
    // all of its (none) known.
    ASSERT_EQ(usb.extents.size(), 3u);
    EXPECT_EQ(usb.extents[0].name, "sdb1");
    EXPECT_EQ(usb.extents[0].start, 2048u);
    EXPECT_EQ(usb.extents[0].sectors, 4096u);
    EXPECT_EQ(usb.extents[1].name, "sdb2");
    EXPECT_EQ(usb.extents[1].start, 6144u);
    EXPECT_FALSE(usb.extentsKnown);
    EXPECT_TRUE(byPath["/dev/sg3"]->identity.extentsKnown);
}

TEST_F(UdevDiscoveryTest, VolumesAreMatchedByDeviceNumberInPartitionOrder)
{
    InstalledServices services;
    services.diskEnumerator(&enumerator);
    std::string letters;
    FindDriveLetters("/dev/sg2", letters);
    EXPECT_EQ(letters, "/media/p1 /srv/bound /media/with blank /media/p10");
    FindDriveLetters("/dev/sg3", letters); // a filesystem on the whole disk
    EXPECT_EQ(letters, "/media/uas");
    FindDriveLetters("/dev/sg4", letters); // mounted only at "/"
    EXPECT_EQ(letters, "");
    letters = "kept";
    FindDriveLetters("/dev/sg0", letters); // the internal disk is not a candidate at all
    EXPECT_EQ(letters, "kept");

    UdevDiskEnumerator noMountTable([](std::string &) { return false; });
    services.diskEnumerator(&noMountTable);
    FindDriveLetters("/dev/sg2", letters);
    EXPECT_EQ(letters, "");
}

// The window's monitor and a bus watch (the wait after a reset) each see the
// removal and the arrival; the watch names the port path.
TEST_F(UdevDiscoveryTest, MonitorReportsUsbDevicesAddedAndRemoved)
{
    UdevUsbMonitor monitor;
    ASSERT_TRUE(monitor.ok());
    UdevDiskEnumerator enumerator;
    const std::unique_ptr<BusWatch> watch = enumerator.openBusWatch();
    ASSERT_TRUE(watch);
    EXPECT_GE(monitor.fd(), 0);
    std::vector<DeviceChange> changes;
    auto record = [&](DeviceChange c) { changes.push_back(c); };
    EXPECT_EQ(monitor.poll(record), 0);

    const char *usbDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1";
    umockdev_testbed_uevent(testbed->get(), usbDevice, "remove");
    // Events of other kinds of device, and other actions, are not device changes.
    umockdev_testbed_uevent(testbed->get(), "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0",
                            "remove");
    umockdev_testbed_uevent(testbed->get(),
                            "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0/"
                            "block/sdc",
                            "add");
    umockdev_testbed_uevent(testbed->get(), usbDevice, "change");
    umockdev_testbed_uevent(testbed->get(), usbDevice, "add");

    for (int i = 0; i < 200 && changes.size() < 2; ++i) {
        monitor.poll(record);
        if (changes.size() < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    monitor.poll(record);
    EXPECT_EQ(changes, (std::vector<DeviceChange>{DeviceChange::RemoveComplete, DeviceChange::Arrival}));
    std::vector<BusEvent> events;
    watch->poll(events);
    std::vector<std::string> seen;
    for (const BusEvent &e : events)
        seen.push_back((e.arrived ? "add " : "remove ") + e.location);
    EXPECT_EQ(seen, (std::vector<std::string>{"remove usb-2-1", "add usb-2-1"}));
}

TEST(MountInfo, FieldsEscapesAndMalformedLines)
{
    const auto volumes =
        ParseMountInfo("36 35 98:0 /mnt1 /mnt/a\\040b\\011c\\134d rw,noatime master:1 - ext3 "
                       "/dev/root rw\n"
                       "\n"
                       "37 35 x:1 / /bad rw - ext4 /dev/x rw\n"
                       "38 35 8:\n"
                       "39 35 259:3 / /home rw - ext4 /dev/nvme0n1p3 rw\n"
                       "40 35 8:1 / /trailing\\04 rw - ext4 /dev/sda1 rw");
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].mountPoint, "/mnt/a b\tc\\d");
    EXPECT_EQ(volumes[0].device, MakeDeviceNumber(98, 0));
    EXPECT_EQ(volumes[1].mountPoint, "/home");
    EXPECT_EQ(volumes[1].device, MakeDeviceNumber(259, 3));
    EXPECT_EQ(volumes[2].mountPoint, "/trailing\\04"); // a cut-off escape stays as written
}

// The whole discovery over SG_IO: the mocked usb-storage disk /dev/sg2 with a
// simulated bridge behind it is listed; its sibling sg node without a disk is not.
TEST(UdevDiscoveryOverSgIo, RefreshListsTheBridgeBehindTheSgNode)
{
    if (!UnderUmockdev())
        GTEST_SKIP() << "needs umockdev's preload library";
    VirtualClock clock;
    InstalledServices services;
    services.clock(&clock);
    sim::PresetSpec spec;
    std::string error;
    ASSERT_TRUE(sim::ParsePresetSpec("generic:tag=S6Q,product=Over SG_IO", spec, error)) << error;
    auto bridge = sim::MakePresetDevice(spec, clock, error);
    ASSERT_TRUE(bridge) << error;
    SgTestbed sg(*bridge);
    ASSERT_TRUE(sg.ok()) << sg.error();
    SgBackend backend;
    services.backend(&backend);
    UdevDiskEnumerator enumerator([](std::string &text) {
        text = "50 1 8:17 / /media/bridge rw - vfat /dev/sdb1 rw\n";
        return true;
    });
    services.diskEnumerator(&enumerator);
    forms::HeadlessUi ui(clock, nullptr);
    services.ui(&ui);

    test::WiredWindow form;
    RefreshDeviceList(form);
    EXPECT_EQ(form.candidateCount, 1);
    EXPECT_EQ(form.DeviceList.items(), std::vector<std::string>{"<<USB>> Velkor  Over SG_IO      "});
    EXPECT_EQ(form.devices[0].path, SgTestbed::kSgNode);
    EXPECT_EQ(form.devices[0].driveLetters, "/media/bridge");
    EXPECT_EQ(form.DiskLetterLable.text(), "/media/bridge");
    EXPECT_EQ(form.ChipLabelEdit.text(), "Quince Series");
}

} // namespace
} // namespace brigant::test

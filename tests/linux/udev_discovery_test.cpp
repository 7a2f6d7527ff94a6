// The libudev discovery and the USB monitor against mocked device trees, and
// the mount-table reader.
#include "app/device_list.h"
#include "app/installed_services.h"
#include "common/clock.h"
#include "device/discovery.h"
#include "device/linux/sg_backend.h"
#include "device/linux/udev_discovery.h"
#include "device/transport.h"
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

// Disks behind a usb-storage bridge (three partitions), a UASP bridge, a
// FireWire SBP-2 bridge, a usb-storage bridge whose sg node is missing and a
// usb-storage optical drive, beside an internal SATA disk and an NVMe disk.
constexpr const char *kDiskTree = R"(P: /devices/pci0000:00/0000:00:14.0/usb2/2-1
N: bus/usb/002/003
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: dev=189:130
L: driver=../../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
L: driver=../../../../../../bus/usb/drivers/usb-storage

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: type=0
L: driver=../../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb
N: sdb
E: DEVNAME=/dev/sdb
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: MAJOR=8
E: MINOR=16
A: dev=8:16

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1
N: sdb1
E: DEVNAME=/dev/sdb1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: MAJOR=8
E: MINOR=17
A: dev=8:17
A: partition=1
A: start=2048
A: size=4096

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb10
N: sdb10
E: DEVNAME=/dev/sdb10
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: MAJOR=8
E: MINOR=26
A: dev=8:26
A: partition=10

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb2
N: sdb2
E: DEVNAME=/dev/sdb2
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: MAJOR=8
E: MINOR=18
A: dev=8:18
A: partition=2
A: start=6144
A: size=8192

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/scsi_generic/sg2
N: sg2=00
E: DEVNAME=/dev/sg2
E: SUBSYSTEM=scsi_generic
E: MAJOR=21
E: MINOR=2
A: dev=21:2

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2
N: bus/usb/002/004
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: dev=189:131
L: driver=../../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
L: driver=../../../../../../bus/usb/drivers/uas

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: type=0
L: driver=../../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0/block/sdc
N: sdc
E: DEVNAME=/dev/sdc
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: MAJOR=8
E: MINOR=32
A: dev=8:32

P: /devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0/scsi_generic/sg3
N: sg3=00
E: DEVNAME=/dev/sg3
E: SUBSYSTEM=scsi_generic
E: MAJOR=21
E: MINOR=3
A: dev=21:3

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1
E: SUBSYSTEM=firewire

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0
E: SUBSYSTEM=firewire
L: driver=../../../../../bus/firewire/drivers/firewire_sbp2

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host8
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host8/target8:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host8/target8:0:0/8:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: type=0
L: driver=../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host8/target8:0:0/8:0:0:0/block/sdd
N: sdd
E: DEVNAME=/dev/sdd
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: MAJOR=8
E: MINOR=48
A: dev=8:48

P: /devices/pci0000:00/0000:00:1c.0/0000:05:00.0/fw1/fw1.0/host8/target8:0:0/8:0:0:0/scsi_generic/sg4
N: sg4=00
E: DEVNAME=/dev/sg4
E: SUBSYSTEM=scsi_generic
E: MAJOR=21
E: MINOR=4
A: dev=21:4

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
L: driver=../../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
L: driver=../../../../../../bus/usb/drivers/usb-storage

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9/target9:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9/target9:0:0/9:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: type=0
L: driver=../../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9/target9:0:0/9:0:0:0/block/sde
N: sde
E: DEVNAME=/dev/sde
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: MAJOR=8
E: MINOR=64
A: dev=8:64

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9/target9:0:1
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9/target9:0:1/9:0:1:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: type=5
L: driver=../../../../../../../../../bus/scsi/drivers/sr

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9/target9:0:1/9:0:1:0/block/sr0
N: sr0
E: DEVNAME=/dev/sr0
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: MAJOR=11
E: MINOR=0
A: dev=11:0

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host9/target9:0:1/9:0:1:0/scsi_generic/sg6
N: sg6=00
E: DEVNAME=/dev/sg6
E: SUBSYSTEM=scsi_generic
E: MAJOR=21
E: MINOR=6
A: dev=21:6

P: /devices/pci0000:00/0000:00:17.0/ata1
E: SUBSYSTEM=ata_port

P: /devices/pci0000:00/0000:00:17.0/ata1/host0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_host

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: type=0
L: driver=../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda
N: sda
E: DEVNAME=/dev/sda
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: MAJOR=8
E: MINOR=0
A: dev=8:0

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1
N: sda1
E: DEVNAME=/dev/sda1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: MAJOR=8
E: MINOR=1
A: dev=8:1
A: partition=1

P: /devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/scsi_generic/sg0
N: sg0=00
E: DEVNAME=/dev/sg0
E: SUBSYSTEM=scsi_generic
E: MAJOR=21
E: MINOR=0
A: dev=21:0

P: /devices/pci0000:00/0000:00:1d.0/0000:02:00.0/nvme/nvme0
E: SUBSYSTEM=nvme

P: /devices/pci0000:00/0000:00:1d.0/0000:02:00.0/nvme/nvme0/nvme0n1
N: nvme0n1
E: DEVNAME=/dev/nvme0n1
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: MAJOR=259
E: MINOR=0
A: dev=259:0
)";

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

TEST_F(UdevDiscoveryTest, MonitorReportsUsbDevicesAddedAndRemoved)
{
    UdevUsbMonitor monitor;
    ASSERT_TRUE(monitor.ok());
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

#pragma once
// The mocked device tree that discovery and the helper are both tried on.

namespace brigant::test
{

// Disks behind a usb-storage bridge (three partitions), a UASP bridge, a
// FireWire SBP-2 bridge, a usb-storage bridge whose sg node is missing and a
// usb-storage optical drive, beside an internal SATA disk and an NVMe disk.
inline constexpr const char *kDiskTree = R"(P: /devices/pci0000:00/0000:00:14.0/usb2/2-1
N: bus/usb/002/003
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: dev=189:130
A: serial=BR0000A7F3
A: idVendor=3a9c
A: idProduct=2001
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
A: queue/max_hw_sectors_kb=120
A: queue/max_sectors_kb=120

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
A: idVendor=3a9c
A: idProduct=2007
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

} // namespace brigant::test

#include "sg_testbed.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <scsi/sg.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace brigant::test
{

namespace
{

constexpr const char *kSgDevice =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/scsi_generic/sg2";
constexpr const char *kDiskDevice =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
constexpr const char *kPartitionDevice =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";

// A usb-storage bridge whose LUN 0 is a disk (sdb, 8:16) with one partition
// and the sg node sg2 (21:2); LUN 1 has only an sg node (sg3), like an
// enclosure or the bridge's own device.
constexpr const char *kDeviceTree = R"(P: /devices/pci0000:00/0000:00:14.0/usb2/2-1
N: bus/usb/002/003
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
E: DRIVER=usb
A: idVendor=1a2b
A: idProduct=3c4d
A: busnum=2
A: devnum=3
A: dev=189:130
L: driver=../../../../../bus/usb/drivers/usb

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
E: DRIVER=usb-storage
A: bInterfaceClass=08
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
E: DRIVER=sd
A: type=0
A: vendor=Brigant
A: model=Test Disk
L: driver=../../../../../../../../../bus/scsi/drivers/sd

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb
N: sdb
E: SUBSYSTEM=block
E: DEVTYPE=disk
E: DEVNAME=/dev/sdb
E: MAJOR=8
E: MINOR=16
A: dev=8:16
A: size=1048576
L: device=../../../6:0:0:0

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1
N: sdb1
E: SUBSYSTEM=block
E: DEVTYPE=partition
E: DEVNAME=/dev/sdb1
E: MAJOR=8
E: MINOR=17
A: dev=8:17
A: partition=1

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/scsi_generic/sg2
N: sg2=00
E: SUBSYSTEM=scsi_generic
E: DEVNAME=/dev/sg2
E: MAJOR=21
E: MINOR=2
A: dev=21:2
L: device=../../../6:0:0:0

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:1
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_target

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:1/6:0:1:0
E: SUBSYSTEM=scsi
E: DEVTYPE=scsi_device
A: type=13

P: /devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:1/6:0:1:0/scsi_generic/sg3
N: sg3=00
E: SUBSYSTEM=scsi_generic
E: DEVNAME=/dev/sg3
E: MAJOR=21
E: MINOR=3
A: dev=21:3
L: device=../../../6:0:1:0
)";

} // namespace

bool UnderUmockdev()
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "umockdev-preload");
}

sim::SimReply ScriptedDevice::execute(const std::uint8_t *cdb, int cdbLength, sim::WireDirection direction,
                                      std::uint8_t *data, std::uint32_t length)
{
    if (direction == sim::WireDirection::Out)
        lastOut.assign(data, data + length);
    if (answer)
        return answer(cdb, cdbLength, direction, data, length);
    if (direction == sim::WireDirection::In)
        for (std::uint32_t i = 0; i < length; ++i)
            data[i] = static_cast<std::uint8_t>(0xA0 + i);
    return sim::Good(length);
}

SgTestbed::SgTestbed(sim::SimDevice &device) : device_(device)
{
    testbed_ = umockdev_testbed_new();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, kDeviceTree, &error)) {
        error_ = std::string("cannot build the device tree: ") + (error ? error->message : "?");
        g_clear_error(&error);
        return;
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
    if (!umockdev_testbed_attach_ioctl(testbed_, kSgNode, handler_, &error)) {
        error_ = std::string("cannot attach the ioctl handler: ") + (error ? error->message : "?");
        g_clear_error(&error);
        return;
    }
    ok_ = true;
}

SgTestbed::~SgTestbed()
{
    if (handler_) {
        umockdev_testbed_detach_ioctl(testbed_, kSgNode, nullptr);
        g_object_unref(handler_);
    }
    g_object_unref(testbed_);
}

void SgTestbed::setBehaviour(const SgBehaviour &behaviour)
{
    std::lock_guard lock(mutex_);
    behaviour_ = behaviour;
}

std::vector<SgRequest> SgTestbed::requests()
{
    std::lock_guard lock(mutex_);
    return requests_;
}

SgRequest SgTestbed::lastRequest()
{
    std::lock_guard lock(mutex_);
    return requests_.empty() ? SgRequest{} : requests_.back();
}

void SgTestbed::unplug()
{
    {
        std::lock_guard lock(mutex_);
        unplugged_ = true;
    }
    umockdev_testbed_uevent(testbed_, kSgDevice, "remove");
    umockdev_testbed_uevent(testbed_, kPartitionDevice, "remove");
    umockdev_testbed_uevent(testbed_, kDiskDevice, "remove");
    umockdev_testbed_remove_device(testbed_, kSgDevice);
    umockdev_testbed_remove_device(testbed_, kPartitionDevice);
    umockdev_testbed_remove_device(testbed_, kDiskDevice);
}

int SgTestbed::OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self)
{
    return static_cast<SgTestbed *>(self)->handle(client) ? TRUE : FALSE;
}

namespace
{

// Resolves the buffer a pointer field of the header points to (null for a null
// pointer or an empty range).
UMockdevIoctlData *Resolve(UMockdevIoctlData *header, std::size_t offset, std::size_t length, bool &poisoned)
{
    if (length == 0)
        return nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(header, offset, length, nullptr);
#if defined(__SANITIZE_ADDRESS__)
    // The mock reads client memory over a socket, out of AddressSanitizer's sight.
    if (data && __asan_region_is_poisoned(reinterpret_cast<void *>(data->client_addr), length))
        poisoned = true;
#else
    (void)poisoned;
#endif
    return data;
}

} // namespace

bool SgTestbed::handle(UMockdevIoctlClient *client)
{
    if (umockdev_ioctl_client_get_request(client) == SG_GET_VERSION_NUM) {
        // The sg driver of kernels since 2.6 answers version 3.5.36.
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData *version = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
        if (!version) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        const int number = 30536;
        std::memcpy(version->data, &number, sizeof number);
        umockdev_ioctl_data_unref(version);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    if (umockdev_ioctl_client_get_request(client) != SG_IO)
        return false;

    std::lock_guard lock(mutex_);
    if (unplugged_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    bool poisoned = false;
    UMockdevIoctlData *headerData = Resolve(arg, 0, sizeof(sg_io_hdr_t), poisoned);
    if (!headerData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
    }
    auto *hdr = reinterpret_cast<sg_io_hdr_t *>(headerData->data);

    SgRequest request;
    request.interfaceId = hdr->interface_id;
    request.direction = hdr->dxfer_direction;
    request.cmdLen = hdr->cmd_len;
    request.dxferLen = hdr->dxfer_len;
    request.dxferpNull = hdr->dxferp == nullptr;
    request.mxSbLen = hdr->mx_sb_len;
    request.timeoutMs = hdr->timeout;

    UMockdevIoctlData *cdbData = Resolve(headerData, offsetof(sg_io_hdr_t, cmdp), hdr->cmd_len, poisoned);
    UMockdevIoctlData *xferData =
        hdr->dxferp ? Resolve(headerData, offsetof(sg_io_hdr_t, dxferp), hdr->dxfer_len, poisoned) : nullptr;
    UMockdevIoctlData *senseData =
        hdr->sbp ? Resolve(headerData, offsetof(sg_io_hdr_t, sbp), hdr->mx_sb_len, poisoned) : nullptr;
    request.clientMemoryPoisoned = poisoned;
    if (cdbData)
        request.cdb.assign(cdbData->data, cdbData->data + cdbData->data_len);
    if (xferData && hdr->dxfer_direction == SG_DXFER_TO_DEV)
        request.dataOut.assign(xferData->data, xferData->data + xferData->data_len);

    if (behaviour_.failErrno) {
        requests_.push_back(request);
        umockdev_ioctl_client_complete(client, -1, *behaviour_.failErrno);
    } else {
        std::uint8_t *data = xferData ? xferData->data : nullptr;
        const std::uint32_t length = xferData ? hdr->dxfer_len : 0;
        // Without data the device sees no direction, as on the bus.
        const sim::WireDirection direction = length == 0 ? sim::WireDirection::None
                                             : hdr->dxfer_direction == SG_DXFER_TO_DEV
                                                 ? sim::WireDirection::Out
                                                 : sim::WireDirection::In;
        const sim::SimReply reply = device_.execute(request.cdb.data(), static_cast<int>(request.cdb.size()),
                                                    direction, data, length);
        hdr->status = reply.status;
        hdr->masked_status = static_cast<unsigned char>(reply.status >> 1);
        hdr->msg_status = 0;
        hdr->host_status = static_cast<unsigned short>(behaviour_.hostStatus.value_or(0));
        hdr->driver_status = static_cast<unsigned short>(behaviour_.driverStatus.value_or(0));
        hdr->sb_len_wr = 0;
        if (reply.status == 2 && senseData) {
            const std::size_t n = std::min<std::size_t>(reply.sense.size(), hdr->mx_sb_len);
            std::memcpy(senseData->data, reply.sense.data(), n);
            hdr->sb_len_wr = static_cast<unsigned char>(n);
            hdr->driver_status |= 0x08; // DRIVER_SENSE
        }
        const std::uint32_t moved = std::min(reply.transferred, length);
        hdr->resid = behaviour_.resid.value_or(static_cast<int>(hdr->dxfer_len - moved));
        hdr->duration = 1;
        hdr->info = (hdr->status || hdr->host_status || hdr->driver_status) ? SG_INFO_CHECK : SG_INFO_OK;
        requests_.push_back(request);
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    for (UMockdevIoctlData *d : {senseData, xferData, cdbData, headerData})
        if (d)
            umockdev_ioctl_data_unref(d);
    return true;
}

} // namespace brigant::test

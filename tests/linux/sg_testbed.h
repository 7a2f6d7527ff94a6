#pragma once
// A mocked USB storage disk for the SG_IO back end: umockdev's sysfs tree of a
// usb-storage bridge with a disk, a partition and the disk's sg node, and an
// ioctl handler on /dev/sg2 that decodes each sg_io_hdr_t the process sends,
// records it and lets a simulated device answer it.
#include "device/scsi_backend.h"
#include "sim/sim_device.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;

namespace brigant::test
{

// True when the test runs under umockdev's preload library; the mocked /sys
// and /dev only exist then.
bool UnderUmockdev();

// A device whose answers each test scripts; by default every command succeeds
// and a data-in phase is filled with 0xA0, 0xA1, ...
class ScriptedDevice : public sim::SimDevice
{
  public:
    using Answer =
        std::function<sim::SimReply(const std::uint8_t *cdb, int cdbLength, sim::WireDirection direction,
                                    std::uint8_t *data, std::uint32_t length)>;
    Answer answer;
    std::vector<std::uint8_t> lastOut; // data of the last data-out phase

    sim::SimReply execute(const std::uint8_t *cdb, int cdbLength, sim::WireDirection direction,
                          std::uint8_t *data, std::uint32_t length) override;
};

// What the kernel would have received in one SG_IO call.
struct SgRequest {
    int interfaceId = 0;
    int direction = 0;
    unsigned cmdLen = 0;
    std::vector<std::uint8_t> cdb;
    unsigned dxferLen = 0;
    bool dxferpNull = true;
    std::vector<std::uint8_t> dataOut; // the data-out phase as the device received it
    unsigned mxSbLen = 0;
    unsigned timeoutMs = 0;
    bool clientMemoryPoisoned = false; // a range the kernel would touch lies outside live memory (ASan)
};

// How the mocked kernel answers the next SG_IO calls.
struct SgBehaviour {
    std::optional<int> failErrno;         // the ioctl fails with this errno
    std::optional<unsigned> hostStatus;   // reported in host_status
    std::optional<unsigned> driverStatus; // reported in driver_status
    std::optional<int> resid;             // reported residual, instead of the device's
};

class SgTestbed
{
  public:
    static constexpr const char *kSgNode = "/dev/sg2";
    static constexpr const char *kDiskNode = "/dev/sdb";
    static constexpr const char *kPartitionNode = "/dev/sdb1";
    static constexpr const char *kEnclosureSgNode = "/dev/sg3"; // an sg node without a disk

    explicit SgTestbed(sim::SimDevice &device);
    ~SgTestbed();
    SgTestbed(const SgTestbed &) = delete;
    SgTestbed &operator=(const SgTestbed &) = delete;

    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }

    void setBehaviour(const SgBehaviour &behaviour);
    std::vector<SgRequest> requests();
    SgRequest lastRequest();

    // The device is unplugged: the nodes go away, and a descriptor that was
    // already open reaches a driver that answers ENODEV.
    void unplug();

  private:
    static int OnIoctl(_UMockdevIoctlBase *handler, _UMockdevIoctlClient *client, void *self);
    bool handle(_UMockdevIoctlClient *client);

    _UMockdevTestbed *testbed_ = nullptr;
    _UMockdevIoctlBase *handler_ = nullptr;
    bool ok_ = false;
    std::string error_;

    std::mutex mutex_; // the handler runs on umockdev's worker thread
    sim::SimDevice &device_;
    SgBehaviour behaviour_;
    bool unplugged_ = false;
    std::vector<SgRequest> requests_;
};

} // namespace brigant::test

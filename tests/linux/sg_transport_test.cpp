// The pass-through operations over the real SG_IO back end: open, ioctl(SG_IO)
// and close go to umockdev's mocked /dev/sg2, whose handler decodes the
// sg_io_hdr_t exactly as the kernel would receive it.
#include "app/installed_services.h"
#include "bridge/chip_commands.h"
#include "common/hex.h"
#include "device/linux/sg_backend.h"
#include "device/transport.h"
#include "sg_testbed.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <scsi/sg.h>
#include <vector>

namespace brigant::test
{
namespace
{

using Bytes = std::vector<std::uint8_t>;

SgBehaviour WithIoctlError(int error)
{
    SgBehaviour b;
    b.failErrno = error;
    return b;
}
SgBehaviour WithHostStatus(unsigned status)
{
    SgBehaviour b;
    b.hostStatus = status;
    return b;
}
SgBehaviour WithDriverStatus(unsigned status)
{
    SgBehaviour b;
    b.driverStatus = status;
    return b;
}
SgBehaviour WithResid(int resid)
{
    SgBehaviour b;
    b.resid = resid;
    return b;
}

class SgTransportTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!UnderUmockdev())
            GTEST_SKIP() << "needs umockdev's preload library: run through ctest, or with "
                            "LD_PRELOAD=libumockdev-preload.so.0";
        bed = std::make_unique<SgTestbed>(device);
        ASSERT_TRUE(bed->ok()) << bed->error();
        services.backend(&backend);
    }

    static void ExpectWithinLiveMemory(const SgRequest &r)
    {
        EXPECT_FALSE(r.clientMemoryPoisoned)
            << "a buffer handed to the kernel is shorter than its length field";
    }

    ScriptedDevice device;
    SgBackend backend;
    std::unique_ptr<SgTestbed> bed;
    InstalledServices services; // undone before the testbed goes
    const std::string sg = SgTestbed::kSgNode;
};

constexpr std::uint8_t kCdb12[12] = {0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kCdb10[10] = {0xE4, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST_F(SgTransportTest, DataInRequestCarriesCdbLengthAndTimeoutAndReturnsTheData)
{
    std::uint8_t buf[16] = {};
    std::uint32_t transferred = 0;
    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 16, transferred), 1) << DescribeLastTransportFailure();

    const SgRequest r = bed->lastRequest();
    EXPECT_EQ(r.interfaceId, 'S');
    EXPECT_EQ(r.direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(r.cmdLen, 12u);
    EXPECT_EQ(r.cdb, Bytes(kCdb12, kCdb12 + 12));
    EXPECT_EQ(r.dxferLen, 16u);
    EXPECT_FALSE(r.dxferpNull);
    EXPECT_EQ(r.timeoutMs, 10000u);
    ExpectWithinLiveMemory(r);
    EXPECT_EQ(transferred, 16u);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(buf[i], 0xA0 + i) << "byte " << i;
}

TEST_F(SgTransportTest, ShortDataInReportsRequestedLengthMinusResidual)
{
    device.answer = [](const std::uint8_t *, int, sim::WireDirection, std::uint8_t *data, std::uint32_t) {
        std::memset(data, 0x5A, 10);
        return sim::Good(10);
    };
    std::uint8_t buf[64];
    std::memset(buf, 0xEE, sizeof buf);
    std::uint32_t transferred = 0;
    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 64, transferred), 1);
    EXPECT_EQ(transferred, 10u);
    EXPECT_EQ(buf[9], 0x5A);
    EXPECT_EQ(buf[10], 0x00) << "the rest comes from the zeroed transfer block";

    std::uint8_t sense[18] = {};
    ASSERT_EQ(SendScsiInSense(sg, kCdb10, 10, buf, 64, transferred, sense, 18), 1);
    EXPECT_EQ(transferred, 10u);
}

TEST_F(SgTransportTest, ResidualOutsideTheRequestIsClamped)
{
    std::uint8_t buf[16];
    std::uint32_t transferred = 0;
    bed->setBehaviour(WithResid(-4));
    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 16, transferred), 1);
    EXPECT_EQ(transferred, 16u);

    bed->setBehaviour(WithResid(100));
    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 16, transferred), 1);
    EXPECT_EQ(transferred, 0u);
}

TEST_F(SgTransportTest, LengthOneIsSentAsTwoAndOnlyOneByteReachesTheCaller)
{
    device.answer = [](const std::uint8_t *, int, sim::WireDirection dir, std::uint8_t *data,
                       std::uint32_t length) {
        if (dir == sim::WireDirection::In) {
            data[0] = 0x11;
            data[1] = 0x22;
        }
        return sim::Good(length);
    };
    std::uint8_t in[2] = {0x00, 0xEE};
    std::uint32_t transferred = 0;
    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, in, 1, transferred), 1);
    EXPECT_EQ(bed->lastRequest().dxferLen, 2u);
    ExpectWithinLiveMemory(bed->lastRequest());
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[1], 0xEE);
    EXPECT_EQ(transferred, 2u) << "the count is what the driver reports for the 2-byte transfer";

    in[0] = 0;
    std::uint8_t sense[18] = {};
    ASSERT_EQ(SendScsiInSense(sg, kCdb10, 10, in, 1, transferred, sense, 18), 1);
    EXPECT_EQ(bed->lastRequest().dxferLen, 2u);
    ExpectWithinLiveMemory(bed->lastRequest());
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[1], 0xEE);

    const std::uint8_t out[1] = {0x7C};
    ASSERT_EQ(SendScsiOut(sg, kCdb12, 12, out, 1, transferred), 1);
    EXPECT_EQ(bed->lastRequest().dataOut, (Bytes{0x7C, 0x00}));
    ASSERT_EQ(SendScsiOutSense(sg, kCdb10, 10, out, 1, transferred, sense, 18), 1);
    EXPECT_EQ(bed->lastRequest().dataOut, (Bytes{0x7C, 0x00}));
    ExpectWithinLiveMemory(bed->lastRequest());
}

TEST_F(SgTransportTest, LengthZeroSendsNoDataPhase)
{
    std::uint32_t transferred = 77;
    ASSERT_EQ(SendScsiOut(sg, kCdb12, 12, nullptr, 0, transferred), 1);
    SgRequest r = bed->lastRequest();
    EXPECT_EQ(r.direction, SG_DXFER_NONE);
    EXPECT_EQ(r.dxferLen, 0u);
    EXPECT_TRUE(r.dxferpNull);
    EXPECT_EQ(transferred, 0u);

    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, nullptr, 0, transferred), 1);
    r = bed->lastRequest();
    EXPECT_EQ(r.direction, SG_DXFER_NONE);
    EXPECT_TRUE(r.dxferpNull);

    std::uint8_t sense[18] = {};
    ASSERT_EQ(SendScsiOutSense(sg, kCdb10, 10, nullptr, 0, transferred, sense, 18), 1);
    r = bed->lastRequest();
    EXPECT_EQ(r.direction, SG_DXFER_NONE);
    EXPECT_TRUE(r.dxferpNull);
}

TEST_F(SgTransportTest, DataOutReachesTheDeviceUnchanged)
{
    Bytes page(4096);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i * 7 + 3);
    std::uint32_t transferred = 0;
    const std::uint8_t cdb[16] = {0xE5, 0x01, 0x00, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x55};
    ASSERT_EQ(SendScsiOut(sg, cdb, 16, page.data(), 4096, transferred), 1);
    const SgRequest r = bed->lastRequest();
    EXPECT_EQ(r.direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(r.cmdLen, 16u);
    EXPECT_EQ(r.cdb, Bytes(cdb, cdb + 16));
    EXPECT_EQ(r.dataOut, page);
    EXPECT_EQ(device.lastOut, page);
    EXPECT_EQ(transferred, 4096u);
    ExpectWithinLiveMemory(r);

    std::uint8_t sense[18] = {};
    ASSERT_EQ(SendScsiOutSense(sg, kCdb10, 10, page.data(), 512, transferred, sense, 18), 1);
    EXPECT_EQ(bed->lastRequest().dataOut, Bytes(page.begin(), page.begin() + 512));
    EXPECT_EQ(transferred, 512u);
}

TEST_F(SgTransportTest, TimeoutsReachTheKernelInMilliseconds)
{
    std::uint8_t buf[8] = {};
    std::uint8_t sense[18] = {};
    std::uint32_t transferred = 0;
    const auto outTimeout = [&](std::uint8_t b1, std::uint8_t b2, std::uint8_t b11) {
        std::uint8_t cdb[12] = {0xDF, b1, b2, 0, 0, 0, 0, 0, 0, 0, 0, b11};
        EXPECT_EQ(SendScsiOut(sg, cdb, 12, buf, 8, transferred), 1);
        return bed->lastRequest().timeoutMs;
    };
    EXPECT_EQ(outTimeout(0x00, 0x00, 0x00), 50000u);
    EXPECT_EQ(outTimeout(0x04, 0x13, 0x00), 100000u) << "whole-flash erase";
    EXPECT_EQ(outTimeout(0x03, 0x00, 0xFB), 100000u);
    EXPECT_EQ(outTimeout(0x01, 0x00, 0xFB), 50000u);
    EXPECT_EQ(outTimeout(0x83, 0x00, 0xFB), 50000u);

    const std::uint8_t erase[12] = {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(SendScsiIn(sg, erase, 12, buf, 8, transferred), 1);
    EXPECT_EQ(bed->lastRequest().timeoutMs, 10000u) << "data-in keeps 10 s whatever the CDB";
    ASSERT_EQ(SendScsiOutSense(sg, erase, 12, buf, 8, transferred, sense, 18), 1);
    EXPECT_EQ(bed->lastRequest().timeoutMs, 10000u);
    ASSERT_EQ(SendScsiInSense(sg, erase, 12, buf, 8, transferred, sense, 18), 1);
    EXPECT_EQ(bed->lastRequest().timeoutMs, 10000u);
}

TEST_F(SgTransportTest, CheckConditionFailsAndTheSenseVariantsReturnTheSense)
{
    device.answer = [](const std::uint8_t *, int, sim::WireDirection, std::uint8_t *, std::uint32_t) {
        return sim::CheckCondition(0x05, 0x24, 0x00);
    };
    std::uint8_t buf[32];
    std::memset(buf, 0xEE, sizeof buf);
    std::uint8_t sense[18] = {};
    std::uint32_t transferred = 999;

    ASSERT_EQ(SendScsiInSense(sg, kCdb10, 10, buf, 32, transferred, sense, 18), 0);
    EXPECT_EQ(bed->lastRequest().mxSbLen, 32u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2] & 0x0F, 0x05);
    EXPECT_EQ(sense[12], 0x24);
    EXPECT_EQ(sense[13], 0x00);
    EXPECT_EQ(transferred, 0u) << "the in-variant always stores the count";
    EXPECT_FALSE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().scsiStatus, 2);
    EXPECT_EQ(LastTransportFailure().sysErrno, 0);

    std::memset(sense, 0, sizeof sense);
    transferred = 999;
    ASSERT_EQ(SendScsiOutSense(sg, kCdb10, 10, buf, 32, transferred, sense, 18), 0);
    EXPECT_EQ(sense[12], 0x24);
    EXPECT_EQ(transferred, 999u) << "the out-variant leaves the count alone on failure";

    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 32, transferred), 0);
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(buf[i], 0) << "a failed data-in still overwrites the caller's buffer, byte " << i;
    EXPECT_NE(DescribeLastTransportFailure().find("SCSI status 0x02"), std::string::npos)
        << DescribeLastTransportFailure();
}

TEST_F(SgTransportTest, SenseWithGoodStatusIsNotATransportError)
{
    // The driver flags DRIVER_SENSE whenever sense came back, e.g. a recovered error.
    bed->setBehaviour(WithDriverStatus(0x08));
    std::uint8_t buf[4];
    std::uint32_t transferred = 0;
    EXPECT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 4, transferred), 1);
}

TEST_F(SgTransportTest, HostAndDriverErrorsFailTheCommand)
{
    std::uint8_t buf[8];
    std::uint8_t sense[18];
    std::uint32_t transferred = 0;

    bed->setBehaviour(WithHostStatus(0x07)); // DID_ERROR
    EXPECT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 8, transferred), 0);
    EXPECT_EQ(LastTransportFailure().sysErrno, EIO);
    EXPECT_EQ(SendScsiInSense(sg, kCdb10, 10, buf, 8, transferred, sense, 18), 0);

    bed->setBehaviour(WithHostStatus(0x01)); // DID_NO_CONNECT: the target went away
    EXPECT_EQ(SendScsiOut(sg, kCdb12, 12, buf, 8, transferred), 0);
    EXPECT_EQ(LastTransportFailure().sysErrno, ENODEV);

    bed->setBehaviour(WithHostStatus(0x03)); // DID_TIME_OUT
    EXPECT_EQ(SendScsiOutSense(sg, kCdb10, 10, buf, 8, transferred, sense, 18), 0);
    EXPECT_EQ(LastTransportFailure().sysErrno, ETIMEDOUT);
    // The message names the command that got no answer and how long it was given.
    EXPECT_EQ(DescribeLastTransportFailure(),
              "command " + HexBytes(kCdb10, 10) + " timed out on " + sg + ": no answer within 10 s");

    bed->setBehaviour(WithDriverStatus(0x06)); // DRIVER_TIMEOUT
    EXPECT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 8, transferred), 0);
    EXPECT_EQ(LastTransportFailure().sysErrno, ETIMEDOUT);
}

TEST_F(SgTransportTest, IoctlErrorsAreReportedWithTheirCause)
{
    std::uint8_t buf[8] = {};
    std::uint8_t sense[18] = {};
    std::uint32_t transferred = 5;

    bed->setBehaviour(WithIoctlError(EIO));
    EXPECT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 8, transferred), 0);
    EXPECT_FALSE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().sysErrno, EIO);
    EXPECT_NE(DescribeLastTransportFailure().find(std::strerror(EIO)), std::string::npos);

    // The kernel's command filter refuses vendor opcodes without CAP_SYS_RAWIO.
    bed->setBehaviour(WithIoctlError(EPERM));
    transferred = 5;
    EXPECT_EQ(SendScsiOutSense(sg, kCdb10, 10, buf, 8, transferred, sense, 18), 0);
    EXPECT_EQ(transferred, 5u);
    EXPECT_EQ(LastTransportFailure().sysErrno, EPERM);
    EXPECT_FALSE(LastTransportFailure().openFailed) << "a refused command is not a vanished device";
    EXPECT_NE(DescribeLastTransportFailure().find("root"), std::string::npos)
        << DescribeLastTransportFailure();

    bed->setBehaviour(WithIoctlError(EACCES));
    EXPECT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 8, transferred), 0);
    EXPECT_NE(DescribeSgTransportFailure().find("CAP_SYS_RAWIO"), std::string::npos);

    // The sg driver's answer to a transfer beyond the adapter's max_hw_sectors.
    for (int error : {E2BIG, ENOMEM, EINVAL}) {
        bed->setBehaviour(WithIoctlError(error));
        EXPECT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 8, transferred), 0);
        EXPECT_NE(DescribeSgTransportFailure().find("larger than the host adapter accepts"),
                  std::string::npos)
            << DescribeSgTransportFailure();
    }
}

TEST_F(SgTransportTest, MissingNodeIsNotFoundAndTouchesNothing)
{
    std::uint8_t buf[4] = {1, 2, 3, 4};
    std::uint32_t transferred = 42;
    EXPECT_EQ(SendScsiIn("/dev/sg9", kCdb12, 12, buf, 4, transferred), 0);
    EXPECT_TRUE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().openError, OpenError::NotFound);
    EXPECT_EQ(LastTransportFailure().sysErrno, ENOENT);
    EXPECT_EQ(transferred, 42u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_TRUE(bed->requests().empty());
}

TEST_F(SgTransportTest, UnpluggedDeviceFailsWhetherOpenOrNot)
{
    std::uint8_t buf[4] = {};
    std::uint32_t transferred = 0;
    ASSERT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 4, transferred), 1);

    bed->unplug();
    EXPECT_EQ(SendScsiIn(sg, kCdb12, 12, buf, 4, transferred), 0);
    EXPECT_TRUE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().openError, OpenError::NotFound);
    EXPECT_NE(DescribeLastTransportFailure().find("device not present"), std::string::npos);
}

TEST_F(SgTransportTest, DeviceRemovedBetweenOpenAndCommand)
{
    // The node was opened before the unplug; the driver then answers ENODEV.
    SgBackend racing({.open =
                          [this](const char *path, int flags) {
                              const int fd = ::open(path, flags);
                              bed->unplug();
                              return fd;
                          },
                      .ioctl = {},
                      .close = {}});
    services.backend(&racing);
    std::uint8_t buf[4] = {};
    std::uint8_t sense[18] = {};
    std::uint32_t transferred = 3;
    EXPECT_EQ(SendScsiInSense(sg, kCdb10, 10, buf, 4, transferred, sense, 18), 0);
    EXPECT_FALSE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().sysErrno, ENODEV);
    EXPECT_NE(DescribeLastTransportFailure().find(std::strerror(ENODEV)), std::string::npos);
}

TEST_F(SgTransportTest, ProbeVendorCommandSendsTheProbeAndReadsTheReply)
{
    device.answer = [](const std::uint8_t *cdb, int, sim::WireDirection, std::uint8_t *data,
                       std::uint32_t length) {
        if (cdb[0] != 0xDF)
            return sim::IllegalRequest();
        data[0] = 0x31;
        data[1] = 0x07;
        return sim::Good(length);
    };
    std::uint8_t reply[2] = {};
    ASSERT_EQ(ProbeVendorCommand(sg, reply), 1);
    const SgRequest r = bed->lastRequest();
    EXPECT_EQ(r.cdb, (Bytes{0xDF, 0x10, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(r.direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(r.dxferLen, 2u);
    EXPECT_EQ(reply[0], 0x31);
    EXPECT_EQ(reply[1], 0x07);

    device.answer = [](const std::uint8_t *, int, sim::WireDirection, std::uint8_t *, std::uint32_t) {
        return sim::IllegalRequest();
    };
    EXPECT_EQ(ProbeVendorCommand(sg, reply), 0) << "a disk that is not behind a supported bridge rejects it";
}

// The check of the node --device names, before anything runs: only an sg node
// that answers the sg driver's version query is taken; an open the process may
// not make is left to the command, which explains it.
TEST_F(SgTransportTest, DeviceCheckTakesOnlyAnAnsweringScsiGenericNode)
{
    struct Case {
        const char *path;
        int openErrno; // the open fails with this, 0: the real open
        const char *problem;
    };
    const char *const notGeneric = ": not a SCSI generic device (give the bridge disk's /dev/sgN)";
    for (const Case &c : {
             Case{SgTestbed::kSgNode, 0, ""},
             Case{SgTestbed::kSgNode, EACCES, ""},
             Case{SgTestbed::kSgNode, EBUSY, ""},
             Case{SgTestbed::kSgNode, ENXIO, "cannot open /dev/sg2: No such device or address"},
             Case{SgTestbed::kEnclosureSgNode, 0, notGeneric}, // sg major, but no driver answers
             Case{SgTestbed::kDiskNode, 0, notGeneric},        // the disk's block node
             Case{"/dev/sg9", 0, "cannot open /dev/sg9: No such file or directory"},
             Case{"/proc/self/status", 0, notGeneric},
             Case{"/proc", 0, notGeneric},
         }) {
        SgSystemCalls calls;
        if (c.openErrno)
            calls.open = [&](const char *, int) {
                errno = c.openErrno;
                return -1;
            };
        const std::string problem = ScsiGenericNodeProblem(c.path, calls);
        const std::string expected = *c.problem == ':' ? c.path + std::string(c.problem) : c.problem;
        EXPECT_EQ(problem, expected) << c.path << " with open errno " << c.openErrno;
    }
}

} // namespace
} // namespace brigant::test

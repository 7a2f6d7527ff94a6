// What a mocked device tree cannot show: exclusive opens, open errors the
// test runs can't provoke as root, and interrupted calls. The back end's system
// calls are replaced by a small model of the sg driver's open rules.
#include "app/installed_services.h"
#include "device/linux/sg_backend.h"
#include "device/transport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <scsi/sg.h>
#include <vector>

namespace brigant::test
{
namespace
{

// The sg driver's sharing rules for one node: an O_EXCL open fails with EBUSY
// while anyone has it open, any open fails with EBUSY while it is held
// exclusively (with O_NONBLOCK; without it the open would wait).
class SgNodeModel
{
  public:
    int openErrno = 0;      // every open fails with this
    int interruptOpens = 0; // this many opens fail with EINTR first
    int interruptIoctls = 0;
    bool heldExclusivelyElsewhere = false;
    int heldElsewhere = 0;

    std::vector<int> openFlags;
    int ioctls = 0;
    int openFds = 0;

    SgSystemCalls calls()
    {
        SgSystemCalls c;
        c.open = [this](const char *, int flags) {
            openFlags.push_back(flags);
            if (interruptOpens > 0) {
                --interruptOpens;
                errno = EINTR;
                return -1;
            }
            if (openErrno) {
                errno = openErrno;
                return -1;
            }
            const bool busy = heldExclusivelyElsewhere || ((flags & O_EXCL) && heldElsewhere > 0);
            if (busy && (flags & O_NONBLOCK)) {
                errno = EBUSY;
                return -1;
            }
            ++openFds;
            return 100;
        };
        c.ioctl = [this](int, unsigned long request, void *arg) {
            if (interruptIoctls > 0) {
                --interruptIoctls;
                errno = EINTR;
                return -1;
            }
            ++ioctls;
            if (request != SG_IO) {
                errno = ENOTTY;
                return -1;
            }
            auto *hdr = static_cast<sg_io_hdr_t *>(arg);
            hdr->resid = 0;
            return 0;
        };
        c.close = [this](int) {
            --openFds;
            return 0;
        };
        return c;
    }
};

class SgOpenTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        backend = std::make_unique<SgBackend>(node.calls());
        services.backend(backend.get());
    }

    SgNodeModel node;
    std::unique_ptr<SgBackend> backend;
    InstalledServices services;
    const std::uint8_t cdb[10] = {0xE0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::uint8_t buf[8] = {};
    std::uint8_t sense[18] = {};
    std::uint32_t transferred = 0;
};

TEST_F(SgOpenTest, OnlyThePlainDataInOperationSharesTheNode)
{
    ASSERT_EQ(SendScsiIn("/dev/sg2", cdb, 10, buf, 8, transferred), 1);
    ASSERT_EQ(SendScsiOut("/dev/sg2", cdb, 10, buf, 8, transferred), 1);
    ASSERT_EQ(SendScsiInSense("/dev/sg2", cdb, 10, buf, 8, transferred, sense, 18), 1);
    ASSERT_EQ(SendScsiOutSense("/dev/sg2", cdb, 10, buf, 8, transferred, sense, 18), 1);
    ASSERT_EQ(node.openFlags.size(), 4u);
    for (int flags : node.openFlags) {
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
        EXPECT_TRUE(flags & O_NONBLOCK) << "a held node must fail the open, not block it";
    }
    EXPECT_FALSE(node.openFlags[0] & O_EXCL);
    EXPECT_TRUE(node.openFlags[1] & O_EXCL);
    EXPECT_TRUE(node.openFlags[2] & O_EXCL);
    EXPECT_TRUE(node.openFlags[3] & O_EXCL);
    EXPECT_EQ(node.openFds, 0) << "every command closes its descriptor";
}

TEST_F(SgOpenTest, ConcurrentOpenerMakesTheUnsharedOperationsFailAtOpen)
{
    node.heldElsewhere = 1;
    EXPECT_EQ(SendScsiIn("/dev/sg2", cdb, 10, buf, 8, transferred), 1) << "sharing opener still gets in";
    transferred = 7;
    EXPECT_EQ(SendScsiOut("/dev/sg2", cdb, 10, buf, 8, transferred), 0);
    EXPECT_TRUE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().openError, OpenError::Busy);
    EXPECT_EQ(SendScsiInSense("/dev/sg2", cdb, 10, buf, 8, transferred, sense, 18), 0);
    EXPECT_EQ(transferred, 7u);
    EXPECT_EQ(node.ioctls, 1) << "nothing is sent after a failed open";

    node.heldElsewhere = 0;
    node.heldExclusivelyElsewhere = true;
    EXPECT_EQ(SendScsiIn("/dev/sg2", cdb, 10, buf, 8, transferred), 0);
    EXPECT_EQ(LastTransportFailure().openError, OpenError::Busy);
}

TEST_F(SgOpenTest, OpenErrnoBecomesAnOpenErrorKeepingTheErrno)
{
    const struct {
        int error;
        OpenError expected;
    } cases[] = {{ENOENT, OpenError::NotFound},
                 {ENODEV, OpenError::NotFound},
                 {ENXIO, OpenError::NotFound},
                 {EACCES, OpenError::PermissionDenied},
                 {EPERM, OpenError::PermissionDenied},
                 {EBUSY, OpenError::Busy},
                 {EMFILE, OpenError::Other}};
    for (const auto &c : cases) {
        node.openErrno = c.error;
        EXPECT_EQ(SendScsiOutSense("/dev/sg2", cdb, 10, buf, 8, transferred, sense, 18), 0);
        EXPECT_TRUE(LastTransportFailure().openFailed);
        EXPECT_EQ(LastTransportFailure().openError, c.expected) << "errno " << c.error;
        EXPECT_EQ(LastTransportFailure().sysErrno, c.error);
    }
    node.openErrno = EACCES;
    EXPECT_EQ(SendScsiIn("/dev/sg2", cdb, 10, buf, 8, transferred), 0);
    EXPECT_NE(DescribeSgTransportFailure().find(kPrivilegeAdvice), std::string::npos)
        << DescribeSgTransportFailure();
    EXPECT_EQ(node.ioctls, 0);
}

TEST_F(SgOpenTest, InterruptedOpenIsRepeatedButNotTheCommand)
{
    node.interruptOpens = 2;
    EXPECT_EQ(SendScsiIn("/dev/sg2", cdb, 10, buf, 8, transferred), 1) << DescribeLastTransportFailure();
    EXPECT_EQ(node.openFlags.size(), 3u);
    EXPECT_EQ(node.ioctls, 1);
    EXPECT_EQ(node.openFds, 0);

    // An interrupted command may still be running in the device: it is
    // reported as failed rather than sent a second time.
    node.interruptIoctls = 1;
    EXPECT_EQ(SendScsiOut("/dev/sg2", cdb, 10, buf, 8, transferred), 0);
    EXPECT_EQ(node.ioctls, 1);
    EXPECT_EQ(LastTransportFailure().sysErrno, EINTR);
    EXPECT_EQ(node.openFds, 0);
}

} // namespace
} // namespace brigant::test

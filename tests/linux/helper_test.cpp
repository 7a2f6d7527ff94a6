// brigant-fw-helper, the installed binary, through HelperBackend: which nodes
// it accepts in a mocked device tree (exactly those discovery lists), and the
// requests it refuses with their reasons before anything is opened.
#include "device/linux/helper_backend.h"
#include "device/linux/helper_protocol.h"
#include "device/linux/udev_discovery.h"
#include "disk_tree.h"
#include "sg_testbed.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace brigant::test
{
namespace
{

const std::uint8_t kInquiry[6] = {0x12, 0, 0, 0, 40, 0};

struct Sent {
    ScsiOutcome outcome;
    std::string refusal;
};

Sent SendThroughHelper(const std::string &path, const std::uint8_t *cdb, std::uint8_t cdbLength,
                       DataDirection direction, std::uint32_t length)
{
    HelperBackend helper({BRIGANT_HELPER_BINARY});
    std::vector<std::uint8_t> data(length);
    ScsiCommand cmd;
    cmd.cdb = cdb;
    cmd.cdbLength = cdbLength;
    cmd.direction = direction;
    cmd.data = length ? data.data() : nullptr;
    cmd.length = length;
    Sent sent;
    sent.outcome = helper.execute(path, cmd);
    sent.refusal = helper.lastRefusal();
    return sent;
}

class HelperTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!UnderUmockdev())
            GTEST_SKIP() << "needs umockdev's preload library: run through ctest";
        testbed_ = umockdev_testbed_new();
        GError *error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, kDiskTree, &error))
            << (error ? error->message : "?");
    }
    void TearDown() override
    {
        if (testbed_)
            g_object_unref(testbed_);
    }

    UMockdevTestbed *testbed_ = nullptr;
};

TEST_F(HelperTest, AcceptsExactlyTheNodesDiscoveryLists)
{
    UdevDiskEnumerator enumerator([](std::string &text) {
        text.clear();
        return true;
    });
    std::vector<DiskInterface> disks;
    ASSERT_TRUE(enumerator.listDisks(disks));
    std::set<std::string> listed;
    for (const DiskInterface &d : disks)
        listed.insert(d.path);
    ASSERT_EQ(listed, (std::set<std::string>{"/dev/sg2", "/dev/sg3", "/dev/sg4"}));

    // sg0: the internal SATA disk; sg6: an optical drive behind usb-storage.
    for (const char *path : {"/dev/sg0", "/dev/sg2", "/dev/sg3", "/dev/sg4", "/dev/sg6"}) {
        SCOPED_TRACE(path);
        const Sent sent = SendThroughHelper(path, kInquiry, 6, DataDirection::In, 40);
        if (listed.count(path)) {
            EXPECT_EQ(sent.refusal, "");
            EXPECT_NE(sent.outcome.sysErrno, ENOTSUP);
        } else {
            EXPECT_NE(sent.refusal, "");
            EXPECT_FALSE(sent.outcome.opened);
            EXPECT_EQ(sent.outcome.sysErrno, ENOTSUP);
        }
    }
    EXPECT_NE(SendThroughHelper("/dev/sg0", kInquiry, 6, DataDirection::In, 40).refusal.find("internal disk"),
              std::string::npos);
}

TEST_F(HelperTest, RefusesWithItsReasonBeforeOpeningAnything)
{
    const std::uint8_t write10[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const std::uint8_t ff05[12] = {0xFF, 0x05};
    const std::uint8_t reportLuns[12] = {0xA0};
    const std::uint8_t readCapacity10InDisguise[16] = {0x9E, 0x11};
    struct Case {
        const char *what;
        std::string path;
        const std::uint8_t *cdb;
        std::uint8_t cdbLength;
        DataDirection direction;
        std::uint32_t length;
        const char *reason;
    };
    const Case cases[] = {
        {"WRITE(10) to a bridge disk", "/dev/sg2", write10, 10, DataDirection::Out, 512,
         "opcode 0x2A is not one this tool sends"},
        {"a vendor 0xFF command of another sub-code", "/dev/sg2", ff05, 12, DataDirection::In, 4,
         "sub-code 0x05"},
        {"an opcode of no command of this tool", "/dev/sg2", reportLuns, 12, DataDirection::In, 16,
         "opcode 0xA0"},
        {"another service action of 0x9E", "/dev/sg2", readCapacity10InDisguise, 16, DataDirection::In, 16,
         "service action 0x11"},
        {"a length above the largest transfer", "/dev/sg2", kInquiry, 6, DataDirection::In,
         helper::kHelperMaxLength + 1, "exceeds the largest transfer"},
        {"a path outside /dev", "/tmp/sg2", kInquiry, 6, DataDirection::In, 40, "path outside /dev"},
        {"a path that climbs out of /dev", "/dev/../sys/sg2", kInquiry, 6, DataDirection::In, 40,
         "path outside /dev"},
        {"a relative path", "sg2", kInquiry, 6, DataDirection::In, 40, "path outside /dev"},
        {"a simulated path", "sim:sg0", kInquiry, 6, DataDirection::In, 40, "path outside /dev"},
        {"a node udev does not know", "/dev/sg9", kInquiry, 6, DataDirection::In, 40, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Sent sent = SendThroughHelper(c.path, c.cdb, c.cdbLength, c.direction, c.length);
        EXPECT_FALSE(sent.outcome.opened);
        EXPECT_EQ(sent.outcome.sysErrno, ENOTSUP);
        EXPECT_NE(sent.refusal, "");
        EXPECT_NE(sent.refusal.find(c.reason), std::string::npos) << sent.refusal;
    }
}

// pkexec exits at once when the authorisation is refused or dismissed: the
// command fails as a permission problem, and the helper is not started again.
TEST(HelperBackendStart, AHelperThatEndsAtOnceIsAPermissionProblemOnce)
{
    char dir[] = "/tmp/brigant-helper-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string script = std::string(dir) + "/refused", starts = std::string(dir) + "/starts";
    std::FILE *f = std::fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "#!/bin/sh\necho started >>'%s'\nexit 126\n", starts.c_str());
    std::fclose(f);
    ASSERT_EQ(::chmod(script.c_str(), 0700), 0);

    for (const std::string &program : {script, std::string("/nonexistent/brigant-fw-helper")}) {
        SCOPED_TRACE(program);
        HelperBackend helper({program});
        std::uint8_t reply[40] = {};
        ScsiCommand cmd;
        cmd.cdb = kInquiry;
        cmd.cdbLength = 6;
        cmd.data = reply;
        cmd.length = sizeof reply;
        for (int attempt = 0; attempt < 2; ++attempt) {
            const ScsiOutcome o = helper.execute("/dev/sg2", cmd);
            EXPECT_FALSE(o.opened);
            EXPECT_EQ(o.openError, OpenError::PermissionDenied);
            EXPECT_EQ(o.transferred, 0u);
        }
    }
    std::ifstream in(starts);
    std::string line;
    int count = 0;
    while (std::getline(in, line))
        ++count;
    EXPECT_EQ(count, 1) << "started once for two commands";
    std::remove(starts.c_str());
    std::remove(script.c_str());
    ::rmdir(dir);
}

} // namespace
} // namespace brigant::test

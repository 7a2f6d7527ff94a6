// The bridge command set over SG_IO: the simulated generic bridge answers
// behind the mocked /dev/sg2, so the vendor commands cross the real
// open / ioctl / close path in both directions.
#include "app/installed_services.h"
#include "bridge/chip_commands.h"
#include "common/clock.h"
#include "device/linux/sg_backend.h"
#include "device/transport.h"
#include "sg_testbed.h"
#include "sim/presets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace brigant::test
{
namespace
{

std::shared_ptr<sim::SimBridge> MakeBridge(const char *preset, Clock &clock)
{
    sim::PresetSpec spec;
    spec.name = preset;
    std::string error;
    auto bridge = sim::MakePresetDevice(spec, clock, error);
    EXPECT_TRUE(bridge) << error;
    return bridge;
}

class SgBridgeTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!UnderUmockdev())
            GTEST_SKIP() << "needs umockdev's preload library: run through ctest, or with "
                            "LD_PRELOAD=libumockdev-preload.so.0";
        services.clock(&clock).backend(&backend);
    }

    VirtualClock clock;
    SgBackend backend;
    InstalledServices services;
    const std::string sg = SgTestbed::kSgNode;
};

TEST_F(SgBridgeTest, GenericBridgeAnswersVendorCommandsThroughSgIo)
{
    auto bridge = MakeBridge("generic", clock);
    ASSERT_TRUE(bridge);
    SgTestbed bed(*bridge);
    ASSERT_TRUE(bed.ok()) << bed.error();

    std::uint8_t reply[2] = {0xEE, 0xEE};
    ASSERT_EQ(ProbeVendorCommand(sg, reply), 1) << DescribeLastTransportFailure();
    EXPECT_EQ(reply[0], (*bridge->identity().probeReply)[0]);
    EXPECT_EQ(reply[1], (*bridge->identity().probeReply)[1]);

    std::vector<std::uint8_t> written(64);
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = static_cast<std::uint8_t>(0x3C ^ i);
    ASSERT_EQ(WriteXdata(sg, written.data(), 0x4000, 64), 1) << DescribeLastTransportFailure();
    EXPECT_TRUE(std::equal(written.begin(), written.end(), bridge->xdata().begin() + 0x4000));
    std::vector<std::uint8_t> read(64);
    ASSERT_EQ(ReadXdata(sg, read.data(), 0x4000, 64), 1) << DescribeLastTransportFailure();
    EXPECT_EQ(read, written);

    std::vector<std::uint8_t> flash(4096);
    ASSERT_EQ(ReadBlock24(sg, 0, flash.data(), 4096), 1) << DescribeLastTransportFailure();
    const auto &contents = bridge->flash().contents();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), contents.begin()));
}

TEST_F(SgBridgeTest, PlainDiskRejectsTheProbe)
{
    auto disk = MakeBridge("plain-disk", clock);
    ASSERT_TRUE(disk);
    SgTestbed bed(*disk);
    ASSERT_TRUE(bed.ok()) << bed.error();

    std::uint8_t reply[2] = {};
    EXPECT_EQ(ProbeVendorCommand(sg, reply), 0);
    EXPECT_FALSE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().scsiStatus, 2);
}

} // namespace
} // namespace brigant::test

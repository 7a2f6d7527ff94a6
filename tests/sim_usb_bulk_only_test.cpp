// The bulk-only transport in front of the simulated bridge: wrapper parsing,
// residues, the sense that REQUEST SENSE hands out after a failed command, and
// the faults of the back end as the USB host would see them.
#include "common/clock.h"
#include "sim/simulation.h"
#include "sim/usb/bulk_only.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace brigant;
using namespace brigant::sim;
using namespace brigant::sim::usb;

namespace
{

using Bytes = std::vector<std::uint8_t>;

Bytes RawCbw(std::uint32_t tag, std::uint32_t length, bool in, const Bytes &cdb, std::uint8_t lun = 0)
{
    Bytes b(kCbwSize, 0);
    std::memcpy(b.data(), "USBC", 4);
    for (int i = 0; i < 4; ++i) {
        b[4 + i] = static_cast<std::uint8_t>(tag >> (8 * i));
        b[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    b[12] = in ? 0x80 : 0x00;
    b[13] = lun;
    b[14] = static_cast<std::uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), b.begin() + 15);
    return b;
}

Cbw MakeCbw(std::uint32_t length, bool in, const Bytes &cdb)
{
    const Bytes raw = RawCbw(7, length, in, cdb);
    Cbw cbw;
    EXPECT_TRUE(ParseCbw(raw.data(), raw.size(), cbw));
    return cbw;
}

const Bytes kChipInfo = {0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Bytes kRequestSense = {0x03, 0, 0, 0, 96, 0};

TEST(BulkOnlyWrapper, ParsesTheHostsFieldsAndRejectsMalformedWrappers)
{
    Bytes raw = RawCbw(0xA1B2C3D4, 0x00010203, true, kChipInfo);
    Cbw cbw;
    ASSERT_TRUE(ParseCbw(raw.data(), raw.size(), cbw));
    EXPECT_EQ(cbw.tag, 0xA1B2C3D4u);
    EXPECT_EQ(cbw.dataLength, 0x00010203u);
    EXPECT_TRUE(cbw.dataIn);
    EXPECT_EQ(cbw.cdbLength, 12);
    EXPECT_TRUE(std::equal(kChipInfo.begin(), kChipInfo.end(), cbw.cdb.begin()));

    EXPECT_FALSE(ParseCbw(raw.data(), raw.size() - 1, cbw)) << "short wrapper";
    raw.push_back(0);
    EXPECT_FALSE(ParseCbw(raw.data(), raw.size(), cbw)) << "long wrapper";
    Bytes badSignature = RawCbw(1, 0, false, kChipInfo);
    badSignature[3] = 'S';
    EXPECT_FALSE(ParseCbw(badSignature.data(), badSignature.size(), cbw));
    Bytes noCdb = RawCbw(1, 0, false, {});
    EXPECT_FALSE(ParseCbw(noCdb.data(), noCdb.size(), cbw));
    Bytes otherLun = RawCbw(1, 0, false, kChipInfo, 1);
    EXPECT_FALSE(ParseCbw(otherLun.data(), otherLun.size(), cbw));
}

TEST(BulkOnlyWrapper, StatusWrapperCarriesTagResidueAndStatus)
{
    const auto csw = MakeCsw(0x01020304, 0x00000130, CswStatus::Failed);
    const Bytes expected = {'U', 'S', 'B', 'S', 0x04, 0x03, 0x02, 0x01, 0x30, 0x01, 0x00, 0x00, 0x01};
    EXPECT_EQ(Bytes(csw.begin(), csw.end()), expected);
}

class BulkOnlyUnitTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string error;
        path = simulation.add("generic", error);
        ASSERT_FALSE(path.empty()) << error;
    }
    BotResult run(std::uint32_t length, bool in, const Bytes &cdb)
    {
        data.assign(length, 0xCC);
        return unit.run(MakeCbw(length, in, cdb), data.data());
    }
    Bytes senseReply()
    {
        const BotResult r = run(96, true, kRequestSense);
        EXPECT_EQ(r.status, CswStatus::Passed);
        return Bytes(data.begin(), data.begin() + r.transferred);
    }

    VirtualClock clock;
    Simulation simulation{clock};
    std::string path;
    BotUnit unit{simulation.backend(), "sim:sg0"};
    Bytes data;
};

TEST_F(BulkOnlyUnitTest, DataInReportsTheResidueOfAShortReply)
{
    BotResult r = run(16, true, kChipInfo);
    EXPECT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(r.transferred, 16u);
    EXPECT_EQ(r.residue, 0u);
    EXPECT_EQ(data[0], 0xF4);
    EXPECT_EQ(data[1], 0xE7);

    r = run(64, true, kChipInfo);
    EXPECT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(r.transferred, 16u);
    EXPECT_EQ(r.residue, 48u);
}

TEST_F(BulkOnlyUnitTest, DataOutReachesTheDeviceAndReadsBack)
{
    // WriteXdata of 4 bytes at 0x1234, then ReadXdata.
    data = {0xDE, 0xAD, 0xBE, 0xEF};
    const BotResult w =
        unit.run(MakeCbw(4, false, {0xDF, 0, 0, 0, 4, 0, 0x12, 0x34, 0, 0, 0, 0xFE}), data.data());
    EXPECT_EQ(w.status, CswStatus::Passed);
    EXPECT_EQ(w.residue, 0u);
    const BotResult r = run(4, true, {0xDF, 0x10, 0, 0, 4, 0, 0x12, 0x34, 0, 0, 0, 0xFD});
    EXPECT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(data, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST_F(BulkOnlyUnitTest, FailedCommandMovesNoDataAndLeavesItsSenseForOneRequestSense)
{
    const BotResult r = run(16, true, {0xE0, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.status, CswStatus::Failed);
    EXPECT_EQ(r.transferred, 0u);
    EXPECT_EQ(r.residue, 16u);

    const Bytes sense = senseReply();
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(sense[12], 0x20);
    // Sense is handed out once; then there is none.
    const Bytes again = senseReply();
    EXPECT_EQ(again[2], 0x00);
    EXPECT_EQ(again[12], 0x00);
}

TEST_F(BulkOnlyUnitTest, RequestSenseHonoursTheAllocationLengthAndASucceedingCommandClearsSense)
{
    run(16, true, {0xE0, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    BotResult r = run(96, true, {0x03, 0, 0, 0, 8, 0});
    EXPECT_EQ(r.transferred, 8u);
    EXPECT_EQ(r.residue, 88u);

    run(16, true, {0xE0, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    run(16, true, kChipInfo);
    EXPECT_EQ(senseReply()[2], 0x00) << "the sense belonged to the command before";
}

TEST_F(BulkOnlyUnitTest, InjectedNotReadyIsACheckConditionWithBecomingReadySense)
{
    simulation.backend().addFault(path, NotReadyFault(2, {0xE0, 0xF4}));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(run(16, true, kChipInfo).status, CswStatus::Failed);
        const Bytes sense = senseReply();
        EXPECT_EQ(sense[2], 0x02);
        EXPECT_EQ(sense[12], 0x04);
        EXPECT_EQ(sense[13], 0x01);
    }
    EXPECT_EQ(run(16, true, kChipInfo).status, CswStatus::Passed);
}

TEST_F(BulkOnlyUnitTest, BackEndFaultsBecomePhaseErrorsOrALostDevice)
{
    FaultRule transport = Fault(FaultRule::Kind::TransportError);
    transport.nth = 1;
    simulation.backend().addFault(path, transport);
    BotResult r = run(16, true, kChipInfo);
    EXPECT_EQ(r.status, CswStatus::PhaseError);
    EXPECT_FALSE(r.deviceGone);

    simulation.backend().addFault(path, Fault(FaultRule::Kind::PowerLoss));
    r = run(16, true, kChipInfo);
    EXPECT_TRUE(r.deviceGone);
    EXPECT_EQ(r.residue, 16u);
}

TEST_F(BulkOnlyUnitTest, ZeroLengthResetCommandReachesTheBridgesResetListener)
{
    int resets = 0;
    simulation.bridges().front()->setResetListener([&] { ++resets; });
    // The host's wrapper of a command without data says "out".
    const BotResult r = run(0, false, {0xFF, 0x04, 0x26, 'V', 'K', 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.status, CswStatus::Passed);
    EXPECT_EQ(r.residue, 0u);
    EXPECT_EQ(resets, 1);
}

} // namespace

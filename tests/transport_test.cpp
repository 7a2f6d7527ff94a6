#include "app/installed_services.h"
#include "bridge/chip_commands.h"
#include "device/transport.h"
#include "recording_backend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

using namespace brigant;
using brigant::test::RecordedCommand;
using brigant::test::RecordingBackend;
using brigant::test::Reply;
using brigant::test::ScriptedReply;

namespace
{

class TransportTest : public ::testing::Test
{
  protected:
    void SetUp() override { services.backend(&backend).clock(&clock); }

    VirtualClock clock;
    RecordingBackend backend;
    InstalledServices services;
    const std::string path = "/dev/sg7";
    const std::uint8_t chipInfoCdb[12] = {0xE0, 0xF4, 0xE7};
};

std::vector<std::uint8_t> Cdb12(std::initializer_list<std::pair<int, std::uint8_t>> bytes)
{
    std::vector<std::uint8_t> c(12, 0);
    for (auto [i, v] : bytes)
        c[static_cast<std::size_t>(i)] = v;
    return c;
}

} // namespace

TEST_F(TransportTest, LengthOneIsSentAsTwoAndOnlyOneByteReachesTheCaller)
{
    backend.script = [](const auto &) { return Reply().data({0x5A, 0xA5}); };
    std::uint8_t buf[2] = {0x11, 0x22};
    std::uint32_t count = 99;
    ASSERT_EQ(SendScsiIn(path, chipInfoCdb, 12, buf, 1, count), 1);
    EXPECT_EQ(backend.commands.back().length, 2u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(buf[1], 0x22);

    // The sense variants use a small local buffer in the same way.
    buf[0] = 0x11;
    ASSERT_EQ(SendScsiInSense(path, chipInfoCdb, 12, buf, 1, count, nullptr, 0), 1);
    EXPECT_EQ(backend.commands.back().length, 2u);
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(buf[1], 0x22);

    // Out: the device receives the caller's byte followed by a zero.
    const std::uint8_t one = 0x7E;
    ASSERT_EQ(SendScsiOut(path, chipInfoCdb, 12, &one, 1, count), 1);
    EXPECT_EQ(backend.commands.back().dataOut, (std::vector<std::uint8_t>{0x7E, 0x00}));
    ASSERT_EQ(SendScsiOutSense(path, chipInfoCdb, 12, &one, 1, count, nullptr, 0), 1);
    EXPECT_EQ(backend.commands.back().dataOut, (std::vector<std::uint8_t>{0x7E, 0x00}));
}

TEST_F(TransportTest, LengthZeroSendsNoBuffer)
{
    std::uint32_t count = 5;
    ASSERT_EQ(SendScsiIn(path, chipInfoCdb, 12, nullptr, 0, count), 1);
    EXPECT_FALSE(backend.commands.back().hadBuffer);
    EXPECT_EQ(backend.commands.back().length, 0u);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(SendScsiOut(path, chipInfoCdb, 12, nullptr, 0, count), 1);
    EXPECT_FALSE(backend.commands.back().hadBuffer);
}

TEST_F(TransportTest, TimeoutsFollowDirectionAndCdb)
{
    std::uint32_t count = 0;
    std::uint8_t buf[4];
    auto eraseAll = Cdb12({{0, 0xFF}, {1, 0x04}, {2, 0x13}});
    SendScsiOut(path, eraseAll.data(), 12, nullptr, 0, count);
    EXPECT_EQ(backend.commands.back().timeoutSec, 100u);
    SendScsiIn(path, eraseAll.data(), 12, buf, 4, count);
    EXPECT_EQ(backend.commands.back().timeoutSec, 10u);

    for (std::uint8_t mode : {0x03, 0x01, 0x83}) {
        auto write = Cdb12({{0, 0xDF}, {1, mode}, {11, 0xFB}});
        SendScsiOut(path, write.data(), 12, nullptr, 0, count);
        EXPECT_EQ(backend.commands.back().timeoutSec, mode == 3 ? 100u : 50u) << "mode " << int(mode);
    }
    SendScsiOut(path, chipInfoCdb, 12, nullptr, 0, count);
    EXPECT_EQ(backend.commands.back().timeoutSec, 50u);
    SendScsiOutSense(path, eraseAll.data(), 12, nullptr, 0, count, nullptr, 0);
    EXPECT_EQ(backend.commands.back().timeoutSec, 10u);
    // A 10-byte CDB has no byte 11: it reads as zero.
    const std::uint8_t ten[10] = {0x3B, 0x03};
    SendScsiOut(path, ten, 10, nullptr, 0, count);
    EXPECT_EQ(backend.commands.back().timeoutSec, 50u);
}

TEST_F(TransportTest, OnlyThePlainDataInOperationSharesTheDevice)
{
    std::uint32_t count = 0;
    std::uint8_t buf[4];
    SendScsiIn(path, chipInfoCdb, 12, buf, 4, count);
    EXPECT_FALSE(backend.commands.back().exclusive);
    SendScsiOut(path, chipInfoCdb, 12, buf, 4, count);
    EXPECT_TRUE(backend.commands.back().exclusive);
    SendScsiInSense(path, chipInfoCdb, 12, buf, 4, count, nullptr, 0);
    EXPECT_TRUE(backend.commands.back().exclusive);
    SendScsiOutSense(path, chipInfoCdb, 12, buf, 4, count, nullptr, 0);
    EXPECT_TRUE(backend.commands.back().exclusive);
}

TEST_F(TransportTest, SuccessNeedsTransportAndScsiStatus)
{
    std::uint8_t buf[4];
    std::uint32_t count = 0;
    backend.script = [](const auto &) { return Reply().status(2); };
    EXPECT_EQ(SendScsiIn(path, chipInfoCdb, 12, buf, 4, count), 0);
    backend.script = [](const auto &) { return Reply().transportFails(5); };
    EXPECT_EQ(SendScsiIn(path, chipInfoCdb, 12, buf, 4, count), 0);
    EXPECT_EQ(SendScsiOutSense(path, chipInfoCdb, 12, buf, 4, count, nullptr, 0), 0);
    backend.script = [](const auto &) { return Reply().errnoValue(22); };
    EXPECT_EQ(SendScsiOut(path, chipInfoCdb, 12, buf, 4, count), 0);
}

TEST_F(TransportTest, FailedDataInStillOverwritesTheCallersBuffer)
{
    // The device delivered two bytes before the command failed.
    backend.script = [](const auto &) { return Reply().status(2).data({0xAA, 0xBB}); };
    std::uint8_t buf[4] = {1, 2, 3, 4};
    std::uint32_t count = 0;
    EXPECT_EQ(SendScsiIn(path, chipInfoCdb, 12, buf, 4, count), 0);
    EXPECT_EQ((std::vector<std::uint8_t>(buf, buf + 4)), (std::vector<std::uint8_t>{0xAA, 0xBB, 0, 0}));
}

TEST_F(TransportTest, TransferredCountRulesOfEachVariant)
{
    std::uint8_t buf[16] = {};
    std::uint32_t count = 1234;
    // A device that transfers 12 of 16 bytes.
    backend.script = [](const auto &) { return Reply().data(std::vector<std::uint8_t>(12, 0x33)); };
    ASSERT_EQ(SendScsiIn(path, chipInfoCdb, 12, buf, 16, count), 1);
    EXPECT_EQ(count, 12u);
    EXPECT_EQ(buf[11], 0x33);
    EXPECT_EQ(buf[12], 0x00); // zeros of the aligned buffer

    backend.script = [](const auto &) { return Reply().status(2).count(3); };
    count = 1234;
    EXPECT_EQ(SendScsiInSense(path, chipInfoCdb, 12, buf, 16, count, nullptr, 0), 0);
    EXPECT_EQ(count, 3u); // always stored
    count = 1234;
    EXPECT_EQ(SendScsiOutSense(path, chipInfoCdb, 12, buf, 16, count, nullptr, 0), 0);
    EXPECT_EQ(count, 1234u); // left untouched on failure
    count = 1234;
    EXPECT_EQ(SendScsiOut(path, chipInfoCdb, 12, buf, 16, count), 0);
    EXPECT_EQ(count, 3u);

    backend.script = [](const auto &) { return ScriptedReply{}; };
    EXPECT_EQ(SendScsiOutSense(path, chipInfoCdb, 12, buf, 16, count, nullptr, 0), 1);
    EXPECT_EQ(count, 16u);
}

TEST_F(TransportTest, OpenFailureSendsNothingAndTouchesNothing)
{
    backend.script = [](const auto &) { return Reply().openFails(OpenError::PermissionDenied); };
    std::uint8_t buf[4] = {9, 9, 9, 9};
    std::uint8_t sense[18];
    std::memset(sense, 0x5C, sizeof sense);
    std::uint32_t count = 77;
    EXPECT_EQ(SendScsiIn(path, chipInfoCdb, 12, buf, 4, count), 0);
    EXPECT_EQ(SendScsiInSense(path, chipInfoCdb, 12, buf, 4, count, sense, 18), 0);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(sense[0], 0x5C);
    EXPECT_TRUE(LastTransportFailure().openFailed);
    EXPECT_EQ(LastTransportFailure().openError, OpenError::PermissionDenied);
    EXPECT_NE(DescribeLastTransportFailure().find("root"), std::string::npos);
}

TEST_F(TransportTest, SenseIsCopiedEvenOnFailure)
{
    backend.script = [](const auto &) {
        ScriptedReply r;
        r.status = 2;
        r.sense = std::vector<std::uint8_t>(32, 0);
        r.sense[0] = 0x70;
        r.sense[2] = 0x02;
        r.sense[12] = 0x04;
        r.sense[13] = 0x01;
        r.sense[20] = 0xEE; // beyond what the caller asks for
        return r;
    };
    std::uint8_t buf[4];
    std::uint8_t sense[32];
    std::memset(sense, 0xCC, sizeof sense);
    std::uint32_t count = 0;
    EXPECT_EQ(SendScsiOutSense(path, chipInfoCdb, 12, buf, 4, count, sense, 18), 0);
    EXPECT_EQ(backend.commands.back().senseCapacity, 32);
    EXPECT_EQ(sense[2], 0x02);
    EXPECT_EQ(sense[13], 0x01);
    EXPECT_EQ(sense[18], 0xCC); // only the asked-for bytes are copied
    // Without a destination the sense is still asked for: the policy reads it.
    SendScsiInSense(path, chipInfoCdb, 12, buf, 4, count, nullptr, 18);
    EXPECT_EQ(backend.commands.back().senseCapacity, 32);
}

// What the transport does with each answer before its caller sees one:
// UNIT ATTENTION once more, "becoming ready" polled on the clock, the rest
// reported as they came.
TEST_F(TransportTest, SensePolicyResendsUnitAttentionOnceAndPollsBecomingReady)
{
    auto sense = [](std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, bool descriptor = false) {
        std::vector<std::uint8_t> s(18, 0);
        if (descriptor) {
            s[0] = 0x72, s[1] = key, s[2] = asc, s[3] = ascq;
        } else {
            s[0] = 0x70, s[2] = key, s[7] = 10, s[12] = asc, s[13] = ascq;
        }
        return s;
    };
    const auto ua = sense(6, 0x29, 0), uaDescriptor = sense(6, 0x28, 0, true), notReady = sense(2, 4, 1),
               illegal = sense(5, 0x20, 0), notReadyOther = sense(2, 4, 2);
    const std::vector<std::uint8_t> good;
    struct Row {
        const char *name;
        SensePolicy policy;
        std::vector<std::vector<std::uint8_t>> answers; // empty: GOOD; the last one repeats
        int ok;
        std::size_t sends;
        std::uint64_t waitedMs;
    };
    const Row rows[] = {
        {"UA, then good", SensePolicy::Full, {ua, good}, 1, 2, 0},
        {"UA in descriptor format", SensePolicy::Full, {uaDescriptor, good}, 1, 2, 0},
        {"UA twice", SensePolicy::Full, {ua, ua, good}, 0, 2, 0},
        {"becoming ready three times", SensePolicy::Full, {notReady, notReady, notReady, good}, 1, 4, 300},
        {"UA, then becoming ready", SensePolicy::Full, {ua, notReady, good}, 1, 3, 100},
        {"never ready", SensePolicy::Full, {notReady}, 0, 31, 3000},
        {"not ready, another cause", SensePolicy::Full, {notReadyOther, good}, 0, 1, 0},
        {"illegal request", SensePolicy::Full, {illegal, good}, 0, 1, 0},
        {"caller polls: UA still resent", SensePolicy::UnitAttentionOnly, {ua, good}, 1, 2, 0},
        {"caller polls: becoming ready returned", SensePolicy::UnitAttentionOnly, {notReady, good}, 0, 1, 0},
        {"raw: sent once", SensePolicy::SendOnce, {ua, good}, 0, 1, 0},
    };
    for (const Row &row : rows) {
        for (const bool withSense : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (withSense ? ", sense operation" : ", plain operation"));
            std::size_t asked = 0;
            backend.commands.clear();
            backend.script = [&](const auto &) {
                const auto &answer = row.answers[std::min(asked++, row.answers.size() - 1)];
                return answer.empty() ? Reply().data({1, 2, 3, 4}) : Reply().status(2).withSense(answer);
            };
            const ScopedSensePolicy policy(row.policy);
            const std::uint64_t before = clock.nowMs();
            std::uint8_t buf[4] = {};
            std::uint8_t got[18] = {};
            std::uint32_t count = 0;
            const int ok = withSense ? SendScsiInSense(path, chipInfoCdb, 12, buf, 4, count, got, sizeof got)
                                     : SendScsiIn(path, chipInfoCdb, 12, buf, 4, count);
            EXPECT_EQ(ok, row.ok);
            EXPECT_EQ(backend.commands.size(), row.sends);
            EXPECT_EQ(clock.nowMs() - before, row.waitedMs);
            if (withSense && !ok) {
                EXPECT_EQ(
                    DecodeSense(got, sizeof got).key,
                    DecodeSense(row.answers[std::min(row.sends, row.answers.size()) - 1].data(), 18).key);
            }
        }
    }
}

TEST_F(TransportTest, ProbeVendorCommandCdb)
{
    std::uint8_t reply[2];
    ProbeVendorCommand(path, reply);
    EXPECT_EQ(backend.commands.back().cdb, Cdb12({{0, 0xDF}, {1, 0x10}, {4, 0x02}, {11, 0xFF}}));
    EXPECT_EQ(backend.commands.back().length, 2u);
    EXPECT_EQ(backend.commands.back().direction, DataDirection::In);
}

TEST_F(TransportTest, TraceLineFormat)
{
    std::FILE *sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    SetCommandTrace(sink);
    backend.script = [](const RecordedCommand &c) {
        ScriptedReply r;
        if (c.direction == DataDirection::Out) {
            r.status = 2;
            r.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0};
        } else {
            r.dataIn = std::vector<std::uint8_t>(16, 1);
        }
        return r;
    };
    std::uint8_t buf[16];
    std::uint8_t sense[18];
    std::uint32_t count = 0;
    SendScsiIn(path, chipInfoCdb, 12, buf, 16, count);
    SendScsiOutSense(path, chipInfoCdb, 12, buf, 4, count, sense, 4);
    SendScsiOut(path, chipInfoCdb, 12, buf, 1, count);
    SetCommandTrace(nullptr);
    std::rewind(sink);
    char text[512] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, sink);
    std::fclose(sink);
    EXPECT_EQ(std::string(text, n),
              "/dev/sg7 in E0 F4 E7 00 00 00 00 00 00 00 00 00 len=16 tmo=10 ok xfer=16\n"
              "/dev/sg7 out E0 F4 E7 00 00 00 00 00 00 00 00 00 len=4 tmo=10 fail xfer=4 sense=70000500\n"
              "/dev/sg7 out E0 F4 E7 00 00 00 00 00 00 00 00 00 len=2 tmo=50 fail xfer=2\n");
}

TEST(AlignedBlock, ZeroFilledAndAligned)
{
    std::uint8_t *raw = AllocAlignedBlock(100, 8192);
    ASSERT_NE(raw, nullptr);
    std::uint8_t *aligned = AlignUp(raw, 8192);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned) % 8192, 0u);
    EXPECT_GE(aligned, raw);
    EXPECT_LT(aligned, raw + 8192);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(aligned[i], 0);
    FreeAlignedBlock(raw);
    FreeAlignedBlock(nullptr);
    EXPECT_EQ(AlignUp(reinterpret_cast<std::uint8_t *>(8192), 8192), reinterpret_cast<std::uint8_t *>(8192));
}

// Faults given with a simulated device: fault=KIND@N on any preset.
#include "common/clock.h"
#include "sim/presets.h"
#include "sim/simulation.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

using namespace brigant;
using namespace brigant::sim;

namespace
{

TEST(SimFaultOption, Parses)
{
    struct Case {
        const char *value;
        bool ok;
        FaultRule::Kind kind;
        std::uint64_t nth;
        std::uint8_t key, asc, ascq;
    };
    using K = FaultRule::Kind;
    const Case cases[] = {
        {"error@3", true, K::TransportError, 3, 0, 0, 0},
        {"check@1", true, K::CheckCondition, 1, 5, 0x20, 0},
        {"notready@2", true, K::CheckCondition, 2, 2, 4, 1},
        {"short@4", true, K::HalfData, 4, 0, 0, 0},
        {"corrupt@5", true, K::CorruptByte, 5, 0, 0, 0},
        {"powerloss@12", true, K::PowerLoss, 12, 0, 0, 0},
        {"boom@3", false, {}, 0, 0, 0, 0},
        {"error", false, {}, 0, 0, 0, 0},
        {"error@", false, {}, 0, 0, 0, 0},
        {"error@0", false, {}, 0, 0, 0, 0},
        {"error@-1", false, {}, 0, 0, 0, 0},
        {"error@3x", false, {}, 0, 0, 0, 0},
        {"@3", false, {}, 0, 0, 0, 0},
        {"error@9999999999", false, {}, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        FaultRule rule;
        std::string error;
        ASSERT_EQ(ParseFaultOption(c.value, rule, error), c.ok);
        if (!c.ok) {
            EXPECT_NE(error.find(std::string("fault=") + c.value), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(rule.kind, c.kind);
        EXPECT_EQ(rule.nth, c.nth);
        EXPECT_EQ(rule.times, 1);
        EXPECT_TRUE(rule.cdbPrefix.empty());
        EXPECT_EQ((std::array{rule.key, rule.asc, rule.ascq}), (std::array{c.key, c.asc, c.ascq}));
    }
}

TEST(SimFaultOption, RepeatsInOneSpec)
{
    PresetSpec spec;
    std::string error;
    ASSERT_TRUE(ParsePresetSpec("nutmeg:fault=error@3,damage=bank0,fault=powerloss@12", spec, error));
    EXPECT_EQ(spec.faults, (std::vector<std::string>{"error@3", "powerloss@12"}));
    EXPECT_EQ(spec.options.size(), 1u);
    EXPECT_FALSE(ParsePresetSpec("generic:tag=ABC,tag=DEF", spec, error));
    EXPECT_NE(error.find("tag"), std::string::npos);

    VirtualClock clock;
    Simulation simulation(clock);
    EXPECT_TRUE(simulation.add("quince:fault=bogus@2", error).empty());
    EXPECT_NE(error.find("fault=bogus@2"), std::string::npos) << error;
    EXPECT_TRUE(simulation.bridges().empty());
}

// The Nth command a device receives fails as the kind says, on generic and
// chip presets alike; the ones before it do not.
TEST(SimFaultOption, EachKindHitsTheNthCommand)
{
    struct Case {
        const char *kind;
        std::function<void(const ScsiOutcome &, const std::uint8_t *data, const std::uint8_t *sense)> check;
    };
    const Case cases[] = {
        {"error",
         [](const ScsiOutcome &o, const std::uint8_t *, const std::uint8_t *) {
             EXPECT_TRUE(o.opened);
             EXPECT_FALSE(o.transportOk);
             EXPECT_EQ(o.sysErrno, EIO);
         }},
        {"check",
         [](const ScsiOutcome &o, const std::uint8_t *, const std::uint8_t *sense) {
             EXPECT_EQ(o.scsiStatus, 2);
             EXPECT_EQ((std::array{sense[2], sense[12], sense[13]}),
                       (std::array<std::uint8_t, 3>{5, 0x20, 0}));
         }},
        {"notready",
         [](const ScsiOutcome &o, const std::uint8_t *, const std::uint8_t *sense) {
             EXPECT_EQ(o.scsiStatus, 2);
             EXPECT_EQ((std::array{sense[2], sense[12], sense[13]}), (std::array<std::uint8_t, 3>{2, 4, 1}));
         }},
        {"short",
         [](const ScsiOutcome &o, const std::uint8_t *data, const std::uint8_t *) {
             EXPECT_EQ(o.scsiStatus, 0);
             EXPECT_EQ(o.transferred, 8u);
             EXPECT_EQ(data[8], 0xEE); // untouched
         }},
        {"corrupt",
         [](const ScsiOutcome &o, const std::uint8_t *data, const std::uint8_t *) {
             EXPECT_EQ(o.transferred, 16u);
             EXPECT_EQ(data[0], static_cast<std::uint8_t>(~0xF4));
             EXPECT_EQ(data[1], 0xE7);
         }},
        {"powerloss",
         [](const ScsiOutcome &o, const std::uint8_t *, const std::uint8_t *) { EXPECT_FALSE(o.opened); }},
    };
    const std::uint8_t chipInfo[12] = {0xE0, 0xF4, 0xE7};
    for (const char *preset : {"generic", "nutmeg"}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(preset) + " " + c.kind);
            VirtualClock clock;
            Simulation simulation(clock);
            std::string error;
            const std::string path = simulation.add(std::string(preset) + ":fault=" + c.kind + "@2", error);
            ASSERT_FALSE(path.empty()) << error;
            auto send = [&](std::uint8_t *data, std::uint8_t *sense) {
                std::fill_n(data, 16, 0xEE);
                ScsiCommand cmd;
                cmd.cdb = chipInfo;
                cmd.cdbLength = 12;
                cmd.direction = DataDirection::In;
                cmd.data = data;
                cmd.length = 16;
                cmd.sense = sense;
                cmd.senseCapacity = 18;
                return simulation.backend().execute(path, cmd);
            };
            std::uint8_t data[16], sense[18] = {};
            ScsiOutcome o = send(data, sense);
            EXPECT_TRUE(o.transportOk && o.scsiStatus == 0 && o.transferred == 16 && data[0] == 0xF4);
            c.check(send(data, sense), data, sense);
            o = send(data, sense);
            EXPECT_EQ(o.opened && o.transportOk && o.scsiStatus == 0 && data[0] == 0xF4,
                      std::string(c.kind) != "powerloss");
        }
    }
}

} // namespace

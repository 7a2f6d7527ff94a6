#pragma once
// A simulated bridge behind the real transport, with every command recorded on
// its way to the simulator: tests check both the CDBs the program sent and
// what they did to the simulated flash.
#include "common/clock.h"
#include "device/transport.h"
#include "flash/chunked_transfer.h"
#include "identify/flash_identify.h"
#include "sim/simulation.h"

#include "recording_backend.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace brigant::test
{

using Bytes = std::vector<std::uint8_t>;

// Records each command as the transport handed it over, then lets `inner` run it.
class ForwardingRecorder final : public ScsiBackend
{
  public:
    explicit ForwardingRecorder(ScsiBackend &inner) : inner_(inner) {}

    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override
    {
        commands.push_back(RecordedCommand::Of(path, cmd));
        return inner_.execute(path, cmd);
    }

    std::vector<RecordedCommand> commands;

  private:
    ScsiBackend &inner_;
};

// WriteBlock24 (DF mode .. FB) and ReadBlock24 (DF 10 .. FA) as the bridge sees them.
struct BlockCommand {
    std::uint32_t address = 0;
    std::uint32_t length = 0; // CDB length field
    std::uint8_t mode = 0;    // CDB byte 1
    Bytes data;               // data-out bytes
};

inline bool IsWriteBlock24(const RecordedCommand &c)
{
    return c.cdb.size() == 12 && c.cdb[0] == 0xDF && c.cdb[11] == 0xFB;
}
inline bool IsReadBlock24(const RecordedCommand &c)
{
    return c.cdb.size() == 12 && c.cdb[0] == 0xDF && c.cdb[11] == 0xFA;
}
inline bool IsFlashStatusRead(const RecordedCommand &c)
{
    return c.cdb.size() == 12 && c.cdb[0] == 0xFF && c.cdb[1] == 0x04 && c.cdb[2] == 0x12;
}

inline BlockCommand DecodeBlock(const RecordedCommand &c)
{
    BlockCommand b;
    b.length = std::uint32_t(c.cdb[2]) << 16 | std::uint32_t(c.cdb[3]) << 8 | c.cdb[4];
    b.address = std::uint32_t(c.cdb[8]) << 16 | std::uint32_t(c.cdb[9]) << 8 | c.cdb[10];
    b.mode = c.cdb[1];
    b.data = c.dataOut;
    return b;
}

// A simulated world whose commands pass the recorder on their way in.
class SimFlashTest : public ::testing::Test, public SimWorld
{
  protected:
    SimFlashTest() { recording.backend(&recorder); }

    // Adds a generic bridge with the given flash part; returns its path.
    std::string attach(const std::string &part)
    {
        std::string error;
        path = simulation.add("generic:flash=" + part, error);
        EXPECT_FALSE(path.empty()) << error;
        return path;
    }
    // The bridge behind `path` (the one attached last).
    sim::SimBridge &bridge() { return *simulation.bridges().back(); }
    std::vector<std::uint8_t> &flash() { return bridge().flash().contents(); }
    void fault(sim::FaultRule rule) { simulation.backend().addFault(path, std::move(rule)); }

    std::vector<BlockCommand> writes() const { return blocks(IsWriteBlock24); }
    std::vector<BlockCommand> reads() const { return blocks(IsReadBlock24); }
    std::vector<BlockCommand> blocks(bool (*pick)(const RecordedCommand &)) const
    {
        std::vector<BlockCommand> out;
        for (const auto &c : recorder.commands)
            if (pick(c))
                out.push_back(DecodeBlock(c));
        return out;
    }
    std::vector<Bytes> cdbs() const
    {
        std::vector<Bytes> out;
        for (const auto &c : recorder.commands)
            out.push_back(c.cdb);
        return out;
    }

    ForwardingRecorder recorder{simulation.backend()};
    InstalledServices recording; // the recorder in front of the simulation
    std::string path;
};

// A 12-byte FF 04 CDB from its first bytes.
inline Bytes Ff04(std::initializer_list<std::uint8_t> head)
{
    Bytes c(12, 0);
    std::copy(head.begin(), head.end(), c.begin());
    return c;
}

// Bytes with a recognisable pattern, different for each `seed`.
inline Bytes Pattern(std::size_t n, std::uint8_t seed = 1)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>((i * 31 + seed * 17 + (i >> 8)) & 0xFF);
    return b;
}

} // namespace brigant::test

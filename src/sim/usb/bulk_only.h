#pragma once
// USB mass-storage bulk-only transport in front of a simulated device: turns a
// host's command block wrapper into one command for the simulator back end and
// says what the data stage and the command status wrapper must carry. No USB
// I/O happens here; the FunctionFS program moves the bytes.
#include "sim/sim_backend.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace brigant::sim::usb
{

constexpr std::size_t kCbwSize = 31;
constexpr std::size_t kCswSize = 13;

struct Cbw {
    std::uint32_t tag = 0;
    std::uint32_t dataLength = 0; // bytes the host means to move in the data stage
    bool dataIn = false;          // direction bit; a zero-length command says "out"
    std::uint8_t lun = 0;
    std::uint8_t cdbLength = 0; // 1 to 16
    std::array<std::uint8_t, 16> cdb{};
};

// A wrapper of exactly 31 bytes with the "USBC" signature, a CDB length of 1 to
// 16 and LUN 0; anything else is invalid and gets no command run.
bool ParseCbw(const std::uint8_t *bytes, std::size_t length, Cbw &cbw);

enum class CswStatus : std::uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

std::array<std::uint8_t, kCswSize> MakeCsw(std::uint32_t tag, std::uint32_t residue, CswStatus status);

struct BotResult {
    CswStatus status = CswStatus::Passed;
    // Data-in: bytes at the start of the buffer that go to the host.
    // Data-out: bytes of the host's data the device used.
    std::uint32_t transferred = 0;
    std::uint32_t residue = 0; // dataLength - transferred
    bool deviceGone = false;   // the device left the bus for good (power loss)
};

// One logical unit: the simulated device at `path` of `backend`, reached
// through the back end so that its injected faults apply.
class BotUnit
{
  public:
    BotUnit(SimBackend &backend, std::string path) : backend_(backend), path_(std::move(path)) {}

    // Runs the command of `cbw`. `data` holds cbw.dataLength bytes: the host's
    // data for data-out, room for the reply for data-in.
    //
    // A command that ends in CHECK CONDITION fails with no data; its sense is
    // kept for the REQUEST SENSE the host sends next (usb-storage fetches sense
    // itself), which is answered here and clears it. A back-end transport
    // error is a phase error, which makes the host reset the device.
    BotResult run(const Cbw &cbw, std::uint8_t *data);

    const std::array<std::uint8_t, 18> &lastSense() const { return sense_; }

  private:
    BotResult requestSense(const Cbw &cbw, std::uint8_t *data);

    SimBackend &backend_;
    std::string path_;
    std::array<std::uint8_t, 18> sense_ = NoSense();

    static std::array<std::uint8_t, 18> NoSense();
};

} // namespace brigant::sim::usb

#pragma once
// The firmware behaviour of bridges updated through READ BUFFER / WRITE
// BUFFER. A bridge whose flash holds no valid firmware runs from its ROM: its
// buffer descriptor reports boundary 0xFF and 64 KiB, and it accepts only the
// download (WRITE BUFFER mode 6) of a manufacturing firmware for its chip,
// which then runs from RAM. Running firmware (from RAM or from the flash)
// reports boundary 12 and the flash size, programs the flash with WRITE
// BUFFER mode 0x0E (erasing each 4 KiB sector as writing enters it) and reads
// it with READ BUFFER mode 1. Mode 0x0F restarts the bridge from its flash.
#include "sim/sim_bridge.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brigant::sim
{

class BufferFirmware
{
  public:
    enum class Mode : std::uint8_t { Rom, Manufacturing, Flash };

    // `tag` is the chip's model tag, `romByte` its ROM revision (chip
    // information byte 7 while in ROM). With `forceRom` the bridge ignores its
    // flash at every boot.
    BufferFirmware(SimBridge &bridge, std::string tag, std::uint8_t romByte, bool forceRom);

    // Installs itself into the bridge (command extension and boot step).
    static std::shared_ptr<BufferFirmware> Attach(SimBridge &bridge, std::string tag, std::uint8_t romByte,
                                                  bool forceRom);

    Mode mode() const { return mode_; }
    const std::vector<std::uint8_t> &productSerial() const { return productSerial_; }
    // Buffer commands answered NOT READY (2/04/01) after each restart.
    static constexpr int kNotReadyAfterBoot = 3;
    static constexpr std::uint32_t kProductBlock = 0x44000;

  private:
    std::optional<SimReply> execute(const std::uint8_t *cdb, int cdbLength, WireDirection dir,
                                    std::uint8_t *data, std::uint32_t length);
    void boot();
    bool flashHoldsFirmware() const;
    SimReply readBuffer(const std::uint8_t *cdb, std::uint8_t *data, std::uint32_t length);
    SimReply writeBuffer(const std::uint8_t *cdb, const std::uint8_t *data, std::uint32_t length);
    bool programFlash(std::uint32_t offset, const std::uint8_t *data, std::uint32_t length);

    SimBridge &bridge_;
    std::string tag_;
    std::uint8_t romByte_;
    bool forceRom_;
    Mode mode_ = Mode::Rom;
    int notReady_ = 0;
    std::array<std::uint8_t, 16> runningChipInfo_{};
    std::vector<std::uint8_t> productSerial_;
};

} // namespace brigant::sim

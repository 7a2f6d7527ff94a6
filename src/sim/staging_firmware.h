#pragma once
// The firmware behaviour of the bridge that takes flash data through a
// 512-byte staging area of its memory (0xC800, second page at 0xC900): B2
// loads the area, B3 programs one 256-byte page from it, B4 starts a whole
// flash erase and answers at once, B5 returns the area, B6 reads 512 bytes of
// flash into it. The firmware does not wait for an erase it started: a page
// programmed while the flash is still erasing is lost, as on a real part.
#include "sim/sim_bridge.h"

#include <cstdint>
#include <optional>

namespace brigant::sim
{

class StagingFirmware
{
  public:
    explicit StagingFirmware(SimBridge &bridge) : bridge_(bridge) {}
    // Installs itself as the bridge's command extension.
    static void Attach(SimBridge &bridge);

    static constexpr std::uint16_t kArea = 0xC800;
    static constexpr std::uint32_t kAreaSize = 512;
    static constexpr std::uint32_t kPage = 256;

  private:
    std::optional<SimReply> execute(const std::uint8_t *cdb, int cdbLength, WireDirection dir,
                                    std::uint8_t *data, std::uint32_t length);
    void clockOut(std::initializer_list<std::uint8_t> bytes);

    SimBridge &bridge_;
};

} // namespace brigant::sim

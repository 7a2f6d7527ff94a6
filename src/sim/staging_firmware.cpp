#include "sim/staging_firmware.h"

#include <cstring>
#include <memory>

namespace brigant::sim
{

namespace
{

constexpr std::uint8_t kSpiWriteEnable = 0x06;
constexpr std::uint8_t kSpiWriteStatus = 0x01;
constexpr std::uint8_t kSpiPageProgram = 0x02;
constexpr std::uint8_t kSpiChipErase = 0xC7;

std::uint32_t Be32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
std::uint32_t Be16(const std::uint8_t *p) { return static_cast<std::uint32_t>(p[0] << 8 | p[1]); }

} // namespace

void StagingFirmware::Attach(SimBridge &bridge)
{
    auto fw = std::make_shared<StagingFirmware>(bridge);
    bridge.setCommandExtension(
        [fw](const std::uint8_t *cdb, int cdbLength, WireDirection dir, std::uint8_t *data,
             std::uint32_t length) { return fw->execute(cdb, cdbLength, dir, data, length); });
}

void StagingFirmware::clockOut(std::initializer_list<std::uint8_t> bytes)
{
    SpiFlash &flash = bridge_.flash();
    flash.select();
    for (std::uint8_t b : bytes)
        flash.exchange(b);
    flash.deselect();
}

std::optional<SimReply> StagingFirmware::execute(const std::uint8_t *cdb, int cdbLength, WireDirection dir,
                                                 std::uint8_t *data, std::uint32_t length)
{
    if (cdbLength < 12 || cdb[0] < 0xB2 || cdb[0] > 0xB6)
        return std::nullopt;
    std::uint8_t *area = bridge_.xdata().data();
    const bool areaSelector = cdb[5] == 0x64 && cdb[8] == 0x01;
    switch (cdb[0]) {
    case 0xB2: // load the staging area
        if (!areaSelector || dir != WireDirection::Out || length != kAreaSize)
            return IllegalRequest();
        std::memcpy(area + kArea, data, kAreaSize);
        return Good(kAreaSize);
    case 0xB3: { // program one page from bridge memory
        const std::uint32_t address = Be32(cdb + 2);
        const std::uint32_t from = Be16(cdb + 8);
        if (length != 0 || Be16(cdb + 6) != kPage || cdb[10] != 0xE5 || cdb[11] != 0x02 ||
            from + kPage > bridge_.xdata().size())
            return IllegalRequest();
        // Sent as it comes: if the flash is still busy it ignores both.
        clockOut({kSpiWriteEnable});
        SpiFlash &flash = bridge_.flash();
        flash.select();
        for (std::uint8_t b : {kSpiPageProgram, static_cast<std::uint8_t>(address >> 16),
                               static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)})
            flash.exchange(b);
        for (std::uint32_t i = 0; i < kPage; ++i)
            flash.exchange(area[from + i]);
        flash.deselect();
        return bridge_.waitFlashIdle() ? Good(0) : CheckCondition(0x04, 0x44, 0x00);
    }
    case 0xB4: // whole-flash erase, answered before it ends
        if (length != 0 || cdb[9] != 0x31 || cdb[11] != 0x60)
            return IllegalRequest();
        // The firmware lifts any block protection before it erases.
        clockOut({kSpiWriteEnable});
        clockOut({kSpiWriteStatus, 0x00});
        bridge_.waitFlashIdle();
        clockOut({kSpiWriteEnable});
        clockOut({kSpiChipErase});
        return Good(0);
    case 0xB5: // return the staging area
        if (!areaSelector || dir == WireDirection::Out)
            return IllegalRequest();
        {
            const std::uint32_t n = std::min(length, kAreaSize);
            std::memcpy(data, area + kArea, n);
            return Good(n);
        }
    case 0xB6: { // flash block into the staging area
        const std::uint32_t address = Be32(cdb + 2);
        const std::uint32_t to = Be16(cdb + 8);
        if (length != 0 || Be16(cdb + 6) != kAreaSize || to + kAreaSize > bridge_.xdata().size())
            return IllegalRequest();
        bridge_.readArray(address, area + to, kAreaSize);
        return Good(0);
    }
    default:
        return IllegalRequest();
    }
}

} // namespace brigant::sim

#include "sim/buffer_firmware.h"

#include "sim/sim_image_rules.h"

#include <algorithm>
#include <cstring>

namespace brigant::sim
{

namespace
{

constexpr std::uint32_t kSector = 4096;
constexpr std::uint32_t kDownloadSize = 0x10000;
constexpr std::uint32_t kHeaderRecord = 0xBFF0;
constexpr std::uint32_t kProductBlock = 0x44000; // where the firmware keeps the product serial record

std::uint32_t Be24(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0] << 16 | p[1] << 8 | p[2]);
}

bool CarriesFirmware(const std::uint8_t *image, const std::string &tag)
{
    static const std::uint8_t kSignature[4] = {0x55, 0xAA, 0xAA, 0x55};
    return std::memcmp(image + kHeaderRecord, kSignature, 4) == 0 &&
           std::memcmp(image + kHeaderRecord + 4, tag.data(), 3) == 0;
}

} // namespace

BufferFirmware::BufferFirmware(SimBridge &bridge, std::string tag, std::uint8_t romByte, bool forceRom)
    : bridge_(bridge), tag_(std::move(tag)), romByte_(romByte), forceRom_(forceRom),
      runningChipInfo_(bridge.identity().chipInfo)
{
    tag_.resize(3, ' ');
}

std::shared_ptr<BufferFirmware> BufferFirmware::Attach(SimBridge &bridge, std::string tag,
                                                       std::uint8_t romByte, bool forceRom)
{
    auto fw = std::make_shared<BufferFirmware>(bridge, std::move(tag), romByte, forceRom);
    bridge.setCommandExtension(
        [fw](const std::uint8_t *cdb, int cdbLength, WireDirection dir, std::uint8_t *data,
             std::uint32_t length) { return fw->execute(cdb, cdbLength, dir, data, length); });
    bridge.setFirmwareBoot([fw] { fw->boot(); });
    fw->boot();
    return fw;
}

bool BufferFirmware::flashHoldsFirmware() const
{
    const auto &flash = bridge_.flash().contents();
    if (flash.size() < kDownloadSize || !CarriesFirmware(flash.data(), tag_))
        return false;
    // A stamped half's header block keeps a copy of the half's last four
    // bytes: the boot code starts no half that was not written to its end.
    for (std::size_t half = 0; half + kStampedHalfBytes <= std::min(flash.size(), kStampedImageBytes);
         half += kStampedHalfBytes) {
        const std::uint8_t *at = flash.data() + half;
        if (HalfStamped(at) &&
            !std::equal(at + kStampMarkerAt + 8, at + kStampMarkerAt + 12, at + kStampedHalfBytes - 4))
            return false;
    }
    return true;
}

void BufferFirmware::boot()
{
    auto &info = bridge_.identity().chipInfo;
    info = runningChipInfo_;
    std::memcpy(info.data() + 8, tag_.data(), 3);
    if (!forceRom_ && flashHoldsFirmware()) {
        mode_ = Mode::Flash;
        const auto &flash = bridge_.flash().contents();
        std::copy(flash.begin() + 25, flash.begin() + 29, info.begin() + 12);
    } else {
        mode_ = Mode::Rom;
        info[6] = 2;
        info[7] = romByte_;
        std::fill(info.begin() + 12, info.end(), 0);
    }
    notReady_ = kNotReadyAfterBoot;
}

std::optional<SimReply> BufferFirmware::execute(const std::uint8_t *cdb, int cdbLength, WireDirection dir,
                                                std::uint8_t *data, std::uint32_t length)
{
    const std::uint8_t op = cdb[0];
    if (op == 0xC3 && cdbLength >= 12 && cdb[1] == 0x30) {
        if (dir == WireDirection::In || mode_ == Mode::Rom)
            return IllegalRequest();
        productSerial_.assign(data, data + std::min<std::uint32_t>(length, cdb[9]));
        // The firmware keeps the record in the flash's product block, which
        // the host then reads and programs back with the image.
        const auto flashSize = static_cast<std::uint32_t>(bridge_.flash().contents().size());
        if (flashSize < kProductBlock + kSector)
            return CheckCondition(0x05, 0x21, 0x00);
        if (!bridge_.eraseWith(0x20, kProductBlock, true) ||
            !bridge_.programArray(kProductBlock, productSerial_.data(),
                                  static_cast<std::uint32_t>(productSerial_.size())))
            return CheckCondition(0x04, 0x44, 0x00);
        return Good(length);
    }
    if ((op != 0x3C && op != 0x3B) || cdbLength < 10)
        return std::nullopt;
    if (notReady_ > 0) {
        --notReady_;
        return CheckCondition(0x02, 0x04, 0x01);
    }
    if (op == 0x3C)
        return dir != WireDirection::Out ? readBuffer(cdb, data, length) : IllegalRequest();
    return dir != WireDirection::In ? writeBuffer(cdb, data, length) : IllegalRequest();
}

SimReply BufferFirmware::readBuffer(const std::uint8_t *cdb, std::uint8_t *data, std::uint32_t length)
{
    const std::uint32_t offset = Be24(cdb + 3);
    const std::uint32_t asked = std::min(Be24(cdb + 6), length);
    const auto flashSize = static_cast<std::uint32_t>(bridge_.flash().contents().size());
    switch (cdb[1]) {
    case 0x03: {
        const std::uint32_t capacity = mode_ == Mode::Rom ? kDownloadSize : flashSize;
        const std::uint8_t descriptor[4] = {static_cast<std::uint8_t>(mode_ == Mode::Rom ? 0xFF : 12),
                                            static_cast<std::uint8_t>(capacity >> 16),
                                            static_cast<std::uint8_t>(capacity >> 8),
                                            static_cast<std::uint8_t>(capacity)};
        const std::uint32_t n = std::min<std::uint32_t>(asked, 4);
        std::memcpy(data, descriptor, n);
        return Good(n);
    }
    case 0x01:
        if (mode_ == Mode::Rom)
            return IllegalRequest();
        if (offset >= flashSize || asked > flashSize - offset)
            return CheckCondition(0x05, 0x21, 0x00);
        bridge_.readArray(offset, data, asked);
        return Good(asked);
    default:
        return IllegalRequest();
    }
}

SimReply BufferFirmware::writeBuffer(const std::uint8_t *cdb, const std::uint8_t *data, std::uint32_t length)
{
    const std::uint32_t offset = Be24(cdb + 3);
    const std::uint32_t given = std::min(Be24(cdb + 6), length);
    switch (cdb[1]) {
    case 0x06: // download a manufacturing firmware into RAM and start it
        if (mode_ != Mode::Rom || offset != 0 || given != kDownloadSize)
            return IllegalRequest();
        // The ROM starts only a firmware made for this chip and ROM revision.
        if (!CarriesFirmware(data, tag_) || data[kHeaderRecord + 7] != '0' + romByte_)
            return CheckCondition(0x05, 0x26, 0x00);
        mode_ = Mode::Manufacturing;
        return Good(given);
    case 0x0E: {
        if (mode_ == Mode::Rom)
            return IllegalRequest();
        const auto flashSize = static_cast<std::uint32_t>(bridge_.flash().contents().size());
        if (offset >= flashSize || given > flashSize - offset)
            return CheckCondition(0x05, 0x21, 0x00);
        return programFlash(offset, data, given) ? Good(given) : CheckCondition(0x04, 0x44, 0x00);
    }
    case 0x0F:
        bridge_.restart();
        return Good(0);
    default:
        return IllegalRequest();
    }
}

bool BufferFirmware::programFlash(std::uint32_t offset, const std::uint8_t *data, std::uint32_t length)
{
    // Each 4 KiB sector the write reaches is erased first.
    const std::uint32_t first = offset / kSector * kSector;
    for (std::uint32_t sector = first; sector < offset + length; sector += kSector)
        if (!bridge_.eraseWith(0x20, sector, true))
            return false;
    return bridge_.programArray(offset, data, length);
}

} // namespace brigant::sim

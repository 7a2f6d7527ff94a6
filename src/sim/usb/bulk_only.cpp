#include "sim/usb/bulk_only.h"

#include <algorithm>
#include <cstring>

namespace brigant::sim::usb
{

namespace
{

constexpr std::uint8_t kRequestSense = 0x03;

std::uint32_t Le32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLe32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

bool ParseCbw(const std::uint8_t *bytes, std::size_t length, Cbw &cbw)
{
    if (length != kCbwSize || std::memcmp(bytes, "USBC", 4) != 0)
        return false;
    const std::uint8_t lun = bytes[13] & 0x0F;
    const std::uint8_t cdbLength = bytes[14] & 0x1F;
    if (lun != 0 || cdbLength < 1 || cdbLength > 16)
        return false;
    cbw = Cbw{};
    cbw.tag = Le32(bytes + 4);
    cbw.dataLength = Le32(bytes + 8);
    cbw.dataIn = (bytes[12] & 0x80) != 0;
    cbw.lun = lun;
    cbw.cdbLength = cdbLength;
    std::memcpy(cbw.cdb.data(), bytes + 15, cdbLength);
    return true;
}

std::array<std::uint8_t, kCswSize> MakeCsw(std::uint32_t tag, std::uint32_t residue, CswStatus status)
{
    std::array<std::uint8_t, kCswSize> csw{};
    std::memcpy(csw.data(), "USBS", 4);
    PutLe32(csw.data() + 4, tag);
    PutLe32(csw.data() + 8, residue);
    csw[12] = static_cast<std::uint8_t>(status);
    return csw;
}

std::array<std::uint8_t, 18> BotUnit::NoSense()
{
    std::array<std::uint8_t, 18> s{};
    s[0] = 0x70;
    s[7] = 10;
    return s;
}

BotResult BotUnit::requestSense(const Cbw &cbw, std::uint8_t *data)
{
    BotResult r;
    if (cbw.dataIn) {
        const std::uint32_t allocation = cbw.cdbLength >= 5 ? cbw.cdb[4] : 0;
        r.transferred = std::min({cbw.dataLength, allocation, static_cast<std::uint32_t>(sense_.size())});
        std::memcpy(data, sense_.data(), r.transferred);
    }
    r.residue = cbw.dataLength - r.transferred;
    sense_ = NoSense();
    return r;
}

BotResult BotUnit::run(const Cbw &cbw, std::uint8_t *data)
{
    if (cbw.cdb[0] == kRequestSense)
        return requestSense(cbw, data);

    std::array<std::uint8_t, 32> sense{};
    ScsiCommand cmd;
    cmd.cdb = cbw.cdb.data();
    cmd.cdbLength = cbw.cdbLength;
    cmd.direction = cbw.dataIn ? DataDirection::In : DataDirection::Out;
    cmd.data = cbw.dataLength ? data : nullptr;
    cmd.length = cbw.dataLength;
    cmd.sense = sense.data();
    cmd.senseCapacity = static_cast<std::uint8_t>(sense.size());
    const ScsiOutcome o = backend_.execute(path_, cmd);

    BotResult r;
    sense_ = NoSense();
    if (!o.opened) {
        r.deviceGone = true;
        r.status = CswStatus::PhaseError;
        r.residue = cbw.dataLength;
        return r;
    }
    if (!o.transportOk) {
        r.status = CswStatus::PhaseError;
        r.residue = cbw.dataLength;
        return r;
    }
    if (o.scsiStatus != 0) {
        r.status = CswStatus::Failed;
        std::memcpy(sense_.data(), sense.data(), std::min<std::size_t>(o.senseLength, sense_.size()));
        if (o.senseLength == 0)
            sense_[2] = 0x0B; // ABORTED COMMAND: a failure without sense still needs some
        r.residue = cbw.dataLength;
        return r;
    }
    r.transferred = std::min(o.transferred, cbw.dataLength);
    r.residue = cbw.dataLength - r.transferred;
    return r;
}

} // namespace brigant::sim::usb

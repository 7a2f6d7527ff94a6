#include "sim/chip_preset_boot.h"

#include "sim/chip_firmware.h"

#include <algorithm>

namespace brigant::sim::chip
{

namespace
{

// The flash maker as the bridge firmware identifies it at start-up: the JEDEC
// maker byte (and the continuation code's next byte), in FlashKind numbering.
// Parts without a JEDEC answer are unknown to it (0).
std::uint8_t FirmwareFlashVerdict(SpiFlash &flash)
{
    flash.select();
    flash.exchange(0x9F);
    const std::uint8_t id0 = flash.exchange(0x00);
    const std::uint8_t id1 = flash.exchange(0x00);
    flash.deselect();
    switch (id0) {
    case 0x7F:
        return id1 == 0x9D ? 1 : id1 == 0x37 ? 7 : 0;
    case 0xBF:
        return 2;
    case 0x20:
        return 3;
    case 0x1F:
        return 4;
    case 0xC2:
        return 5;
    case 0xEF:
        return 6;
    case 0x37:
        return 7;
    case 0x1C:
        return 8;
    case 0x8C:
        return 9;
    case 0x62:
        return 10;
    case 0xC8:
        return 11;
    case 0xA1:
        return 12;
    default:
        return 0;
    }
}

} // namespace

// The bridge starts: it looks for its firmware and reports what that firmware
// is; without one it runs from ROM and reports version 0, not a release.
void BootChip(SimBridge &bridge, const ChipModel &m)
{
    BridgeIdentity &id = bridge.identity();
    const std::vector<std::uint8_t> &store = id.flashAttached ? bridge.flash().contents() : id.diskFirmware;
    const auto running = m.forceRom ? std::nullopt : FindRunningFirmware(store, m.layout, m.code, m.tag);
    FirmwareBuild build;
    build.major = 0;
    build.minor = 0;
    build.release = false;
    if (running)
        build = running->build;

    if (!(m.features & kLegacy)) {
        id.chipInfo[6] = build.major;
        id.chipInfo[7] = build.minor;
        std::copy(build.ext.begin(), build.ext.end(), id.chipInfo.begin() + 12);
    }
    if (id.firmwareInfo) {
        auto &info = *id.firmwareInfo;
        info.fill(0);
        info[8] = (m.features & kDualModel) ? 1 : build.level;
        if (m.features & kDiskFirmware) {
            info[16] = m.diskArea.marker ? 1 : 0; // the firmware area's marker is present
            info[17] = m.diskArea.endFlag ? 1 : 0;
        }
        info[18] = build.altLevel;
        info[19] = build.release ? 1 : 0;
    }

    auto &x = bridge.xdata();
    std::fill_n(x.begin() + kFlagBytes, 4, 0);
    std::fill_n(x.begin() + kFlagBytesDualBank, 4, 0);
    if (build.release)
        x[m.release.address + m.release.byte] = m.release.mask;
    if (m.features & kHeaderShadow) {
        std::fill_n(x.begin() + kHeaderShadowAddress, 16, 0);
        if (running)
            std::copy(running->header.begin(), running->header.end(), x.begin() + kHeaderShadowAddress);
    }
    if (m.features & kHardwareRegs) {
        const std::uint8_t reg[4] = {0x00, m.chipRevision, 0x00, 0x00};
        std::copy(reg, reg + 4, x.begin() + kChipRevisionRegister);
        const std::uint8_t assist[4] = {0x00, static_cast<std::uint8_t>(m.assist ? 0x00 : 0x01),
                                        static_cast<std::uint8_t>(m.assist ? 0x01 : 0x00), 0x00};
        std::copy(assist, assist + 4, x.begin() + kAssistProbe);
    }

    if (m.verdict)
        id.flashTypeVerdict = *m.verdict;
    else
        id.flashTypeVerdict = id.flashAttached ? FirmwareFlashVerdict(bridge.flash()) : 0;
}

} // namespace brigant::sim::chip

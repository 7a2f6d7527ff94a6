#include "identify/selected_flash.h"

#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "identify/bank_recovery.h"
#include "identify/chip_identify.h"
#include "identify/flash_identify.h"
#include "image/chip_types.h"

#include <cstring>
#include <functional>

namespace brigant
{

namespace
{

constexpr std::uint16_t kFlashParamsParameter = 32;
constexpr std::uint8_t kSstMaker = 0xBF; // the JEDEC maker byte of SST parts

// A four-byte answer that decides how the flash is written: asked twice, it
// counts only when both reads succeeded and agree.
bool AskedTwiceAlike(const std::function<int(std::uint8_t *)> &ask, std::uint8_t reply[4])
{
    std::uint8_t again[4] = {};
    return ask(reply) && ask(again) && std::memcmp(reply, again, 4) == 0;
}

FlashOpcodeRecord ZeroedRecord()
{
    FlashOpcodeRecord record;
    record.chipErase = 0;
    record.blockErase = 0;
    record.pageProgram = 0;
    record.flashKind = 0;
    record.sectorErase = 0;
    record.sizeKb = 0;
    return record;
}

void PutStandardOpcodes(FlashOpcodeRecord &record)
{
    record.chipErase = 0xC7;
    record.blockErase = 0xD8;
    record.pageProgram = 0x02;
    record.sectorErase = 0x20;
}

// The MXIC parts that take the flash parameters: C2 22 followed by 10, 11 or 13.
bool IsMxicParameterPart(const std::uint8_t *id)
{
    return id[0] == 0xC2 && id[1] == 0x22 && (id[2] == 0x10 || id[2] == 0x11 || id[2] == 0x13);
}

} // namespace

// "Set the flash kind": FlashKind, the maker label and the erase geometry. A
// kind outside the table leaves the label and the geometry alone.
void SetFlashKind(ProbeHost &host, ChipIdentity &chip, std::int32_t kind)
{
    chip.FlashKind = kind;
    if (const char *name = FlashMakerName(kind)) {
        host.flashMakerShown(name);
        SetFlashGeometry(host.transfer(), kind);
    }
}

// Types 15 to 18: the bridge's flash probed through ReadFlashIdBytes.
// How often the buffer descriptor is asked before the bridge is taken as
// one without the buffer path.
constexpr int kDescriptorAttempts = 3;

bool ProbeBufferFamilyFlash(ProbeHost &host, ChipIdentity &chip, const std::string &path)
{
    host.nvramBoxHidden();
    // The answer decides how Run programs the flash: one failed read must
    // not turn a bridge that offers the buffer path into one that does not.
    std::uint8_t boundary = 0;
    bool bufferPath = false;
    for (int attempt = 0; attempt < kDescriptorAttempts && !bufferPath; ++attempt)
        bufferPath = ProbeReadBuffer(
                         path, [&host] { host.processMessages(); }, &boundary) != 0;
    host.bufferPathShown(bufferPath);
    FlashOpcodeRecord record = ZeroedRecord();
    std::uint8_t id[5] = {};
    auto probe = [&] {
        if ((chip.FlashKind == kFlashUnknown || chip.FlashKind == kFlashStEonMxic) &&
            ProbeFlashVendorId(path, record))
            SetFlashKind(host, chip, record.flashKind);
        record.flashKind = static_cast<std::uint8_t>(chip.FlashKind);
        ProbeFlashSizeId(path, record, id);
        chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
    };
    probe();
    if (chip.FlashKind == kFlashUnknown && FlashProbeMode(path))
        probe();
    if (!bufferPath) {
        if (chip.FlashKind == kFlashMxic && IsMxicParameterPart(id)) {
            PutStandardOpcodes(record);
            SetFlashParams16(path, record, kFlashParamsParameter);
        } else if (chip.FlashKind == kFlashSst && id[0] == 0xBF && id[1] == 0x25) {
            chip.SstWordMode = 1;
        }
    }
    return bufferPath && boundary == kRomDescriptorBoundary;
}

// Types 13, 14, 27 and type 12 from revision 5: the flash probed over SpiCommand.
void ProbeSpiFamilyFlash(ProbeHost &host, ChipIdentity &chip, DeviceEntry &entry, bool repairBank,
                         const std::string &path, std::uint8_t type)
{
    FlashOpcodeRecord record = ZeroedRecord();
    auto probeKindAndSize = [&] {
        record = ZeroedRecord();
        if ((chip.FlashKind == kFlashUnknown || chip.FlashKind == kFlashStEonMxic) &&
            ProbeFlashVendorSpi(path, record))
            SetFlashKind(host, chip, record.flashKind);
        if (!UsesBankLayout(type)) // 13, 14 and 27 here: the buffer-path codes do not come this way
            return;
        record.flashKind = static_cast<std::uint8_t>(chip.FlashKind);
        ProbeFlashSizeSpi(path, record);
        chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
    };
    probeKindAndSize();
    if (ChipTypeOf(type).dualBank && chip.FlashSizeKb < 128) {
        // 64 KiB is also what a failed or garbled answer gives (the maker
        // byte from the firmware included). On a two-bank chip that would make
        // the update write bank 0 only and report success over an old bank 1,
        // so a small flash is asked once more, this time the flash itself for
        // its maker. Only a larger answer replaces the first one.
        const std::int32_t firstKind = chip.FlashKind;
        const FlashOpcodeRecord firstRecord = record;
        chip.FlashKind = kFlashUnknown;
        probeKindAndSize();
        if (chip.FlashSizeKb < 128) {
            SetFlashKind(host, chip, firstKind);
            record = firstRecord;
            chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
        }
    }
    if (UsesBankLayout(type)) {
        if (ChipTypeOf(type).dualBank)
            RecoverFirmwareBank(host, chip, entry, repairBank, path, type);
    }
    if (chip.FlashKind == kFlashMxic) {
        std::uint8_t reply[4] = {};
        if (SpiQuery(path, 0x9F, reply, 4)) {
            PutStandardOpcodes(record);
            if (IsMxicParameterPart(reply)) {
                if (type == 12)
                    SetFlashParams8(path, record, kFlashParamsParameter);
                else
                    SetFlashParams16(path, record, kFlashParamsParameter);
            }
        }
    } else if (chip.FlashKind == kFlashSst) {
        ProbeSstWordMode(chip, path);
    }
}

void ProbeSstWordMode(ChipIdentity &chip, const std::string &path)
{
    std::uint8_t reply[4] = {};
    const bool answered =
        AskedTwiceAlike([&path](std::uint8_t *id) { return SpiQuery(path, 0x9F, id, 4); }, reply);
    if (!answered)
        chip.failedIdentifyRead = "the flash's JEDEC ID";
    else if (reply[0] == kSstMaker && reply[1] == 0x25)
        chip.SstWordMode = 1;
}

bool ReadFlashTypeVerdict(ChipIdentity &chip, const std::string &path, std::int32_t &kind)
{
    std::uint8_t verdict[4] = {};
    kind = kFlashUnknown;
    if (!AskedTwiceAlike([&path](std::uint8_t *reply) { return ReadFlashType(path, reply); }, verdict)) {
        chip.failedIdentifyRead = "the flash type the bridge reports";
        return false;
    }
    kind = verdict[0];
    return true;
}

// The "other supported types": the AMIC and ATMEL probes, then the bridge's verdict.
void ProbeOtherSupportedFlash(ProbeHost &host, ChipIdentity &chip, const std::string &path)
{
    chip.AmicType = ProbeAmicFlash(path);
    chip.AtmelType = ProbeAtmelFlash(path);
    if (chip.AmicType != -1) {
        host.flashMakerShown("AMIC");
    } else if (chip.AtmelType != -1) {
        host.flashMakerShown("ATMEL");
    } else {
        std::int32_t verdict = kFlashUnknown;
        if (ReadFlashTypeVerdict(chip, path, verdict)) {
            if (verdict == kFlashUnknown) {
                FlashOpcodeRecord record = ZeroedRecord();
                if (ProbeFlashVendorSpi(path, record))
                    SetFlashKind(host, chip, record.flashKind);
            } else {
                chip.FlashKind = verdict;
                if (const char *name = FlashMakerName(verdict))
                    host.flashMakerShown(name);
            }
        }
    }
}

} // namespace brigant

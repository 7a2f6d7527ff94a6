#include "identify/selected_flash.h"

#include "bridge/buffer_commands.h"
#include "bridge/chip_commands.h"
#include "bridge/flash_commands.h"
#include "forms/ui_services.h"
#include "identify/bank_recovery.h"
#include "identify/chip_identify.h"
#include "identify/flash_identify.h"
#include "image/chip_types.h"
#include "model/fwupdate.h"

namespace brigant
{

namespace
{

constexpr int kReadWriteBufferTop = 8;
constexpr std::uint16_t kFlashParamsParameter = 32;

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
void SetFlashKind(TBrigantFwTool &w, std::int32_t kind)
{
    w.chip.FlashKind = kind;
    if (const char *name = FlashMakerName(kind)) {
        w.SFlashTypeLable.setText(name);
        SetFlashGeometry(kind);
    }
}

// Step 7.2 for types 15 to 18: the bridge's flash probed through ReadFlashIdBytes.
void ProbeBufferFamilyFlash(TBrigantFwTool &w, const std::string &path)
{
    w.NVRAMCheck.hide();
    if (ProbeReadBuffer(path, PumpMessages)) {
        forms::Bounds b = w.ReadWriteBufferChk.bounds();
        b.top = kReadWriteBufferTop;
        w.ReadWriteBufferChk.setBounds(b);
        w.ReadWriteBufferChk.show();
        w.ReadWriteBufferChk.setChecked(true);
        w.ReadWriteBufferChk.setEnabled(false);
        w.SetPrdSNchk.show();
    } else {
        w.ReadWriteBufferChk.setChecked(false);
        w.SetPrdSNchk.setChecked(false);
    }
    FlashOpcodeRecord record = ZeroedRecord();
    std::uint8_t id[5] = {};
    auto probe = [&] {
        if ((w.chip.FlashKind == 0 || w.chip.FlashKind == 3) && ProbeFlashVendorId(path, record))
            SetFlashKind(w, record.flashKind);
        record.flashKind = static_cast<std::uint8_t>(w.chip.FlashKind);
        ProbeFlashSizeId(path, record, id);
        w.chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
    };
    probe();
    if (w.chip.FlashKind == 0 && FlashProbeMode(path))
        probe();
    if (!w.ReadWriteBufferChk.checked()) {
        if (w.chip.FlashKind == 5 && IsMxicParameterPart(id)) {
            PutStandardOpcodes(record);
            SetFlashParams16(path, record, kFlashParamsParameter);
        } else if (w.chip.FlashKind == 2 && id[0] == 0xBF && id[1] == 0x25) {
            w.chip.SstWordMode = 1;
        }
    }
}

// Step 7.3: types 13, 14, 27 and type 12 from revision 5: probe A over SpiCommand.
void ProbeSpiFamilyFlash(TBrigantFwTool &w, const std::string &path, std::uint8_t type)
{
    FlashOpcodeRecord record = ZeroedRecord();
    auto probeKindAndSize = [&] {
        record = ZeroedRecord();
        if ((w.chip.FlashKind == 0 || w.chip.FlashKind == 3) && ProbeFlashVendorSpi(path, record))
            SetFlashKind(w, record.flashKind);
        if (!UsesBankLayout(type)) // 13, 14 and 27 here: the buffer-path codes do not come this way
            return;
        record.flashKind = static_cast<std::uint8_t>(w.chip.FlashKind);
        ProbeFlashSizeSpi(path, record);
        w.chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
    };
    probeKindAndSize();
    if (ChipTypeOf(type).dualBank && w.chip.FlashSizeKb < 128) {
        // 64 KiB is also what a failed or garbled answer gives (the maker
        // byte from the firmware included). On a two-bank chip that would make
        // the update write bank 0 only and report success over an old bank 1,
        // so a small flash is asked once more, this time the flash itself for
        // its maker. Only a larger answer replaces the first one.
        const std::int32_t firstKind = w.chip.FlashKind;
        const FlashOpcodeRecord firstRecord = record;
        w.chip.FlashKind = 0;
        probeKindAndSize();
        if (w.chip.FlashSizeKb < 128) {
            SetFlashKind(w, firstKind);
            record = firstRecord;
            w.chip.FlashSizeKb = static_cast<std::int32_t>(record.sizeKb);
        }
    }
    if (UsesBankLayout(type)) {
        if (ChipTypeOf(type).dualBank)
            RecoverFirmwareBank(w, path, type);
    }
    if (w.chip.FlashKind == 5) {
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
    } else if (w.chip.FlashKind == 2) {
        ProbeSstWordMode(w, path);
    }
}

void ProbeSstWordMode(TBrigantFwTool &w, const std::string &path)
{
    std::uint8_t reply[4] = {};
    if (SpiQuery(path, 0x9F, reply, 4) && reply[0] == 0xBF && reply[1] == 0x25)
        w.chip.SstWordMode = 1;
}

// The "other supported types": the AMIC and ATMEL probes, then the bridge's verdict.
void ProbeOtherSupportedFlash(TBrigantFwTool &w, const std::string &path)
{
    w.chip.AmicType = ProbeAmicFlash(path);
    w.chip.AtmelType = ProbeAtmelFlash(path);
    if (w.chip.AmicType != -1) {
        w.SFlashTypeLable.setText("AMIC");
    } else if (w.chip.AtmelType != -1) {
        w.SFlashTypeLable.setText("ATMEL");
    } else {
        std::uint8_t verdict[4] = {};
        if (ReadFlashType(path, verdict)) {
            if (verdict[0] == 0) {
                FlashOpcodeRecord record = ZeroedRecord();
                if (ProbeFlashVendorSpi(path, record))
                    SetFlashKind(w, record.flashKind);
            } else {
                w.chip.FlashKind = verdict[0];
                if (const char *name = FlashMakerName(verdict[0]))
                    w.SFlashTypeLable.setText(name);
            }
        }
    }
}

void ShowNotSupported(TBrigantFwTool &w)
{
    w.SFlashTypeLable.hide();
    w.FwVerLableEdit.hide();
    w.StatusEdit.setText(kNotSupportedText);
}

} // namespace brigant

#pragma once
// A simulated bridge chip: it answers the bridge's vendor commands and a few
// standard SCSI commands from its own state, and reaches its SPI flash only by
// clocking bytes through the flash model, as the real firmware does.
#include "common/clock.h"
#include "device/device_entry.h"
#include "sim/sim_device.h"
#include "sim/sim_disk.h"
#include "sim/spi_flash.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brigant::sim
{

using brigant::BusKind;

// Everything a bridge reports about itself. Presets fill it; the boot hook may
// rewrite it from what the flash holds whenever the bridge starts.
struct BridgeIdentity {
    std::string vendor = "Velkor";     // INQUIRY bytes 8-15
    std::string product = "Bridge";    // INQUIRY bytes 16-31
    std::string revision = "0100";     // INQUIRY bytes 32-35
    std::string serial = "0000000001"; // the unit serial number (VPD page 0x80), as the USB one
    std::uint32_t maxTransferKb = 0;   // the host's largest transfer to it (max_hw_sectors_kb); 0: not said
    std::string quirks;                // the host's usb-storage quirk flags for its IDs; empty: none
    std::optional<std::array<std::uint8_t, 4>> inquiryMarker; // INQUIRY bytes 36-39 ('v' + model tag)
    std::uint16_t usbVendorId = 0x1D5C;
    std::uint16_t usbProductId = 0x2000;
    BusKind bus = BusKind::Usb;
    std::vector<std::string> mountPoints; // one partition of the attached disk is mounted at each
    // Partitions of the attached disk as the kernel lists them: start and
    // size in 512-byte units. Partition k is the k-th entry (and the one
    // mounted at mountPoints[k-1], if any).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> partitionExtents;

    bool vendorCommands = true;              // false: a plain disk that rejects every vendor command
    std::array<std::uint8_t, 16> chipInfo{}; // E0 F4 E7 reply
    std::uint32_t chipInfoLength = 16;       // bytes the bridge delivers (12 on some models)
    bool answersChipInfoFE = false;
    std::optional<std::array<std::uint8_t, 2>> probeReply = std::array<std::uint8_t, 2>{0x00, 0x00};
    std::optional<std::array<std::uint8_t, 40>> signature;    // FF 04 30 reply
    std::optional<std::array<std::uint8_t, 32>> firmwareInfo; // FF 04 A0 reply
    std::uint8_t flashTypeVerdict = 0;                        // FF 04 23 byte 0
    bool acceptsStagingRead = false;                          // B5 staging-area read
    bool acceptsFlashProbeMode = true;                        // DF .. FC

    // Controller data-space bytes that read back with these bits inverted from
    // what was last written (a toggling register such as 0x506A on some chips).
    std::map<std::uint16_t, std::uint8_t> xdataWriteXor;
    // false: no SPI flash is attached; the firmware lives on the attached disk
    // (chip type 30). Every flash and SPI command is then rejected, except the
    // flash read, which the firmware answers from `diskFirmware`.
    bool flashAttached = true;
    std::vector<std::uint8_t> diskFirmware; // what the bridge loaded from its disk area when it started
    std::shared_ptr<SimDisk> disk;          // the attached disk, when it is modelled
};

// The opcodes the bridge firmware uses for its own flash operations; the host
// may replace them with the flash-parameters command.
struct FirmwareFlashOpcodes {
    std::uint8_t chipErase = 0xC7;
    std::uint8_t blockErase = 0xD8;
    std::uint8_t pageProgram = 0x02;
    std::uint8_t sectorErase = 0x20;
    std::uint16_t parameter = 0;
};

constexpr std::uint32_t kXdataSize = 0x10000;

class SimBridge final : public SimDevice
{
  public:
    SimBridge(BridgeIdentity identity, const FlashPart &flashPart, Clock &clock);

    SimReply execute(const std::uint8_t *cdb, int cdbLength, WireDirection direction, std::uint8_t *data,
                     std::uint32_t length) override;

    // Restarts the bridge from its flash: runs the boot hook, forgets any open
    // SPI transaction and the flash parameters the host set.
    void boot();
    // The bridge restarts on its own (reset command, new firmware activated):
    // it boots again and leaves the bus; the reset listener decides when it returns.
    void restart();
    // Called by the bridge when the host asked it to reset (the device then
    // leaves the bus and comes back); the owner of the device decides when.
    void setResetListener(std::function<void()> listener) { onReset_ = std::move(listener); }
    // Leaves the bus as after a reset, without restarting: a replayed
    // device does what its session says, nothing of its own.
    void leaveBus()
    {
        if (onReset_)
            onReset_();
    }
    // The bridge holds a UNIT ATTENTION for the host, as a USB disk does after
    // power-on and after a reset: the next command other than INQUIRY,
    // REQUEST SENSE and REPORT LUNS is answered CHECK CONDITION 6/asc/ascq
    // instead of being run. restart() raises 29/00 itself.
    void raiseUnitAttention(std::uint8_t asc, std::uint8_t ascq) { unitAttention_ = {asc, ascq}; }
    // Run at every boot; may read flash() and rewrite identity().
    void setBootHook(std::function<void(SimBridge &)> hook) { bootHook_ = std::move(hook); }
    // Firmware behaviour beyond the common command set (e.g. the buffer
    // commands): asked first for every command; nullopt lets the bridge answer.
    using CommandExtension =
        std::function<std::optional<SimReply>(const std::uint8_t *cdb, int cdbLength, WireDirection direction,
                                              std::uint8_t *data, std::uint32_t length)>;
    void setCommandExtension(CommandExtension extension) { extension_ = std::move(extension); }
    const CommandExtension &commandExtension() const { return extension_; }
    // Run at every boot after the boot hook.
    void setFirmwareBoot(std::function<void()> boot) { firmwareBoot_ = std::move(boot); }

    BridgeIdentity &identity() { return identity_; }
    SpiFlash &flash() { return flash_; }
    std::vector<std::uint8_t> &xdata() { return xdata_; }
    const FirmwareFlashOpcodes &flashOpcodes() const { return opcodes_; }
    std::uint32_t resetCount() const { return resets_; }

    // Longest the firmware waits for the flash to finish one operation before it
    // reports a hardware error.
    static constexpr std::uint32_t kFirmwareFlashTimeoutMs = 200000;

    // Firmware-side flash routines, built from SPI transactions; also used by
    // firmware extensions.
    bool waitFlashIdle();
    void readArray(std::uint32_t address, std::uint8_t *out, std::uint32_t length);
    bool programArray(std::uint32_t address, const std::uint8_t *in, std::uint32_t length);
    bool eraseWith(std::uint8_t opcode, std::uint32_t address, bool wait);

    // The DF .. FB block write as the firmware of these bridges runs it.
    // USB/UASP (WriteBlock24): mode AND 7 selects the erase done before the
    // data is programmed at `address`, with the part's OWN instructions and
    // sizes (never the host's idea of them): 1 or 4 the sector the address
    // lies in (the part's sector-erase instruction, else its smallest erase),
    // 2 or 5 the block (its block-erase instruction, else its largest erase
    // short of the whole array), 3, 6 or 7 the whole chip; length 0 is a pure
    // erase. Bit 0x80 (the tool sets it for MXIC flashes): clear the
    // block-protect bits first, as the firmware always does on parts that
    // power up protected (SST, ATMEL); MXIC parts keep bits that earlier
    // software set, and an erase without the flag (the retry of the
    // erase-only mode) then erases the array the flagged one unprotected.
    // 1394 (WriteBlock16): bit 0 erases the 32 KiB area the address lies in,
    // so the two flagged writes at 0 and 0x8000 leave the first 64 KiB blank.
    // Parts with auto-address-increment programming (SST) are programmed
    // with it. false when the flash did not finish in time.
    bool blockWrite(std::uint8_t mode, std::uint32_t address, const std::uint8_t *data, std::uint32_t length);

  private:
    SimReply inquiry(const std::uint8_t *cdb, std::uint8_t *data, std::uint32_t length);
    SimReply vitalProductData(std::uint8_t page, std::uint8_t *data, std::uint32_t length);
    SimReply readCapacity(const std::uint8_t *cdb, std::uint8_t *data, std::uint32_t length);
    SimReply vendorDF(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply vendorFF04(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);

    // The vendor sub-commands, one handler each (sim_bridge_vendor.cpp); the
    // dispatch has checked the data phase's direction and the flash they need.
    using VendorHandler = SimReply (SimBridge::*)(const std::uint8_t *cdb, WireDirection dir,
                                                  std::uint8_t *data, std::uint32_t length);
    struct VendorCommand;
    SimReply runVendorCommand(const VendorCommand *table, std::size_t count, std::uint8_t sub,
                              const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                              std::uint32_t length);
    // DF .. sub-commands (the sub-command is CDB byte 11).
    SimReply probe(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply readXdata(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply writeXdata(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply readBlock(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply writeBlock(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply flashProbeMode(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                            std::uint32_t length);
    // FF 04 .. sub-commands (the sub-command is CDB byte 2).
    SimReply setFlashOpcodes(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                             std::uint32_t length);
    SimReply readFlash(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply readDiskFirmware(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                              std::uint32_t length);
    SimReply writeFlash(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply readFlashStatus(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                             std::uint32_t length);
    SimReply eraseChip(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply eraseBlock(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply readFlashId(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                         std::uint32_t length);
    SimReply rawSpi(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data, std::uint32_t length);
    SimReply spiDataPhase(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                          std::uint32_t length);
    SimReply flashVerdict(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                          std::uint32_t length);
    SimReply acceptWrite(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                         std::uint32_t length);
    SimReply resetCommand(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                          std::uint32_t length);
    SimReply readSignature(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                           std::uint32_t length);
    SimReply readFirmwareInfo(const std::uint8_t *cdb, WireDirection dir, std::uint8_t *data,
                              std::uint32_t length);

    void spiSimple(std::uint8_t opcode);
    void spiAddressed(std::uint8_t opcode, std::uint32_t address);
    void endHeldTransaction();
    enum class EraseUnit { Sector, Block, Chip };
    const EraseOp *eraseOp(EraseUnit unit) const;
    bool eraseArea(std::uint32_t start, std::uint32_t length);
    std::uint8_t readStatus();
    bool liftProtection();
    void liftSstProtection();
    bool programAai(std::uint32_t address, const std::uint8_t *in, std::uint32_t length);
    bool programSingle(std::uint32_t address, std::uint8_t value);

    BridgeIdentity identity_;
    SpiFlash flash_;
    Clock &clock_;
    std::vector<std::uint8_t> xdata_;
    // The blocks of the disk the host has written (READ(10) gives the others
    // blank): enough for a filesystem made on the disk to mount.
    std::map<std::uint64_t, std::vector<std::uint8_t>> diskBlocks_;
    SimReply diskData(const std::uint8_t *cdb, WireDirection direction, std::uint8_t *data,
                      std::uint32_t length);
    FirmwareFlashOpcodes opcodes_;
    bool spiHeld_ = false;
    std::uint32_t resets_ = 0;
    std::optional<std::pair<std::uint8_t, std::uint8_t>> unitAttention_;
    std::function<void()> onReset_;
    std::function<void(SimBridge &)> bootHook_;
    CommandExtension extension_;
    std::function<void()> firmwareBoot_;
};

} // namespace brigant::sim

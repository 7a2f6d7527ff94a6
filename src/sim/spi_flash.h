#pragma once
// A serial (SPI) flash memory as seen from its four pins: the bridge model
// drives chip select and clocks bytes through exchange(); the part answers
// from its own state and its datasheet behaviour only.
//
// Model choices:
// - Commands act when chip select goes high, provided every byte they need
//   was clocked; a transaction cut short does nothing. Surplus bytes are
//   ignored, except for 0x02 where they are data (wrapping within the page).
// - Block protection: with n block-protect bits (status bits 2..), BP = 0
//   protects nothing, BP = all ones protects the whole array, and any other
//   value protects the upper 1 / 2^(2^n - 1 - BP) of the array (three bits:
//   1/64, 1/32, ... 1/2; two bits: 1/4, 1/2). A program or erase touching a
//   protected byte, and any chip erase while BP != 0, is ignored. Bit 7 is
//   stored but has no effect (no write-protect pin).
// - Busy (status bit 0): an erase, program or status write stays busy for the
//   operation's typical time on the clock, and/or for a configured number of
//   status reads; the array changes when the operation starts. While busy only
//   0x05 is answered. The write-enable latch clears when the operation ends.
// - Auto-address-increment mode (SST): between steps only the mode's own
//   opcode, 0x04 (which ends the mode) and 0x05 are accepted; status bit 6
//   shows the mode.
#include "common/clock.h"
#include "sim/flash_parts.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace brigant::sim
{

class SpiFlash
{
  public:
    SpiFlash(const FlashPart &part, const Clock &clock); // contents start erased (0xFF)

    // One SPI transaction: chip select low, bytes clocked full duplex (the
    // return value is MISO while `mosi` went out), chip select high.
    void select();
    std::uint8_t exchange(std::uint8_t mosi);
    void deselect();

    bool busy() const;           // write in progress (status bit 0)
    std::uint8_t status() const; // status register as 0x05 would return it now

    std::vector<std::uint8_t> &contents(); // raw array (keep its size), for persistence and inspection
    const std::vector<std::uint8_t> &contents() const;
    const FlashPart &part() const { return part_; }

    // Power loss and return: volatile state (latches, modes, an open
    // transaction, an operation in progress) is lost; the array and the
    // non-volatile status bits stay.
    void powerCycle();

    // Busy behaviour. By default an operation is busy for the part's typical
    // time on the clock. setTimedBusy(false) drops the time condition;
    // setBusyTimeMs replaces every operation's time (nullopt restores the
    // part's times); setBusyStatusReads(n) additionally keeps each operation
    // busy for its first n status reads (each status byte clocked out by 0x05
    // is one read). With stuck busy the part reports busy and ignores
    // commands until the switch is turned off.
    void setTimedBusy(bool timed) { timed_ = timed; }
    void setBusyTimeMs(std::optional<std::uint32_t> ms) { busyTimeOverride_ = ms; }
    void setBusyStatusReads(std::uint32_t reads) { busyReads_ = reads; }
    void setStuckBusy(bool stuck) { stuck_ = stuck; }

    // Inspection for tests and the bridge's diagnostics.
    bool aaiActive() const { return aai_ != 0; }
    std::uint32_t protectedFrom() const; // first protected address (size of the array: none)

  private:
    struct Pending {
        bool active = false;
        bool clearsWel = false; // every operation but an auto-address-increment step
        std::uint64_t startMs = 0;
        std::uint32_t durationMs = 0;
        std::uint32_t readsNeeded = 0;
        std::uint32_t readsSeen = 0;
    };

    bool pendingDone() const;
    bool welNow() const;
    void settle();
    void startOperation(std::uint32_t typicalMs, bool clearsWel);
    bool acceptedNow(std::uint8_t opcode) const;
    std::uint32_t address() const;
    std::uint32_t wrap(std::uint64_t address) const;
    bool rangeProtected(std::uint32_t start, std::uint32_t length) const;
    void complete();
    void program(std::uint32_t address, std::uint8_t data);
    void aaiStep(std::size_t width);

    const FlashPart &part_;
    const Clock &clock_;
    std::vector<std::uint8_t> memory_;

    // Non-volatile status bits (2..7 as written), plus the volatile latch.
    std::uint8_t statusBits_ = 0;
    bool wel_ = false;
    bool ewsrArmed_ = false;
    std::uint8_t aai_ = 0;         // kAaiByte / kAaiWord while the mode is active
    std::uint32_t aaiAddress_ = 0; // next address of the mode
    Pending pending_;

    // The open transaction.
    bool selected_ = false;
    bool ignored_ = false;
    std::size_t count_ = 0; // bytes clocked, opcode included
    std::uint8_t opcode_ = 0;
    std::uint8_t header_[8] = {}; // bytes 1..8 of the transaction (address, data)
    std::uint32_t streamAddress_ = 0;
    std::vector<std::uint8_t> pageData_;
    std::vector<bool> pageTouched_;
    bool anyTouched_ = false;

    // Busy configuration.
    bool timed_ = true;
    std::optional<std::uint32_t> busyTimeOverride_;
    std::uint32_t busyReads_ = 0;
    bool stuck_ = false;
};

} // namespace brigant::sim

#pragma once
// Real serial flash parts as their datasheets describe them: identification
// answers, command set, geometry, status register at power-up and typical
// operation times. SpiFlash behaves as the part it is given.
#include <cstdint>
#include <string_view>
#include <vector>

namespace brigant::sim
{

// One erase instruction of a part.
struct EraseOp {
    std::uint8_t opcode;
    std::uint32_t sizeBytes; // area erased, aligned down to this size; 0 = the whole array
    std::uint32_t typicalMs; // busy time
};

// How the part answers 0xAB.
enum class AbAnswer : std::uint8_t {
    None,      // no answer: MISO stays high
    Signature, // 3 dummy bytes, then `res` repeated for as long as the clock runs
    ReadId,    // same as 0x90: 3 address bytes, then maker/device alternating
};

// Auto-address-increment programming (SST and compatible parts).
enum AaiMode : std::uint8_t {
    kAaiNone = 0,
    kAaiByte = 1, // 0xAF A2 A1 A0 D0, then 0xAF Dn
    kAaiWord = 2, // 0xAD A2 A1 A0 D0 D1, then 0xAD D0 D1
};

struct FlashPart {
    const char *name = nullptr;  // part number, e.g. "MX25L4006E"
    const char *maker = nullptr; // short maker name
    std::uint32_t sizeBytes = 0;

    // Identification answers. An empty answer means the part ignores the
    // opcode and MISO floats high (0xFF).
    std::vector<std::uint8_t> jedec{}; // 0x9F: these bytes right after the opcode, then 0xFF
    std::vector<std::uint8_t> rems{};  // 0x90: 3 address bytes, then {maker, device} alternating;
                                       //       address bit 0 set starts with the device byte
    AbAnswer ab = AbAnswer::None;
    std::vector<std::uint8_t> res{};  // 0xAB signature sequence (AbAnswer::Signature)
    std::vector<std::uint8_t> id15{}; // 0x15: these bytes right after the opcode, then 0xFF

    // Command set.
    std::vector<EraseOp> erases{};
    std::uint32_t pageSize = 256; // 0x02 wraps within the page; 1 = single-byte program
    std::uint8_t aai = kAaiNone;  // kAaiByte / kAaiWord bits
    bool ewsr = false;            // 0x50 enables the next 0x01
    bool wrsrNeedsEwsr = false;   // 0x06 alone does not enable 0x01
    bool fastRead = true;         // 0x0B
    // Byte-mode auto-address-increment parts leave the mode on any other
    // instruction (which then runs), not only on 0x04.
    bool aaiEndsOnOtherCommand = false;
    // Erase units from address 0 that an addressed erase uses instead of the
    // opcode's own size (boot-sector parts); uniform above them.
    std::vector<std::uint32_t> bootSectors{};

    // Status register: block-protect bits start at bit 2.
    std::uint8_t bpBits = 3;
    std::uint8_t powerUpStatus = 0x00;

    // Typical busy times in milliseconds (sub-millisecond operations are 0).
    std::uint32_t pageProgramMs = 1;
    std::uint32_t writeStatusMs = 0;
    std::uint32_t aaiStepMs = 0;

    const EraseOp *erase(std::uint8_t opcode) const;
};

// Every part the simulator knows, at least one per flash maker the tool
// recognises.
const std::vector<FlashPart> &FlashParts();

// Case-insensitive lookup by part number; nullptr if unknown.
const FlashPart *FindFlashPart(std::string_view name);

} // namespace brigant::sim

#pragma once
// The bridge's flash access commands (FF 04 family) and the polls that wait on
// the flash status register. Each command is one transport call returning 1 or 0;
// only the polls loop, sleeping 10 ms on the program clock between reads.
#include <cstdint>
#include <string>

namespace brigant
{

// Chip-erase, block-erase, page-program opcodes, the flash kind found, the
// sector-erase opcode (low byte used) and the size in KiB.
struct FlashOpcodeRecord {
    std::uint8_t chipErase = 0xC7;
    std::uint8_t blockErase = 0xD8;
    std::uint8_t pageProgram = 0x02;
    std::uint8_t flashKind = 0;
    std::uint32_t sectorErase = 0x20;
    std::uint32_t sizeKb = 0;
};

int ReadFlash(const std::string &path, std::uint32_t address, std::uint8_t *buffer, std::uint32_t length);
int WriteFlash(const std::string &path, std::uint32_t address, const std::uint8_t *data,
               std::uint32_t length);
int ReadFlashStatus(const std::string &path, std::uint8_t *status);
int EraseFlashAll(const std::string &path);
int EraseFlashBlock(const std::string &path, std::uint32_t address);
// Count 3 or 4: the bridge clocks the opcode, 3 dummy bytes when `dummy`, then returns `count` bytes.
int ReadFlashIdBytes(const std::string &path, std::uint8_t *buffer, std::uint8_t opcode, std::uint8_t count,
                     bool dummy);
int ReadFlashIdBytes3(const std::string &path, std::uint8_t *buffer, std::uint8_t opcode, bool dummy);
int ReadFlashIdBytes4(const std::string &path, std::uint8_t *buffer, std::uint8_t opcode, bool dummy);

// Raw SPI channel. `descriptor` is CDB bytes 3..11: count of bytes to clock
// out, hold flag, opcode, further bytes.
struct SpiDescriptor {
    std::uint8_t bytes[9] = {};
};
int SpiCommand(const std::string &path, const SpiDescriptor &descriptor, const std::uint8_t *data,
               std::uint32_t length);
// The same descriptor sent as a data-in command without data (used to open a
// read transaction).
int SpiCommandIn(const std::string &path, const SpiDescriptor &descriptor);
int SpiReadData(const std::string &path, std::uint8_t *buffer, std::uint16_t length);
int SpiWriteData(const std::string &path, const std::uint8_t *data, std::uint16_t length);
// SpiReadData with the CDB's length field left 0; the bridge takes the length from the transfer.
int SpiReadDataUnsized(const std::string &path, std::uint8_t *buffer, std::uint32_t length);
int ReadFlashType(const std::string &path, std::uint8_t buffer[4]);
int SetFlashParams16(const std::string &path, const FlashOpcodeRecord &record, std::uint16_t parameter);
int SetFlashParams8(const std::string &path, const FlashOpcodeRecord &record, std::uint16_t parameter);

// Composites.
int SpiQuery(const std::string &path, std::uint8_t opcode, std::uint8_t *buffer, std::uint8_t length);
int WriteEnable(const std::string &path);
int WriteStatusZero(const std::string &path);

// Polls: 1 when the condition held on the first read or one of the first
// 500 (busy) / 300 (others) re-reads, else 0. A failed read leaves the last value.
int WaitFlashReady(const std::string &path);
int WaitStatusSet(const std::string &path, std::uint8_t mask);
int WaitStatusClear(const std::string &path);

constexpr int kBusyPollRereads = 500;
constexpr int kStatusPollRereads = 300;
constexpr std::uint32_t kStatusPollIntervalMs = 10;

} // namespace brigant

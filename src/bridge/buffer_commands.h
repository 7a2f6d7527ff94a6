#pragma once
// The standard READ BUFFER / WRITE BUFFER commands as the bridge uses them for
// flash transfers, and the product serial record command.
#include "bridge/cdb.h"

#include <cstdint>
#include <string>

namespace brigant
{

constexpr std::uint8_t kReadBufferDescriptor = 0x03;
constexpr std::uint8_t kReadBufferData = 0x01;
constexpr std::uint8_t kWriteBufferDownloadActivate = 0x06;
constexpr std::uint8_t kWriteBufferDownloadSave = 0x0E;
constexpr std::uint8_t kWriteBufferActivate = 0x0F;
constexpr std::uint32_t kProductSerialRecordSize = 72;

// Each is sent again while the bridge answers "becoming ready" (2/04/01), at
// most 31 sends, with `pump` run after every send. A final failure writes
// the sense bytes to the debug output.
int ReadBufferCmd(const std::string &path, std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset,
                  std::uint8_t *dest, std::uint32_t length, const MessagePump &pump);
int WriteBufferCmd(const std::string &path, std::uint8_t bufferId, std::uint8_t mode,
                   const std::uint8_t *data, std::uint32_t offset, std::uint32_t length,
                   const MessagePump &pump);

// The descriptor's offset boundary of a bridge that runs from its ROM (an
// update was cut short).
inline constexpr std::uint8_t kRomDescriptorBoundary = 0xFF;

// READ BUFFER of the 4-byte descriptor: 1 when the bridge offers the
// buffer-transfer path; `boundary`, when given, receives the descriptor's
// offset boundary (0 when it could not be read).
int ProbeReadBuffer(const std::string &path, const MessagePump &pump, std::uint8_t *boundary = nullptr);

// 0x42, 51 zero bytes, then the serial number padded with blanks to 20 characters.
void BuildProductSerialRecord(const std::string &serial, std::uint8_t record[kProductSerialRecordSize]);
// The serial number of a product serial record at `record` (72 bytes);
// empty when they hold no record.
std::string ProductSerialOf(const std::uint8_t *record);
int WriteProductSerial(const std::string &path, std::uint16_t vendorId, std::uint16_t productId,
                       const std::uint8_t record[kProductSerialRecordSize]);

} // namespace brigant

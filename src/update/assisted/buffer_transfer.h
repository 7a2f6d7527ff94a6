#pragma once
// Flash programming and reading through the standard READ BUFFER / WRITE
// BUFFER commands, the download of a manufacturing firmware into a bridge
// that runs from its ROM, the product serial record, and the device side of
// the one-button update.
#include <cstdint>
#include <string>

namespace brigant
{

class TBrigantFwTool;

constexpr std::uint8_t kReadBufferDescriptor = 0x03;
constexpr std::uint8_t kReadBufferData = 0x01;
constexpr std::uint8_t kWriteBufferDownloadActivate = 0x06;
constexpr std::uint8_t kWriteBufferDownloadSave = 0x0E;
constexpr std::uint8_t kWriteBufferActivate = 0x0F;
constexpr std::uint32_t kBufferChunk = 4096;
constexpr std::uint32_t kProductBlockOffset = 0x44000;
constexpr std::uint32_t kProductSerialRecordSize = 72;

// Each repeats, processing pending messages between sends, while the bridge
// answers "becoming ready" (2/04/01): at most 31 sends.
int ReadBufferCmd(const std::string &path, std::uint8_t mode, std::uint8_t bufferId, std::uint32_t offset,
                  std::uint8_t *dest, std::uint32_t length);
int WriteBufferCmd(const std::string &path, std::uint8_t bufferId, std::uint8_t mode,
                   const std::uint8_t *data, std::uint32_t offset, std::uint32_t length);

bool IsRom0Mode(const std::string &path);

int ReadFlashViaBuffer(TBrigantFwTool &form, const std::string &path, std::uint32_t offset,
                       std::uint8_t *dest, std::uint32_t length);
int ProgramViaBuffer(TBrigantFwTool &form, const std::string &path, std::uint32_t offset,
                     const std::uint8_t *image, std::uint32_t length, bool download);

// 0x42, 51 zero bytes, then the serial number padded with blanks to 20 characters.
void BuildProductSerialRecord(const std::string &serial, std::uint8_t record[kProductSerialRecordSize]);
int WriteProductSerial(const std::string &path, std::uint16_t vendorId, std::uint16_t productId,
                       const std::uint8_t record[kProductSerialRecordSize]);

int ProgramEmbeddedImage(TBrigantFwTool &form, const std::string &path);
int ResetAndWaitReattach(TBrigantFwTool &form, const std::string &path);

} // namespace brigant

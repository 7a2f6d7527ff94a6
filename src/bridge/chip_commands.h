#pragma once
// The bridge's chip access commands: one routine per command, each building
// one CDB and making one transport call. They return the transport's truth
// value (1 success, 0 failure) and never retry, wait or report.
#include <cstdint>
#include <string>

namespace brigant
{

constexpr int kVendorCdbLength = 12;
// The chip information block ReadChipInfo and ReadChipInfoFE read.
inline constexpr std::uint32_t kChipInfoLength = 16;

int ReadInquiry(const std::string &path, std::uint8_t *buffer, std::uint32_t length);
int ReadChipInfo(const std::string &path, std::uint8_t *buffer, std::uint32_t length,
                 std::uint32_t &transferred);
int ReadChipInfoFE(const std::string &path, std::uint8_t *buffer, std::uint32_t length,
                   std::uint32_t &transferred);
int ReadXdata(const std::string &path, std::uint8_t *buffer, std::uint16_t address, std::uint16_t length);
int WriteXdata(const std::string &path, const std::uint8_t *data, std::uint16_t address,
               std::uint16_t length);
int ReadBlock24(const std::string &path, std::uint32_t address, std::uint8_t *buffer, std::uint32_t length);
int WriteBlock24(const std::string &path, std::uint32_t address, const std::uint8_t *data,
                 std::uint32_t length, std::uint8_t mode);
int WriteBlock16(const std::string &path, std::uint32_t address, const std::uint8_t *data,
                 std::uint16_t length, bool flag);
int FlashProbeMode(const std::string &path);
// `length` must be at least 8.
int ReadChipSignature(const std::string &path, std::uint8_t *buffer, std::uint32_t length);

// Three entry points share the firmware-information command.
int ReadFirmwareInfo(const std::string &path, std::uint8_t *buffer, std::uint8_t length);
std::uint8_t ReadFirmwareInfoLevel(const std::string &path,
                                   std::uint8_t length); // reply byte 8, 0 on failure
std::uint8_t ReadFirmwareInfoReleaseFlag(const std::string &path,
                                         std::uint8_t length); // reply byte 19, 0 on failure

// DF 10 00 00 02 ... FF with a 2-byte data-in phase.
int ProbeVendorCommand(const std::string &path, std::uint8_t reply[2]);

int ResetChip(const std::string &path);
int PrepareFlashUpdate(const std::string &path);
int ReadStagingBuffer(const std::string &path, std::uint8_t buffer[512]);
// ReadStagingBuffer as identification asks it, where only the bridge's own
// answer may decide: 1 accepted, 0 refused (CHECK CONDITION other than
// "becoming ready"). A command that got no answer (failed on the way, or
// the bridge not ready yet) is sent again, three times in all; -1 when none
// was answered.
int AskStagingBuffer(const std::string &path, std::uint8_t buffer[512]);

// Sense key 2, ASC 0x04, ASCQ 0x01: the unit is in the process of becoming ready.
bool IsBecomingReady(const std::uint8_t *sense, std::uint32_t length);

constexpr int kBecomingReadyRetries = 30;

} // namespace brigant

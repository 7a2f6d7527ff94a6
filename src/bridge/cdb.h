#pragma once
// One builder for every command descriptor block the tool sends: 6, 10, 12 or
// 16 bytes, unnamed bytes zero, multi-byte fields big-endian unless a command
// places its bytes itself. The In/Out helpers make the one transport call of
// a command routine.
#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace brigant
{

class Cdb
{
  public:
    // A zeroed CDB of `length` bytes (6, 10, 12 or 16) starting with `opcode`.
    explicit Cdb(std::uint8_t opcode, std::uint8_t length = 12) : length_(length) { bytes_[0] = opcode; }

    Cdb &put8(std::size_t at, std::uint8_t value)
    {
        bytes_[at] = value;
        return *this;
    }
    Cdb &put16(std::size_t at, std::uint32_t value) { return putBe(at, value, 2); }
    Cdb &put24(std::size_t at, std::uint32_t value) { return putBe(at, value, 3); }
    Cdb &put32(std::size_t at, std::uint32_t value) { return putBe(at, value, 4); }

    const std::uint8_t *data() const { return bytes_.data(); }
    int length() const { return length_; }
    std::uint8_t operator[](std::size_t at) const { return bytes_[at]; }

  private:
    Cdb &putBe(std::size_t at, std::uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i, value >>= 8)
            bytes_[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
        return *this;
    }

    std::array<std::uint8_t, 16> bytes_{};
    std::uint8_t length_;
};

// The plain data-in and data-out operations for one CDB.
int SendIn(const std::string &path, const Cdb &cdb, std::uint8_t *buffer, std::uint32_t length);
int SendOut(const std::string &path, const Cdb &cdb, const std::uint8_t *data, std::uint32_t length);
// A data-in command whose every byte is content (flash, disk sectors): one
// that moved fewer than `length` bytes failed, for the rest of `buffer` holds
// nothing the device said.
int SendInWhole(const std::string &path, const Cdb &cdb, std::uint8_t *buffer, std::uint32_t length);

// Lets the window handle what is pending between two sends; the bridge layer
// never reaches for the window system itself, its callers hand it this.
using MessagePump = std::function<void()>;

// Sense key 2, ASC 0x04, ASCQ 0x01 ("becoming ready") makes a command be sent
// again: `send` fills `sense` (kRetrySenseLength bytes, cleared before each
// send) and returns 1 or 0. After every send `pump` runs; at most
// kBecomingReadyRetries repetitions, 31 sends in all, without delay.
inline constexpr std::uint32_t kRetrySenseLength = 18;
int SendWhileBecomingReady(const std::function<int(std::uint8_t *sense)> &send, std::uint8_t *sense,
                           const MessagePump &pump);

} // namespace brigant

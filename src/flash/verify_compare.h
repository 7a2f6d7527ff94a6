#pragma once
// The read-only mode of a procedure: the flash (or disk area) is read where
// an update with the same file would write, and compared with what that
// update would leave there. Nothing is erased or written.
#include "flash/run_host.h"

#include <cstdint>
#include <functional>

namespace brigant
{

// Reads `length` bytes at `address` into `dest`; true when every byte came.
using VerifyRead = std::function<bool(std::uint32_t address, std::uint8_t *dest, std::uint32_t length)>;
// True for an offset (from the start of the compared range) that is not
// compared: an area the bridge rewrites itself.
using SkipByte = std::function<bool(std::uint32_t offset)>;

// Reads `length` bytes at `address` and tells the host how many of them
// differ from `expected` (bytes `skip` names left out). A read that fails
// is reported to the host as the failure, and false is returned.
bool VerifyRange(RunHost &host, const VerifyRead &read, std::uint32_t address, const std::uint8_t *expected,
                 std::uint32_t length, const SkipByte &skip = {});

// The header blocks that the buffer-path bridges rewrite in each 128 KiB half.
bool InRewrittenHeader(std::uint32_t offset);

} // namespace brigant

#pragma once
// What a long operation tells whoever shows it: steps of a phase, and the
// kinds of message box.
#include <cstdint>
#include <string>

namespace brigant
{

enum class MessageKind { Information, Warning, Error };

// One step of a long operation: `done` of `total` units (bytes, blocks,
// attempts) of the phase named, e.g. "ReadFlash" or "Programming Flash".
struct ProgressEvent {
    std::string phase;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};

} // namespace brigant

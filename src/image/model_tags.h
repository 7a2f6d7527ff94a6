#pragma once
// The three-character model tag that a firmware file for each chip type code
// carries in its header record.
#include <cstddef>
#include <cstdint>

namespace brigant
{

inline constexpr std::size_t kChipTypeCount = 36; // chip type codes 0..35
inline constexpr std::size_t kChipTableSlotSize = 50;

// Indexed by chip type code; slot 0 (no chip) is empty. Codes 19 to 25 are
// filled although identification never produces them, so that a tag search
// never meets an empty slot.
extern const char ModelTagTable[kChipTypeCount][kChipTableSlotSize];

// The code's tag, or "" for a code outside the table.
const char *ModelTagOf(unsigned code);

// 1 when the three bytes at `text` equal the code's tag; 0 for a code whose
// tag is empty or outside the table (an unknown chip matches no file).
int TagMatchesModel(const std::uint8_t *text, unsigned code);

} // namespace brigant

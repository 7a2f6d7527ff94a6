#pragma once
// Display names of the chip series, indexed by chip type code like the model
// tags.
#include "image/model_tags.h"

#include <string>

namespace brigant
{

extern const char ChipNameTable[kChipTypeCount][kChipTableSlotSize];

// The code of the first slot (1..35) whose name equals `name`, letter case
// aside and with or without its trailing " Series"; -1 when none does.
int FindChipByName(const std::string &name);

} // namespace brigant

#include "model/ini_state.h"

#include <algorithm>

namespace brigant
{

std::string INI_STATE::SerialText() const
{
    const auto end = std::find(SerialNum.begin(), SerialNum.end(), '\0');
    return std::string(SerialNum.begin(), end);
}

} // namespace brigant

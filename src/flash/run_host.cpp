#include "flash/run_host.h"

namespace brigant
{

const char *PhaseWords(RunPhase phase)
{
    switch (phase) {
    case RunPhase::Read:
        return "reading the flash";
    case RunPhase::Erase:
        return "erasing";
    case RunPhase::Program:
        return "programming";
    case RunPhase::Verify:
        break;
    }
    return "verifying";
}

} // namespace brigant

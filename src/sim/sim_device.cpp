#include "sim/sim_device.h"

namespace brigant::sim
{

SimReply CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq)
{
    SimReply r;
    r.status = 2;
    r.sense[0] = 0x70;
    r.sense[2] = key;
    r.sense[7] = 10; // additional length
    r.sense[12] = asc;
    r.sense[13] = ascq;
    return r;
}

} // namespace brigant::sim

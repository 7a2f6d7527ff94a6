#pragma once
// HostFacts as /proc and the installed files give them.
#include "device/host_facts.h"

namespace brigant
{

HostFacts ReadHostFacts();

} // namespace brigant

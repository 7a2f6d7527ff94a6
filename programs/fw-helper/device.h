#pragma once
// What brigant-fw-helper does with a request that passed its own checks. The
// installed helper links device_sg.cpp (udev check, then SG_IO); the test
// variant links device_relay.cpp instead. No option, variable or file selects
// between them at run time: which one a binary has is fixed when it is linked.
#include "device/linux/helper_protocol.h"

#include <string>

namespace brigant::helper
{

// Empty when `path` names a device this helper may send to; else why not.
std::string CheckDevice(const std::string &path);

// Runs one checked request. `data` holds r.length bytes: the data to send, or
// the room for the data that comes back.
void RunOnDevice(const Request &r, std::uint8_t *data, Reply &reply);

} // namespace brigant::helper

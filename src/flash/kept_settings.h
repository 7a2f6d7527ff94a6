#pragma once
// The settings area (NVRAM) an update keeps: the copy that goes back after
// the erase must be the device's settings, so it is read twice and the two
// reads must agree, and after programming the flash must hold it again.
#include "flash/run_host.h"

#include <cstdint>
#include <functional>

namespace brigant
{

// Reads `length` bytes into `dest`; 1 when the command succeeded with every byte.
using SettingsRead = std::function<int(std::uint8_t *dest, std::uint32_t length)>;

// The kept settings, read before anything is erased. A read that fails or a
// second read that differs from the first stops the update: the status line
// shows "Backup NVRAM command fail!", the host hears why, and false is
// returned with nothing written. Settings the host has from the journal of a
// cut update (of this length) are kept instead, without reading. The host
// hears the settings kept before true is returned.
bool ReadKeptSettings(RunHost &host, const SettingsRead &read, std::uint8_t *dest, std::uint32_t length);

// After programming: the flash's settings area must read back as `kept`.
// Otherwise the status line shows "Write NVRAM back command fail!", the host
// hears why, and false is returned.
bool CheckKeptSettings(RunHost &host, const SettingsRead &read, const std::uint8_t *kept,
                       std::uint32_t length);

} // namespace brigant

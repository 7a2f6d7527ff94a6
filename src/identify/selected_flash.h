#pragma once
// The flash probes the selection handler runs on the selected device: each
// fills the selected chip's ChipIdentity, tells the host the flash maker, and may repair a
// damaged firmware bank (codes 13 and 27).
#include "device/device_entry.h"
#include "identify/probe_host.h"
#include "image/chip_identity.h"

#include <cstdint>
#include <string>

namespace brigant
{

// "Set the flash kind": FlashKind, the maker label and the erase geometry. A
// kind outside the table leaves the label and the geometry alone.
void SetFlashKind(ProbeHost &host, ChipIdentity &chip, std::int32_t kind);
// Codes 15 to 18: the buffer path offered or not, the flash probed through ReadFlashIdBytes.
// Returns true when the bridge runs from its ROM (an update was cut short).
bool ProbeBufferFamilyFlash(ProbeHost &host, ChipIdentity &chip, const std::string &path);
// Codes 13, 14, 27 and code 12 from revision 5: probe A over SpiCommand, the
// size, the bank repair, the MXIC parameters and the SST word mode.
// `entry` is the selected device's (its bank check mark); `repairBank` says
// whether a damaged bank is repaired or only recorded.
void ProbeSpiFamilyFlash(ProbeHost &host, ChipIdentity &chip, DeviceEntry &entry, bool repairBank,
                         const std::string &path, std::uint8_t type);
// SST parts whose JEDEC ID starts BF 25 take auto-address-increment data
// only word by word: sets SstWordMode for them. The query is asked twice; a
// failed one, or two that differ, is an identification gap (failedIdentifyRead).
void ProbeSstWordMode(ChipIdentity &chip, const std::string &path);
// The flash type the bridge reports, into `kind` (0: the bridge leaves it to
// the probes). It is asked twice; a failed read, or two that differ, is an
// identification gap: false, with failedIdentifyRead set.
bool ReadFlashTypeVerdict(ChipIdentity &chip, const std::string &path, std::int32_t &kind);
// The other supported codes: the AMIC and ATMEL probes, then the bridge's verdict.
void ProbeOtherSupportedFlash(ProbeHost &host, ChipIdentity &chip, const std::string &path);

} // namespace brigant

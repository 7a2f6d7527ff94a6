#pragma once
// The flash probes the selection handler runs on the selected device: each
// fills the window's ChipIdentity and its flash label, and may repair a
// damaged firmware bank (codes 13 and 27).
#include <cstdint>
#include <string>

namespace brigant
{

class TBrigantFwTool;

// "Set the flash kind": FlashKind, the maker label and the erase geometry. A
// kind outside the table leaves the label and the geometry alone.
void SetFlashKind(TBrigantFwTool &w, std::int32_t kind);
// Codes 15 to 18: the buffer path offered or not, the flash probed through ReadFlashIdBytes.
void ProbeBufferFamilyFlash(TBrigantFwTool &w, const std::string &path);
// Codes 13, 14, 27 and code 12 from revision 5: probe A over SpiCommand, the
// size, the bank repair, the MXIC parameters and the SST word mode.
void ProbeSpiFamilyFlash(TBrigantFwTool &w, const std::string &path, std::uint8_t type);
// SST parts whose JEDEC ID starts BF 25 take auto-address-increment data
// only word by word: sets SstWordMode for them.
void ProbeSstWordMode(TBrigantFwTool &w, const std::string &path);
// The other supported codes: the AMIC and ATMEL probes, then the bridge's verdict.
void ProbeOtherSupportedFlash(TBrigantFwTool &w, const std::string &path);
// Hides the flash and version fields and says the chip cannot be updated.
void ShowNotSupported(TBrigantFwTool &w);

} // namespace brigant

#pragma once
// Which of the present disks are candidates: attached over a bus the tool
// serves, and answering the bridge's inquiry marker or its vendor probe.
#include "device/enumerator.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brigant
{

constexpr int kInquiryLength = 40;
constexpr int kInquiryNameLength = 24; // vendor and product identification, bytes 8-31

// Writes the present candidate disks to `list` (replacing its contents) and
// returns their number. A disk qualifies when it is attached over USB or UASP,
// or over 1394 when `include1394` is set, and answers the bridge's inquiry
// marker or the vendor probe. A disk `wanted` (when set) turns down is
// sent nothing and not listed.
int EnumerateDiskInterfaces(std::vector<DiskInterface> &list, int include1394,
                            const std::function<bool(const DiskInterface &)> &wanted = {});

// 1 when a 40-byte INQUIRY succeeds and its bytes 36-37 are "vQ" or "vS".
int HasVendorInquiryMarker(const std::string &path);

// A disk that could not be asked whether a supported bridge is behind it:
// its INQUIRY failed, or its vendor probe failed on the way (no answer, an
// I/O error: not a refusal), and nothing else told. `error` names the
// command and why it failed ("INQUIRY failed (Input/output error)").
struct UnaskedDisk {
    std::string path;
    std::string error;
};
// The disks of the latest listing that could not be asked (each once);
// EnumerateDiskInterfaces starts the list afresh.
const std::vector<UnaskedDisk> &UnaskedDisks();
// Adds `path` to them, with its `error`.
void NoteUnaskedDisk(const std::string &path, const std::string &error);

// Vendor and product identification of an INQUIRY reply as the device
// reported them, blanks included, up to the first zero byte.
std::string InquiryName(const std::uint8_t *inquiry);

} // namespace brigant

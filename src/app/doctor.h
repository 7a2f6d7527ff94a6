#pragma once
// brigant-fw doctor: for every disk behind a USB, UAS or IEEE 1394 bridge,
// what stands between the tool and the bridge (driver, transfer size,
// access, other programs, mounts) and what the bridge answers to the
// commands discovery sends, each judged OK, WARN or FAIL with what to do.
// Only read commands go out.
#include "device/enumerator.h"
#include "device/host_facts.h"

#include <string>
#include <vector>

namespace brigant
{

enum class Verdict : std::uint8_t { Ok, Warn, Fail };
const char *VerdictName(Verdict verdict); // "OK", "WARN", "FAIL"

struct Finding {
    std::string topic; // "driver", "transfer size", "access", "busy", "held open", "mounted", "inquiry",
                       // "marker", "vendor probe", "sat", "listed"; of the host: "privileges",
                       // "helper", "automount"
    Verdict verdict = Verdict::Ok;
    std::string text;   // what was found
    std::string advice; // what to do (empty for OK)
};

// One command sent, and exactly what came back.
struct ProbeCommand {
    std::string name; // "INQUIRY", "chip information"
    std::string cdb;  // a failed one's CDB in hex, as the trace shows it
    bool ok = false;
    std::string result; // "ok, 36 bytes", or the failure: errno, status, sense
    std::string sense;  // hex; empty: none
};

struct DiskDiagnosis {
    DiskInterface disk;
    std::string driver; // usb-storage, uas, firewire-sbp2
    std::vector<Finding> findings;
    std::vector<ProbeCommand> commands;
    bool marked = false; // its INQUIRY carries a bridge marker
    std::string marker;  // that marker ("vQ5G")
    bool listed = false; // the tool lists it as a bridge
    // The largest command its update sends (KiB); 0: not a chip the tool
    // updates (judged against kLargestCommandKb).
    std::uint32_t largestCommandKb = 0;
    std::uint8_t chipCode = 0; // the chip type code it names (a bridge of ours); 0: none known
    std::string listedAs;      // the list's item
    Verdict worst() const;     // the worst verdict of its findings
};

// The largest command any update sends (the register-level flash read and
// the disk-stored firmware's writes, 64 KiB).
inline constexpr std::uint32_t kLargestCommandKb = 64;

// Every disk the platform lists behind a bridge bus (only `path` when it is
// not empty), diagnosed, with what `host` says of who holds it and of this
// process's rights.
std::vector<DiskDiagnosis> DiagnoseDisks(const std::string &path, const HostFacts &host = {});

// What stands between the tool and every disk: privileges, the helper and
// its polkit action, automounters ("privileges", "helper", "automount"). At
// most WARN: each disk's own findings say whether it matters there.
std::vector<Finding> DiagnoseHost(const HostFacts &host);

} // namespace brigant

#include "app/doctor.h"

#include "app/device_list.h"
#include "bridge/ata_commands.h"
#include "bridge/chip_commands.h"
#include "common/hex.h"
#include "common/lock_file.h"
#include "device/bridge_lock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "identify/candidates.h"
#include "identify/chip_identify.h"
#include "image/chip_types.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brigant
{

const char *VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok:
        break;
    case Verdict::Warn:
        return "WARN";
    case Verdict::Fail:
        return "FAIL";
    }
    return "OK";
}

Verdict DiskDiagnosis::worst() const
{
    Verdict v = Verdict::Ok;
    for (const Finding &f : findings)
        v = std::max(v, f.verdict);
    return v;
}

namespace
{

const char *DriverOf(BusKind bus)
{
    switch (bus) {
    case BusKind::Usb:
        break;
    case BusKind::Uasp:
        return "uas";
    case BusKind::Ieee1394:
        return "firewire-sbp2";
    }
    return "usb-storage";
}

// What the last command did, in words, with its sense.
ProbeCommand Sent(const std::string &name, bool ok, std::uint32_t got)
{
    ProbeCommand c;
    c.name = name;
    c.ok = ok;
    if (ok) {
        c.result = "ok, " + std::to_string(got) + " bytes";
        return c;
    }
    const TransportFailure &f = LastTransportFailure();
    c.cdb = f.command;
    c.sense = f.sense;
    if (f.openFailed)
        c.result = std::string("the node did not open: ") + std::strerror(f.sysErrno);
    else if (f.sysErrno != 0)
        c.result = std::string("the pass-through call failed: ") + std::strerror(f.sysErrno);
    else
        c.result = "SCSI status " + HexNumber(f.scsiStatus) + (f.sense.empty() ? "" : ", sense " + f.sense);
    return c;
}

// The sense key, ASC and ASCQ of fixed or descriptor sense in hex ("05/20/00").
std::string SenseTriple(const std::string &hex)
{
    if (hex.size() < 4)
        return hex;
    const auto byte = [&](std::size_t i) { return hex.size() >= 2 * i + 2 ? hex.substr(2 * i, 2) : "??"; };
    const bool descriptor = byte(0) == "72" || byte(0) == "73";
    const std::string key = descriptor ? byte(1) : byte(2);
    return (key.size() == 2 ? std::string(1, key[1]) : key) + "/" + (descriptor ? byte(2) : byte(12)) + "/" +
           (descriptor ? byte(3) : byte(13));
}

// The largest data phase an update of each family sends, in KiB, as its
// traces show.
constexpr std::pair<UpdateFamily, std::uint32_t> kLargestByFamily[] = {
    {UpdateFamily::Register, 64}, // the flash read and programmed 64 KiB at a time
    {UpdateFamily::DiskArea, 64}, // the disk's firmware area, 64 KiB per ATA write
    {UpdateFamily::Assisted, 8},  // the firmware's own 8 KiB blocks
    {UpdateFamily::Staging, 1},   // 512-byte staging chunks
};
constexpr std::uint32_t kBufferPathKb = 4; // READ/WRITE BUFFER chunks of 4 KiB
constexpr std::uint32_t kSbp2Kb = 1;       // 256-byte SBP-2 commands

// The largest command an update of chip `code` on `bus` sends (KiB); 0: a
// chip the tool does not update.
std::uint32_t LargestCommandKbOf(std::uint8_t code, BusKind bus)
{
    const ChipType &row = ChipTypeOf(code);
    if (row.bufferPath)
        return kBufferPathKb;
    if (bus == BusKind::Ieee1394 && row.variant == RunVariant::Sbp2On1394)
        return kSbp2Kb;
    for (const auto &[family, kb] : kLargestByFamily)
        if (family == FamilyOf(row.procedure))
            return kb;
    return 0;
}

// Adds one finding to the disk's diagnosis.
void Add(DiskDiagnosis &d, std::string topic, Verdict v, std::string text, std::string advice = {})
{
    d.findings.push_back({std::move(topic), v, std::move(text), std::move(advice)});
}

// The USB IDs as a quirk names them ("VVVV:PPPP" when not known).
std::string QuirkIds(const DiskInterface &disk)
{
    return disk.usbId.empty() ? std::string("VVVV:PPPP") : disk.usbId;
}

// The driver that holds the disk, and the quirks in force for it.
void JudgeDriver(DiskDiagnosis &d)
{
    const DiskInterface &disk = d.disk;
    const std::string ids = QuirkIds(disk);
    const std::string quirks = disk.quirks.empty() ? "" : ", usb-storage quirks in force: " + disk.quirks;
    if (disk.bus == BusKind::Uasp && disk.quirks.find('u') != std::string::npos)
        Add(d, "driver", Verdict::Warn,
            "uas drives it although the quirk " + ids + ":" + disk.quirks + " is set",
            "the quirk takes effect when the bridge attaches: unplug it and plug it in again");
    else if (disk.bus == BusKind::Uasp)
        Add(d, "driver", Verdict::Warn,
            "uas drives it: the vendor commands may not reach the bridge" + quirks,
            "uas blocks the vendor commands here: boot with usb-storage.quirks=" + ids + ":u or run `echo " +
                ids + ":u > /sys/module/usb_storage/parameters/quirks` and replug");
    else
        Add(d, "driver", Verdict::Ok,
            std::string(d.driver) + (disk.usbId.empty() ? "" : ", USB ID " + disk.usbId) + quirks);
}

void JudgeTransferSize(DiskDiagnosis &d)
{
    const DiskInterface &disk = d.disk;
    // A bridge the tool updates needs its own update's largest command;
    // any other disk is judged against the largest of every update.
    const std::uint32_t need = d.largestCommandKb ? d.largestCommandKb : kLargestCommandKb;
    const std::string needText =
        std::to_string(need) + " KiB" +
        (d.largestCommandKb ? " commands of this bridge's update" : " commands some updates send");
    if (disk.maxHwSectorsKb == 0)
        Add(d, "transfer size", Verdict::Ok, "the disk's largest transfer is not known here");
    else if (disk.maxHwSectorsKb < need)
        Add(d, "transfer size", Verdict::Fail,
            "max_hw_sectors_kb is " + std::to_string(disk.maxHwSectorsKb) + ": the " + needText +
                " fail here",
            "attach the bridge to another USB controller or port; nothing here can raise the hardware limit");
    else
        Add(d, "transfer size", Verdict::Ok,
            "max_hw_sectors_kb " + std::to_string(disk.maxHwSectorsKb) +
                (disk.maxSectorsKb ? ", max_sectors_kb " + std::to_string(disk.maxSectorsKb) : "") +
                ": enough for the " + needText);
}

// Other programs that use the disk: busy, holding it open, its mounts.
void JudgeOtherUsers(DiskDiagnosis &d, const HostFacts &host)
{
    const DiskInterface &disk = d.disk;
    if (!disk.busy.empty())
        Add(d, "busy", Verdict::Warn, disk.busy,
            "wait until that program is done; nothing was sent to the bridge");
    if (host.holders)
        if (const std::vector<std::string> holders = host.holders(disk); !holders.empty()) {
            std::string who;
            for (const std::string &h : holders)
                who += (who.empty() ? "" : ", ") + h;
            const bool smartd = who.find("smartd") != std::string::npos;
            Add(d, "held open", Verdict::Warn, "held open by " + who,
                smartd ? "smartd polls the disk through the bridge: stop it for the update (`systemctl stop "
                         "smartd`) and start it again after"
                       : "close that program, or let it finish, before an update: its commands would reach "
                         "the bridge while it resets");
        }

    if (const auto mounts = MountPointsOf(disk.path, RootMount::Counted); mounts && !mounts->empty()) {
        std::string where;
        for (const std::string &m : *mounts)
            where += (where.empty() ? "" : ", ") + m;
        std::string again;
        for (const std::string &a : host.automounters)
            again += (again.empty() ? "" : ", ") + a;
        Add(d, "mounted", Verdict::Warn, "a partition of its disk is mounted at " + where,
            "unmount it before an update (the bridge resets at its end): umount " + mounts->front() +
                (again.empty() ? ""
                               : "; " + again +
                                     " may mount it again when the bridge comes back: unmount it "
                                     "with `udisksctl unmount` after the update too"));
    }
}

// SAT pass-through, for a chip that can keep its firmware on its disk.
void JudgeSat(DiskDiagnosis &d, const ProbeCommand &sat)
{
    const std::string ids = QuirkIds(d.disk);
    if (sat.ok)
        Add(d, "sat", Verdict::Ok,
            "SAT pass-through answers ATA IDENTIFY DEVICE: an update of the firmware on its disk can "
            "reach it");
    else
        Add(d, "sat", Verdict::Fail,
            "SAT pass-through does not answer ATA IDENTIFY DEVICE (" + sat.result +
                "): an update of the firmware on its disk (a chip without a flash) goes through it",
            d.disk.bus == BusKind::Uasp
                ? "uas keeps ATA pass-through from the disk: boot with usb-storage.quirks=" + ids +
                      ":u or run `echo " + ids + ":u > /sys/module/usb_storage/parameters/quirks` and replug"
                : std::string("replug the bridge and run doctor again; if it still fails, report it "
                              "(`brigant-fw report`)"));
}

// Whether list names it, from what it answered.
void JudgeListed(DiskDiagnosis &d, const ProbeCommand &probe)
{
    if (d.listed)
        Add(d, "listed", Verdict::Ok, "listed as " + d.listedAs);
    else if ((probe.ok || d.marked) && d.chipCode == 0)
        Add(d, "listed", Verdict::Warn,
            "it answers as a bridge of ours, but its chip information names no chip the tool knows: list "
            "leaves it out",
            "if its maker says it carries one of the supported chips, report it (`brigant-fw report`)");
    else if (probe.ok || d.marked)
        Add(d, "listed", Verdict::Fail,
            "a bridge of chip type code " + std::to_string(d.chipCode) + ", but not listed",
            "run `brigant-fw --debug list` and report it (`brigant-fw report`)");
}

// What the disk answered: INQUIRY, the vendor probe, SAT; and whether it is listed.
void JudgeCommands(DiskDiagnosis &d, const HostFacts &host)
{
    if (d.commands.empty())
        return;
    const ProbeCommand &inquiry = d.commands.front();
    if (!inquiry.ok) {
        const bool denied = inquiry.result.find(std::strerror(EACCES)) != std::string::npos ||
                            inquiry.result.find(std::strerror(EPERM)) != std::string::npos;
        const std::string rights = host.known ? std::string("; this process runs as uid ") +
                                                    std::to_string(host.uid) +
                                                    (host.rawio ? " with" : " without") + " CAP_SYS_RAWIO"
                                              : std::string();
        Add(d, denied ? "access" : "inquiry", Verdict::Fail,
            "INQUIRY failed (" + inquiry.result + ")" + (denied ? rights : std::string()),
            denied
                ? "the node does not open read-write for this user: run as root, or install the helper and "
                  "its "
                  "polkit action (docs/install.md), or give the user the group of the node"
                : "replug the bridge and run doctor again; a bridge that keeps failing here is not listed");
        return;
    }
    Add(d, "access", Verdict::Ok, "the node opens read-write and answers INQUIRY");
    if (d.commands.size() < 2)
        return;
    const ProbeCommand &probe = d.commands[1];
    if (d.marked)
        Add(d, "marker", Verdict::Ok, "its INQUIRY carries the bridge marker " + d.marker);
    if (!probe.ok && !d.marked)
        Add(d, "vendor probe", Verdict::Warn,
            "not a bridge: it carries no bridge marker and refuses the vendor probe (" + probe.result +
                (probe.sense.empty() ? "" : ", sense key/ASC/ASCQ " + SenseTriple(probe.sense)) + ")",
            "nothing to update here; a bridge of ours that answers so sits behind a driver or hub that "
            "filters "
            "vendor commands");
    else
        Add(d, "vendor probe", probe.ok ? Verdict::Ok : Verdict::Warn,
            probe.ok ? "the bridge answers the vendor probe"
                     : "the vendor probe failed (" + probe.result + ")");
    if (d.commands.size() > 2)
        JudgeSat(d, d.commands[2]);
    JudgeListed(d, probe);
}

void Judge(DiskDiagnosis &d, const HostFacts &host)
{
    JudgeDriver(d);
    JudgeTransferSize(d);
    JudgeOtherUsers(d, host);
    JudgeCommands(d, host);
}

} // namespace

std::vector<Finding> DiagnoseHost(const HostFacts &host)
{
    std::vector<Finding> out;
    if (!host.known)
        return out;
    const bool root = host.uid == 0;
    out.push_back(
        {"privileges", Verdict::Ok,
         root ? std::string("runs as root: every node opens without the helper")
              : "runs as uid " + std::to_string(host.uid) + (host.rawio ? " with" : " without") +
                    " CAP_SYS_RAWIO: a node this user cannot open read-write goes through the helper",
         ""});
    const bool helper = host.helperInstalled && host.policyInstalled && host.pkexec;
    if (helper || root)
        out.push_back({"helper", Verdict::Ok,
                       helper ? "the helper " + host.helperPath + " and its polkit action are installed"
                              : std::string("the helper is not installed; as root it is not needed"),
                       ""});
    else
        out.push_back(
            {"helper", Verdict::Warn,
             std::string(!host.helperInstalled ? "the helper " + host.helperPath + " is missing"
                         : !host.policyInstalled
                             ? "the helper's polkit action " + host.policyPath + " is missing"
                             : "pkexec (polkit) is not installed"),
             "install the package (docs/install.md), and pkexec, to reach nodes this user cannot open; or "
             "run as root"});
    std::string automounters;
    for (const std::string &a : host.automounters)
        automounters += (automounters.empty() ? "" : ", ") + a;
    out.push_back({"automount", Verdict::Ok,
                   automounters.empty() ? std::string("no automounter runs")
                                        : automounters + " runs: a desktop may mount a bridge's disk when it "
                                                         "comes back after an update",
                   ""});
    return out;
}

std::vector<DiskDiagnosis> DiagnoseDisks(const std::string &path, const HostFacts &host)
{
    std::vector<DiskDiagnosis> out;
    // Every disk the platform lists, not only those discovery keeps.
    std::vector<DiskInterface> disks;
    DiskEnumerator *enumerator = CurrentDiskEnumerator();
    if (!enumerator || !enumerator->listDisks(disks))
        return out;
    for (const DiskInterface &disk : disks) {
        if (!path.empty() && disk.path != path)
            continue;
        DiskDiagnosis d;
        d.disk = disk;
        d.driver = DriverOf(disk.bus);
        if (const std::optional<BusyBridge> busy = BridgeBusy(disk.path))
            d.disk.busy = BusyText(*busy);
        if (d.disk.busy.empty()) {
            // The commands discovery sends first: the INQUIRY (whose bytes
            // 36-39 carry the bridge's marker), then the vendor probe.
            std::uint8_t inquiry[kInquiryLength] = {};
            const bool asked = ReadInquiry(disk.path, inquiry, kInquiryLength) == 1;
            d.commands.push_back(Sent("INQUIRY", asked, kInquiryLength));
            if (asked) {
                d.marked = std::memcmp(inquiry + 36, "vQ", 2) == 0 || std::memcmp(inquiry + 36, "vS", 2) == 0;
                if (d.marked)
                    d.marker.assign(reinterpret_cast<const char *>(inquiry + 36), 4);
                std::uint8_t reply[2] = {};
                const bool answered = ProbeVendorCommand(disk.path, reply) == 1;
                d.commands.push_back(Sent("vendor probe", answered, sizeof reply));
                DiscoveryEvents only;
                only.wanted = [&](const DiskInterface &c) { return c.path == disk.path; };
                const BridgeList list = DiscoverBridges(only);
                for (const ListedBridge &b : list.listed)
                    if (b.entry.path == disk.path) {
                        d.listed = true;
                        d.listedAs = b.item;
                    }
                // What chip it names (a bridge of ours only). A chip that may
                // keep its firmware on its disk is updated there through SAT
                // pass-through: does ATA IDENTIFY DEVICE get through?
                const bool ours = d.listed || d.marked || answered;
                const std::uint8_t code = ours ? IdentifiedType(IdentifyChip(disk.path)) : 0;
                d.chipCode = code;
                d.largestCommandKb = d.listed ? LargestCommandKbOf(code, disk.bus) : 0;
                if (code != 0 && ChipTypeOf(code).variant == RunVariant::DiskWithoutFlash) {
                    std::uint8_t identify[kIdentifyLength] = {};
                    d.commands.push_back(Sent("ATA IDENTIFY DEVICE (SAT)",
                                              IdentifyDevice(disk.path, identify) == 1, kIdentifyLength));
                }
            }
        }
        Judge(d, host);
        out.push_back(std::move(d));
    }
    return out;
}

} // namespace brigant

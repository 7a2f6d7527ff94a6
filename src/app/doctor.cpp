#include "app/doctor.h"

#include "app/device_list.h"
#include "bridge/chip_commands.h"
#include "common/hex.h"
#include "common/lock_file.h"
#include "device/bridge_lock.h"
#include "device/discovery.h"
#include "device/transport.h"
#include "identify/candidates.h"

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

void Judge(DiskDiagnosis &d)
{
    const DiskInterface &disk = d.disk;
    auto add = [&d](std::string topic, Verdict v, std::string text, std::string advice = {}) {
        d.findings.push_back({std::move(topic), v, std::move(text), std::move(advice)});
    };
    const std::string ids = disk.usbId.empty() ? std::string("VVVV:PPPP") : disk.usbId;
    if (disk.bus == BusKind::Uasp)
        add("driver", Verdict::Warn, "uas drives it: the vendor commands may not reach the bridge",
            "uas blocks the vendor commands here: boot with usb-storage.quirks=" + ids + ":u or run `echo " +
                ids + ":u > /sys/module/usb_storage/parameters/quirks` and replug");
    else
        add("driver", Verdict::Ok,
            std::string(d.driver) + (disk.usbId.empty() ? "" : ", USB ID " + disk.usbId));

    if (disk.maxHwSectorsKb == 0)
        add("transfer size", Verdict::Ok, "the disk's largest transfer is not known here");
    else if (disk.maxHwSectorsKb < kLargestCommandKb)
        add("transfer size", Verdict::Fail,
            "max_hw_sectors_kb is " + std::to_string(disk.maxHwSectorsKb) +
                ": the flash reads and writes of " + std::to_string(kLargestCommandKb) +
                " KiB the updates send fail here",
            "attach the bridge to another USB controller or port; nothing here can raise the hardware limit");
    else
        add("transfer size", Verdict::Ok,
            "max_hw_sectors_kb " + std::to_string(disk.maxHwSectorsKb) +
                (disk.maxSectorsKb ? ", max_sectors_kb " + std::to_string(disk.maxSectorsKb) : "") +
                ": at least " + std::to_string(kLargestCommandKb) + " KiB");

    if (!disk.busy.empty())
        add("busy", Verdict::Warn, disk.busy,
            "wait until that program is done; nothing was sent to the bridge");

    if (const auto mounts = MountPointsOf(disk.path, RootMount::Counted); mounts && !mounts->empty()) {
        std::string where;
        for (const std::string &m : *mounts)
            where += (where.empty() ? "" : ", ") + m;
        add("mounted", Verdict::Warn, "a partition of its disk is mounted at " + where,
            "unmount it before an update (the bridge resets at its end): umount " + mounts->front());
    }

    if (d.commands.empty())
        return;
    const ProbeCommand &inquiry = d.commands.front();
    if (!inquiry.ok) {
        const bool denied = inquiry.result.find(std::strerror(EACCES)) != std::string::npos ||
                            inquiry.result.find(std::strerror(EPERM)) != std::string::npos;
        add(denied ? "access" : "inquiry", Verdict::Fail, "INQUIRY failed (" + inquiry.result + ")",
            denied
                ? "the node does not open read-write for this user: run as root, or install the helper and "
                  "its "
                  "polkit action (README), or give the user the group of the node"
                : "replug the bridge and run doctor again; a bridge that keeps failing here is not listed");
        return;
    }
    add("access", Verdict::Ok, "the node opens read-write and answers INQUIRY");
    if (d.commands.size() < 2)
        return;
    const ProbeCommand &probe = d.commands[1];
    if (d.marked)
        add("marker", Verdict::Ok, "its INQUIRY carries the bridge marker " + d.marker);
    if (!probe.ok && !d.marked)
        add("vendor probe", Verdict::Warn,
            "not a bridge: it carries no bridge marker and refuses the vendor probe (" + probe.result +
                (probe.sense.empty() ? "" : ", sense key/ASC/ASCQ " + SenseTriple(probe.sense)) + ")",
            "nothing to update here; a bridge of ours that answers so sits behind a driver or hub that "
            "filters "
            "vendor commands");
    else
        add("vendor probe", probe.ok ? Verdict::Ok : Verdict::Warn,
            probe.ok ? "the bridge answers the vendor probe"
                     : "the vendor probe failed (" + probe.result + ")");
    if (d.listed)
        add("listed", Verdict::Ok, "listed as " + d.listedAs);
    else if (probe.ok || d.marked)
        add("listed", Verdict::Fail, "a bridge, but not listed",
            "run `brigant-fw --debug list` and report it (`brigant-fw record`)");
}

} // namespace

std::vector<DiskDiagnosis> DiagnoseDisks(const std::string &path)
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
            }
        }
        Judge(d);
        out.push_back(std::move(d));
    }
    return out;
}

} // namespace brigant

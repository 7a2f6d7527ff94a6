// doctor's verdicts from what sysfs, the module's quirks and the kernel say
// about real nodes (umockdev's device tree and SG_IO).
#include "app/doctor.h"
#include "app/installed_services.h"
#include "common/clock.h"
#include "device/linux/sg_backend.h"
#include "device/linux/udev_discovery.h"
#include "disk_tree.h"
#include "sg_testbed.h"
#include "sim/presets.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>

namespace brigant::test
{
namespace
{

constexpr const char *kSdb =
    "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";

// Every command fails as on a node that is not there: these rows are about
// what sysfs says, not what the bridge answers.
class NoNodes final : public ScsiBackend
{
  public:
    ScsiOutcome execute(const std::string &, const ScsiCommand &) override
    {
        ScsiOutcome o;
        o.openError = OpenError::NotFound;
        o.sysErrno = ENOENT;
        return o;
    }
};

const Finding *FindingOf(const std::vector<DiskDiagnosis> &disks, const std::string &path,
                         const std::string &topic)
{
    for (const DiskDiagnosis &d : disks)
        if (d.disk.path == path)
            for (const Finding &f : d.findings)
                if (f.topic == topic)
                    return &f;
    return nullptr;
}

TEST(DoctorOverSysfs, DriverQuirksTransferSizeMountsAndHoldersAreJudged)
{
    if (!UnderUmockdev())
        GTEST_SKIP() << "needs umockdev's preload library";
    const std::unique_ptr<UMockdevTestbed, decltype(&g_object_unref)> owned(umockdev_testbed_new(),
                                                                            g_object_unref);
    UMockdevTestbed *testbed = owned.get();
    GError *error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, kDiskTree, &error))
        << (error ? error->message : "");
    // sdb's host takes 32 KiB at most; the module holds a quirk for sdb's bridge only.
    umockdev_testbed_set_attribute(testbed, kSdb, "queue/max_hw_sectors_kb", "32");
    gchar *sys = umockdev_testbed_get_sys_dir(testbed); // the caller's to free
    const std::filesystem::path parameters = std::filesystem::path(sys) / "module/usb_storage/parameters";
    g_free(sys);
    std::filesystem::create_directories(parameters);
    std::ofstream(parameters / "quirks") << "0bc2:2320:f,3A9C:2001:u\n";

    InstalledServices services;
    NoNodes backend;
    services.backend(&backend);
    UdevDiskEnumerator enumerator([](std::string &text) {
        text = "41 22 8:17 / /media/p1 rw shared:31 - vfat /dev/sdb1 rw\n";
        return true;
    });
    services.diskEnumerator(&enumerator);
    HostFacts host;
    host.known = true;
    host.uid = 1000;
    host.automounters = {"udisksd (pid 640)"};
    host.holders = [](const DiskInterface &d) {
        return d.path == "/dev/sg4" ? std::vector<std::string>{"smartd (pid 812)"}
                                    : std::vector<std::string>{};
    };
    const std::vector<DiskDiagnosis> disks = DiagnoseDisks("", host);

    struct Row {
        const char *path, *topic;
        Verdict verdict;
        const char *piece; // in the text or the advice
    } rows[] = {
        {"/dev/sg3", "driver", Verdict::Warn, "usb-storage.quirks=3a9c:2007:u"},
        {"/dev/sg3", "driver", Verdict::Warn, "echo 3a9c:2007:u > /sys/module/usb_storage/parameters/quirks"},
        {"/dev/sg2", "driver", Verdict::Ok, "usb-storage, USB ID 3a9c:2001, usb-storage quirks in force: u"},
        {"/dev/sg2", "transfer size", Verdict::Fail, "max_hw_sectors_kb is 32"},
        {"/dev/sg2", "mounted", Verdict::Warn, "mounted at /media/p1"},
        {"/dev/sg2", "mounted", Verdict::Warn, "udisksd (pid 640) may mount it again"},
        {"/dev/sg4", "driver", Verdict::Ok, "firewire-sbp2"},
        {"/dev/sg4", "held open", Verdict::Warn, "systemctl stop smartd"},
    };
    for (const Row &row : rows) {
        const Finding *f = FindingOf(disks, row.path, row.topic);
        ASSERT_NE(f, nullptr) << row.path << " has no finding " << row.topic;
        EXPECT_EQ(f->verdict, row.verdict) << row.path << " " << row.topic << ": " << f->text;
        EXPECT_TRUE(f->text.find(row.piece) != std::string::npos ||
                    f->advice.find(row.piece) != std::string::npos)
            << row.path << " " << row.topic << ": " << f->text << " / " << f->advice;
    }
    EXPECT_EQ(FindingOf(disks, "/dev/sg3", "transfer size")->verdict, Verdict::Ok)
        << "no limit is known there";
}

// The kernel refuses the pass-through call (EPERM: the node is open for
// reading only, without CAP_SYS_RAWIO): FAIL, with the way through the helper.
TEST(DoctorOverSysfs, ANodeTheKernelRefusesFailsWithTheHelperAdvice)
{
    if (!UnderUmockdev())
        GTEST_SKIP() << "needs umockdev's preload library";
    VirtualClock clock;
    InstalledServices services;
    services.clock(&clock);
    sim::PresetSpec spec;
    std::string error;
    ASSERT_TRUE(sim::ParsePresetSpec("quince", spec, error)) << error;
    auto bridge = sim::MakePresetDevice(spec, clock, error);
    ASSERT_TRUE(bridge) << error;
    SgTestbed sg(*bridge);
    ASSERT_TRUE(sg.ok()) << sg.error();
    SgBehaviour refused;
    refused.failErrno = EPERM;
    sg.setBehaviour(refused);
    SgBackend backend;
    services.backend(&backend);
    UdevDiskEnumerator enumerator([](std::string &text) {
        text.clear();
        return true;
    });
    services.diskEnumerator(&enumerator);
    HostFacts host;
    host.known = true;
    host.uid = 1000;
    const std::vector<DiskDiagnosis> disks = DiagnoseDisks(SgTestbed::kSgNode, host);
    ASSERT_EQ(disks.size(), 1u);
    const Finding *access = FindingOf(disks, SgTestbed::kSgNode, "access");
    ASSERT_NE(access, nullptr);
    EXPECT_EQ(access->verdict, Verdict::Fail);
    EXPECT_NE(access->text.find("Operation not permitted"), std::string::npos) << access->text;
    EXPECT_NE(access->text.find("uid 1000 without CAP_SYS_RAWIO"), std::string::npos) << access->text;
    EXPECT_NE(access->advice.find("install the helper"), std::string::npos) << access->advice;
    // Only the INQUIRY went out: nothing more is sent to a node refused.
    ASSERT_EQ(sg.requests().size(), 1u);
    EXPECT_EQ(sg.requests()[0].cdb[0], 0x12);
}

} // namespace
} // namespace brigant::test

#include "device/linux/host_facts.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace brigant
{

namespace
{

constexpr int kCapSysRawio = 17;

bool EffectiveCapability(int cap)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapEff:", 0) == 0)
            return (std::strtoull(line.c_str() + 7, nullptr, 16) >> cap) & 1U;
    return false;
}

bool OnPath(const std::string &program)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

std::string CommandOf(const std::string &pid)
{
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// Every process but this one, by its number.
template <typename Each> void ForEachOtherProcess(Each each)
{
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return;
    const std::string self = std::to_string(::getpid());
    while (const dirent *e = ::readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        each(pid);
    }
    ::closedir(proc);
}

std::vector<std::string> Holders(const DiskInterface &disk)
{
    // The device numbers that stand for the disk: its sg node, the disk, its partitions.
    std::set<dev_t> devices;
    struct stat st {
    };
    if (::stat(disk.path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        devices.insert(st.st_rdev);
    if (disk.identity.disk != 0)
        devices.insert(static_cast<dev_t>(disk.identity.disk));
    for (std::uint64_t p : disk.identity.partitions)
        devices.insert(static_cast<dev_t>(p));
    std::vector<std::string> holders;
    if (devices.empty())
        return holders;
    ForEachOtherProcess([&](const std::string &pid) {
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR *fds = ::opendir(fdDir.c_str());
        if (!fds)
            return; // another user's process: not ours to look into
        bool holds = false;
        while (const dirent *f = ::readdir(fds)) {
            struct stat target {
            };
            if (f->d_name[0] != '.' && ::stat((fdDir + "/" + f->d_name).c_str(), &target) == 0 &&
                (S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode)) && devices.count(target.st_rdev)) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (holds)
            holders.push_back(CommandOf(pid) + " (pid " + pid + ")");
    });
    return holders;
}

} // namespace

HostFacts ReadHostFacts()
{
    HostFacts f;
    f.known = true;
    f.uid = static_cast<unsigned>(::geteuid());
    f.rawio = EffectiveCapability(kCapSysRawio);
    f.helperPath = BRIGANT_HELPER_PATH;
    f.helperInstalled = ::access(f.helperPath.c_str(), X_OK) == 0;
    f.policyPath = BRIGANT_POLICY_PATH;
    f.policyInstalled = ::access(f.policyPath.c_str(), R_OK) == 0;
    f.pkexec = OnPath("pkexec");
    ForEachOtherProcess([&](const std::string &pid) {
        const std::string name = CommandOf(pid);
        if (name == "udisksd" || name == "udiskie" || name == "devmon" || name == "automount")
            f.automounters.push_back(name + " (pid " + pid + ")");
    });
    f.holders = Holders;
    return f;
}

} // namespace brigant

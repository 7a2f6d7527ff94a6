#pragma once
// What this computer says about the way from the tool to its disks, beyond
// the disks themselves: this process's privileges, the helper and its
// polkit action, automounters, and which processes hold a disk open.
#include "device/enumerator.h"

#include <functional>
#include <string>
#include <vector>

namespace brigant
{

struct HostFacts {
    bool known = false;     // false: none of it was read (nothing below is meaningful)
    unsigned uid = 0;       // effective user ID
    bool rawio = false;     // CAP_SYS_RAWIO is in this process's effective set
    std::string helperPath; // where the package puts the helper
    bool helperInstalled = false;
    std::string policyPath; // the helper's polkit action
    bool policyInstalled = false;
    bool pkexec = false; // pkexec is on the PATH
    std::vector<std::string>
        automounters; // running programs that mount what is plugged in: "udisksd (pid 812)"
    // Processes other than this one that hold the disk (its sg node, the
    // disk or a partition) open: "smartd (pid 812)".
    std::function<std::vector<std::string>(const DiskInterface &)> holders;
};

} // namespace brigant

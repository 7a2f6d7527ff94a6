#pragma once
// Notices when the operating system refuses the program access to a disk, so
// the window can tell the user how to get it instead of showing an empty
// device list. Sits between the pass-through operations and the real back end,
// and between discovery and the real disk enumerator.
#include "device/enumerator.h"
#include "device/scsi_backend.h"

#include <optional>
#include <string>

namespace brigant::gui
{

class AccessWatch final : public ScsiBackend, public DiskEnumerator
{
  public:
    AccessWatch(ScsiBackend *backend, DiskEnumerator *enumerator) : backend_(backend), enumerator_(enumerator)
    {
    }
    void setBackend(ScsiBackend *backend) { backend_ = backend; }
    void setEnumerator(DiskEnumerator *enumerator) { enumerator_ = enumerator; }

    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override;
    bool listDisks(std::vector<DiskInterface> &disks) override;
    bool listMountedVolumes(std::vector<MountedVolume> &volumes) override;

    // The text of a message box about the access problem seen since the last
    // call, or nothing. The same kind of problem is reported once until
    // something has worked again (a command reached a device, or the disks
    // could be listed), so a refresh after every device event does not bring
    // the same box back.
    std::optional<std::string> takeReport();

  private:
    enum class Problem { None, OpenDenied, CommandDenied, NoDiskList };

    ScsiBackend *backend_;
    DiskEnumerator *enumerator_;
    Problem pending_ = Problem::None;
    Problem reported_ = Problem::None;
    std::string path_;
};

} // namespace brigant::gui

#pragma once
// SG_IO on the SCSI generic node of a disk: one open, one ioctl, one close per command.
#include "device/scsi_backend.h"

namespace brigant {

class SgBackend final : public ScsiBackend {
public:
    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override;
    bool storageDeviceNumber(const std::string &path, StorageDeviceNumber &number) override;
};

} // namespace brigant

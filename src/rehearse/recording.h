#pragma once
// A recording of one device: what listing and identifying it asked it and
// what it answered, with its disk's extents and the firmware it holds
// (docs/recording.md gives the file). Recording sends only reads: the
// commands of listing and identifying, READ CAPACITY, and the flash read of
// a backup, without a command that writes.
#include "device/device_entry.h"
#include "device/scsi_backend.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace brigant
{

// One command as it reached the device, and its answer.
struct RecordedCommand {
    std::string path;
    bool dataOut = false;
    std::string cdb; // hexadecimal bytes separated by blanks, as in the trace
    std::uint32_t length = 0;
    enum class Result : std::uint8_t { Ok, Failed, NotOpened } result = Result::Ok;
    int status = 0;
    std::uint32_t transferred = 0;
    std::vector<std::uint8_t> data; // the data-in bytes as they arrived
    std::vector<std::uint8_t> sense;
};

// Passes every command on to the back end installed when it was made (it
// takes that back end's place while it lives), and keeps each command and
// its answer while `on`. While `guard` is set, a data-out command not sent
// before is not passed on: it is refused as if the node could not be
// opened, and named in `refused`.
class CommandRecorder final : public ScsiBackend
{
  public:
    CommandRecorder();
    ~CommandRecorder() override;
    CommandRecorder(const CommandRecorder &) = delete;
    CommandRecorder &operator=(const CommandRecorder &) = delete;

    ScsiOutcome execute(const std::string &path, const ScsiCommand &cmd) override;

    bool on = true;
    bool guard = false;
    std::string refused; // the first data-out command the guard held back
    std::vector<RecordedCommand> commands;

  private:
    ScsiBackend *inner_;
    std::set<std::string> sentOut_;
};

// The bridge to record, as the device list shows it.
struct RecordTarget {
    DeviceEntry entry;
    std::string item; // its device list item
    int index = 0;    // its place in the device list
    int candidateCount = 0;
};

// Finds the bridge at `path` in the device list (made now, so that the
// recorder in place hears its commands); false when it is not listed.
bool ListedTarget(const std::string &path, RecordTarget &target);

struct Recording {
    std::string tool; // "brigant-fw 0.1.0.0"
    std::string date; // UTC, ISO 8601
    // The device.
    std::string path;
    BusKind bus = BusKind::Usb;
    int index = 0;
    std::optional<std::string> location;
    std::optional<std::string> serial; // the bridge's own serial number (USB iSerial)
    // What identification found.
    std::string product;
    std::string chipName;
    unsigned chipTypeCode = 0;
    unsigned chipSubRevision = 0;
    bool supported = false;
    std::optional<std::string> firmwareVersion;
    bool runsFromRom = false;
    std::optional<std::uint32_t> flashSizeKb;
    std::optional<std::string> jedecId;
    // The disk.
    std::optional<std::vector<std::uint8_t>> readCapacity10, readCapacity16;
    struct Partition {
        std::string name;
        std::uint64_t start = 0, sectors = 0;
    };
    std::vector<Partition> partitions;
    std::vector<std::string> mountPoints;
    // The firmware store's bytes (the flash, or the disk's firmware area).
    enum class ImageOf : std::uint8_t { None, Flash, DiskArea };
    ImageOf imageOf = ImageOf::None;
    std::vector<std::uint8_t> image;
    std::string imageNotRead;              // why the image was not read (a supported chip)
    std::vector<RecordedCommand> commands; // of this device, the flash read left out
    // Why nothing could be recorded (the device could not be opened, or went
    // away); empty when it was.
    std::string failure;

    bool imageRead() const { return imageOf != ImageOf::None; }
};

// Records `target` through `recorder` (in place since before the device
// list was made, so that the list's commands are in it too).
Recording RecordBridge(CommandRecorder &recorder, const RecordTarget &target);

// The recording as the file holds it.
nlohmann::json RecordingJson(const Recording &recording);

} // namespace brigant

#pragma once
// What a procedure tells whoever started it, and the little it asks back.
// It speaks in codes: the window words them in its status line and message
// boxes (app/status_texts.h); the command line prints its own words; tests
// record.
#include "common/progress.h"
#include "device/enumerator.h"
#include "flash/run_status.h"
#include "flash/transfer_state.h"

#include <cstdint>
#include <string>
#include <vector>

namespace brigant
{

// What a procedure's notice boxes are about, so that a front end can say it
// in its own words.
enum class Notice : std::uint8_t {
    PowerCycle,           // the new firmware starts after the power is turned off and on
    PowerCycleWholeImage, // the same, as the whole-image family words it
    AutoReset,            // the bridge resets itself and comes back on the bus
    DefaultBackup,        // the backup goes to the default file name
};

// Bytes [start, end) of the store (the flash, or the disk's firmware area).
struct StoreRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const StoreRange &) const = default;
};
using StoreRanges = std::vector<StoreRange>;
// Adds [start, end) to `ranges`, sorted, merged with the ranges it touches.
void AddRange(StoreRanges &ranges, std::uint64_t start, std::uint64_t end);
// Each range widened to whole units of `unit` bytes (from 0), merged.
StoreRanges RoundOut(const StoreRanges &ranges, std::uint64_t unit);
// Bytes the ranges cover.
std::uint64_t Covered(const StoreRanges &ranges);
// The bytes both `a` and `b` cover.
StoreRanges Intersect(const StoreRanges &a, const StoreRanges &b);
// Whether any range holds a byte of [start, end).
bool Touches(const StoreRanges &ranges, std::uint64_t start, std::uint64_t end);

// What the read-only mode compared: bytes compared, bytes of them that
// differ, the address of the first that differs (-1: none), and bytes left
// out (areas the bridge rewrites itself).
struct VerifyTally {
    std::uint64_t compared = 0;
    std::uint64_t differing = 0;
    std::int64_t firstDifference = -1;
    std::uint64_t skipped = 0;
    // The 4 KiB sectors of the store the compared bytes lie in, and those of
    // them that hold a differing byte.
    std::uint64_t sectors = 0;
    std::uint64_t differingSectors = 0;
    // Where the compared bytes lie (where the update writes), and the 4 KiB
    // sectors of them that hold a differing byte.
    StoreRanges ranges;
    StoreRanges differingRanges;
    void add(const VerifyTally &more)
    {
        for (const StoreRange &r : more.ranges)
            AddRange(ranges, r.start, r.end);
        for (const StoreRange &r : more.differingRanges)
            AddRange(differingRanges, r.start, r.end);
        if (firstDifference < 0)
            firstDifference = more.firstDifference;
        compared += more.compared;
        differing += more.differing;
        skipped += more.skipped;
        sectors += more.sectors;
        differingSectors += more.differingSectors;
    }
};

// The long steps of a run, as a user names them.
enum class RunPhase : std::uint8_t {
    Read,    // reading the flash (the backup, or what is compared)
    Erase,   // erasing
    Program, // programming (on some bridges each block is erased just before)
    Verify,  // reading back what was programmed and comparing
};
// "reading the flash", "erasing", "programming", "verifying".
const char *PhaseWords(RunPhase phase);

class RunHost
{
  public:
    virtual ~RunHost() = default;

    // A status, shown at once (the window repaints).
    virtual void showStatus(const RunStatus &status) = 0;
    // A status set without letting the window repaint.
    virtual void setStatus(const RunStatus &status) = 0;
    // One step of a long loop. It is a dot: the window appends "." to its
    // status line for each; other front ends show the step their own way.
    virtual void progressDot(const ProgressEvent &step) = 0;
    // A long step begins: whatever fails from here on fails in it.
    virtual void phaseStarted(RunPhase phase) { (void)phase; }
    // A message box; returns when it has been dismissed.
    virtual void message(const std::string &text, const std::string &title, MessageKind kind) = 0;
    // Lets the front end handle what is pending (repaint, device events).
    virtual void processMessages() = 0;
    // The session's transfer values.
    virtual TransferState &transfer() = 0;
    // The firmware store (the flash, or the disk's firmware area, from its
    // start) as it was read just before: the read-only mode compares with it
    // instead of reading the device again, where it covers the compared
    // range. Null: read the device.
    virtual const std::vector<std::uint8_t> *storeRead() { return nullptr; }

    // The few window changes a procedure makes.
    // "Include 4K NVRAM" checked (the SST block-wise update writes it whole).
    virtual void nvramBoxChecked() {}
    // The bridge was told to reset itself: it leaves the bus and comes back.
    virtual void bridgeResetting() {}
    // The procedure will not write, for `why`, and has touched nothing (the
    // run is a refusal, not a failure).
    virtual void refusing(const std::string &why) { (void)why; }
    // The procedure is failing, for `why` (a sentence in the tool's own
    // words, not a status text); the window already showed its status.
    virtual void failing(const std::string &why) { (void)why; }
    // The device's settings that the write keeps, as read before anything
    // was erased (or as taken from journalSettings()).
    virtual void keptSettingsRead(const std::vector<std::uint8_t> &settings) { (void)settings; }
    // The device's settings as an earlier update that was cut saved them:
    // kept instead of what the flash holds now (which that update may have
    // erased). Empty: read them from the flash.
    virtual std::vector<std::uint8_t> journalSettings() { return {}; }
    // The read-only mode compared a range of the flash (or disk area).
    virtual void verified(const VerifyTally &range) { (void)range; }
    // The backup-only mode saved the flash (or the disk area) to `file`.
    virtual void backupSaved(const std::string &file) { (void)file; }
    // "Set Product SN" hidden after the record was written.
    virtual void serialNumberBoxHidden() {}
    // The product serial record read back from the flash after the write:
    // its serial number (empty: the block holds no record).
    virtual void productSerialRead(const std::string &serial) { (void)serial; }
    // After a reset the disks came back as `found`; `selected` is the bridge that was reset.
    virtual void devicesReattached(const std::vector<DiskInterface> &found, int selected)
    {
        (void)found;
        (void)selected;
    }

    // A notice box about `what`; the window shows its text in the usual box.
    virtual void notify(Notice what) = 0;
};

} // namespace brigant

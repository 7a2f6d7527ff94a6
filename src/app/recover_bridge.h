#pragma once
// A way back for a buffer-path bridge (codes 15-18) left running from its
// ROM by an update cut after the chip erase, or one whose journal holds a
// cut update: the manufacturing firmware goes to the bridge's RAM (from
// ROM), then the image to the flash; the flash is read back, the bridge
// reset, and the firmware it then runs is checked. The command line's
// `recover` and the window's update button on such a bridge run the same.
#include "app/update_journal.h"
#include "flash/run_host.h"
#include "flash/run_request.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brigant
{

// Whether the bridge at `path` answers from its ROM (its buffer descriptor
// says so).
bool BridgeRunsFromRom(const std::string &path);

struct RecoverPlan {
    enum class Refusal : std::uint8_t {
        None,
        NothingToRecover, // it runs firmware and no cut update of it is open
        CutFileChanged,   // the cut update's file is gone or changed, and no other was given
        NoImage,          // the image cannot be had (no built-in one for this chip, unreadable file)
        ForeignImage,     // the image's model tag is not the chip's
    };
    Refusal refusal = Refusal::None;
    std::string reason; // the refusal in words
    bool fromRom = false;
    std::optional<JournalEntry> unfinished; // the cut update, when the bridge runs firmware
    std::string file;                       // the image's file; empty: the built-in update image
    std::vector<std::uint8_t> image;        // padded with zeros to a multiple of 256 bytes
    std::string writes;                     // what the write puts where, for the question
};
// What a recovery of the bridge at `path` (chip type `code`) with `file`
// (empty: the cut update's file, else the built-in image) would write, or
// why it is refused. Sends only reads.
RecoverPlan PlanRecover(const std::string &path, std::uint32_t code, const std::string &file);

struct RecoverResult {
    enum class End : std::uint8_t {
        Recovered,
        NotProgrammed,
        NotVerified, // the flash does not read back as programmed
        NotBack,     // programmed and verified, but the bridge did not return from its reset
        StillRom,    // back, but it still runs from ROM
        NotBuiltIn,  // back, but not running the built-in image it was given
    };
    End end = End::NotProgrammed;
    std::string now;                       // where the bridge is after its reset
    std::array<std::uint8_t, 4> running{}; // the version bytes it reports then
    bool ok() const { return end == End::Recovered; }
};
// Runs `plan` on the bridge at `path`; `pathAfterReset` says where the
// bridge is once it is back from its reset. A recovered bridge's open
// journal entries are closed.
RecoverResult RecoverBridge(const RunRequest &req, RunHost &host, const std::string &path,
                            const RecoverPlan &plan, const std::function<std::string()> &pathAfterReset);
// Why a recovery that did not end Recovered failed, in words.
std::string RecoverFailureText(const RecoverResult &result);

} // namespace brigant

#pragma once
// A worker of update --all and its parent: the worker writes JSON Lines to a
// file descriptor the parent gave it, one per progress step
// {"phase", "done", "total"} and one at the end {"end": {"exitStatus",
// "simulatedMs"}}. Its report (--json) stays on standard output.
#include "common/progress.h"

#include <cstdint>
#include <optional>
#include <string>

namespace brigant::cli
{

// Mirrors every progress step onto `fd` from now on. The worker then
// ignores SIGPIPE: a parent that went away never stops a write halfway.
void OpenWorkerChannel(int fd);
// The last line: the exit status and the simulated time of the run (nothing
// without a channel).
void SendWorkerEnd(int exitStatus, std::uint64_t simulatedMs);

// One line of the channel as the parent reads it.
struct WorkerEvent {
    std::optional<ProgressEvent> progress;
    bool end = false;
    int exitStatus = 0;
    std::uint64_t simulatedMs = 0;
};
// False for a line that is none of the above.
bool ParseWorkerEvent(const std::string &line, WorkerEvent &event);

} // namespace brigant::cli

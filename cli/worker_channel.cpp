#include "cli/worker_channel.h"

#include "cli/progress_view.h"
#include "cli/signal_safe_output.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>

namespace brigant::cli
{

namespace
{

// Unbuffered, and carried on where a signal interrupts it; a parent that is
// gone fails the write, and the run goes on without it.
SignalSafeOutput *channel = nullptr;

void Send(const nlohmann::json &line)
{
    if (!channel)
        return;
    const std::string text = line.dump() + "\n";
    channel->sputn(text.data(), static_cast<std::streamsize>(text.size()));
}

} // namespace

void OpenWorkerChannel(int fd)
{
    static SignalSafeOutput out(fd, false);
    channel = &out;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC); // not for the helper this process may start
    std::signal(SIGPIPE, SIG_IGN);
    SetProgressMirror([](const ProgressEvent &event) {
        Send({{"phase", event.phase}, {"done", event.done}, {"total", event.total}});
    });
}

void SendWorkerEnd(int exitStatus, std::uint64_t simulatedMs)
{
    Send({{"end", {{"exitStatus", exitStatus}, {"simulatedMs", simulatedMs}}}});
}

bool ParseWorkerEvent(const std::string &line, WorkerEvent &event)
{
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object())
        return false;
    event = {};
    if (const auto end = j.find("end"); end != j.end() && end->is_object()) {
        const auto status = end->find("exitStatus");
        const auto ms = end->find("simulatedMs");
        if (status == end->end() || !status->is_number_integer() || ms == end->end() ||
            !ms->is_number_unsigned())
            return false;
        event.end = true;
        event.exitStatus = status->get<int>();
        event.simulatedMs = ms->get<std::uint64_t>();
        return true;
    }
    const auto phase = j.find("phase");
    const auto done = j.find("done");
    const auto total = j.find("total");
    if (phase == j.end() || !phase->is_string() || done == j.end() || !done->is_number_unsigned() ||
        total == j.end() || !total->is_number_unsigned())
        return false;
    event.progress =
        ProgressEvent{phase->get<std::string>(), done->get<std::uint64_t>(), total->get<std::uint64_t>()};
    return true;
}

} // namespace brigant::cli

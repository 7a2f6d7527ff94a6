#include "forms/headless_ui.h"

namespace brigant::forms
{

void HeadlessUi::messageBox(const std::string &text, const std::string &title, MessageKind kind)
{
    messages_.push_back({text, title, kind});
    std::ostream *out = problems_ && kind != MessageKind::Information ? problems_ : out_;
    if (out)
        *out << "[" << title << "] " << text << "\n" << std::flush;
}

void HeadlessUi::processMessages()
{
    if (dispatching_)
        return;
    dispatching_ = true;
    for (auto &poll : sources_)
        poll();
    const std::uint64_t now = clock_.nowMs();
    std::vector<int> due;
    for (auto &[id, t] : timers_)
        if (t.dueMs <= now)
            due.push_back(id);
    for (int id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end())
            continue;
        it->second.dueMs = now + it->second.intervalMs;
        fireTimer(id);
    }
    dispatching_ = false;
}

bool HeadlessUi::askYesNo(const std::string &text, const std::string &title)
{
    questions_.push_back({text, title, MessageKind::Information});
    const bool yes = !questionAnswers_.empty() && questionAnswers_.front();
    if (!questionAnswers_.empty())
        questionAnswers_.pop_front();
    if (out_)
        *out_ << "[" << title << "] " << text << "\n" << (yes ? "Yes" : "No") << "\n" << std::flush;
    return yes;
}

std::optional<std::string> HeadlessUi::openFileDialog(OpenDialog &dialog)
{
    if (dialogAnswers_.empty())
        return std::nullopt;
    std::string file = dialogAnswers_.front();
    dialogAnswers_.pop_front();
    if (file.empty())
        return std::nullopt;
    dialog.fileName = file;
    return file;
}

void HeadlessUi::startTimer(int id, std::uint32_t ms) { timers_[id] = Timer{ms, clock_.nowMs() + ms}; }

void HeadlessUi::stopTimer(int id) { timers_.erase(id); }

void HeadlessUi::runTimers(std::uint32_t limitMs, std::uint32_t stepMs)
{
    const std::uint64_t end = clock_.nowMs() + limitMs;
    processMessages();
    while (!timers_.empty() && clock_.nowMs() < end) {
        clock_.sleepMs(stepMs);
        processMessages();
    }
}

} // namespace brigant::forms

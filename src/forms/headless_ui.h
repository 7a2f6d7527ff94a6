#pragma once
// UI services without a window system: message boxes go to a stream, timers
// run on a Clock, and processing pending messages polls the registered event
// sources (device monitors, simulated buses) and runs the timers that are due.
#include "common/clock.h"
#include "forms/ui_services.h"

#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace brigant::forms
{

class HeadlessUi : public UiServices
{
  public:
    // Boxes are printed to `out` (nothing when null); warning and error boxes
    // go to `problems` instead when it is given.
    HeadlessUi(Clock &clock, std::ostream *out, std::ostream *problems = nullptr)
        : clock_(clock), out_(out), problems_(problems)
    {
    }

    struct Message {
        std::string text, title;
        MessageKind kind;
    };

    void messageBox(const std::string &text, const std::string &title, MessageKind kind) override;
    void processMessages() override;
    bool askYesNo(const std::string &text, const std::string &title) override;
    std::optional<std::string> openFileDialog(OpenDialog &dialog) override;
    void startTimer(int id, std::uint32_t ms) override;
    void stopTimer(int id) override;

    // Polled on every processMessages, before the timers.
    void addEventSource(std::function<void()> poll) { sources_.push_back(std::move(poll)); }
    // Files the next open dialogs return (empty string: cancelled).
    void queueDialogAnswer(const std::string &file) { dialogAnswers_.push_back(file); }
    // Answers of the next questions; a question without one is answered No.
    void queueQuestionAnswer(bool yes) { questionAnswers_.push_back(yes); }

    bool timerRunning(int id) const { return timers_.count(id) != 0; }
    // Sleeps on the clock until no timer is left (at most `limitMs`), processing
    // messages as time passes. For a virtual clock this costs no real time.
    void runTimers(std::uint32_t limitMs, std::uint32_t stepMs = 10);

    const std::vector<Message> &messages() const { return messages_; }
    // Every question asked, in order (kind Information).
    const std::vector<Message> &questions() const { return questions_; }

    // How the steps of long operations are shown (nothing when unset).
    std::function<void(const ProgressEvent &)> onProgress;

  protected:
    void progress(const ProgressEvent &event) override
    {
        if (onProgress)
            onProgress(event);
    }

  private:
    struct Timer {
        std::uint32_t intervalMs;
        std::uint64_t dueMs;
    };
    Clock &clock_;
    std::ostream *out_;
    std::ostream *problems_;
    std::vector<Message> messages_;
    std::vector<Message> questions_;
    std::vector<std::function<void()>> sources_;
    std::map<int, Timer> timers_;
    std::deque<std::string> dialogAnswers_;
    std::deque<bool> questionAnswers_;
    bool dispatching_ = false;
};

} // namespace brigant::forms

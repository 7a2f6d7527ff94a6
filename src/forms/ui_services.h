#pragma once
// What the program's logic needs from a window system: message boxes, dialogs,
// processing of pending messages, timers. The Qt front end implements it with
// real widgets; the command-line tool prints; tests record.
#include "common/progress.h"
#include "forms/controls.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace brigant
{

class UiServices
{
  public:
    virtual ~UiServices() = default;
    // A box with one OK button; returns when the user has dismissed it.
    virtual void messageBox(const std::string &text, const std::string &title, MessageKind kind) = 0;
    // Lets the window repaint and handle events queued while the logic runs.
    virtual void processMessages() = 0;
    // A long loop reports each step here, beside the dots of the status line:
    // the listener first (if one is set), then the front end's own display.
    void reportProgress(const ProgressEvent &event)
    {
        if (progressListener_)
            progressListener_(event);
        progress(event);
    }
    using ProgressListener = std::function<void(const ProgressEvent &)>;
    // Replaces the listener and returns the one it replaces.
    ProgressListener setProgressListener(ProgressListener listener)
    {
        std::swap(listener, progressListener_);
        return listener;
    }

    // A question with Yes and No; true only when the user answered Yes. Front
    // ends that cannot ask answer No, so that nothing the answer guards runs.
    virtual bool askYesNo(const std::string &, const std::string &) { return false; }

    // The file-open dialog: the chosen file, or nothing when cancelled.
    virtual std::optional<std::string> openFileDialog(forms::OpenDialog &) { return std::nullopt; }

    // Window timers: after `ms` the timer handler runs with `id` (again every
    // `ms` until stopped). Starting a running timer restarts it.
    virtual void startTimer(int, std::uint32_t) {}
    virtual void stopTimer(int) {}
    void setTimerHandler(std::function<void(int)> handler) { timerHandler_ = std::move(handler); }

  protected:
    // How the front end shows a step; nothing by default.
    virtual void progress(const ProgressEvent &) {}
    void fireTimer(int id)
    {
        if (timerHandler_)
            timerHandler_(id);
    }

  private:
    std::function<void(int)> timerHandler_;
    ProgressListener progressListener_;
};

// Drops every message box (the default until a front end installs its own).
class SilentUiServices final : public UiServices
{
  public:
    void messageBox(const std::string &, const std::string &, MessageKind) override {}
    void processMessages() override {}
};

UiServices &Ui();
void SetUiServices(UiServices *services); // nullptr restores the silent default

// Processes pending messages through the installed services: the message
// pump that the bridge commands are handed.
inline void PumpMessages() { Ui().processMessages(); }

// Shows `text` in a status line and lets the window repaint.
void ShowStatus(forms::LabeledEdit &status, const std::string &text);
// One step of a long loop: appends "." to the status line, reports the step
// as a ProgressEvent and lets the window repaint.
void AppendProgressDot(forms::LabeledEdit &status, const std::string &phase, std::uint64_t done,
                       std::uint64_t total);

} // namespace brigant

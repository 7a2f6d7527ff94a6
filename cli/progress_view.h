#pragma once
// How brigant-fw shows a running operation: on a terminal one line redrawn in
// place (phase, percent, bar, amount, time left) and colours; on a pipe or a
// file a line per phase with its percentages, and no escape codes.
#include "common/clock.h"
#include "common/debug_log.h"
#include "forms/controls.h"
#include "forms/ui_services.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace brigant::cli
{

enum class Verbosity { Quiet, Normal, Verbose };

struct OutputStyle {
    bool terminal = false; // redraw lines in place
    bool colour = false;   // ANSI colours (a terminal, and NO_COLOR unset or empty)
    Verbosity verbosity = Verbosity::Normal;
};

// The style for a file descriptor: a terminal draws, colour also needs NO_COLOR
// to be unset or empty.
OutputStyle DetectStyle(int fd, Verbosity verbosity);

// `text` in `colour` when the style allows colour; unchanged otherwise.
std::string Paint(const std::string &text, forms::Colour colour, const OutputStyle &style);

// The amount of a phase as the user reads it: bytes for the phases that count
// bytes, plain counts for blocks, sectors and attempts.
std::string AmountText(const std::string &phase, std::uint64_t done, std::uint64_t total);
// "12 s" or "3 min 05 s".
std::string DurationText(std::uint64_t ms);

// The progress line of one event, without the carriage return: phase,
// percent, bar, amount and (once it can be estimated) the time left.
std::string ProgressLine(const ProgressEvent &event, std::uint64_t elapsedMs);

// Every view's progress steps also go to `mirror` (empty: nowhere), whatever
// the verbosity: a worker of update --all passes them to its parent.
void SetProgressMirror(std::function<void(const ProgressEvent &)> mirror);

class ProgressView
{
  public:
    // While it lives, a debug line never runs on from a line it left open.
    ProgressView(std::ostream &out, const OutputStyle &style, Clock &clock)
        : out_(out), style_(style), clock_(clock)
    {
        SetDebugLineStart([this] { endLine(); });
    }
    ~ProgressView() { SetDebugLineStart({}); }
    ProgressView(const ProgressView &) = delete;
    ProgressView &operator=(const ProgressView &) = delete;

    // One step of a long operation.
    void progress(const ProgressEvent &event);
    // A new text of the one-button status line, in its colour.
    void status(const std::string &text, forms::Colour colour);
    // A new text of the full tool's status line.
    void statusText(const std::string &text);
    // How the run ended, in green or red where colour is allowed.
    void result(const std::string &text, bool ok);
    // Ends a line the view left open (a redrawn line or a phase's line).
    void endLine();

  private:
    void draw(const std::string &line);
    void plainProgress(const ProgressEvent &event);

    std::ostream &out_;
    OutputStyle style_;
    Clock &clock_;
    std::string phase_;
    std::uint64_t phaseStartMs_ = 0;
    std::uint64_t lastDone_ = 0;
    std::uint64_t lastTotal_ = 0;
    std::size_t drawnWidth_ = 0; // characters of the line being redrawn
    bool open_ = false;          // a line is on screen without its line feed
    bool resulted_ = false;      // the result was printed: status lines are no longer the run's
    int lastTenth_ = -1;         // of the plain phase line: the last tenth printed
};

} // namespace brigant::cli

#include "cli/progress_view.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace brigant::cli
{

namespace
{

constexpr int kBarWidth = 24;

// Phases whose units are bytes; the others count blocks, sectors or attempts.
bool CountsBytes(const std::string &phase)
{
    return phase == "Programming Flash" || phase == "ReadFlash" || phase == "WriteFlash";
}

std::string Kib(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1024.0);
    return text;
}

} // namespace

OutputStyle DetectStyle(int fd, Verbosity verbosity)
{
    OutputStyle style;
    style.verbosity = verbosity;
    style.terminal = ::isatty(fd) == 1;
    const char *noColour = std::getenv("NO_COLOR");
    style.colour = style.terminal && (noColour == nullptr || noColour[0] == '\0');
    return style;
}

std::string Paint(const std::string &text, forms::Colour colour, const OutputStyle &style)
{
    if (!style.colour)
        return text;
    const char *code = colour == forms::kRed     ? "31"
                       : colour == forms::kGreen ? "32"
                       : colour == forms::kBlue  ? "34"
                                                 : nullptr;
    if (!code)
        return text;
    return std::string("\033[") + code + "m" + text + "\033[0m";
}

std::string AmountText(const std::string &phase, std::uint64_t done, std::uint64_t total)
{
    if (CountsBytes(phase))
        return Kib(done) + "/" + Kib(total) + " KiB";
    return std::to_string(done) + "/" + std::to_string(total);
}

std::string DurationText(std::uint64_t ms)
{
    const std::uint64_t seconds = (ms + 999) / 1000;
    char text[32];
    if (seconds < 60)
        std::snprintf(text, sizeof text, "%llu s", static_cast<unsigned long long>(seconds));
    else
        std::snprintf(text, sizeof text, "%llu min %02llu s", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    return text;
}

std::string ProgressLine(const ProgressEvent &event, std::uint64_t elapsedMs)
{
    const std::uint64_t total = event.total;
    const std::uint64_t done = total && event.done > total ? total : event.done;
    const unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 0;
    const int filled = total ? static_cast<int>(done * kBarWidth / total) : 0;
    char head[16];
    std::snprintf(head, sizeof head, "%3u%%", percent);
    std::string line = event.phase + " " + head + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                       AmountText(event.phase, done, total);
    if (done > 0 && done < total && elapsedMs > 0) {
        const double rest =
            static_cast<double>(elapsedMs) * static_cast<double>(total - done) / static_cast<double>(done);
        line += ", " + DurationText(static_cast<std::uint64_t>(rest)) + " left";
    }
    return line;
}

namespace
{
std::function<void(const ProgressEvent &)> &Mirror()
{
    static std::function<void(const ProgressEvent &)> mirror;
    return mirror;
}
} // namespace

void SetProgressMirror(std::function<void(const ProgressEvent &)> mirror) { Mirror() = std::move(mirror); }

void ProgressView::progress(const ProgressEvent &event)
{
    if (Mirror())
        Mirror()(event);
    if (style_.verbosity == Verbosity::Quiet)
        return;
    if (!style_.terminal) {
        plainProgress(event);
        return;
    }
    const bool restarted = event.phase == phase_ && lastTotal_ == event.total && event.done < lastDone_;
    if (event.phase != phase_ || event.total != lastTotal_ || restarted) {
        endLine();
        phase_ = event.phase;
        phaseStartMs_ = clock_.nowMs();
    }
    lastDone_ = event.done;
    lastTotal_ = event.total;
    draw(ProgressLine(event, clock_.nowMs() - phaseStartMs_));
}

void ProgressView::plainProgress(const ProgressEvent &event)
{
    // A pipe or a file: a line per phase, which gains a percentage at every
    // tenth of the way.
    const bool restarted = event.phase == phase_ && lastTotal_ == event.total && event.done < lastDone_;
    if (!open_ || event.phase != phase_ || event.total != lastTotal_ || restarted) {
        endLine();
        phase_ = event.phase;
        lastTotal_ = event.total;
        out_ << event.phase << ":";
        open_ = true;
        lastTenth_ = -1;
    }
    lastDone_ = event.done;
    const std::uint64_t done = event.total && event.done > event.total ? event.total : event.done;
    const int tenth = event.total ? static_cast<int>(done * 10 / event.total) : 0;
    if (tenth > lastTenth_) {
        out_ << " " << tenth * 10 << "%";
        lastTenth_ = tenth;
    }
    out_ << std::flush;
}

void ProgressView::result(const std::string &text, bool ok)
{
    endLine();
    out_ << "result: " << Paint(text, ok ? forms::kGreen : forms::kRed, style_) << "\n" << std::flush;
    resulted_ = true;
}

void ProgressView::draw(const std::string &line)
{
    // Blanks cover what a longer line before left on screen: no escape codes.
    std::string padded = line;
    if (padded.size() < drawnWidth_)
        padded.append(drawnWidth_ - padded.size(), ' ');
    drawnWidth_ = line.size();
    out_ << '\r' << padded << std::flush;
    open_ = true;
}

void ProgressView::status(const std::string &text, forms::Colour colour)
{
    // The window goes on refreshing after the run (the bridge comes back, a
    // second bridge is judged): none of that is the run's.
    if (resulted_)
        return;
    endLine();
    out_ << "status: " << Paint(text, colour, style_) << "\n" << std::flush;
}

void ProgressView::statusText(const std::string &text)
{
    if (style_.verbosity == Verbosity::Quiet || resulted_)
        return;
    endLine();
    out_ << "  " << text << "\n" << std::flush;
}

void ProgressView::endLine()
{
    if (open_)
        out_ << "\n" << std::flush;
    open_ = false;
    drawnWidth_ = 0;
    phase_.clear();
    lastDone_ = 0;
    lastTotal_ = 0;
}

} // namespace brigant::cli

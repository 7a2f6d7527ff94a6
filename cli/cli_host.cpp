#include "cli/cli_host.h"
#include "app/status_texts.h"
#include "cli/say.h"

#include "forms/ui_services.h"

#include <iostream>

namespace brigant::cli
{

void CliRunHost::showStatus(const RunStatus &status)
{
    if (!verbose())
        return;
    // With --verbose the status line is shown as the window words it.
    if (const std::string text = StatusLine(status); !text.empty())
        view_.statusText(text);
}

void CliRunHost::setStatus(const RunStatus &status) { showStatus(status); }

void CliRunHost::progressDot(const ProgressEvent &step) { view_.progress(step); }

void CliRunHost::message(const std::string &text, const std::string &title, MessageKind kind)
{
    if (kind == MessageKind::Information && !verbose())
        return;
    view_.endLine();
    if (kind == MessageKind::Information)
        std::cout << "[" << title << "] " << text << "\n" << std::flush;
    else
        Say(kind == MessageKind::Error ? Severity::Error : Severity::Warning, text, std::cerr,
            MessageCode::Procedure);
}

void CliRunHost::notify(Notice what)
{
    if (verbose()) {
        message(NoticeText(what), "Message", MessageKind::Information);
        return;
    }
    if (what == Notice::AutoReset && style_.verbosity != Verbosity::Quiet) {
        view_.endLine();
        std::cout << "the bridge restarts " << (erasing_ ? "with its flash erased" : "with its new firmware")
                  << "; waiting for it to come back\n"
                  << std::flush;
    }
}

void CliRunHost::processMessages() { Ui().processMessages(); }

void CliRunHost::bridgeResetting() { returnedAt_.clear(); }

void CliRunHost::devicesReattached(const std::vector<DiskInterface> &found, int selected)
{
    if (selected >= 0 && static_cast<std::size_t>(selected) < found.size())
        returnedAt_ = found[static_cast<std::size_t>(selected)].path;
}

void CliRunHost::keptSettingsRead(const std::vector<std::uint8_t> &settings)
{
    if (!journal_)
        return;
    journal_->settings = settings;
    std::string error;
    if (!WriteJournalEntry(*journal_, error)) {
        view_.endLine();
        SayWarning().as(MessageCode::Journal) << "the update journal: " << error;
    }
}

} // namespace brigant::cli

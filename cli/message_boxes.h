#pragma once
// While a MessageBoxes lives, the message boxes the program opens (those of
// discovery and identification) are written to the command line's streams.
#include "app/installed_services.h"
#include "common/clock.h"
#include "forms/headless_ui.h"

#include <iosfwd>

namespace brigant::cli
{

class MessageBoxes
{
  public:
    // Information goes to `info` (nullptr: nowhere), warnings and errors to `problems`.
    MessageBoxes(std::ostream *info, std::ostream *problems) : ui_(ProgramClock(), info, problems)
    {
        services_.ui(&ui_);
    }
    MessageBoxes(const MessageBoxes &) = delete;
    MessageBoxes &operator=(const MessageBoxes &) = delete;

    const forms::HeadlessUi &ui() const { return ui_; }

  private:
    forms::HeadlessUi ui_;
    InstalledServices services_;
};

} // namespace brigant::cli

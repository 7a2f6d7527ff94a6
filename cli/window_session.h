#pragma once
// The main window run headless: the window model and UI services that print
// message boxes and run timers on the program clock, with device changes
// taken from the run's source (the simulated bus or a udev monitor).
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "cli/cli_context.h"
#include "device/enumerator.h"
#include "forms/headless_ui.h"
#include "model/fwupdate.h"

#include <memory>
#include <ostream>

namespace brigant::cli
{

class WindowSession
{
  public:
    WindowSession(CliContext &ctx, std::ostream &out) : WindowSession(ctx, &out) {}
    // `out` null: information boxes are not printed (warnings and errors
    // still go to standard error).
    WindowSession(CliContext &ctx, std::ostream *out);
    ~WindowSession() = default;
    WindowSession(const WindowSession &) = delete;
    WindowSession &operator=(const WindowSession &) = delete;

    // Construction (settings, first refresh) and FormCreate.
    void open();
    TBrigantFwTool &form() { return *form_; }
    forms::HeadlessUi &ui() { return ui_; }
    // True when the list of disks could not be read (e.g. udev unavailable).
    bool enumerationFailed() const { return enumerationFailed_; }

  private:
    forms::HeadlessUi ui_;
    InstalledServices services_; // the UI above, until the window is gone
    std::unique_ptr<TBrigantFwTool> form_;
    bool enumerationFailed_ = false;
};

} // namespace brigant::cli

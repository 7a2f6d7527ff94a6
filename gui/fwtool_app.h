#pragma once
// One run of the window: the model, the Qt view of it and the UI services,
// connected to what a GuiSession has set up below them.
#include "app/fwupdate_handlers.h"
#include "app/installed_services.h"
#include "app/pass_fail_wnd.h"
#include "app/write_guard.h"
#include "gui/fwtool_view.h"
#include "gui/gui_session.h"
#include "gui/qt_ui_services.h"
#include "model/fwupdate.h"

#include <memory>
#include <optional>

namespace brigant::gui
{

// How often the simulated bus is looked at for bridges that left or came back.
constexpr int kSimulatedBusPollMs = 50;

class FwToolApp
{
  public:
    FwToolApp(GuiSession &session, Face face);
    ~FwToolApp();
    FwToolApp(const FwToolApp &) = delete;
    FwToolApp &operator=(const FwToolApp &) = delete;

    // Creates the window: construction (settings, first refresh) and
    // FormCreate, then starts taking device changes. Does not show it.
    void create();
    // Shows the window at the screen's centre and reports an access problem
    // of the first refresh.
    void show();

    TBrigantFwTool &form() { return *form_; }
    FwToolView &view() { return *view_; }
    QtUiServices &ui() { return ui_; }

    // Shows the message box about a refused disk access, if one is pending.
    void reportAccessProblem();

  private:
    // The window's rehearsal of the full tool's write (see SetWindowRehearsal).
    RehearsalVerdict rehearse(TBrigantFwTool &form, const WritePlan &plan);

    GuiSession &session_;
    Face face_;
    QtUiServices ui_;
    std::optional<InstalledServices> uiInstalled_; // ui_, from create() until destruction begins
    std::unique_ptr<TBrigantFwTool> form_;
    // The result window exists, hidden, from start-up; nothing shows it.
    std::unique_ptr<TPassFailForm> passFail_;
    std::unique_ptr<FwToolView> view_;
};

} // namespace brigant::gui

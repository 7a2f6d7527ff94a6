#pragma once
// A main window with every handler wired, as the programs build it.
#include "app/fwupdate_handlers.h"
#include "model/fwupdate.h"

namespace brigant::test
{

struct WiredWindow : TBrigantFwTool {
    WiredWindow() { WireMainWindow(*this); }
};

} // namespace brigant::test

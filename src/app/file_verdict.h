#pragma once
// Whether a firmware file may be written to a bridge: the one judgement that
// `update FILE`, `update --all` and the window's Run all make before they ask
// anything or send a write.
#include "app/fwupdate_handlers.h"
#include "flash/run_request.h"

#include <string>

namespace brigant
{

class TBrigantFwTool;

// Why Load File's checks refuse a file, in one sentence; empty when they take it.
std::string LoadCheckText(const LoadCheck &load);
// Why `file` cannot be written to a bridge identified as `identity`, as Load
// File's checks found it; empty when they accept it. For a file made for
// another chip the match check's findings follow, one per line.
std::string LoadRefusal(const LoadCheck &check, const ChipIdentity &identity, const std::string &file);
// The same in one line (a table's cell, a status line).
std::string OneLineRefusal(const LoadCheck &check, const ChipIdentity &identity, const std::string &file);

// The run the window's controls ask for, writing `file` (whatever service
// mode the boxes name).
RunRequest FileRunRequest(const TBrigantFwTool &form, const std::string &file);

// Why Run must not write `file` to the bridge selected in `form`, in one
// line: Load File's checks, then Run's. Empty when the file may be written,
// and for the file of a cut update of this bridge, which the same file
// finishes whatever its half-written firmware answers.
std::string FileRefusalForSelected(TBrigantFwTool &form, const std::string &file);

} // namespace brigant

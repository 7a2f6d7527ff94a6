#pragma once
// The update journal around a write the window starts: the entry goes in
// before the first write, the settings the write keeps go into it as they
// are read, and it is closed as the run ends. A write that repeats the open
// entry of a cut update finishes that entry, with its saved settings.
#include "model/fwupdate.h"

#include <functional>
#include <string>

namespace brigant
{

// Runs `run` (which returns whether the write was verified) journaled;
// `builtIn`: the one-button update of the built-in image; `backupFile`: the
// backup taken before, if any. A backup-only run is not journaled.
void RunJournaled(TBrigantFwTool &form, bool builtIn, const std::string &backupFile,
                  const std::function<bool()> &run);

// When the journal holds open a cut update of the selected bridge with
// `file` (the same SHA-256, on the same chip): the sentence that says so, for
// the status line; empty otherwise. Such a file is taken although the cut
// firmware's identity bytes no longer match it: Run finishes the update.
std::string CutUpdateOfFile(TBrigantFwTool &form, const std::string &file);

} // namespace brigant

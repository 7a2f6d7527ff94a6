#pragma once
// The one-button run: programs the embedded image into a code-16 bridge,
// resets it and waits for it to come back.

#include "flash/run_host.h"
#include "flash/run_request.h"

#include <functional>
#include <string>

namespace brigant
{

class TBrigantFwTool;

// The one-button run on the bridge at `path`, for whoever starts it: the
// disks are listed, the built-in image programmed through the buffer path,
// the bridge reset and waited for. `stage` is told before and after the
// programming (the face's progress bar). True only when all of it succeeded.
bool RunEmbeddedUpdate(const RunRequest &req, RunHost &host, const std::string &path,
                       const std::function<void()> &stage);

void YesBtnClick(TBrigantFwTool &form);

// How long the result stays on screen before Exit is offered again.
constexpr unsigned kResultPauseMs = 1000;

} // namespace brigant

#pragma once
// The one-button run: programs the embedded image into a code-16 bridge,
// resets it and waits for it to come back.

namespace brigant
{

class TBrigantFwTool;

void YesBtnClick(TBrigantFwTool &form);

// How long the result stays on screen before Exit is offered again.
constexpr unsigned kResultPauseMs = 1000;

} // namespace brigant

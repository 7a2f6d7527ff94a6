#pragma once
// Debug sink: the program's trace lines ("Update Btn Press" and the like).
// Silent unless enabled; when enabled the lines go to standard error or to a
// stream the caller chose.
#include <cstdio>
#include <functional>
#include <string>

namespace brigant
{

void SetDebugSink(std::FILE *sink); // nullptr silences the sink
std::FILE *DebugSink();             // the sink in use, or nullptr when silent
// Runs before each write to the sink (none when empty): a front end that
// leaves a line open on the terminal ends it there.
void SetDebugLineStart(std::function<void()> hook);
// Writes text unchanged (callers include their own line ends).
void DebugOut(const std::string &text);
// printf-style convenience.
void DebugPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace brigant

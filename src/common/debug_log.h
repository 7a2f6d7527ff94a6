#pragma once
// Debug sink: the program's trace lines ("Update Btn Press" and the like).
// Silent unless enabled; when enabled the lines go to standard error or to a
// stream the caller chose.
#include <cstdio>
#include <string>

namespace brigant
{

void SetDebugSink(std::FILE *sink); // nullptr silences the sink
std::FILE *DebugSink();             // the sink in use, or nullptr when silent
// Writes text unchanged (callers include their own line ends).
void DebugOut(const std::string &text);
// printf-style convenience.
void DebugPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace brigant

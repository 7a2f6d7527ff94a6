#include "common/debug_log.h"

#include <cstdarg>

namespace brigant
{

namespace
{
std::FILE *debugSink = nullptr;
std::function<void()> lineStart;
} // namespace

void SetDebugLineStart(std::function<void()> hook) { lineStart = std::move(hook); }

void SetDebugSink(std::FILE *sink) { debugSink = sink; }
std::FILE *DebugSink() { return debugSink; }

void DebugOut(const std::string &text)
{
    if (!debugSink)
        return;
    if (lineStart)
        lineStart();
    std::fputs(text.c_str(), debugSink);
    std::fflush(debugSink);
}

void DebugPrintf(const char *fmt, ...)
{
    if (!debugSink)
        return;
    if (lineStart)
        lineStart();
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(debugSink, fmt, ap);
    va_end(ap);
    std::fflush(debugSink);
}

} // namespace brigant

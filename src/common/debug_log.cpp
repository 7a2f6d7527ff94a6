#include "common/debug_log.h"

#include <cstdarg>

namespace brigant
{

namespace
{
std::FILE *debugSink = nullptr;
}

void SetDebugSink(std::FILE *sink) { debugSink = sink; }
std::FILE *DebugSink() { return debugSink; }


void DebugOut(const std::string &text)
{
    if (!debugSink)
        return;
    std::fputs(text.c_str(), debugSink);
    std::fflush(debugSink);
}

void DebugPrintf(const char *fmt, ...)
{
    if (!debugSink)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(debugSink, fmt, ap);
    va_end(ap);
    std::fflush(debugSink);
}

} // namespace brigant

#include "link/aDebugging.h"

#include <cstdarg>
#include <cstdio>

std::atomic<bool> aCorvestelDebuggingEnable{false};
std::atomic<uint32_t> aCorvestelDebuggingLevel{0};

bool aDebugging_IsOn(uint32_t level)
{
    return aCorvestelDebuggingEnable.load(std::memory_order_relaxed)
        && (aCorvestelDebuggingLevel.load(std::memory_order_relaxed) & level) != 0;
}

void aDebugging_Trace(uint32_t level, const char* format, ...)
{
    if (!aDebugging_IsOn(level))
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

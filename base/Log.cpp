#include "base/Log.h"

#include <cstdarg>

#include "base/SafeText.h"

unsigned Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(unsigned package, const char* format, ...)
{
    if (package != 0 && (package & package_bitmask) == 0)
        return;
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || !fh)
        return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    // Traces quote what the server and the modules send.
    SafeText_Replace(line, len);
    fwrite(line, 1, len, fh);
}

void Log::SetOutput(FILE* file)
{
    fh = file;
}

void Log::ActivatePackage(unsigned mask)
{
    package_bitmask |= mask;
}

void Log::DeactivatePackage(unsigned mask)
{
    package_bitmask &= ~mask;
}

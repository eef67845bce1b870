#include "base/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/SafeText.h"

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (muted)
        return;
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        text[0] = '\0';
    // Texts from the server or a module may carry escape sequences.
    SafeText_Replace(text, std::strlen(text));
    if (level == LEVEL_ERROR)
        error_message(text);
    else
        info_message(text);
}

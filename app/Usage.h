// Usage texts: the short text always; with full, the parameters and commands,
// the extended block (when also extended) and the samples.
#ifndef UPDATER_APP_USAGE_H
#define UPDATER_APP_USAGE_H

#include <cstdio>

void PrintUsage(bool extended, bool full, FILE* out = stderr);

#endif

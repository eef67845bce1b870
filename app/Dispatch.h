// One run of the program: parse, print the version line, show help when
// asked or when no command is given, prepare the storage directory, then run
// the fingerprint and download commands and at most one main command.
#ifndef UPDATER_APP_DISPATCH_H
#define UPDATER_APP_DISPATCH_H

#include "app/CLI_Display.h"

// Returns the exit status: 0 or 1.
int RunCommandLine(CLI_Display& display, int argc, const char* const* argv);

#endif

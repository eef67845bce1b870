// The command line of corvestel-serve: which module to share, where, and
// whether to stay in the foreground.
#ifndef CORVESTEL_APP_SERVE_SERVEOPTIONS_H
#define CORVESTEL_APP_SERVE_SERVEOPTIONS_H

#include <cstdint>
#include <string>

struct ServeOptions {
    uint32_t serial = 0;
    bool network = false;     // serve on an interface, not on loopback only
    uint32_t address = 0;     // that interface's IPv4 address, network order
    bool foreground = false;
    bool help = false;
};

// Fills options from argv. False with a one-line reason in error when the
// command line is wrong.
bool ParseServeOptions(int argc, char** argv, ServeOptions& options, std::string& error);

// The usage text, ending in a line end.
const char* ServeUsage();

#endif

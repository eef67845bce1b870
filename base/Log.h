// Developer trace: one process-wide sink; each line carries a package bit and
// is written only when that package is switched on (package 0 always is).
// The mask and the sink are set once at start-up, before other threads exist;
// after that any thread may call Log::log (lines may interleave).
#ifndef UPDATER_BASE_LOG_H
#define UPDATER_BASE_LOG_H

#include <cstdio>

enum LogPackage : unsigned {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network = 0x00000010,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network_100 = 0x00000100, // listed under the name DEBUG_Network in the help
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    Log() {}
    ~Log() {}

    // Writes one formatted line (cut at 2048 bytes) when the package is 0 or
    // shares a bit with the mask. No line end is added and nothing is flushed.
    static void log(unsigned package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* file);
    static void ActivatePackage(unsigned mask);
    static void DeactivatePackage(unsigned mask);

    static unsigned package_bitmask;
    static FILE* fh;
};

#endif

// The third-party boot ROM tools (lpc21isp, imx_uart from Debian) as peers of
// the simulated boot ROMs: where they are installed and the command line
// that has one write an image through a ROM's port. Tests and benchmarks run
// the command themselves (RunProgram), so they choose its time limit and
// what they time. Plain functions, any thread.
#ifndef TESTS_SUPPORT_PEERTOOLS_H
#define TESTS_SUPPORT_PEERTOOLS_H

#include <cstdint>
#include <string>
#include <vector>

struct PeerTool {
    std::string path;    // empty when it is not installed
    std::string missing; // what to say then: the tool and its Debian package
};

// Looks for the program name in the usual folders.
PeerTool FindPeerTool(const char* name, const char* package);

// lpc21isp writing the binary image file into an LPC's flash through port at
// baud (its crystal given as 14746 kHz); verify has it compare every sector.
std::vector<std::string> Lpc21ispCommand(const std::string& tool, const std::string& imagePath,
                                         const std::string& port, int baud, bool verify);

// imx_uart loading the image file into an RT1050's RAM at address through
// port; its configuration file is written into folder (false when it cannot
// be). verbose has it read the image back and compare.
bool ImxUartCommand(const std::string& tool, const std::string& folder, const std::string& imagePath,
                    uint32_t address, const std::string& port, bool verbose, std::vector<std::string>& command);

#endif

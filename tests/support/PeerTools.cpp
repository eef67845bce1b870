#include "support/PeerTools.h"

#include <unistd.h>

#include <cstdio>

#include "support/UpdateServerHarness.h"

PeerTool FindPeerTool(const char* name, const char* package)
{
    PeerTool tool;
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0) {
            tool.path = path;
            return tool;
        }
    }
    tool.missing = std::string(name) + " is not installed (Debian package " + package +
                   "; scripts/setup.sh installs it)";
    return tool;
}

std::vector<std::string> Lpc21ispCommand(const std::string& tool, const std::string& imagePath,
                                         const std::string& port, int baud, bool verify)
{
    std::vector<std::string> command{tool, "-bin"};
    if (verify)
        command.push_back("-verify");
    command.insert(command.end(), {imagePath, port, std::to_string(baud), "14746"});
    return command;
}

bool ImxUartCommand(const std::string& tool, const std::string& folder, const std::string& imagePath,
                    uint32_t address, const std::string& port, bool verbose, std::vector<std::string>& command)
{
    // The part's RAM and one job: the image at address.
    char job[32];
    std::snprintf(job, sizeof job, ":load 0x%08X\n", address);
    const std::string conf = folder + "/rt1050.conf";
    if (!srvtest::WriteWholeFile(conf, "rt1050\nhid,1024,0x20000000,0x20000000,512K,0x20200000,512K\n" + imagePath +
                                           job))
        return false;
    command = {tool, "-n"};
    if (verbose)
        command.push_back("-v");
    command.insert(command.end(), {port, conf});
    return true;
}

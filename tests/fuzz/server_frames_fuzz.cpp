// The local network server's broker fed arbitrary client messages and
// module-side frames: nothing crashes or leaks, and only well-formed packets
// reach the module, never the routing switch a client may not throw.
//
// Input: records of [kind][identity length][identity][frame length][frame];
// an odd kind is a client message, an even one a frame from the module side
// (identity unused). A short record ends the input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/aDefs.h"
#include "transport/aServer_ZeroMQ.h"

namespace {

// What the module side parses as a packet: address, length, and at least
// that many data bytes (bytes past them are not part of the packet).
bool sWellFormed(const std::string& frame)
{
    return frame.size() >= 2 && frame.size() <= 30 && uint8_t(frame[1]) <= frame.size() - 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One server for the whole run (sockets are slow to make), as fresh for
    // every input.
    static aServerRef server = aServer_CreateDetached();
    if (!server)
        std::abort();
    size_t at = 0;
    std::vector<std::string> toModule;
    while (at + 3 <= size) {
        const uint8_t kind = data[at++];
        const size_t idSize = data[at++];
        if (at + idSize + 1 > size)
            break;
        const uint8_t* id = data + at;
        at += idSize;
        const size_t frameSize = data[at++];
        if (at + frameSize > size)
            break;
        const uint8_t* frame = data + at;
        at += frameSize;
        if (kind & 1) {
            toModule.clear();
            aServer_DetachedClientMessage(server, id, idSize, frame, frameSize, &toModule);
            for (const std::string& passed : toModule) {
                if (!sWellFormed(passed))
                    std::abort();
                if (uint8_t(passed[0]) == cmdFORCEROUTE && passed[1] == 1)
                    std::abort();
            }
        } else {
            aServer_DetachedModuleFrame(server, frame, frameSize);
        }
    }
    aServer_DetachedReset(server);
    if (aServer_DetachedWaiting(server) != 0)
        std::abort();
    return 0;
}

// Waiting for a module to come back. A module that restarts (into its
// loader after LOAD, into new firmware after the reboot) drops its link and,
// on USB, leaves the bus and enumerates again at a new address. ModuleReturn
// owns that wait: the watch of the link's drop count, the watch of the USB
// bus (an arrival ends a pause at once), the re-discovery, and the account
// of module nodes this user may not open; it returns the real aErr.
//
// A ModuleReturn belongs to the thread that owns its Module (connecting is
// that thread's business); the callbacks of a policy run on that thread.
// The refused nodes are those of the calling thread's own searches.
#ifndef CORVESTEL_LINK_MODULERETURN_H
#define CORVESTEL_LINK_MODULERETURN_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/Module.h"
#include "link/aExport.h"

CORVESTEL_INTERNAL_BEGIN

namespace Quorvane {
namespace Corvestel {

// Where an attempt looks for the module: discovery by serial number on a
// transport.
struct ReturnSearch {
    linkType type;
    uint32_t serialNumber;
};

// How long and how a module is waited for. The defaults make one attempt
// that opens the module's stored specifier anew.
struct ReturnPolicy {
    // Connection attempts; 0: as many as the deadline leaves room for.
    unsigned attempts = 1;
    // Pause after a failed attempt (ms); after the last one only with
    // pauseAfterLast.
    uint32_t pauseMs = 0;
    bool pauseAfterLast = false;
    // Limit of the whole wait from its start (ms), 0: none. The pause is cut
    // to what is left, and no attempt starts after it.
    uint32_t deadlineMs = 0;
    // A module on USB ends a pause as soon as it comes onto the bus (and is
    // then given a moment to settle before it is opened).
    bool watchBus = false;
    // Attempts in a row that found a node this user may not open at a place
    // on the bus that was empty when the wait began (the module came back
    // without rights) after which the wait gives up; 0: never.
    unsigned refusedAttempts = 0;
    // Searches of an attempt, in order, until one connects; none: the
    // stored specifier is opened anew (Module::reconnect).
    std::vector<ReturnSearch> searches;
    // The next search is tried only when the one before found nothing (or
    // only a node this user may not open); otherwise after any failure.
    bool nextOnlyWhenNotFound = false;
    // Connecting: false waits for the module on the link it has (a module
    // behind a router); true connects at every attempt.
    bool connect = true;
    // The module is disconnected once before the first attempt.
    bool disconnectFirst = false;
    // Each connection (every search) starts from a disconnected module.
    bool disconnectBeforeConnect = false;
    // A first attempt that finds the module connected does not connect.
    bool keepIfConnected = false;
    // A failed attempt leaves the module disconnected.
    bool disconnectOnFailure = false;

    // Asked before every attempt: true ends the wait with aErrCancel.
    std::function<bool()> stop;
    // Told of every attempt (numbered from 1) before it starts.
    std::function<void(unsigned attempt)> onAttempt;
    // Whether the module is back after an attempt's connection (err: that
    // connection's code, aErrNone when none was made); without it, a
    // connected module is.
    std::function<bool(unsigned attempt, aErr err)> reached;
    // Told of an attempt that failed, with its code, before the pause.
    std::function<void(unsigned attempt, aErr err)> onFailed;
};

class ModuleReturn {
public:
    explicit ModuleReturn(Module& module) : module(module) {}

    // Waits for the module as the policy says.
    //   aErrNone        the module is back
    //   aErrCancel      the policy's stop said so
    //   aErrPermission  the last attempt found only nodes this user may not
    //                   open (refusedNodes names them)
    //   aErrTimeout     connected, but the policy's reached never said so
    //   other           the last connection's code
    aErr await(const ReturnPolicy& policy);

    // The nodes ("/dev/bus/usb/BBB/DDD") that the last attempt of await
    // could not open for lack of rights; empty after a success.
    const std::vector<std::string>& refusedNodes() const { return refused; }
    // The attempts the last await made.
    unsigned attempts() const { return made; }

    // Times the module's link lost its connection so far (0 without a link).
    static uint32_t dropCount(const Module& module);
    // Watches the link for up to waitMs (every pollMs): true as soon as the
    // module is no longer connected or its link dropped since dropsBefore.
    // elapsedMs, when given, receives how long the watch lasted.
    static bool watchDrop(const Module& module, uint32_t dropsBefore, uint32_t waitMs, uint32_t pollMs,
                          uint32_t* elapsedMs = nullptr);
    // The module nodes on USB that the calling thread's last search or open
    // could not open for lack of rights.
    static std::vector<std::string> refusedUsbNodes();

private:
    aErr _attempt(const ReturnPolicy& policy, unsigned attempt);
    aErr _connect(const ReturnPolicy& policy, const ReturnSearch* search);
    void _noteRefused();

    Module& module;
    std::vector<std::string> refused;
    unsigned made = 0;
};

} // namespace Corvestel
} // namespace Quorvane

CORVESTEL_INTERNAL_END

#endif

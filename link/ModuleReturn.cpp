#include "link/ModuleReturn.h"

#include <algorithm>

#include "transport/cvusb_arrival.h"
#include "transport/cvusb_refusals.h"
#include "transport/unix_time.h"

namespace Quorvane {
namespace Corvestel {

namespace {

// True when one of the nodes lies at a place on the bus that the snapshot
// does not hold: a module that came onto the bus after it.
bool sRefusedOutside(const std::vector<std::string>& nodes, const cvusb_bus_snapshot& snapshot)
{
    for (const std::string& node : nodes)
        if (cvusb_node_outside(&snapshot, node.c_str()))
            return true;
    return false;
}

} // namespace

uint32_t ModuleReturn::dropCount(const Module& module)
{
    Link* link = module.getLink();
    return link ? link->getDropCount() : 0;
}

bool ModuleReturn::watchDrop(const Module& module, uint32_t dropsBefore, uint32_t waitMs, uint32_t pollMs,
                             uint32_t* elapsedMs)
{
    const aMSTicks start = aTime_GetMSTicks();
    bool dropped = true;
    while (module.isConnected() && dropCount(module) == dropsBefore) {
        if (aTime_MSElapsed(start) >= waitMs) {
            dropped = false;
            break;
        }
        aTime_MSSleep(pollMs);
    }
    if (elapsedMs)
        *elapsedMs = aTime_MSElapsed(start);
    return dropped;
}

std::vector<std::string> ModuleReturn::refusedUsbNodes()
{
    std::vector<std::string> nodes;
    char node[CVUSB_NODESIZE];
    for (uint32_t i = 0; cvusb_refused_node(i, node, sizeof node); i++)
        nodes.emplace_back(node);
    return nodes;
}

void ModuleReturn::_noteRefused()
{
    for (const std::string& node : refusedUsbNodes())
        if (std::find(refused.begin(), refused.end(), node) == refused.end())
            refused.push_back(node);
}

aErr ModuleReturn::_connect(const ReturnPolicy& policy, const ReturnSearch* search)
{
    if (policy.disconnectBeforeConnect)
        module.disconnect();
    // Only this connection's refusals count (a socket touches no USB node).
    cvusb_begin_refusals();
    aErr err = search ? module.discoverAndConnect(search->type, search->serialNumber) : module.reconnect();
    _noteRefused();
    return err;
}

aErr ModuleReturn::_attempt(const ReturnPolicy& policy, unsigned attempt)
{
    refused.clear();
    if (!policy.connect || (attempt == 1 && policy.keepIfConnected && module.isConnected()))
        return aErrNone;
    if (policy.searches.empty())
        return _connect(policy, nullptr);
    aErr err = aErrNotFound;
    for (size_t i = 0; i < policy.searches.size(); i++) {
        if (i > 0 && module.isConnected())
            break;
        if (i > 0 && policy.nextOnlyWhenNotFound && err != aErrNotFound && err != aErrPermission)
            break;
        err = _connect(policy, &policy.searches[i]);
    }
    return err;
}

aErr ModuleReturn::await(const ReturnPolicy& policy)
{
    refused.clear();
    made = 0;
    const aMSTicks start = aTime_GetMSTicks();
    if (policy.disconnectFirst)
        module.disconnect();
    // Where our devices were when the wait began: a device elsewhere later
    // is one that (re)arrived.
    cvusb_bus_snapshot bus;
    bus.count = 0;
    if (policy.watchBus || policy.refusedAttempts != 0)
        cvusb_snapshot_take(&bus);
    const cvusb_bus_snapshot before = bus;
    unsigned refusedInARow = 0;
    aErr err = aErrConnection;
    for (unsigned attempt = 1; policy.attempts == 0 || attempt <= policy.attempts; ++attempt) {
        if (policy.stop && policy.stop())
            return aErrCancel;
        made = attempt;
        if (policy.onAttempt)
            policy.onAttempt(attempt);
        err = _attempt(policy, attempt);
        const bool back = policy.reached ? policy.reached(attempt, err) : module.isConnected();
        if (back) {
            refused.clear();
            return aErrNone;
        }
        if (policy.onFailed)
            policy.onFailed(attempt, err);
        if (policy.disconnectOnFailure)
            module.disconnect();
        // A node refused all along is not taken for the module coming back.
        refusedInARow = sRefusedOutside(refused, before) ? refusedInARow + 1 : 0;
        if (policy.refusedAttempts != 0 && refusedInARow >= policy.refusedAttempts)
            break;
        const uint32_t elapsed = aTime_MSElapsed(start);
        if (policy.deadlineMs != 0 && elapsed >= policy.deadlineMs)
            break;
        if (attempt == policy.attempts && !policy.pauseAfterLast)
            break;
        uint32_t pause = policy.pauseMs;
        if (policy.deadlineMs != 0)
            pause = std::min(pause, policy.deadlineMs - elapsed);
        if (!policy.watchBus)
            aTime_MSSleep(pause);
        else if (cvusb_wait_for_arrival(&bus, pause))
            aTime_MSSleep(CVUSB_ARRIVAL_SETTLE_MS);
    }
    if (!refused.empty())
        return aErrPermission;
    return err == aErrNone ? aErrTimeout : err;
}

} // namespace Corvestel
} // namespace Quorvane

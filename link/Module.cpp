// Module: connection paths, address learning, the capability queries and
// the debug echo.
#include "link/Module.h"

#include <cstring>
#include <new>

#include "link/aDebugging.h"
#include "transport/unix_time.h"

namespace Quorvane {
namespace Corvestel {

namespace {

const int ADDRESS_ATTEMPTS = 4;
const uint32_t ADDRESS_RETRY_SLEEP_MS = 5;

enum : uint8_t {
    QUERY_HAS_UEI = 1,
    QUERY_CLASS_QUANTITY = 4,
    QUERY_SUBCLASS_QUANTITY = 5,
    QUERY_ENTITY_GROUP = 6,
    QUERY_BUILD = 0xFF,
};

} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : link(new (std::nothrow) Link("Link")), address(address), networkingMode(networkingMode), model(model)
{
}

Module::~Module()
{
    delete link;
}

aErr Module::_autoNetwork()
{
    aErr err = aErrNotReady;
    uint8_t learned = 0;
    int attempt = 0;
    while (attempt < ADDRESS_ATTEMPTS) {
        ++attempt;
        err = link->getModuleAddress(&learned);
        if (err != aErrNotReady)
            break;
        aTime_MSSleep(ADDRESS_RETRY_SLEEP_MS);
    }
    if (attempt == ADDRESS_ATTEMPTS)
        aDebugging_Trace(aDEBUG_ADDRESS, "BOO! Failed to autoNetwork\n");
    if (err == aErrNone && learned != 0 && learned != address) {
        aDebugging_Trace(aDEBUG_ADDRESS, "Module address learned: 0x%02X\n", learned);
        address = learned;
    }
    return err;
}

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!link)
        return aErrInitialization;
    aErr err = link->discoverAndConnect(type, serialNumber, model);
    if (err == aErrNone && networkingMode)
        err = _autoNetwork();
    return err;
}

aErr Module::connectFromSpec(const linkSpec& spec)
{
    if (!link)
        return aErrInitialization;
    if (link->isConnected())
        return aErrBusy;
    aErr err = link->setLinkSpecifier(spec);
    if (err != aErrNone)
        return err;
    err = link->connect();
    if (err == aErrNone && networkingMode)
        err = _autoNetwork();
    return err;
}

aErr Module::connectThroughLinkModule(Module* router)
{
    if (!link)
        return aErrInitialization;
    if (link->isConnected())
        return aErrNone;
    if (!router)
        return aErrInitialization;
    linkSpec spec;
    aErr err = router->getLinkSpecifier(&spec);
    if (err != aErrNone)
        return err;
    Link* routerLink = router->getLink();
    if (!routerLink)
        return aErrInitialization;
    aEtherConfig config;
    routerLink->getConfig(&config);
    err = link->setConfig(config);
    if (err != aErrNone)
        return err;
    if (config.enabled) {
        // The router is itself reached through the local server.
        spec.type = AETHER;
        spec.t.ipAddress = config.networkInterface;
        spec.p.ipPort = config.assignedPort;
    }
    err = link->setLinkSpecifier(spec);
    if (err != aErrNone)
        return err;
    err = link->connectThroughLinkModule(routerLink);
    if (err == aErrNone)
        networkingMode = false;
    return err;
}

aErr Module::reconnect()
{
    if (!link)
        return aErrInitialization;
    aErr err = link->connect();
    if (err == aErrNone && networkingMode)
        err = _autoNetwork();
    return err;
}

bool Module::isConnected() const
{
    return link && link->isConnected();
}

uint32_t Module::getStatus() const
{
    return link ? link->getStatus() : 8;
}

aErr Module::disconnect()
{
    if (!link)
        return aErrInitialization;
    return link->disconnect();
}

aErr Module::getLinkSpecifier(linkSpec* spec) const
{
    return link ? link->getLinkSpecifier(spec) : aErrNotReady;
}

aErr Module::getConfig(aEtherConfig* config) const
{
    return link ? link->getConfig(config) : aErrNotReady;
}

aErr Module::setConfig(const aEtherConfig& config)
{
    return link ? link->setConfig(config) : aErrNotReady;
}

aErr Module::enablePacketLog(const char* path)
{
    return link ? link->enablePacketLog(path) : aErrInitialization;
}

aErr Module::disablePacketLog()
{
    return link ? link->disablePacketLog() : aErrInitialization;
}

aErr Module::_query(const uint8_t* request, uint8_t length, uint8_t matchLength, uint8_t* replyLength,
    uint8_t* reply)
{
    if (!link)
        return aErrInitialization;
    if (!link->isConnected())
        return aErrConnection;
    aErr err = link->sendPacket(address, request[0], static_cast<uint8_t>(length - 1), request + 1);
    if (err != aErrNone)
        return err;
    *replyLength = matchLength;
    return link->receivePacket(address, request, replyLength, reply);
}

aErr Module::getBuild(uint32_t* build)
{
    if (!build)
        return aErrParam;
    if (!link)
        return aErrInitialization;
    const uint8_t request[2] = {cmdQUERY, QUERY_BUILD};
    uint8_t reply[aPACKETMAXDATA];
    uint8_t length = 0;
    aErr err = _query(request, sizeof request, 2, &length, reply);
    if (err != aErrNone)
        return err;
    if (length != 6)
        return aErrSize;
    *build = aUEI_RetrieveInt(reply + 2);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if (flags != 0 && flags != 0x40 && flags != 0x80)
        return aErrParam;
    const uint8_t request[6] = {cmdQUERY, QUERY_HAS_UEI, command, option, index, flags};
    uint8_t reply[aPACKETMAXDATA];
    uint8_t length = 0;
    aErr err = _query(request, sizeof request, 1, &length, reply);
    if (err != aErrNone)
        return err;
    if (length != 6 || std::memcmp(reply, request, 5) != 0)
        return aErrUnknown;
    return static_cast<aErr>(reply[5]);
}

aErr Module::_queryByte(const uint8_t* request, uint8_t length, uint8_t* value)
{
    if (!value)
        return aErrParam;
    *value = 0;
    uint8_t reply[aPACKETMAXDATA];
    uint8_t replyLength = 0;
    aErr err = _query(request, length, 1, &replyLength, reply);
    if (err != aErrNone)
        return err;
    if (replyLength != length + 1 || std::memcmp(reply, request, length) != 0)
        return aErrUnknown;
    *value = reply[length];
    return aErrNone;
}

aErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    const uint8_t request[3] = {cmdQUERY, QUERY_CLASS_QUANTITY, command};
    return _queryByte(request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count)
{
    const uint8_t request[4] = {cmdQUERY, QUERY_SUBCLASS_QUANTITY, command, index};
    return _queryByte(request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group)
{
    const uint8_t request[4] = {cmdQUERY, QUERY_ENTITY_GROUP, command, index};
    return _queryByte(request, sizeof request, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length)
{
    if ((length > 0 && !data) || length > aPACKETMAXDATA - 1)
        return aErrParam;
    uint8_t request[aPACKETMAXDATA] = {cmdDEBUGECHO};
    if (length > 0)
        std::memcpy(request + 1, data, length);
    uint8_t reply[aPACKETMAXDATA];
    uint8_t replyLength = 0;
    aErr err = _query(request, static_cast<uint8_t>(length + 1), 1, &replyLength, reply);
    if (err != aErrNone)
        return err;
    if (replyLength != length + 1 || std::memcmp(reply, request, replyLength) != 0)
        return aErrIO;
    return aErrNone;
}

} // namespace Corvestel
} // namespace Quorvane

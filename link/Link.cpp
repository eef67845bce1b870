// Link: construction, specifier and configuration, connection paths, UEI
// messages and raw packets.
#include "link/Link.h"

#include <cstdlib>
#include <cstring>
#include <vector>
#include <mutex>

#include "link/LinkImpl.h"
#include "link/aDebugging.h"
#include "link/aLink.h"
#include "link/aLinkManagerInternal.h"
#include "transport/aRecord.h"
#include "transport/cvusb_refusals.h"
#include "transport/discover.h"
#include "transport/unix_time.h"

namespace Quorvane {
namespace Corvestel {

namespace {

const uint32_t LINK_WAIT_POLLS = 200;
const uint32_t LINK_WAIT_STEP_MS = 10;
const uint32_t REPLY_TIMEOUT_MS = 1000;
const uint32_t LARGE_REPLY_TIMEOUT_MS = 4000;
const uint32_t LARGE_PAYLOAD = 1000;
const size_t NAME_LIMIT = 1024;
const uint32_t NO_ENGINE_LINK_STATUS = 8;

// Keeps two creations of engine links apart, process-wide.
std::mutex linkCreateHelperSerializer;

// A USB module in networking mode is reached through a local network server
// of its own; the server's port and address go back into the configuration.
uint32_t sCreateServerLink(uint32_t serialNumber, aEtherConfig& config)
{
    uint16_t port = 0;
    uint32_t address = config.networkInterface;
    uint32_t id = aLink_CreateServer(serialNumber, &port, &address, config.localOnly);
    if (id != 0) {
        config.assignedPort = port;
        config.networkInterface = address;
    }
    return id;
}

// The engine link for spec; 0 with *err set when none could be made.
uint32_t sCreateEngineLink(const linkSpec& spec, aEtherConfig& config, uint32_t existing, aErr* err)
{
    std::lock_guard<std::mutex> serial(linkCreateHelperSerializer);
    uint32_t id = 0;
    aErr cause = aErrNone;
    *err = aErrConnection;
    switch (spec.type) {
    case USB:
        id = config.enabled ? sCreateServerLink(spec.serialNumber, config)
                            : aLink_CreateUSBWithCause(spec.serialNumber, &cause);
        break;
    case TCPIP:
        id = aLink_CreateTCPIP(spec.t.ipAddress, static_cast<uint16_t>(spec.p.ipPort));
        break;
    case SERIAL: {
        char port[sizeof spec.p.portName + 1];
        std::memcpy(port, spec.p.portName, sizeof spec.p.portName);
        port[sizeof spec.p.portName] = '\0';
        id = aLink_CreateSerialWithCause(spec.serialNumber, port, spec.t.baudRate, &cause);
        break;
    }
    case AETHER:
        if (!config.enabled) {
            *err = aErrConfiguration;
            return 0;
        }
        id = aLink_CreateClient(spec.t.ipAddress, static_cast<uint16_t>(spec.p.ipPort), existing);
        break;
    default:
        *err = aErrMode;
        return 0;
    }
    // A node this user may not open is the one cause the caller can act on
    // (grant access); any other failure stays a failed connection.
    if (id == 0 && cause == aErrPermission)
        *err = aErrPermission;
    if (id != 0) {
        *err = aErrNone;
        if (aRecord_IsOn())
            aRecord_LinkModule(id, spec.serialNumber, spec.module, spec.router, spec.routerSerialNumber);
    }
    return id;
}

aErr sAwaitLink(uint32_t id)
{
    switch (aLink_GetStatus(id)) {
    case LINK_RUNNING:
        return aErrNone;
    case LINK_STOPPING:
        return aErrBusy;
    case LINK_STOPPED:
    case LINK_STARTING:
    case LINK_SYNCING:
        for (uint32_t i = 0; i < LINK_WAIT_POLLS; ++i) {
            aTime_MSSleep(LINK_WAIT_STEP_MS);
            if (aLink_GetStatus(id) == LINK_RUNNING)
                return aErrNone;
        }
        return aErrConnection;
    default:
        return aErrConnection;
    }
}

uint8_t sEmptyPacket(const aPacket* packet, const void*)
{
    return packet->length == 0;
}

struct RawMatch {
    const uint8_t* bytes;
    uint8_t length;
};

uint8_t sRawMatch(const aPacket* packet, const void* reference)
{
    const RawMatch* m = static_cast<const RawMatch*>(reference);
    if (packet->length < m->length)
        return 0;
    return std::memcmp(packet->data, m->bytes, m->length) == 0;
}

} // namespace

bool linkValidModule(uint8_t module)
{
    return module != 0 && (module & 1) == 0;
}

aErr linkPutData(uint32_t identifier, uint8_t address, uint8_t length, const uint8_t* data)
{
    static const uint8_t none = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, data ? data : &none);
    if (!packet)
        return aErrResource;
    aErr err = aLink_PutPacket(identifier, packet);
    aPacket_Destroy(&packet);
    return err;
}

Link::Link(const char* name) : m_impl(new impl)
{
    m_impl->link = this;
    if (name) {
        size_t n = strnlen(name, NAME_LIMIT);
        m_impl->name = static_cast<char*>(std::malloc(n + 1));
        if (m_impl->name) {
            std::memcpy(m_impl->name, name, n);
            m_impl->name[n] = '\0';
        }
    }
}

Link::Link(const linkSpec& spec, const char* name) : Link(name)
{
    m_impl->spec = aLinkSpec_Copy(spec);
}

Link::~Link()
{
    m_impl->removeStreamFilter();
    m_impl->stopLogWriter();
    uint32_t id = m_impl->identifier.exchange(0);
    if (id != 0)
        aLink_Destroy(&id);
    m_impl->destroyLogWriter();
    if (m_impl->spec)
        aLinkSpec_Destroy(&m_impl->spec);
    std::free(m_impl->name);
    delete m_impl;
}

const char* Link::getName() const
{
    return m_impl->name ? m_impl->name : "";
}

aErr Link::setLinkSpecifier(const linkSpec& spec)
{
    if (isConnected())
        return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(spec);
    if (!copy)
        return aErrMemory;
    if (m_impl->spec)
        aLinkSpec_Destroy(&m_impl->spec);
    m_impl->spec = copy;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (!spec)
        return aErrParam;
    if (!m_impl->spec)
        return aErrNotFound;
    *spec = *m_impl->spec;
    return aErrNone;
}

aErr Link::getConfig(aEtherConfig* config) const
{
    if (!config)
        return aErrParam;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aEtherConfig& config)
{
    if (isConnected())
        return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::connect()
{
    if (m_impl->identifier != 0)
        return aErrConnection;
    if (!m_impl->spec)
        return aErrConfiguration;
    aErr err = aErrNone;
    uint32_t id = sCreateEngineLink(*m_impl->spec, m_impl->config, 0, &err);
    if (id == 0)
        return err;
    m_impl->identifier = id;
    return sAwaitLink(id);
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    auto attempt = [&](linkType t) -> aErr {
        linkSpec* found = nullptr;
        if (serialNumber != 0) {
            found = aDiscovery_FindModule(t, serialNumber, m_impl->config.networkInterface);
        } else {
            struct First {
                uint8_t model;
                linkSpec* spec;
            } first{model, nullptr};
            aDiscovery_EnumerateModules(
                t,
                [](const linkSpec* spec, bool* success, void* reference) -> bool {
                    First* f = static_cast<First*>(reference);
                    if (f->model != 0 && spec->model != f->model)
                        return true;
                    f->spec = aLinkSpec_Copy(*spec);
                    *success = true;
                    return false;
                },
                &first, m_impl->config.networkInterface);
            found = first.spec;
        }
        // The module may well be behind a node this user may not open.
        if (!found)
            return t == USB && cvusb_refused_count() != 0 ? aErrPermission : aErrNotFound;
        aErr err = setLinkSpecifier(*found);
        aLinkSpec_Destroy(&found);
        if (err != aErrNone)
            return err;
        return connect();
    };

    aErr err = attempt(type);
    if ((err == aErrNotFound || err == aErrPermission || err == aErrInitialization || err == aErrConnection)
        && (type == USB || type == AETHER) && m_impl->config.enabled && m_impl->config.fallback) {
        aDebugging_Trace(aDEBUG_LINK, "Executing Fallback: %s\n", type == USB ? "aEther" : "USB");
        const aErr first = err;
        err = attempt(type == USB ? AETHER : USB);
        // Nothing found the other way: the refused node is the better answer.
        if (err == aErrNotFound && first == aErrPermission)
            err = first;
    }
    return err;
}

aErr Link::connectThroughLinkModule(Link* other)
{
    if (!other || other->m_impl->identifier == 0)
        return aErrInitialization;
    if (!m_impl->spec)
        return aErrConfiguration;
    uint32_t existing = other->m_impl->identifier;
    m_impl->identifier = existing;
    aErr err = aErrNone;
    uint32_t id = sCreateEngineLink(*m_impl->spec, m_impl->config, existing, &err);
    if (id == 0) {
        m_impl->identifier = 0;
        return err;
    }
    m_impl->identifier = id;
    return sAwaitLink(id);
}

bool Link::isConnected() const
{
    uint32_t id = m_impl->identifier;
    return id != 0 && aLink_GetStatus(id) == LINK_RUNNING;
}

uint32_t Link::getDropCount() const
{
    uint32_t id = m_impl->identifier;
    return id == 0 ? 0 : aLink_GetDropCount(id);
}

uint32_t Link::getStatus() const
{
    uint32_t id = m_impl->identifier;
    return id == 0 ? NO_ENGINE_LINK_STATUS : aLink_GetStatus(id);
}

aErr Link::disconnect()
{
    // Registrations and the log writer name this engine link; neither may
    // outlive this object's use of it.
    m_impl->removeStreamFilter();
    m_impl->stopLogWriter();
    uint32_t id = m_impl->identifier.exchange(0);
    if (id != 0)
        aLink_Destroy(&id);
    return aErrNone;
}

aErr Link::reset()
{
    uint32_t id = m_impl->identifier;
    if (id != 0) {
        aLink_Reset(id);
        // A reset engine link starts without a user filter; registered
        // streams keep theirs.
        m_impl->reinstallStreamFilter();
    }
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable)
{
    return aLink_EnablePooledPackets(m_impl->identifier, enable);
}

uint32_t Link::getLinkIdentifier() const
{
    return m_impl->identifier;
}

aErr Link::getModuleAddress(uint8_t* address)
{
    if (!address)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    uint32_t id = m_impl->identifier;
    if (linkPutData(id, cmdMODULEADDRESS, 0, nullptr) != aErrNone)
        return aErrNotReady;
    aPacket* reply = aLink_AwaitFirst(id, sEmptyPacket, nullptr, REPLY_TIMEOUT_MS);
    if (!reply)
        return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::sendUEI(const uei& message)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(message.module))
        return aErrPacket;
    uint32_t id = m_impl->identifier;
    if (message.type == UEI_BYTES) {
        // The chunks go as one message: in as few writes as the link allows.
        uint32_t chunks = aUEI_BytesChunkCount(message.bytesSize);
        std::vector<aPacket*> packets;
        aErr err = aErrNone;
        try {
            packets.reserve(chunks);
        } catch (...) {
            return aErrResource;
        }
        for (uint32_t c = 0; c < chunks && err == aErrNone; ++c) {
            aPacket* packet = aUEI_CreateBytesChunk(&message, c);
            if (packet)
                packets.push_back(packet);
            else
                err = aErrResource;
        }
        if (err == aErrNone)
            err = aLink_PutPackets(id, packets.data(), static_cast<uint32_t>(packets.size()));
        for (aPacket*& packet : packets)
            aPacket_Destroy(&packet);
        return err;
    }
    aPacket* packet = aUEI_CreateValuePacket(&message);
    if (!packet)
        return aErrResource;
    aErr err = aLink_PutPacket(id, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr Link::sendUEI(const uei& message, uint8_t subindex)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(message.module))
        return aErrPacket;
    if (message.type == UEI_BYTES)
        return aErrParam;
    aPacket* packet = aUEI_CreateSubIndexPacket(&message, subindex);
    if (!packet)
        return aErrResource;
    aErr err = aLink_PutPacket(m_impl->identifier, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message)
{
    return receiveUEI(module, command, option, index, message, aUEI_MatchPacket);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* message,
    PacketMatchProc match)
{
    if (!message || !match)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    message->module = module;
    message->command = command;
    message->option = option;
    message->specifier = index;
    uint32_t timeout = REPLY_TIMEOUT_MS;
    if (message->type == UEI_BYTES && message->bytesSize > LARGE_PAYLOAD) {
        aDebugging_Trace(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
            static_cast<unsigned long>(message->bytesSize));
        timeout = LARGE_REPLY_TIMEOUT_MS;
    }
    aPacket* reply = aLink_AwaitFirst(m_impl->identifier, match, message, timeout);
    if (!reply)
        return aErrTimeout;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    uei pattern{};
    pattern.module = module;
    pattern.command = command;
    pattern.option = option;
    pattern.specifier = index;
    aLink_DrainPackets(m_impl->identifier, aUEI_MatchPacket, &pattern);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    if (length > aPACKETMAXDATA - 1 || (length > 0 && !data))
        return aErrParam;
    uint8_t bytes[aPACKETMAXDATA];
    bytes[0] = command;
    if (length > 0)
        std::memcpy(bytes + 1, data, length);
    // A write that failed tells at once (aErrIO from a module gone from the
    // bus); a lost packet still shows only as a missing reply.
    return linkPutData(m_impl->identifier, module, static_cast<uint8_t>(length + 1), bytes);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    if (!length || !buffer || (*length > 0 && !match) || *length > aPACKETMAXDATA)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!linkValidModule(module))
        return aErrPacket;
    RawMatch m{match, *length};
    aPacket* reply = aLink_AwaitFirst(m_impl->identifier, sRawMatch, &m, REPLY_TIMEOUT_MS);
    if (!reply)
        return aErrTimeout;
    *length = reply->length;
    std::memcpy(buffer, reply->data, reply->length);
    aPacket_Destroy(&reply);
    return aErrNone;
}

} // namespace Corvestel
} // namespace Quorvane

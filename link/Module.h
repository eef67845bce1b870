// Module: one device on the protocol, known by its module address, with the
// Link that reaches it. Connecting and disconnecting belong to the owner's
// thread; the queries may run on any thread once connected (they go
// through the Link, which is safe to share).
#ifndef CORVESTEL_LINK_MODULE_H
#define CORVESTEL_LINK_MODULE_H

#include <cstdint>
#include <type_traits>

#include "link/Link.h"

CORVESTEL_API_BEGIN

namespace Quorvane {
namespace Corvestel {

class Module {
public:
    // Networking mode on: a connection is followed by address learning.
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    // Module(address, false) would quietly take false for a model: the
    // networking mode goes with a model, Module(address, false, model).
    template <typename Flag, typename = typename std::enable_if<std::is_same<Flag, bool>::value>::type>
    Module(uint8_t address, Flag networkingMode) = delete;
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // aErrParam: serial number 0 (nothing sent); else as discoverAndConnect.
    aErr connect(linkType type, uint32_t serialNumber);
    // Discovery, connection, then address learning.
    //   aErrInitialization  no link; otherwise as Link::discoverAndConnect
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // Connects with a known specifier.
    //   aErrInitialization  no link; aErrBusy  already connected
    aErr connectFromSpec(const linkSpec& spec);
    // Reaches this module over the router module's connection (no new
    // connection; the engine link gains a use). Success when already connected.
    //   aErrInitialization  no own link, or the router has none
    //   other               the router's specifier error, or the link's
    aErr connectThroughLinkModule(Module* router);
    // A new engine link from the stored specifier. aErrInitialization: no link.
    aErr reconnect();
    bool isConnected() const;
    uint32_t getStatus() const;
    // aErrInitialization: no link.
    aErr disconnect();

    uint8_t getModuleAddress() const { return address; }
    void setModuleAddress(uint8_t value) { address = value; }
    Link* getLink() const { return link; }
    void setNetworkingMode(bool on) { networkingMode = on; }
    bool getNetworkingMode() const { return networkingMode; }
    uint8_t getModel() const { return model; }

    // Pass to the link; aErrNotReady without one.
    aErr getLinkSpecifier(linkSpec* spec) const;
    aErr getConfig(aEtherConfig* config) const;
    aErr setConfig(const aEtherConfig& config);
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Module queries (command 73). aErrConnection: not connected;
    // aErrTimeout: no reply; aErrUnknown: a reply of the wrong shape.
    //
    // Build number. aErrParam: null; aErrInitialization: no link;
    // aErrSize: a reply of other than 6 data bytes.
    aErr getBuild(uint32_t* build);
    // The module's answer (0: it has that UEI). aErrParam: flags other than
    // 0, 0x40 or 0x80.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    // Sends the bytes with command 23 and checks the echo.
    //   aErrIO  the echo differs; aErrParam  more than 27 bytes or null data
    aErr debug(const uint8_t* data, uint8_t length);

private:
    aErr _autoNetwork();
    // Sends a query and waits for a reply starting with 0x49 (or with the
    // matchLength bytes of request); the reply's data into buffer.
    // A query whose reply repeats the request and adds one byte.
    aErr _queryByte(const uint8_t* request, uint8_t length, uint8_t* value);
    aErr _query(const uint8_t* request, uint8_t length, uint8_t matchLength, uint8_t* replyLength,
        uint8_t* reply);

    Link* link;
    uint8_t address;
    bool networkingMode;
    uint8_t model;
};

} // namespace Corvestel
} // namespace Quorvane

CORVESTEL_API_END

#endif

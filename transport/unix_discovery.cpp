#include "transport/unix_discovery.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <cstddef>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "link/aDebugging.h"
#include "transport/aRecord.h"
#include "transport/cvusb_driver.h"

enum {
    USB_SERIAL_BUFFER = 32,
    USB_SERIAL_DIGITS = 8,
    REPLY_WAIT_S = 2,
    // A host that keeps answering (a flood, or a module stuck repeating
    // itself) must not hold the search for ever.
    SEARCH_LIMIT_MS = 30000,
    // How often a search waiting for its turn looks again.
    TURN_POLL_US = 5000,
    REPLY_MODEL_AT = 12,
    MODEL_UNKNOWN = 0xFF,
};

static uint32_t sLE32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16
        | static_cast<uint32_t>(p[3]) << 24;
}

// Eight hexadecimal digits, nothing else; anything else is not a module's
// serial-number string.
static bool sParseSerial(const unsigned char* text, int length, uint32_t* serial)
{
    if (length != USB_SERIAL_DIGITS)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < length; i++) {
        int c = text[i];
        if (!std::isxdigit(c))
            return false;
        value = value << 4 | static_cast<uint32_t>(std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10);
    }
    *serial = value;
    return true;
}

unsigned aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference)
{
    cvusb_begin_refusals();
    if (!callback)
        return 0;
    const cvusb_libusb_ops* usb = cvusb_libusb();
    libusb_context* context = Corvestel_libusb_context();
    if (!context) {
        aDebugging_Trace(aDEBUG_DISCOVERY, "USB discovery: libusb unavailable\n");
        return 0;
    }
    libusb_device** list = nullptr;
    ssize_t count = usb->get_device_list(context, &list);
    unsigned found = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; i++) {
        libusb_device* device = list[i];
        // A device of ours without the modules' interface (another product,
        // or one in a mode we can't talk to) is no module to list.
        if (!is_corvestel_device(device) || !cvusb_has_module_interface(device))
            continue;
        libusb_device_handle* handle = nullptr;
        int opened = usb->open(device, &handle);
        if (opened == LIBUSB_ERROR_ACCESS)
            cvusb_note_refused(device); // the caller may say how to grant access
        if (opened != 0 || !handle)
            continue;
        struct libusb_device_descriptor desc;
        unsigned char text[USB_SERIAL_BUFFER] = {0};
        int n = -1;
        uint32_t serial = 0;
        if (usb->get_device_descriptor(device, &desc) == 0 && desc.iSerialNumber != 0)
            n = usb->get_string_descriptor_ascii(handle, desc.iSerialNumber, text, USB_SERIAL_BUFFER);
        if (sParseSerial(text, n, &serial)) {
            cvusb_remember_location(reinterpret_cast<const char*>(text), device);
            linkSpec spec;
            std::memset(&spec, 0, sizeof spec);
            spec.type = USB;
            spec.serialNumber = serial;
            spec.model = desc.idProduct & 0xFF;
            spec.t.usbId = serial;
            bool success = false;
            goOn = callback(&spec, &success, reference);
            if (success)
                found++;
        }
        usb->close(handle);
    }
    if (list)
        usb->free_device_list(list, 1);
    return found;
}

void aDiscovery_ParseTCPIPReply(const uint8_t* record, uint32_t sender, linkSpec* spec)
{
    std::memset(spec, 0, sizeof *spec);
    spec->type = TCPIP;
    spec->module = record[1];
    spec->router = record[1];
    spec->p.ipPort = static_cast<uint32_t>(record[2]) | static_cast<uint32_t>(record[3]) << 8;
    spec->serialNumber = sLE32(record + 4);
    spec->routerSerialNumber = spec->serialNumber;
    spec->model = record[REPLY_MODEL_AT];
    spec->t.ipAddress = sender;
}

// Sends the request through the interface with this address (network order;
// 0: the system's choice). True when it went out.
static bool sRequest(uint32_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (interfaceAddress != 0) {
        struct in_addr itf;
        itf.s_addr = interfaceAddress;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &itf, sizeof itf);
    }
    uint8_t request[aDISCOVERY_TCPIP_RECORD] = {1};
    struct sockaddr_in group;
    std::memset(&group, 0, sizeof group);
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_TCPIP_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_TCPIP_GROUP, &group.sin_addr);
    ssize_t n = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    close(fd);
    if (aRecord_IsOn() && n == static_cast<ssize_t>(sizeof request))
        aRecord_Datagram("tcpip", true, group.sin_addr.s_addr, aDISCOVERY_TCPIP_REQUEST_PORT, request, sizeof request);
    return n == static_cast<ssize_t>(sizeof request);
}

static int sListener()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    struct timeval wait = {REPLY_WAIT_S, 0};
    struct sockaddr_in any;
    std::memset(&any, 0, sizeof any);
    any.sin_family = AF_INET;
    any.sin_port = htons(aDISCOVERY_TCPIP_REPLY_PORT);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        aDebugging_Trace(aDEBUG_DISCOVERY, "TCPIP discovery: no listener on port %d (error %d)\n",
                         aDISCOVERY_TCPIP_REPLY_PORT, errno);
        close(fd);
        return -1;
    }
    return fd;
}

// Modules answer on the reply port of the asking host, and of several
// sockets listening there only one gets each answer: the searches of
// processes running at once take turns. The turn is an abstract socket
// name, private to the network namespace like the port, and released by
// the kernel when its holder ends however it ends. A holder that never lets
// go is waited for no longer than a whole search may take; then this search
// goes ahead anyway. Returns the socket holding the turn, or -1.
static int sTakeSearchTurn()
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un name;
    std::memset(&name, 0, sizeof name);
    name.sun_family = AF_UNIX;
    static const char TURN[] = "corvestel-tcpip-search";
    std::memcpy(name.sun_path + 1, TURN, sizeof TURN - 1);
    const socklen_t length = socklen_t(offsetof(struct sockaddr_un, sun_path) + 1 + sizeof TURN - 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SEARCH_LIMIT_MS + 5000);
    while (bind(fd, reinterpret_cast<sockaddr*>(&name), length) != 0) {
        if (errno != EADDRINUSE || std::chrono::steady_clock::now() >= deadline) {
            aDebugging_Trace(aDEBUG_DISCOVERY, "TCPIP discovery: searching without a turn (error %d)\n", errno);
            close(fd);
            return -1;
        }
        usleep(TURN_POLL_US);
    }
    return fd;
}

unsigned aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference)
{
    if (!callback)
        return 0;
    int turn = sTakeSearchTurn();
    int listener = sListener();
    int requests = 0;
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (struct ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
                continue;
            uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            if (address == 0 || address == htonl(INADDR_LOOPBACK))
                continue;
            if (sRequest(address))
                requests++;
        }
        freeifaddrs(list);
    } else if (sRequest(0)) {
        requests++;
    }

    unsigned found = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SEARCH_LIMIT_MS);
    if (listener >= 0 && requests > 0) {
        while (std::chrono::steady_clock::now() < deadline) {
            uint8_t record[aDISCOVERY_TCPIP_RECORD];
            // Fresh record each time: a short reply must not inherit the
            // bytes of the one before. A reply without the model byte says
            // 0xFF.
            std::memset(record, 0, sizeof record);
            record[REPLY_MODEL_AT] = MODEL_UNKNOWN;
            struct sockaddr_in from;
            socklen_t fromLength = sizeof from;
            ssize_t n = recvfrom(listener, record, sizeof record, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break; // normally two seconds without an answer
            if (aRecord_IsOn())
                aRecord_Datagram("tcpip", false, from.sin_addr.s_addr, ntohs(from.sin_port), record,
                                 static_cast<uint32_t>(n < 0 ? 0 : n));
            if (n < 8)
                continue; // no serial number in it: not a module's answer
            linkSpec spec;
            aDiscovery_ParseTCPIPReply(record, from.sin_addr.s_addr, &spec);
            aDebugging_Trace(aDEBUG_DISCOVERY, "TCPIP discovery: SN: 0x%08X - Port: %u - Address: %u\n",
                             spec.serialNumber, spec.p.ipPort, spec.module);
            bool success = false;
            bool goOn = callback(&spec, &success, reference);
            if (success)
                found++;
            if (!goOn)
                break;
        }
    }
    if (listener >= 0)
        close(listener);
    if (turn >= 0)
        close(turn);
    return found;
}

// Recording of one run: every event that crosses the program's edges (links
// opened and closed, packets both ways, drops and reconnections, discovery
// datagrams, update server answers, output lines, the exit status) written
// as one JSON line each, with its monotonic time, as it happens. The format
// is described in doc/recording.md.
// Every function may be called from any thread: a record is formatted by the
// caller and queued whole under one lock. A record that comes after a quiet
// spell is written at once; those of a burst (an install's packets) are
// written by the recorder's writer thread at most 5 ms later, whole lines
// only, so a run that is killed leaves a readable file holding all but its
// last few milliseconds. While no recording runs each call costs one relaxed
// load.
#ifndef CORVESTEL_TRANSPORT_ARECORD_H
#define CORVESTEL_TRANSPORT_ARECORD_H

#include <atomic>
#include <cstdint>
#include <string>

#include "link/aError.h"
#include "link/aExport.h"

// The recorder is internal to the library, but the programs above it (their
// output, the update server's answers) record through it too.
CORVESTEL_INTERNAL_BEGIN

// Set while a recording runs; read through aRecord_IsOn.
extern std::atomic<bool> aRecordActive;

inline bool aRecord_IsOn()
{
    return aRecordActive.load(std::memory_order_relaxed);
}

// Starts recording into path (created or truncated, mode 0600: a recording
// holds serial numbers and server answers) and writes the header: program,
// version, the command line (any password in a URL replaced by ***) and the
// time.
// aErrParam: null path or program. aErrBusy: a recording already runs.
// aErrIO: the file can't be created or written.
aErr aRecord_Start(const char* path, const char* program, const char* version, int argc,
                   const char* const* argv);

// Ends the recording and closes the file; nothing when none runs.
void aRecord_Stop();

// A link was created over a stream: kind is the linkType (1 USB, 2 TCPIP,
// 3 SERIAL, 4 AETHER), key the serial number (USB, SERIAL) or the IPv4
// address in network order (TCPIP, AETHER), port the TCP port (0 else),
// path the serial device (or null).
void aRecord_LinkOpened(uint32_t link, uint32_t kind, uint32_t key, uint32_t port, const char* path);
// A USB module was opened at this place on the bus (bus number, device
// address) with this product id: the next link_open of its serial names them.
void aRecord_UsbDevice(const char* serialText, uint8_t bus, uint8_t device, uint16_t product);
// Which module a link was made for, from its link specifier.
void aRecord_LinkModule(uint32_t link, uint32_t serial, uint32_t module, uint32_t router, uint32_t routerSerial);
// The last use of a link was dropped: its connection closes.
void aRecord_LinkClosed(uint32_t link);
// A caller that waited for a reply got this packet: what the host waited
// for before it went on (a replay of the host's side waits for the same).
void aRecord_Reply(uint32_t link, const uint8_t* wire, uint32_t length);
// The link's stream failed or lost its connection.
void aRecord_LinkDropped(uint32_t link, const char* why);
// One packet's wire bytes (address, length, data); sent is host to module.
void aRecord_Packet(uint32_t link, bool sent, const uint8_t* wire, uint32_t length);

// A TCP stream to address:port (network order, host order) opened its
// connection again by itself (ok), or failed to (error code).
void aRecord_Reconnect(uint32_t address, uint16_t port, aErr result);

// One discovery datagram: search names the search ("tcpip"), sent is from
// the host; peer is the destination (sent) or the source (received).
void aRecord_Datagram(const char* search, bool sent, uint32_t peerAddress, uint16_t peerPort,
                      const uint8_t* bytes, uint32_t length);

// One datagram of an AETHER search or of a server answering one: the
// multicast query and its answer (beacon false), or a beacon (true: one
// record when the host starts publishing it, one per beacon heard).
void aRecord_AetherDatagram(bool beacon, bool sent, uint32_t peerAddress, uint16_t peerPort, const uint8_t* bytes,
                            uint32_t length);

// Bytes on a serial line (a boot ROM's, or a serial link): sent is host to
// device; path names the line.
void aRecord_Serial(const char* path, bool sent, const uint8_t* bytes, uint32_t length);

// The HID device vendor:product (a boot ROM on USB) was looked for: opened,
// or not there.
void aRecord_HidOpen(uint16_t vendor, uint16_t product, bool opened);
// One HID report, its report id first: written by the host (sent), or read.
void aRecord_Hid(bool sent, const uint8_t* report, uint32_t length);

// One request to the update server: the URL (any password replaced), the
// HTTP status and body, or the failure text (null when it succeeded).
void aRecord_Http(const std::string& url, long status, const std::string& body, const char* failure);

// One line the program printed (without its line end), any password in a URL
// replaced by ***; error: standard error.
void aRecord_Output(bool error, const char* text);

// The program's exit status; the last record of a run that ended normally.
void aRecord_Exit(int status);

// text with the password of any "scheme://user:password@" replaced by "***".
std::string aRecord_HidePasswords(const std::string& text);

CORVESTEL_INTERNAL_END

#endif

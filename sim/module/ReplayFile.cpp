#include "sim/module/ReplayFile.h"

#include <fstream>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

namespace sim {

namespace {

using json = nlohmann::json;

// A report id and the largest report of a boot ROM's HID device (1024 data
// bytes).
const size_t MAX_HID_REPORT = 1025;

// A field check failed: the message names the field.
struct Bad {
    std::string what;
};

const json& sField(const json& r, const char* name)
{
    auto it = r.find(name);
    if (it == r.end())
        throw Bad{std::string("no field \"") + name + "\""};
    return *it;
}

uint64_t sUnsigned(const json& r, const char* name, uint64_t max)
{
    const json& v = sField(r, name);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > max)
        throw Bad{std::string("field \"") + name + "\" is not a number from 0 to " + std::to_string(max)};
    return v.get<uint64_t>();
}

std::string sText(const json& r, const char* name)
{
    const json& v = sField(r, name);
    if (!v.is_string())
        throw Bad{std::string("field \"") + name + "\" is not a text"};
    return v.get<std::string>();
}

Bytes sHex(const json& r, const char* name, size_t most)
{
    const std::string text = sText(r, name);
    if (text.size() % 2 != 0)
        throw Bad{std::string("field \"") + name + "\" has an odd number of digits"};
    if (text.size() / 2 > most)
        throw Bad{std::string("field \"") + name + "\" holds " + std::to_string(text.size() / 2)
                  + " bytes, more than " + std::to_string(most)};
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 2) {
        auto digit = [&](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            throw Bad{std::string("field \"") + name + "\" is not hexadecimal"};
        };
        out.push_back(uint8_t(digit(text[i]) << 4 | digit(text[i + 1])));
    }
    return out;
}

bool sOut(const json& r)
{
    const std::string dir = sText(r, "dir");
    if (dir != "out" && dir != "in")
        throw Bad{"field \"dir\" is neither \"out\" nor \"in\""};
    return dir == "out";
}

// "http://host:port/cgi/u?x=1" -> "/cgi/u?x=1".
std::string sTarget(const std::string& url)
{
    size_t scheme = url.find("://");
    size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    size_t path = url.find('/', from);
    return path == std::string::npos ? "/" : url.substr(path);
}

// A USB link's module: its serial-number string and product id, noted once.
void sUsbModule(const json& r, const std::string& serial, Recording& recording)
{
    uint16_t product = uint16_t(r.contains("product") ? sUnsigned(r, "product", 0xFFFF) : 0);
    for (const UsbModule& m : recording.usb)
        if (m.serial == serial)
            return;
    recording.usb.push_back(UsbModule{serial, product});
}

// Adds the step of one record; false for the records a replay passes over.
bool sStep(const json& r, const std::string& kind, ReplayStep& s, std::map<uint32_t, std::string>& links,
           Recording& recording)
{
    // A serial line's bytes are the boot ROM replay's (corvestel-bootrom --replay).
    if (kind == "header" || kind == "output" || kind == "exit" || kind == "serial" || kind == "reply")
        return false;
    if (kind == "link_drop") {
        // A USB module that drops its link has left the bus; a TCP one's
        // drop shows in its reconnect.
        s.link = uint32_t(sUnsigned(r, "link", 0xFFFFFFFF));
        auto it = links.find(s.link);
        if (it == links.end())
            throw Bad{"link " + std::to_string(s.link) + " dropped, but never opened"};
        s.kind = ReplayStep::Leave;
        return it->second.compare(0, 4, "USB ") == 0;
    }
    if (kind == "link_module") {
        const uint32_t link = uint32_t(sUnsigned(r, "link", 0xFFFFFFFF));
        const std::string serial = sText(r, "serial");
        bool known = false;
        for (auto& m : recording.modules)
            known = known || m.first == link;
        if (!known)
            recording.modules.emplace_back(link, serial);
        return false;
    }
    if (kind == "link_open") {
        s.kind = ReplayStep::Open;
        s.link = uint32_t(sUnsigned(r, "link", 0xFFFFFFFF));
        const std::string transport = sText(r, "transport");
        if (transport == "USB") {
            s.serial = sText(r, "serial");
            bool printable = !s.serial.empty() && s.serial.size() <= 64;
            for (char c : s.serial)
                printable = printable && c > ' ' && c < 0x7F;
            if (!printable)
                throw Bad{"field \"serial\" is not 1 to 64 printable characters"};
            sUsbModule(r, s.serial, recording);
            links[s.link] = "USB " + s.serial;
            return true;
        }
        if (transport != "TCPIP")
            throw Bad{"link " + std::to_string(s.link) + " is a " + transport
                      + " link; only TCPIP and USB links are replayed"};
        s.address = sText(r, "address");
        s.port = uint16_t(sUnsigned(r, "port", 65535));
        links[s.link] = s.address + ":" + std::to_string(s.port);
        return true;
    }
    if (kind == "packet") {
        s.link = uint32_t(sUnsigned(r, "link", 0xFFFFFFFF));
        s.kind = sOut(r) ? ReplayStep::HostPacket : ReplayStep::ModulePacket;
        s.bytes = sHex(r, "hex", MAX_DATA + 2);
        if (s.bytes.size() < 2 || s.bytes[1] != s.bytes.size() - 2)
            throw Bad{"the packet's length byte does not match its data"};
        if (!links.count(s.link))
            throw Bad{"packet on link " + std::to_string(s.link) + ", which was never opened"};
        return true;
    }
    if (kind == "reconnect") {
        s.kind = ReplayStep::Reconnect;
        s.address = sText(r, "address");
        s.port = uint16_t(sUnsigned(r, "port", 65535));
        const json& result = sField(r, "result");
        if (!result.is_number_integer())
            throw Bad{"field \"result\" is not a number"};
        s.reconnected = result.get<long long>() == 0;
        return true;
    }
    if (kind == "link_close") {
        s.kind = ReplayStep::Close;
        s.link = uint32_t(sUnsigned(r, "link", 0xFFFFFFFF));
        if (!links.count(s.link))
            throw Bad{"link " + std::to_string(s.link) + " closed, but never opened"};
        return true;
    }
    if (kind == "hid_open") {
        const json& opened = sField(r, "opened");
        if (!opened.is_boolean())
            throw Bad{"field \"opened\" is neither true nor false"};
        if (opened.get<bool>() && !recording.hasHid) {
            recording.hasHid = true;
            recording.hid.vendor = uint16_t(sUnsigned(r, "vendor", 0xFFFF));
            recording.hid.product = uint16_t(sUnsigned(r, "product", 0xFFFF));
        }
        return false;
    }
    if (kind == "hid") {
        if (!recording.hasHid)
            throw Bad{"a HID report before a HID device was opened"};
        s.kind = sOut(r) ? ReplayStep::HidHost : ReplayStep::HidRom;
        s.bytes = sHex(r, "hex", MAX_HID_REPORT);
        if (s.bytes.empty())
            throw Bad{"a HID report without its report id"};
        return true;
    }
    if (kind == "datagram") {
        const std::string search = sText(r, "search");
        if (search == "aether") {
            const bool out = sOut(r);
            const std::string via = sText(r, "via");
            if (via == "beacon")
                s.kind = out ? ReplayStep::AetherBeacon : ReplayStep::AetherHeard;
            else if (via == "query")
                s.kind = out ? ReplayStep::AetherQuery : ReplayStep::AetherAnswer;
            else
                throw Bad{"field \"via\" is neither \"query\" nor \"beacon\""};
            s.bytes = sHex(r, "hex", 512);
            s.address = sText(r, "peer");
            s.port = uint16_t(sUnsigned(r, "port", 65535));
            if (s.kind == ReplayStep::AetherQuery && (s.port < AETHER_QUERY_PORT || s.port >= AETHER_QUERY_PORT + AETHER_SLOTS))
                throw Bad{"an AETHER query to port " + std::to_string(s.port) + ", which is no server's"};
            return true;
        }
        if (search != "tcpip")
            throw Bad{"unknown search \"" + search + "\""};
        s.kind = sOut(r) ? ReplayStep::Search : ReplayStep::Answer;
        s.bytes = sHex(r, "hex", 64);
        s.address = sText(r, "peer");
        s.port = uint16_t(sUnsigned(r, "port", 65535));
        return true;
    }
    if (kind == "http") {
        s.kind = ReplayStep::Http;
        s.target = sTarget(sText(r, "url"));
        if (r.contains("error")) {
            s.status = 0;
        } else {
            s.status = int(sUnsigned(r, "status", 999));
            s.body = sText(r, "body");
        }
        return true;
    }
    throw Bad{"unknown record kind \"" + kind + "\""};
}

} // namespace

bool readRecording(const std::string& path, Recording& recording, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<uint32_t, std::string> links;
    size_t from = 0, line = 0;
    uint64_t lastT = 0;
    while (from < text.size()) {
        ++line;
        size_t end = text.find('\n', from);
        const bool cut = end == std::string::npos;
        const std::string record = text.substr(from, cut ? std::string::npos : end - from);
        from = cut ? text.size() : end + 1;
        json r;
        try {
            r = json::parse(record);
        } catch (const json::exception&) {
            if (cut && line > 1)
                break; // the host was killed while it wrote this line
            error = "line " + std::to_string(line) + ": not JSON";
            return false;
        }
        try {
            if (!r.is_object())
                throw Bad{"not a JSON object"};
            const std::string kind = sText(r, "kind");
            if (line == 1 && kind != "header")
                throw Bad{"a recording begins with its header"};
            const uint64_t t = sUnsigned(r, "t", UINT64_MAX);
            ReplayStep s;
            s.line = line;
            s.t = t;
            const bool played = sStep(r, kind, s, links, recording);
            if (t < lastT)
                throw Bad{"time runs backwards"};
            lastT = t;
            if (kind == "exit")
                recording.complete = true;
            if (played)
                recording.steps.push_back(s);
        } catch (const Bad& bad) {
            error = "line " + std::to_string(line) + ": " + bad.what;
            return false;
        }
    }
    if (line == 0) {
        error = "line 1: the recording is empty";
        return false;
    }
    recording.lines = line;
    return true;
}

} // namespace sim

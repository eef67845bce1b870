// The i.MX RT1050 serial download ROM as the chip sees it on a serial line:
// it ignores the line until the host sends the association bytes 23 45 45 23
// and echoes them; then 16-byte commands (big-endian fields), a 4-byte
// security-mode answer and a 4-byte status, file data after WRITE_FILE, and a
// jump that starts the loaded image (after which the ROM is silent).
// Every answer starts with the chip's security state: open (the fuses leave
// it in development mode) or closed (--hab closed: it runs only signed
// images). A closed chip takes files all the same, but answers a jump with
// the security state and then the failure status of its signature check,
// and stays in the ROM.
// As a USB HID device (--hid) there is no association, and each answer goes
// to the bus as HID input reports, framed on the terminal as "R", the report
// id, the length (16 bits, little-endian) and the bytes: report 3 the
// security-mode word, report 4 the status or up to 64 bytes of data.
#include <fstream>
#include <vector>

#include "BootRom.h"

namespace {

const size_t COMMAND_SIZE = 16;
const char ASSOCIATION[] = "\x23\x45\x45\x23";
const uint32_t HAB_OPEN = 0x56787856;
const uint32_t HAB_CLOSED = 0x12343412;
const uint32_t STATUS_DONE = 0x88888888;
const uint32_t STATUS_NO_ERROR = 0xF0F0F0F0;
// The ROM's one failure word: a file where it may not write, an image whose
// signature does not check.
const uint32_t STATUS_FAILURE = 0x33333333;
// Writable RAM of the part: ITCM, DTCM and OCRAM.
const struct {
    uint32_t start, size;
} RAM[] = {{0x00000000, 0x80000}, {0x20000000, 0x80000}, {0x20200000, 0x80000}};

uint32_t Be32(const std::string& s, size_t at)
{
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint32_t(uint8_t(s[at + 3]));
}

// Answer words travel little-endian.
std::string Le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[size_t(i)] = char(v >> (8 * i));
    return s;
}

bool Writable(uint32_t address, uint32_t count)
{
    for (const auto& r : RAM)
        if (address >= r.start && uint64_t(address) + count <= uint64_t(r.start) + r.size)
            return true;
    return false;
}

class SdpRom : public Rom {
public:
    SdpRom(const RomOptions& o, RomTrace& t) : Rom(o, t), associated(o.hid) {}

    std::string Feed(const std::string& bytes) override
    {
        if (Fault("silent") || jumped)
            return "";
        input += bytes;
        std::string out;
        while (!associated && !input.empty()) {
            size_t at = input.find(ASSOCIATION);
            if (at == std::string::npos) {
                // Keep a tail that may be the start of the bytes.
                size_t keep = input.size() < 3 ? input.size() : 3;
                while (keep > 0 && input.compare(input.size() - keep, keep, ASSOCIATION, keep) != 0)
                    --keep;
                Ignore(input.size() - keep);
                return out;
            }
            Ignore(at);
            input.erase(0, 4);
            out += ASSOCIATION;
            associated = true;
            trace.Line("ASSOCIATED");
        }
        for (;;) {
            if (dataLeft > 0) {
                size_t take = input.size() < dataLeft ? input.size() : dataLeft;
                if (take == 0)
                    break;
                file += input.substr(0, take);
                input.erase(0, take);
                dataLeft -= take;
                // The host must not hear from us in the middle of a file.
                if (Fault("early") && !earlyUsed) {
                    earlyUsed = true;
                    Report(out, 3, Le32(Security()));
                }
                if (dataLeft == 0)
                    FinishFile(out);
                continue;
            }
            if (input.size() < COMMAND_SIZE)
                break;
            if (!Known(input)) {
                // Out of step (stray bytes from another protocol): slide on.
                trace.Line("SKIP %02X", uint8_t(input[0]));
                input.erase(0, 1);
                continue;
            }
            std::string command = input.substr(0, COMMAND_SIZE);
            input.erase(0, COMMAND_SIZE);
            Command(command, out);
            if (jumped)
                break;
        }
        return out;
    }

    bool Dump(const std::string& dir) override
    {
        std::ofstream f(dir + "/sdp.txt", std::ios::trunc);
        static const char* hex = "0123456789ABCDEF";
        for (const auto& w : writes) {
            f << "WRITE " << std::hex << w.first << " ";
            for (char c : w.second)
                f << hex[uint8_t(c) >> 4] << hex[uint8_t(c) & 15];
            f << "\n";
        }
        if (jumped)
            f << "JUMP " << std::hex << jumpAddress << "\n";
        return f.good();
    }

private:
    // Bytes of one answer: as they are on a serial line, framed as a report
    // for the HID bus.
    void Report(std::string& out, uint8_t id, const std::string& bytes) const
    {
        if (!options.hid) {
            out += bytes;
            return;
        }
        out += 'R';
        out += char(id);
        out += char(bytes.size() & 0xFF);
        out += char(bytes.size() >> 8);
        out += bytes;
    }

    uint32_t Security() const { return options.habClosed ? HAB_CLOSED : HAB_OPEN; }

    void Ignore(size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            trace.Line("SKIP %02X", uint8_t(input[i]));
        input.erase(0, n);
    }

    static bool Known(const std::string& in)
    {
        uint16_t type = uint16_t(uint8_t(in[0]) << 8 | uint8_t(in[1]));
        return type == 0x0101 || type == 0x0202 || type == 0x0404 || type == 0x0505 || type == 0x0A0A ||
               type == 0x0B0B;
    }

    void Status(std::string& out, uint32_t status)
    {
        Report(out, 3, Le32(Security()));
        Report(out, 4, Le32(Fault("badstatus") ? 0x12345678 : status));
    }

    void Command(const std::string& c, std::string& out)
    {
        uint16_t type = uint16_t(uint8_t(c[0]) << 8 | uint8_t(c[1]));
        uint32_t address = Be32(c, 2);
        uint8_t format = uint8_t(c[6]);
        uint32_t count = Be32(c, 7);
        trace.Line("CMD %04X %08X %02X %u", type, address, format, count);
        switch (type) {
        case 0x0505:
            Status(out, lastStatus);
            return;
        case 0x0404:
            fileAddress = address;
            file.clear();
            dataLeft = count;
            if (count == 0)
                FinishFile(out);
            return;
        case 0x0B0B:
            Report(out, 3, Le32(Security()));
            if (options.habClosed) {
                // No image of ours carries a signature: the check fails, the
                // ROM says so and waits for the next command.
                trace.Line("REFUSED JUMP %08X", address);
                lastStatus = STATUS_FAILURE;
                Report(out, 4, Le32(STATUS_FAILURE));
                return;
            }
            jumped = true;
            jumpAddress = address;
            trace.Line("JUMP %08X", address);
            return;
        case 0x0101: {
            // Reads memory: the security-mode word, then the bytes asked for
            // (whole words), from what the files left in RAM.
            Report(out, 3, Le32(Security()));
            uint32_t n = (count + 3) / 4 * 4;
            std::string data;
            for (uint32_t i = 0; i < n; ++i)
                data += MemoryAt(address + i);
            for (size_t at = 0; at < data.size(); at += 64)
                Report(out, 4, data.substr(at, 64));
            return;
        }
        default:
            // Register writes are not part of this ROM's act.
            Status(out, STATUS_NO_ERROR);
            return;
        }
    }

    // The byte at address as the last file over it wrote it (0 elsewhere).
    char MemoryAt(uint32_t address) const
    {
        for (auto w = writes.rbegin(); w != writes.rend(); ++w)
            if (address >= w->first && address - w->first < w->second.size())
                return w->second[address - w->first];
        return 0;
    }

    void FinishFile(std::string& out)
    {
        if (Writable(fileAddress, uint32_t(file.size()))) {
            writes.push_back({fileAddress, file});
            trace.Line("FILE %08X %zu", fileAddress, file.size());
            lastStatus = STATUS_NO_ERROR;
            Status(out, STATUS_DONE);
        } else {
            trace.Line("FILE REFUSED %08X %zu", fileAddress, file.size());
            lastStatus = STATUS_FAILURE;
            Status(out, STATUS_FAILURE);
        }
        file.clear();
    }

    std::string input, file;
    size_t dataLeft = 0;
    uint32_t fileAddress = 0, jumpAddress = 0, lastStatus = STATUS_NO_ERROR;
    bool associated, jumped = false, earlyUsed = false;
    std::vector<std::pair<uint32_t, std::string>> writes;
};

} // namespace

Rom* MakeSdpRom(const RomOptions& options, RomTrace& trace)
{
    return new SdpRom(options, trace);
}

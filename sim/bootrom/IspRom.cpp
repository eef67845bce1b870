// The LPC17xx serial ISP loader as the chip sees it: autobaud on "?", the
// "Synchronized" and crystal handshake, then line commands answered with a
// return code, uuencoded data phases with a checksum every 20 lines, and a
// flash that can only be programmed where it was erased.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "BootRom.h"

namespace {

const uint32_t FLASH_SIZE = 0x80000;
const uint32_t RAM_START = 0x10000000;
const uint32_t RAM_SIZE = 0x8000;
const int LAST_SECTOR = 29;

// Chip return codes.
enum { OK = 0, INVALID_COMMAND = 1, SRC_ADDR_ERROR = 2, DST_ADDR_ERROR = 3, COUNT_ERROR = 6, INVALID_SECTOR = 7,
       NOT_PREPARED = 9, COMPARE_ERROR = 10, PARAM_ERROR = 12, ADDR_ERROR = 13, ADDR_NOT_MAPPED = 14, CMD_LOCKED = 15,
       INVALID_CODE = 16 };

uint32_t SectorStart(int s)
{
    return s < 16 ? uint32_t(s) * 0x1000 : 0x10000 + uint32_t(s - 16) * 0x8000;
}

int SectorOf(uint32_t address)
{
    if (address < 0x10000)
        return int(address / 0x1000);
    if (address < FLASH_SIZE)
        return 16 + int((address - 0x10000) / 0x8000);
    return -1;
}

// Decodes one uuencoded line (count character, then groups of four).
bool UuDecodeLine(const std::string& line, std::string& out)
{
    if (line.empty())
        return false;
    auto six = [](char c) { return uint8_t((uint8_t(c) - 0x20) & 0x3F); };
    size_t n = six(line[0]);
    size_t groups = (n + 2) / 3;
    if (line.size() < 1 + groups * 4)
        return false;
    std::string bytes;
    for (size_t g = 0; g < groups; ++g) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 4; ++k)
            bits = (bits << 6) | six(line[1 + 4 * g + k]);
        bytes += char(bits >> 16);
        bytes += char(bits >> 8);
        bytes += char(bits);
    }
    out = bytes.substr(0, n);
    return true;
}

std::string UuEncodeLine(const std::string& data)
{
    static const char* digits = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
    std::string line(1, digits[data.size() & 0x3F]);
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 3; ++k)
            bits = (bits << 8) | (i + k < data.size() ? uint8_t(data[i + k]) : 0);
        for (int k = 3; k >= 0; --k)
            line += digits[(bits >> (6 * k)) & 0x3F];
    }
    return line;
}

uint32_t ByteSum(const std::string& s)
{
    uint32_t total = 0;
    for (char c : s)
        total += uint8_t(c);
    return total;
}

class IspRom : public Rom {
public:
    IspRom(const RomOptions& o, RomTrace& t) : Rom(o, t), flash(FLASH_SIZE, '\xFF'), ram(RAM_SIZE, '\0')
    {
        echo = o.echo;
    }

    std::string Feed(const std::string& bytes) override
    {
        if (Fault("silent") || state == RUNNING)
            return "";
        std::string out;
        for (char c : bytes) {
            if (state == AUTOBAUD) {
                if (c == '?') {
                    trace.Line("AUTOBAUD");
                    Answer(out, "Synchronized\r\n");
                    state = HANDSHAKE;
                }
                continue;
            }
            if (echo)
                out += c;
            pending += c;
            if (c == '\n') {
                std::string line = pending;
                pending.clear();
                while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                    line.pop_back();
                Line(line, out);
                if (state == RUNNING)
                    break;
            }
        }
        return out;
    }

    bool Dump(const std::string& dir) override
    {
        std::ofstream f(dir + "/flash.bin", std::ios::binary | std::ios::trunc);
        std::ofstream r(dir + "/ram.bin", std::ios::binary | std::ios::trunc);
        f << flash;
        r << ram;
        std::ofstream s(dir + "/state.txt", std::ios::trunc);
        s << "echo " << (echo ? 1 : 0) << "\nrunning " << (state == RUNNING ? 1 : 0) << "\nrun_address " << runAddress
          << "\nunlocked " << (unlocked ? 1 : 0) << "\n";
        return f.good() && r.good() && s.good();
    }

private:
    enum State { AUTOBAUD, HANDSHAKE, CRYSTAL, COMMAND, WRITE_DATA, READ_DATA, RUNNING };

    // Answers go out garbled under the garble fault (same length, other bytes).
    void Answer(std::string& out, const std::string& text)
    {
        if (!Fault("garble")) {
            out += text;
            return;
        }
        std::string g = text;
        size_t end = g.size() >= 2 && g.compare(g.size() - 2, 2, "\r\n") == 0 ? g.size() - 2 : g.size();
        for (size_t i = 0; i < end; ++i)
            g[i] = char('#' + (i % 7));
        out += g;
    }

    void Code(std::string& out, int code)
    {
        trace.Line("RC %d", code);
        Answer(out, std::to_string(code) + "\r\n");
    }

    static bool Numbers(std::istringstream& in, uint32_t* values, int count)
    {
        for (int i = 0; i < count; ++i) {
            long long v;
            if (!(in >> v) || v < 0 || v > 0xFFFFFFFFLL)
                return false;
            values[i] = uint32_t(v);
        }
        std::string rest;
        return !(in >> rest);
    }

    bool InRam(uint32_t address, uint32_t length) const
    {
        return address >= RAM_START && uint64_t(address) + length <= uint64_t(RAM_START) + RAM_SIZE;
    }

    bool Prepared(int first, int last) const
    {
        return prepFirst >= 0 && first >= prepFirst && last <= prepLast;
    }

    void Line(const std::string& line, std::string& out)
    {
        trace.Line("LINE %s", line.c_str());
        switch (state) {
        case HANDSHAKE:
            if (line == "Synchronized") {
                Answer(out, "OK\r\n");
                state = CRYSTAL;
            } else {
                state = AUTOBAUD;
            }
            return;
        case CRYSTAL:
            if (!line.empty() && std::strspn(line.c_str(), "0123456789") == line.size()) {
                trace.Line("SYNCED crystal %s", line.c_str());
                Answer(out, "OK\r\n");
                state = COMMAND;
            } else {
                state = AUTOBAUD;
            }
            return;
        case WRITE_DATA:
            WriteLine(line, out);
            return;
        case READ_DATA:
            ReadAnswer(line, out);
            return;
        default:
            break;
        }
        Command(line, out);
    }

    void Command(const std::string& line, std::string& out)
    {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        uint32_t v[3] = {0, 0, 0};
        if (cmd == "U") {
            if (!Numbers(in, v, 1))
                return Code(out, PARAM_ERROR);
            unlocked = v[0] == 23130;
            trace.Line("UNLOCK %s", unlocked ? "yes" : "no");
            return Code(out, unlocked ? OK : INVALID_CODE);
        }
        if (cmd == "N") {
            Code(out, OK);
            for (uint32_t w : options.uid)
                Answer(out, std::to_string(w) + "\r\n");
            return;
        }
        if (cmd == "J") {
            Code(out, OK);
            Answer(out, "638664503\r\n");
            return;
        }
        if (cmd == "K") {
            Code(out, OK);
            Answer(out, "4\r\n1\r\n");
            return;
        }
        if (cmd == "A") {
            if (!Numbers(in, v, 1) || v[0] > 1)
                return Code(out, PARAM_ERROR);
            Code(out, OK);
            echo = v[0] == 1; // from the next byte on
            trace.Line("ECHO %u", v[0]);
            return;
        }
        if (cmd == "B") {
            if (!Numbers(in, v, 2))
                return Code(out, PARAM_ERROR);
            return Code(out, OK);
        }
        if (cmd == "P" || cmd == "E") {
            if (!Numbers(in, v, 2))
                return Code(out, PARAM_ERROR);
            if (v[0] > v[1] || v[1] > uint32_t(LAST_SECTOR))
                return Code(out, INVALID_SECTOR);
            if (cmd == "P") {
                prepFirst = int(v[0]);
                prepLast = int(v[1]);
                trace.Line("PREPARE %u %u", v[0], v[1]);
                return Code(out, OK);
            }
            if (!unlocked)
                return Code(out, CMD_LOCKED);
            if (!Prepared(int(v[0]), int(v[1])))
                return Code(out, NOT_PREPARED);
            uint32_t from = SectorStart(int(v[0])), to = v[1] + 1 <= 29 ? SectorStart(int(v[1]) + 1) : FLASH_SIZE;
            std::fill(flash.begin() + from, flash.begin() + to, '\xFF');
            prepFirst = prepLast = -1;
            trace.Line("ERASE %u %u", v[0], v[1]);
            return Code(out, OK);
        }
        if (cmd == "W" || cmd == "R") {
            if (!Numbers(in, v, 2))
                return Code(out, PARAM_ERROR);
            if (v[1] == 0 || v[1] % 4 != 0)
                return Code(out, COUNT_ERROR);
            bool ram_ok = InRam(v[0], v[1]);
            bool flash_ok = cmd == "R" && uint64_t(v[0]) + v[1] <= FLASH_SIZE;
            if (v[0] % 4 != 0 || (!ram_ok && !flash_ok))
                return Code(out, cmd == "W" ? DST_ADDR_ERROR : SRC_ADDR_ERROR);
            address = v[0];
            length = v[1];
            checkpoint = 0;
            block.clear();
            linesInBlock = 0;
            trace.Line("%s %u %u", cmd == "W" ? "WRITE" : "READ", v[0], v[1]);
            Code(out, OK);
            if (cmd == "W") {
                state = WRITE_DATA;
            } else {
                state = READ_DATA;
                SendReadBlock(out);
            }
            return;
        }
        if (cmd == "C") {
            if (!Numbers(in, v, 3))
                return Code(out, PARAM_ERROR);
            if (!unlocked)
                return Code(out, CMD_LOCKED);
            if (v[0] % 256 != 0 || uint64_t(v[0]) + v[2] > FLASH_SIZE)
                return Code(out, DST_ADDR_ERROR);
            if (!InRam(v[1], v[2]) || v[1] % 4 != 0)
                return Code(out, SRC_ADDR_ERROR);
            if (v[2] != 256 && v[2] != 512 && v[2] != 1024 && v[2] != 4096)
                return Code(out, COUNT_ERROR);
            if (!Prepared(SectorOf(v[0]), SectorOf(v[0] + v[2] - 1)))
                return Code(out, NOT_PREPARED);
            // Programming can only clear bits: unerased flash shows it.
            for (uint32_t i = 0; i < v[2]; ++i)
                flash[v[0] + i] = char(uint8_t(flash[v[0] + i]) & uint8_t(ram[v[1] - RAM_START + i]));
            prepFirst = prepLast = -1;
            trace.Line("COPY %u %u %u", v[0], v[1], v[2]);
            return Code(out, OK);
        }
        if (cmd == "G") {
            std::string mode;
            if (!(in >> v[0] >> mode) || (mode != "T" && mode != "A"))
                return Code(out, PARAM_ERROR);
            if (!unlocked)
                return Code(out, CMD_LOCKED);
            // The chip answers before it leaves the ROM for the image.
            Code(out, OK);
            runAddress = v[0];
            state = RUNNING;
            trace.Line("RUN %u", v[0]);
            return;
        }
        if (cmd == "M")
            return Compare(in, out);
        Code(out, INVALID_COMMAND);
    }

    // Compares two word-aligned ranges of flash or RAM; a difference answers
    // COMPARE_ERROR and the offset of the first differing byte.
    void Compare(std::istringstream& in, std::string& out)
    {
        uint32_t v[3];
        if (!Numbers(in, v, 3))
            return Code(out, PARAM_ERROR);
        if (v[0] % 4 != 0 || v[1] % 4 != 0)
            return Code(out, ADDR_ERROR);
        if (v[2] % 4 != 0)
            return Code(out, COUNT_ERROR);
        auto mapped = [this](uint32_t at, uint32_t n) { return InRam(at, n) || uint64_t(at) + n <= FLASH_SIZE; };
        if (!mapped(v[0], v[2]) || !mapped(v[1], v[2]))
            return Code(out, ADDR_NOT_MAPPED);
        const char* a = &Memory(v[0])[v[0] >= RAM_START ? v[0] - RAM_START : v[0]];
        const char* b = &Memory(v[1])[v[1] >= RAM_START ? v[1] - RAM_START : v[1]];
        for (uint32_t i = 0; i < v[2]; ++i) {
            if (a[i] != b[i]) {
                trace.Line("COMPARE %u %u %u DIFFER %u", v[0], v[1], v[2], i);
                Code(out, COMPARE_ERROR);
                Answer(out, std::to_string(i) + "\r\n");
                return;
            }
        }
        trace.Line("COMPARE %u %u %u SAME", v[0], v[1], v[2]);
        Code(out, OK);
    }

    // Write data phase: uuencoded lines, a checksum line after 20 lines or
    // after the last byte.
    void WriteLine(const std::string& line, std::string& out)
    {
        uint32_t received = checkpoint + uint32_t(block.size());
        bool wantSum = linesInBlock == 20 || received >= length;
        if (!wantSum) {
            std::string bytes;
            if (!UuDecodeLine(line, bytes) || bytes.size() > length - received) {
                trace.Line("BAD LINE");
                bytes.clear();
            }
            block += bytes;
            ++linesInBlock;
            return;
        }
        uint32_t sum = uint32_t(std::strtoul(line.c_str(), nullptr, 10));
        bool good = sum == ByteSum(block);
        if (good && Fault("badsum-once") && !badsumUsed) {
            badsumUsed = true;
            good = false;
        }
        if (good) {
            std::memcpy(&ram[address - RAM_START + checkpoint], block.data(), block.size());
            checkpoint += uint32_t(block.size());
            trace.Line("SUM OK %u", sum);
            Answer(out, "OK\r\n");
        } else {
            trace.Line("SUM BAD %u", sum);
            Answer(out, "RESEND\r\n");
        }
        block.clear();
        linesInBlock = 0;
        if (checkpoint >= length)
            state = COMMAND;
    }

    const std::string& Memory(uint32_t at) const { return at >= RAM_START ? ram : flash; }

    void SendReadBlock(std::string& out)
    {
        const std::string& mem = Memory(address);
        uint32_t base = address >= RAM_START ? address - RAM_START : address;
        uint32_t at = checkpoint;
        std::string sent;
        for (int lines = 0; lines < 20 && at < length; ++lines) {
            uint32_t take = length - at < 45 ? length - at : 45;
            std::string chunk = mem.substr(base + at, take);
            Answer(out, UuEncodeLine(chunk) + "\r\n");
            sent += chunk;
            at += take;
        }
        uint32_t sum = ByteSum(sent);
        if (Fault("badsum-once") && !badsumUsed) {
            badsumUsed = true;
            ++sum;
        }
        Answer(out, std::to_string(sum) + "\r\n");
        blockLength = uint32_t(sent.size());
    }

    void ReadAnswer(const std::string& line, std::string& out)
    {
        if (line == "OK") {
            checkpoint += blockLength;
            if (checkpoint >= length) {
                state = COMMAND;
                return;
            }
        } else if (line != "RESEND") {
            state = COMMAND;
            return;
        }
        SendReadBlock(out);
    }

    std::string flash, ram, pending, block;
    State state = AUTOBAUD;
    bool echo = true, unlocked = false, badsumUsed = false;
    int prepFirst = -1, prepLast = -1;
    uint32_t address = 0, length = 0, checkpoint = 0, blockLength = 0, runAddress = 0;
    int linesInBlock = 0;
};

} // namespace

Rom* MakeIspRom(const RomOptions& options, RomTrace& trace)
{
    return new IspRom(options, trace);
}

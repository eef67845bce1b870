// corvestel-bootrom: a simulated boot ROM on a pseudo-terminal.
//   --kind isp|sdp        LPC17xx serial ISP loader, or i.MX RT1050 serial download ROM
//   --uid W0,W1,W2,W3     the chip's 128-bit identity (hex words; isp)
//   --echo on|off         isp: echo at start (on)
//   --fault NAME          silent, badsum-once, garble (isp); silent, early, badstatus (sdp); repeatable
//   --trace FILE          event trace
//   --dump-dir DIR        where DUMP writes the memory files
//   --control-stdin       commands on standard input: DUMP, FAULT +NAME / -NAME; ends when it closes
//   --lifetime SECONDS    ends by itself after this long (300)
//   --hid                 sdp: the ROM as a USB HID device: the bus (sim/usbbus,
//                         --imxrom) bridges the terminal to the HID reports
//   --hab open|closed     sdp: the chip's security; closed refuses to run an
//                         unsigned image (open)
//   --baud RATE           paces the line like a UART at RATE (10 bits a byte,
//                         each way); 0, the default, moves bytes at once
// Prints "READY <pty path>" once the terminal is open; ends on SIGTERM, at
// the end of its lifetime, or when standard input closes (--control-stdin).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "BootRom.h"
#include "RomHelp.h"
#include "PacedLine.h"
#include "RomReplay.h"

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int)
{
    gStop = 1;
}

bool ParseUid(const char* text, uint32_t uid[4])
{
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        unsigned long v = std::strtoul(p, &end, 16);
        if (end == p || (i < 3 && *end != ',') || (i == 3 && *end != 0))
            return false;
        uid[i] = uint32_t(v);
        p = end + 1;
    }
    return true;
}

int Usage()
{
    std::fprintf(stderr, "usage: corvestel-bootrom --kind isp|sdp [--uid W0,W1,W2,W3] [--echo on|off] "
                         "[--fault NAME]... [--trace FILE] [--dump-dir DIR] [--control-stdin] [--lifetime S] "
                         "[--baud RATE] [--hid] [--hab open|closed] (see --help)\n");
    return 2;
}

} // namespace

bool RomTrace::Open(const std::string& path)
{
    file = std::fopen(path.c_str(), "w");
    return file != nullptr;
}

RomTrace::~RomTrace()
{
    if (file)
        std::fclose(file);
}

void RomTrace::Line(const char* format, ...)
{
    if (!file)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fflush(file);
}

void RomTrace::Bytes(const char* tag, const std::string& bytes)
{
    if (!file || bytes.empty())
        return;
    std::fprintf(file, "%s", tag);
    for (char c : bytes)
        std::fprintf(file, " %02X", uint8_t(c));
    std::fputc('\n', file);
    std::fflush(file);
}

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--replay") == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            return RunRomReplay(argc, argv);
        }
    RomOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(RomHelpText(), stdout);
            return 0;
        }
        if (a == "--kind" && hasValue)
            options.kind = argv[++i];
        else if (a == "--uid" && hasValue) {
            if (!ParseUid(argv[++i], options.uid))
                return Usage();
        } else if (a == "--echo" && hasValue)
            options.echo = std::string(argv[++i]) != "off";
        else if (a == "--fault" && hasValue)
            options.faults.insert(argv[++i]);
        else if (a == "--trace" && hasValue)
            options.tracePath = argv[++i];
        else if (a == "--dump-dir" && hasValue)
            options.dumpDir = argv[++i];
        else if (a == "--control-stdin")
            options.controlStdin = true;
        else if (a == "--lifetime" && hasValue)
            options.lifetimeSeconds = std::atoi(argv[++i]);
        else if (a == "--hid")
            options.hid = true;
        else if (a == "--hab" && hasValue) {
            std::string state = argv[++i];
            if (state != "open" && state != "closed")
                return Usage();
            options.habClosed = state == "closed";
        } else if (a == "--baud" && hasValue)
            options.baud = std::atoi(argv[++i]);
        else
            return Usage();
    }
    if ((options.kind != "isp" && options.kind != "sdp") || options.baud < 0 ||
        ((options.hid || options.habClosed) && options.kind != "sdp"))
        return Usage();

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Ends with the process that started it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);

    RomTrace trace;
    if (!options.tracePath.empty() && !trace.Open(options.tracePath)) {
        std::fprintf(stderr, "cannot open trace %s\n", options.tracePath.c_str());
        return 1;
    }
    std::unique_ptr<Rom> rom(options.kind == "isp" ? MakeIspRom(options, trace) : MakeSdpRom(options, trace));

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty");
        return 1;
    }
    const char* slaveName = ptsname(master);
    std::string slavePath = slaveName ? slaveName : "";
    // Holding the terminal's other end open keeps it alive while hosts come
    // and go; raw mode so the line discipline neither echoes nor translates.
    int slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        std::perror("pty slave");
        return 1;
    }
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    trace.Line("START %s %s", options.kind.c_str(), slavePath.c_str());
    std::printf("READY %s\n", slavePath.c_str());
    std::fflush(stdout);

    double deadline = MonotonicNow() + (options.lifetimeSeconds > 0 ? options.lifetimeSeconds : 300);
    PacedLine line(master, options.baud);
    std::string control;
    while (!gStop && MonotonicNow() < deadline) {
        double now = MonotonicNow();
        std::string in = line.Arrived(now);
        if (!in.empty()) {
            trace.Bytes("rx", in);
            std::string out = rom->Feed(in);
            if (!out.empty()) {
                trace.Bytes("tx", out);
                line.Send(out, now);
            }
        }
        line.Flush(now);

        // Woken for the next character time, not the next millisecond: a
        // paced line must not add latency of its own.
        double wait = line.NextDue(MonotonicNow());
        if (wait < 0 || wait > 0.2)
            wait = 0.2;
        timespec timeout;
        timeout.tv_sec = time_t(wait);
        timeout.tv_nsec = long((wait - double(timeout.tv_sec)) * 1e9);
        short masterEvents = short((line.WantsInput() ? POLLIN : 0) | (line.BlockedOutput() ? POLLOUT : 0));
        pollfd p[2] = {{master, masterEvents, 0}, {options.controlStdin ? STDIN_FILENO : -1, POLLIN, 0}};
        int r = ppoll(p, 2, &timeout, nullptr);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if ((p[0].revents & POLLIN) && !line.ReadHost())
            break;
        if (p[1].revents & (POLLIN | POLLHUP)) {
            char buf[512];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0)
                break; // the controlling test went away
            control.append(buf, size_t(n));
            size_t nl;
            while ((nl = control.find('\n')) != std::string::npos) {
                std::string command = control.substr(0, nl);
                control.erase(0, nl + 1);
                std::string answer = "ERR unknown command";
                if (command == "DUMP") {
                    answer = !options.dumpDir.empty() && rom->Dump(options.dumpDir) ? "OK" : "ERR dump failed";
                } else if (command.compare(0, 7, "FAULT +") == 0) {
                    rom->SetFault(command.substr(7), true);
                    answer = "OK";
                } else if (command.compare(0, 7, "FAULT -") == 0) {
                    rom->SetFault(command.substr(7), false);
                    answer = "OK";
                }
                std::printf("%s\n", answer.c_str());
                std::fflush(stdout);
            }
        }
    }
    trace.Line("END");
    close(slave);
    close(master);
    return 0;
}

// corvestel-bootrom --replay FILE: plays the boot ROM's side of a host's
// recording (Updater --record FILE) on a pseudo-terminal: the bytes the host
// sends on its serial line are compared with the recorded ones, the ROM's
// recorded bytes are sent again, at the recorded pace or as soon as the host
// has sent what came before (--speed max).
#include "RomReplay.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

// How much longer than when recorded the host may take for its next bytes.
const uint64_t SLACK_MS = 15000;
// Bytes of one record, at most: a recording holds no longer writes.
const size_t MOST_BYTES = 1 << 20;

struct Step {
    size_t line;
    uint64_t t;
    bool fromHost;
    std::string bytes;
};

uint64_t NowMs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::string Hex(const std::string& b)
{
    static const char D[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += D[c >> 4];
        s += D[c & 15];
    }
    return s;
}

bool Unhex(const std::string& text, std::string& out)
{
    if (text.size() % 2 || text.size() / 2 > MOST_BYTES)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = text[i + size_t(k)];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0)
                return false;
            v = v << 4 | d;
        }
        out += char(v);
    }
    return true;
}

// Reads the serial steps of path; false with "line N: ..." in error.
bool ReadSteps(const std::string& path, std::vector<Step>& steps, size_t& lines, bool& complete, std::string& error)
{
    static const std::set<std::string> KNOWN = {"header", "output", "exit", "link_open", "link_module",
                                                "link_close", "link_drop", "packet", "reconnect", "datagram",
                                                "http", "serial", "reply"};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string linePath;
    size_t from = 0, n = 0;
    complete = false;
    while (from < text.size()) {
        ++n;
        size_t end = text.find('\n', from);
        const bool cut = end == std::string::npos;
        const std::string record = text.substr(from, cut ? std::string::npos : end - from);
        from = cut ? text.size() : end + 1;
        const std::string where = "line " + std::to_string(n) + ": ";
        json r;
        try {
            r = json::parse(record);
        } catch (const json::exception&) {
            if (cut && n > 1)
                break; // the host was killed while it wrote this line
            error = where + "not JSON";
            return false;
        }
        if (!r.is_object() || !r.contains("kind") || !r["kind"].is_string()) {
            error = where + "not a record";
            return false;
        }
        const std::string kind = r["kind"];
        if (!KNOWN.count(kind)) {
            error = where + "unknown record kind \"" + kind + "\"";
            return false;
        }
        if (!r.contains("t") || !r["t"].is_number_unsigned()) {
            error = where + "field \"t\" is not a number";
            return false;
        }
        complete = complete || kind == "exit";
        if (kind != "serial")
            continue;
        Step s{n, r["t"].get<uint64_t>(), false, std::string()};
        if (!r.contains("dir") || !r.contains("hex") || !r.contains("path") || !r["hex"].is_string()
            || !r["path"].is_string() || (r["dir"] != "out" && r["dir"] != "in")) {
            error = where + "a serial record needs path, dir (out or in) and hex";
            return false;
        }
        if (!Unhex(r["hex"], s.bytes)) {
            error = where + "field \"hex\" is not hexadecimal bytes (at most 1 MiB)";
            return false;
        }
        if (linePath.empty())
            linePath = r["path"];
        else if (r["path"] != linePath) {
            error = where + "a second serial line; one is replayed";
            return false;
        }
        s.fromHost = r["dir"] == "out";
        steps.push_back(s);
    }
    lines = n;
    if (steps.empty()) {
        error = "no serial line in the recording";
        return false;
    }
    return true;
}

bool WaitFd(int fd, short events, uint64_t deadline)
{
    for (;;) {
        uint64_t now = NowMs();
        if (now >= deadline)
            return false;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, int(deadline - now > 1000 ? 1000 : deadline - now));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

int RunRomReplay(int argc, char** argv)
{
    std::string path;
    bool maxSpeed = false;
    int lifetime = 300;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "corvestel-bootrom: missing value for %s\n", a.c_str());
            return 2;
        }
        std::string v = argv[++i];
        if (a == "--replay")
            path = v;
        else if (a == "--speed" && (v == "recorded" || v == "max"))
            maxSpeed = v == "max";
        else if (a == "--lifetime" && std::atoi(v.c_str()) > 0)
            lifetime = std::atoi(v.c_str());
        else {
            std::fprintf(stderr, "corvestel-bootrom: with --replay: %s %s is no option\n", a.c_str(), v.c_str());
            return 2;
        }
    }
    std::vector<Step> steps;
    size_t lines = 0;
    bool complete = false;
    std::string error;
    if (!ReadSteps(path, steps, lines, complete, error)) {
        std::fprintf(stderr, "corvestel-bootrom: %s: %s\n", path.c_str(), error.c_str());
        return 2;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pty");
        return 1;
    }
    const char* name = ptsname(master);
    const std::string slavePath = name ? name : "";
    // The other end stays open while the host comes and goes, raw.
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
    std::printf("READY %s\n", slavePath.c_str());
    std::fflush(stdout);

    const uint64_t end = NowMs() + uint64_t(lifetime) * 1000;
    uint64_t lastDone = NowMs(), lastT = 0;
    for (const Step& s : steps) {
        const uint64_t gap = s.t > lastT ? (s.t - lastT) / 1000 : 0;
        if (s.fromHost) {
            uint64_t deadline = NowMs() + gap + SLACK_MS;
            if (deadline > end)
                deadline = end;
            std::string got;
            while (got.size() < s.bytes.size()) {
                if (!WaitFd(master, POLLIN, deadline))
                    break;
                char c;
                ssize_t n = read(master, &c, 1);
                if (n == 1) {
                    got += c;
                    if (got.back() != s.bytes[got.size() - 1])
                        break;
                }
            }
            if (got != s.bytes) {
                std::printf("replay diverged at record %zu: expected %s, got %s (serial line %s)\n", s.line,
                            Hex(s.bytes).c_str(), got.empty() ? "nothing" : Hex(got).c_str(), slavePath.c_str());
                std::fflush(stdout);
                return 1;
            }
        } else {
            if (!maxSpeed) {
                uint64_t due = lastDone + gap, now = NowMs();
                if (due > now)
                    std::this_thread::sleep_for(std::chrono::milliseconds(due - now));
            }
            size_t done = 0;
            while (done < s.bytes.size() && WaitFd(master, POLLOUT, end)) {
                ssize_t n = write(master, s.bytes.data() + done, s.bytes.size() - done);
                if (n > 0)
                    done += size_t(n);
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    break;
            }
        }
        lastDone = NowMs();
        lastT = s.t;
    }
    // The host reads the last answers at its own pace: the line stays until
    // it lets go (the terminal hangs up once no one else holds it).
    close(slave);
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (NowMs() >= end || poll(&p, 1, 100) < 0 || (p.revents & POLLHUP))
            break;
        char c;
        if (p.revents & POLLIN)
            while (read(master, &c, 1) == 1) {
            }
    }
    if (complete)
        std::printf("replay complete: %zu records\n", lines);
    else
        std::printf("replay ended at record %zu: the recording was cut there\n", lines);
    std::fflush(stdout);
    close(master);
    return 0;
}

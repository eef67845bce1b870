// The network server sharing a module on the simulated USB bus: one process
// holds the module through the real libusb and serves it on loopback; other
// processes find it with the AETHER search and send requests at the same
// time. Each must get only its own answers, and a client that dies in the
// middle of a request, or is killed, must leave the server serving the rest.
// The processes are this program run again in a role (USBSERVER_ROLE).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "link/aDefs.h"
#include "link/aLink.h"
#include "support/ChildProcess.h"
#include "support/UsbBusRunner.h"
#include "transport/discover.h"

namespace {

const uint32_t SERIAL = 0x40F5849A;
const uint8_t MODULE = 2;
const uint8_t OPTION_MODULE = 1; // answered with the module's address
const uint8_t OPTION_SERIAL = 9; // answered with the serial number
const int ANSWER_MS = 3000;

std::string SelfPath()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

// ---- the roles -------------------------------------------------------------

// Holds the module on USB and serves it on loopback until its standard input
// closes (or 120 s pass); writes "PORT" to the ready file once serving.
int Serve()
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    uint16_t port = 0;
    uint32_t address = 0;
    uint32_t link = aLink_CreateServer(SERIAL, &port, &address, 1);
    if (!link) {
        std::fprintf(stderr, "server: no server over USB\n");
        return 2;
    }
    const char* ready = std::getenv("USBSERVER_READY");
    std::string tmp = std::string(ready) + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fprintf(f, "%u\n", port);
        std::fclose(f);
        std::rename(tmp.c_str(), ready);
    }
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    char byte;
    while (poll(&in, 1, 120000) == 1 && read(STDIN_FILENO, &byte, 1) > 0) {
    }
    aLink_Destroy(&link);
    return 0;
}

uint8_t AnyPacket(const aPacket*, const void*)
{
    return 1;
}

// The value a system-entity answer carries (big-endian, after command,
// option and value type).
uint32_t ValueOf(const aPacket* p)
{
    uint32_t v = 0;
    for (uint8_t i = 3; i < p->length && i < 7; i++)
        v = v << 8 | p->data[i];
    return v;
}

// Finds the server with the AETHER search and asks one system option again
// and again; every packet that comes back must be the answer to its own
// request. "forever" keeps asking until killed (it prints "running" after
// its first answer); "abandon" sends requests and exits without reading.
int Ask(const std::string& mode, uint8_t option, int count)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    linkSpec* spec = nullptr;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!spec && std::chrono::steady_clock::now() < end)
        spec = aDiscovery_FindModule(AETHER, SERIAL, 0);
    if (!spec) {
        std::printf("no server found\n");
        return 2;
    }
    uint32_t link = aLink_CreateClient(spec->t.ipAddress, static_cast<uint16_t>(spec->p.ipPort), 0);
    aLinkSpec_Destroy(&spec);
    if (!link) {
        std::printf("no connection\n");
        return 2;
    }
    const uint8_t get[] = {cmdSYSTEMCLASS, static_cast<uint8_t>(0x40 | option), 0x20};
    const uint32_t want = option == OPTION_SERIAL ? SERIAL : MODULE;
    for (int i = 0; mode == "forever" || i < count; i++) {
        aPacket* request = aPacket_CreateWithData(MODULE, sizeof get, get);
        aLink_PutPacket(link, request);
        aPacket_Destroy(&request);
        if (mode == "abandon")
            continue;
        aPacket* answer = aLink_AwaitFirst(link, AnyPacket, nullptr, ANSWER_MS);
        if (!answer) {
            std::printf("request %d: no answer\n", i);
            return 1;
        }
        bool mine = answer->length >= 3 && answer->data[0] == cmdSYSTEMCLASS && answer->data[1] == option
            && ValueOf(answer) == want;
        if (!mine) {
            std::printf("request %d: a foreign answer (length %u, option %u, value %08X)\n", i, answer->length,
                answer->length > 1 ? answer->data[1] : 0, ValueOf(answer));
            aPacket_Destroy(&answer);
            return 1;
        }
        aPacket_Destroy(&answer);
        if (i == 0 && mode == "forever") {
            std::printf("running\n");
            std::fflush(stdout);
        }
    }
    if (mode == "abandon")
        _exit(0); // gone with its requests unanswered, as a crashed client
    aLink_Destroy(&link);
    std::printf("ok %d\n", count);
    return 0;
}

// ---- the test --------------------------------------------------------------

struct Child {
    ChildPipes pipes;
    std::string out;
    int status = -1;
};

bool Start(Child& c, const std::vector<std::string>& argv, const std::string& err)
{
    return SpawnChild(argv, err, c.pipes);
}

void Drain(Child& c)
{
    char buffer[512];
    ssize_t n;
    while ((n = read(c.pipes.fromChild, buffer, sizeof buffer)) > 0)
        c.out.append(buffer, size_t(n));
}

// Waits for the child's end (up to limitMs); false when it is still running.
bool Finish(Child& c, int limitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (true) {
        Drain(c);
        int status = 0;
        if (waitpid(c.pipes.pid, &status, WNOHANG) == c.pipes.pid) {
            Drain(c);
            c.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            close(c.pipes.fromChild);
            close(c.pipes.toChild);
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        struct pollfd p = {c.pipes.fromChild, POLLIN, 0};
        poll(&p, 1, 20);
    }
}

bool AwaitOutput(Child& c, const std::string& text, int limitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (c.out.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        struct pollfd p = {c.pipes.fromChild, POLLIN, 0};
        poll(&p, 1, 50);
        Drain(c);
    }
    return true;
}

bool AwaitFile(const std::string& path, int limitMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<std::string> Role(const std::string& role, const std::string& mode = "", uint8_t option = 0,
    int count = 0)
{
    return {"/usr/bin/env", "USBSERVER_ROLE=" + role, SelfPath(), mode, std::to_string(option),
        std::to_string(count)};
}

void Stop(Child& c)
{
    if (c.status < 0) {
        kill(c.pipes.pid, SIGKILL);
        Finish(c, 5000);
    }
}

TEST(UsbServer, ClientsInOtherProcessesGetOnlyTheirOwnAnswers)
{
    UsbBusRunner bus;
    bus.Module("serial=40F5849A,model=13,hb=200");
    const std::string ready = bus.Folder() + "/ready";
    Child server;
    std::vector<std::string> serve = Role("server");
    serve.insert(serve.begin() + 1, "USBSERVER_READY=" + ready);
    ASSERT_TRUE(Start(server, bus.Argv(serve), bus.Folder() + "/server.err"));
    ASSERT_TRUE(AwaitFile(ready, 60000)) << srvtest::ReadWholeFile(bus.Folder() + "/server.err");

    // Two clients ask different questions at the same time, while a third
    // sends requests and dies without reading the answers and a fourth is
    // killed while it keeps asking.
    Child doomed, abandoning, serial, address;
    ASSERT_TRUE(Start(doomed, Role("client", "forever", OPTION_SERIAL), bus.Folder() + "/doomed.err"));
    ASSERT_TRUE(AwaitOutput(doomed, "running", 30000)) << doomed.out;
    ASSERT_TRUE(Start(serial, Role("client", "count", OPTION_SERIAL, 300), bus.Folder() + "/serial.err"));
    ASSERT_TRUE(Start(address, Role("client", "count", OPTION_MODULE, 300), bus.Folder() + "/address.err"));
    ASSERT_TRUE(Start(abandoning, Role("client", "abandon", OPTION_MODULE, 5), bus.Folder() + "/abandon.err"));
    ASSERT_TRUE(Finish(abandoning, 30000));
    kill(doomed.pipes.pid, SIGKILL);
    ASSERT_TRUE(Finish(doomed, 10000));
    EXPECT_TRUE(Finish(serial, 120000));
    EXPECT_TRUE(Finish(address, 120000));
    EXPECT_EQ(serial.status, 0) << serial.out;
    EXPECT_EQ(address.status, 0) << address.out;
    EXPECT_EQ(serial.out, "ok 300\n");
    EXPECT_EQ(address.out, "ok 300\n");

    // After all that, a new client is served too.
    Child late;
    ASSERT_TRUE(Start(late, Role("client", "count", OPTION_MODULE, 20), bus.Folder() + "/late.err"));
    EXPECT_TRUE(Finish(late, 60000));
    EXPECT_EQ(late.out, "ok 20\n");

    close(server.pipes.toChild); // the server ends, then the bus
    server.pipes.toChild = -1;
    EXPECT_TRUE(Finish(server, 30000));
    EXPECT_EQ(server.status, 0) << srvtest::ReadWholeFile(bus.Folder() + "/server.err");
    for (Child* c : {&doomed, &abandoning, &serial, &address, &late, &server})
        Stop(*c);
}

} // namespace

int main(int argc, char** argv)
{
    if (const char* role = std::getenv("USBSERVER_ROLE")) {
        if (std::strcmp(role, "server") == 0)
            return Serve();
        if (argc < 4)
            return 2;
        return Ask(argv[1], static_cast<uint8_t>(std::atoi(argv[2])), std::atoi(argv[3]));
    }
    // Server keys are made in a home folder of the test's own, which the
    // clients it starts share.
    char home[] = "/tmp/corvestel-home-XXXXXX";
    if (mkdtemp(home))
        setenv("HOME", home, 1);
    testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    std::filesystem::remove_all(home);
    return status;
}

// Starts the simulated update server (sim/update_server.py) on a loopback
// port for one test, fills its data folder, switches its faults and reads its
// request log. One harness per test, used from the test's thread; the
// server process is ended in Stop() or the destructor.
#ifndef TESTS_SUPPORT_UPDATESERVERHARNESS_H
#define TESTS_SUPPORT_UPDATESERVERHARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class UpdateServerHarness {
public:
    UpdateServerHarness();  // creates an empty data folder
    ~UpdateServerHarness(); // stops the server, removes the folder

    UpdateServerHarness(const UpdateServerHarness&) = delete;
    UpdateServerHarness& operator=(const UpdateServerHarness&) = delete;

    // Data the server answers from; may be changed while it runs.
    void SetLatest(uint32_t serial, const std::string& build, const std::string& firmwareId);
    void SetBuilds(uint32_t serial, const std::string& lines); // "BUILD;VERSION" lines
    void AddBird(uint32_t serial, const std::string& build, const std::string& bytes);
    void SetToken(uint32_t serial, const std::string& token);
    void AddFingerprint(const uint32_t words[4], uint32_t serial, const std::string& build);
    // Fault switches, one per line (see sim/update_server.py); "" clears them.
    void SetFaults(const std::string& text);
    // A file in the data folder, e.g. a raw answer for the body:NAME fault.
    void WriteFile(const std::string& name, const std::string& bytes);

    // Starts the server; true once its port is known (within 30 s).
    bool Start(double lifetimeSeconds = 120);
    // Starts it speaking https with a fresh self-signed certificate (made
    // with the openssl program); false when that can't be done.
    bool StartTLS(double lifetimeSeconds = 120);
    // Ends the server (SIGTERM, then SIGKILL after 5 s) and reaps it.
    void Stop();

    int Port() const { return port; }
    std::string URL() const; // http://127.0.0.1:PORT/cgi/u (https with TLS)
    const std::string& Root() const { return root; }
    // Every URL requested so far, in order.
    std::vector<std::string> Requests() const;

    // A loopback URL on which nothing listens.
    static std::string DeadURL();
    // "%08X" of a serial number.
    static std::string Hex(uint32_t serial);

private:
    std::string DeviceDir(uint32_t serial);
    bool Launch(double lifetimeSeconds, bool tls);

    std::string root;
    pid_t pid = -1;
    int port = 0;
    bool tls = false;
};

namespace srvtest {

// A temporary folder removed with everything in it at the end of its scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path; }

private:
    std::string path;
};

// Reads a whole file; empty when it can't be read.
std::string ReadWholeFile(const std::string& path);
// Writes a whole file; false on failure.
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// Removes a folder and everything below it.
void RemoveTree(const std::string& path);

} // namespace srvtest

#endif

// The machine-readable report of one run (--json): one JSON document on
// standard output holding what each command found or did, the run's exit
// status and its error lines, so that a script need not parse the console
// texts. Built on the main thread as the commands finish; printed once.
#ifndef UPDATER_APP_JSONREPORT_H
#define UPDATER_APP_JSONREPORT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "link/aDefs.h"
#include "updater/Updater.h"

struct FleetCheck;
struct FleetOutcome;

class JsonReport {
public:
    JsonReport();
    ~JsonReport();
    JsonReport(const JsonReport&) = delete;
    JsonReport& operator=(const JsonReport&) = delete;

    // "help" for a run that showed the usage; the command words otherwise.
    void Help();
    // -N: the chip's identity, or null when it did not answer.
    void Fingerprint(const std::string& port, const ::Fingerprint* fingerprint, uint8_t chip);
    // -G: the build asked for (empty: the latest) and the build stored (0: none).
    void Download(uint32_t serialNumber, const std::string& requested, uint32_t stored);
    // -D: the link type searched, the router (0: a direct search) and the modules.
    void Devices(linkType searched, uint32_t routerSerial, const std::vector<DeviceInfo>& devices);
    // -B (local false) and -L (local true).
    void Builds(uint32_t serialNumber, bool local, const BuildList& builds);
    // -J: the token, empty when the request failed.
    void Token(uint32_t serialNumber, const std::string& token);
    // -U: "update" or "recover", its outcome and what the engine reported.
    void Update(bool recovery, bool ok, const std::string& port, const UpdateReport& report);

    // --check: the modules with their state (JsonFleetReport.cpp).
    void Check(const FleetCheck& check);
    // -U --all: what became of each module.
    void UpdateAll(const FleetOutcome& outcome);
    // --history: the device's records as read, oldest first.
    void History(uint32_t serialNumber, const std::vector<nlohmann::ordered_json>& entries, unsigned skipped);

    // The whole document, closed by a line end.
    std::string Text(int exitStatus, const std::vector<std::string>& errors) const;

    // One module as the report shows it (also for tests).
    static nlohmann::ordered_json Device(const DeviceInfo& device);

private:
    std::unique_ptr<nlohmann::ordered_json> doc;
};

#endif

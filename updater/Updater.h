// The update engine: one Updater per run carries out every command against
// modules, the local store and the update server. It holds no connection
// between commands; each command opens the store anew, connects, works and
// disconnects before it returns. All user messages go through the display.
#ifndef UPDATER_UPDATER_UPDATER_H
#define UPDATER_UPDATER_UPDATER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/UpdaterDisplayInterface.h"
#include "link/aDefs.h"

class BirdFile;
class DeviceLock;
struct FleetCheck;
class UpdaterStore;

// One found module. The linkSpec part says how it was reached; module and
// router are replaced by the module's own answers when its version is read.
struct DeviceInfo : public linkSpec {
    DeviceInfo() : linkSpec() {}
    explicit DeviceInfo(const linkSpec& spec) : linkSpec(spec) {}

    uint16_t networkAddress = 0; // address on the router's I2C network (network scan only)
    uint32_t buildNumber = 0;    // 0 when the query failed
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;       // aDefs_GetModelName(model)
    std::string deviceName;      // the module's own name, up to 32 bytes
    uint32_t error = 0;          // aErr of the first failing query, 0 when all answered
};

// A chip's 128-bit identity as read from its boot ROM or the recovery
// loader; printed in word order. All zero before a read.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

// What an update found when it read the module back after the reboot.
struct UpdateVerification {
    bool reached = false;  // the module answered in time
    bool matches = false;  // its build and version are the file's
    uint32_t build = 0;    // build the module reports (0: not reached)
    std::string version;   // version the module reports, "major.minor.patch"
};

// How long an update waits for the module to answer after its reboot.
const uint32_t VERIFY_TIMEOUT_MS = 15000;

// Build list: build text (decimal build number) to version text.
typedef std::pair<std::string, std::string> BuildEntry;
typedef std::map<std::string, std::string> BuildList;

// What the last Update_Firmware or Recover_Firmware did, for reports that
// scripts read. Reset at the start of each.
struct UpdateReport {
    uint32_t serialNumber = 0;
    uint32_t build = 0;       // build installed (the file's own build for -f)
    std::string birdFile;     // path of the BIRD file installed
    std::string version;      // firmware version the file carries
    uint64_t bytes = 0;       // firmware bytes written, once the transfer succeeded
    double seconds = 0;       // the whole command
    bool written = false;     // the module's loader was started: its memory may have changed
    bool readBack = false;    // the module answered after its reboot:
    std::string versionAfter; //   the version it reports then
    uint32_t buildAfter = 0;  //   and its build
};

// Chip kinds that Get_Fingerprint leaves in Updater::chip.
enum : uint8_t {
    CHIP_UNKNOWN = 0,
    CHIP_IMXRT1050 = 1,
    CHIP_LPC17XX = 2,
};

// The placeholder serial number: selects the server's default recovery image
// and is the serial number of a freshly started recovery loader.
const uint32_t PLACEHOLDER_SERIAL_NUMBER = 0xDEADDEAD;

class Updater {
public:
    Updater(const char* url, const char* storage, UpdaterDisplayInterface& display);

    // Chooses the faster UEI-bytes firmware transfer for later updates.
    void Set_UEIBytes_Load(bool enable);

    // The -l text, recorded with every installation, recovery and download
    // in the device's history.
    void Set_History_Message(const std::string& message) { history_message = message; }

    // Modules reachable directly over the given link type; 0 means USB, then TCPIP.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    // Modules behind the router with that serial number, in address order;
    // type 0 finds out over which link type the router is reachable.
    std::vector<DeviceInfo> Discover_CVNetwork_Devices(uint32_t routerSerial, linkType type);

    // Every module found (over type, 0 meaning USB; behind routerSerial when
    // given; only serialNumber when given, over USB then TCPIP for type 0)
    // with its state against the newest build offered (UpdaterFleet.h).
    // Read-only.
    FleetCheck Check_Devices(linkType type, uint32_t routerSerial, uint32_t serialNumber);

    // Installs firmware on a running module. build 0 chooses one; an empty
    // birdFile takes the file from the store; moduleAddress 0 finds the
    // address behind the router; routerSerial 0 is a direct connection;
    // override skips the check that file and module belong together.
    // After the reboot the module is read back: a module that reports
    // another build or version than the file's fails the update; one that
    // cannot be reached in time is reported and the transfer's result kept.
    // A build taken from the store (not a file the user named) is checked
    // against the SHA-256 recorded when it was downloaded; a changed file is
    // refused before anything is sent. Unless the user chose the build or
    // the file, a build older than the module runs is refused before the
    // loader starts.
    bool Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                         uint8_t moduleAddress, uint32_t routerSerial, bool override);
    // The build the next Update_Firmware gets is the latest one a download
    // just stored, not one the user chose: it may not replace newer firmware.
    void Set_Build_From_Download(bool fromDownload) { build_from_download = fromDownload; }
    // What the last Update_Firmware read back from the module (all empty
    // when it did not get that far).
    const UpdateVerification& Last_Update_Verification() const { return last_verification; }
    // How long Update_Firmware waits for the module after its reboot.
    void Set_Verify_Timeout(uint32_t milliseconds) { verify_timeout_ms = milliseconds; }
    // Loads the BIRD file for a device into bird: the given path, or the
    // build's file from the device's folder in the open store (downloading
    // it when allowed). A bird that holds the build's stored file already
    // (read while the build was chosen) is kept. Throws std::runtime_error
    // when the file can't be had.
    void load_bird(const char* operation, UpdaterStore& store, const std::string& birdFile, uint32_t serialNumber,
                   uint32_t build, bool allowDownload, BirdFile& bird);

    // Fetches a build (empty: the latest) into the device's store folder.
    // Returns the build number stored, 0 on failure.
    uint32_t Download_Firmware(uint32_t serialNumber, const std::string& build, bool override,
                               bool noCalibration);
    // The builds the server offers for the device (empty on failure).
    BuildList Get_BuildList(uint32_t serialNumber);
    // The builds the device's store folder holds.
    BuildList Get_BuildListLocal(uint32_t serialNumber);
    // The device's signed feature token (empty on failure).
    std::string Get_JWT(uint32_t serialNumber);

    // Reads a chip's identity from its boot ROM (or the recovery loader);
    // true when the chip answered. Leaves the chip kind in chip. Holds the
    // port's lock in the store meanwhile: while another run works through
    // the port it says so and gives false without opening it.
    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                         const std::string& birdFile, uint32_t baudRate, bool resetAfter);
    // Reinstalls firmware on a module whose firmware no longer runs. Holds
    // the port's lock from the start and the device's lock once its serial
    // number is known; a stop request ends it at the next safe point.
    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baudRate,
                          uint32_t serialNumber, const std::string& birdFile);

    const std::string& GetStorage() const { return storage; }
    uint8_t GetChip() const { return chip; }
    const UpdateReport& GetUpdateReport() const { return update_report; }

private:
    // Get_Fingerprint's work, for a caller that holds the port's lock in the
    // open store. An i.MX identification through a serial port takes usbLock
    // before its loader starts; the caller holds it to the end of the run.
    bool identify_chip(UpdaterStore& store, Fingerprint& fingerprint, const std::string& port,
                       uint32_t serialNumber, const std::string& birdFile, uint32_t baudRate, bool resetAfter,
                       DeviceLock& usbLock);

    std::string url;                  // update server URL
    std::string storage;              // updater directory: the store's root
    UpdaterDisplayInterface& display; // not owned
    uint8_t chip = CHIP_UNKNOWN;      // kind of the chip last identified
    bool imx_loader_started = false;  // the last identification started the i.MX recovery loader
    bool uei_bytes_load = false;
    bool build_from_download = false;
    uint32_t verify_timeout_ms = VERIFY_TIMEOUT_MS;
    std::string history_message;      // the -l text
    UpdateVerification last_verification;
    UpdateReport update_report;       // of the last update or recovery
};

#endif

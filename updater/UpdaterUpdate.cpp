// Firmware update of a running module: choose the BIRD file, patch the
// serial number into it, connect (directly or through a router), check that
// file and module belong together, send loader and firmware with the
// module's upgrade dialogue, and record the transfer in the device's
// settings.
#include "updater/UpdaterUpdate.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Log.h"
#include "link/ModuleReturn.h"
#include "link/SystemClass.h"
#include "link/aVersion.h"
#include "server/UpdateServerRequest.h"
#include "store/DeviceLock.h"
#include "store/Sha256.h"
#include "store/UpdaterStore.h"
#include "store/aDirectory.h"
#include "transport/discover.h"
#include "transport/unix_time.h"
#include "updater/Updater.h"
#include "updater/StopRequest.h"
#include "updater/StoreAccess.h"
#include "updater/UpdateHistory.h"
#include "updater/UpdaterDiscovery.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterVerify.h"

using Quorvane::Corvestel::Module;
using Quorvane::Corvestel::ModuleReturn;
using Quorvane::Corvestel::ReturnPolicy;
using Quorvane::Corvestel::SystemClass;

namespace {

typedef UpdaterDisplayInterface::Level Level;
const Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

const char* const KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
const char* const KEY_LATEST_TRANSFER = "LATEST_TRANSFER";
const char* const KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";

std::string _bird_name(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

// The server's latest build; 0 (traced) when the text is no build number.
uint32_t _build_from_text(const std::string& text)
{
    uint32_t build = 0;
    if (UpdateServerRequest::ReadBuildNumber(text, build))
        return build;
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
}

// A build recorded in the settings: the leading number of the stored file name.
uint32_t _recorded_build(UpdaterStoreItem& item, const char* key)
{
    int value = item.settings.GetInt(key, 0);
    return value > 0 ? uint32_t(value) : 0;
}

// Times the module's link lost its connection so far (0 without a link).
uint32_t _drop_count(const Module& module)
{
    return ModuleReturn::dropCount(module);
}

// A module that a local network server holds cannot be opened on USB:
// when a server on this host shares it, say so and how to stop it.
bool _report_shared(uint32_t serialNumber, UpdaterDisplayInterface& display)
{
    // Only a module that is on USB and could not be opened is asked about.
    linkSpec* usb = aDiscovery_FindModule(USB, serialNumber, 0);
    if (!usb)
        return false;
    aLinkSpec_Destroy(&usb);
    linkSpec* spec = aDiscovery_FindModule(AETHER, serialNumber, 0);
    if (!spec)
        return false;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
        "Module %08X is held by a server that shares it (corvestel-serve, port %u): stop it first, with "
        "systemctl stop corvestel-serve@%08X or by ending that program, then try again",
        serialNumber, static_cast<unsigned>(spec->p.ipPort), serialNumber);
    aLinkSpec_Destroy(&spec);
    return true;
}

// Connects over USB, then over TCPIP when no USB module has that serial
// number. When neither reaches it and a module's USB node could not be
// opened, that module is named with the fix, and the result is
// aErrPermission.
aErr _connect_direct(Module& module, uint32_t serialNumber, UpdaterDisplayInterface& display)
{
    ReturnPolicy once;
    once.searches = {{USB, serialNumber}, {TCPIP, serialNumber}};
    once.nextOnlyWhenNotFound = true;
    once.reached = [](unsigned, aErr err) { return err == aErrNone; };
    ModuleReturn found(module);
    aErr err = found.await(once);
    if (err != aErrNone && _report_refused_usb(display, found.refusedNodes()))
        err = aErrPermission;
    if (err != aErrNone && err != aErrPermission && _report_shared(serialNumber, display))
        err = aErrBusy;
    return err;
}

// A module that restarts into its loader drops its link a moment after it
// answered LOAD (a USB module leaves the bus and enumerates again), so the
// link is watched for a while before the firmware phase: a drop seen there
// is reconnected. Nothing is sent meanwhile, so a module that stays
// connected sees the same dialogue, only that much later.
bool _restarts_after_load(Module& module, uint32_t dropsBefore, uint32_t waitMs)
{
    uint32_t elapsed = 0;
    if (!ModuleReturn::watchDrop(module, dropsBefore, waitMs, LOADER_RESTART_POLL_MS, &elapsed))
        return false;
    Log::log(DEBUG_Updater, "The module left its link after LOAD (%u ms)\n", unsigned(elapsed));
    return true;
}

// The module restarted into its loader: find it again. The search is over
// USB; a module that was reached over TCPIP is also looked for there.
// Between attempts the bus is watched: a module coming onto it ends the
// pause at once instead of after the whole delay. A module that came back
// with a node this user may not open is named with the fix; once that has
// lasted a few attempts (a node's rights may be set a moment after it
// appears), the search ends. Nodes refused since before the module left are
// not taken for it.
void _reconnect_after_load(UpdaterDisplayInterface& display, Module& module, uint32_t serialNumber,
                           linkType original)
{
    ReturnPolicy policy;
    policy.attempts = CONNECT_ATTEMPTS;
    policy.pauseMs = CONNECT_DELAY_MS;
    policy.pauseAfterLast = true;
    policy.watchBus = true;
    policy.refusedAttempts = CONNECT_REFUSED_ATTEMPTS;
    policy.searches = {{USB, serialNumber}};
    if (original == TCPIP)
        policy.searches.push_back({TCPIP, serialNumber});
    policy.disconnectFirst = true;
    policy.disconnectBeforeConnect = true;
    policy.disconnectOnFailure = true;
    policy.stop = StopRequested;
    policy.onAttempt = [](unsigned attempt) {
        Log::log(DEBUG_Updater, "Reconnecting to device, attempt %u of %u\n", attempt, CONNECT_ATTEMPTS);
    };
    ModuleReturn back(module);
    if (back.await(policy) != aErrNone)
        _report_refused_usb(display, back.refusedNodes());
}

// A BIRD file named on the command line must be a regular file: a FIFO or a
// device would block the loader's open or read for ever.
bool _regular_file(UpdaterDisplayInterface& display, const std::string& path)
{
    struct stat st;
    // A missing file is left to the loader, which reports it as before.
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        display.message(ERROR, "The BIRD file %s is not a regular file", path.c_str());
        return false;
    }
    return true;
}

// (major, minor, patch) of "2.15.7"; false when it is not three numbers.
bool _version_parts(const std::string& text, unsigned parts[3])
{
    char rest = 0;
    return std::sscanf(text.c_str(), "%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &rest) == 3;
}

// A build the user did not choose must not replace newer firmware: the
// versions are compared when both are known, else the builds. A module that
// does not say what it runs is not held up.
bool _not_older(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird, uint32_t build,
                uint32_t serialNumber)
{
    UpdateVerification running;
    if (!_read_back(module, running)) {
        Log::log(DEBUG_Updater, "The module did not say what it runs; no downgrade check\n");
        return true;
    }
    const std::string version = _bird_version(bird);
    const uint32_t fileBuild = bird.GetBuild() ? bird.GetBuild() : build;
    unsigned mine[3] = {0, 0, 0};
    unsigned theirs[3] = {0, 0, 0};
    bool older;
    if (_version_parts(version, mine) && _version_parts(running.version, theirs))
        older = std::lexicographical_compare(mine, mine + 3, theirs, theirs + 3);
    else
        older = fileBuild != 0 && running.build != 0 && fileBuild < running.build;
    if (!older)
        return true;
    display.message(ERROR, "Module [%08X] runs %s (build %u), newer than build %u (%s); give -b %u to install the "
                           "older build",
                    serialNumber, running.version.c_str(), running.build, fileBuild,
                    version.empty() ? "?" : version.c_str(), fileBuild);
    return false;
}

} // namespace

bool _stored_file_intact(UpdaterDisplayInterface& display, const UpdaterStoreItem& item, const std::string& fileName)
{
    const char* recorded = item.settings[UpdaterStore::DigestKey(fileName)];
    if (!recorded || !*recorded) {
        display.message(INFO, "The stored file %s was not downloaded by this program: its origin cannot be checked",
                        fileName.c_str());
        return true;
    }
    std::string digest;
    const std::string path = BuildPath(item.Path().c_str(), fileName.c_str(), static_cast<const char*>(nullptr));
    const aErr err = Sha256_FileHex(path, digest);
    if (err != aErrNone || digest != recorded) {
        Log::log(DEBUG_Updater, "SHA-256 of %s: [%s], recorded [%s] (%d)\n", path.c_str(), digest.c_str(),
                 recorded, int(err));
        display.message(ERROR, "The stored file %s changed since it was downloaded; run -G again", fileName.c_str());
        return false;
    }
    return true;
}

bool _validate_bird(UpdaterDisplayInterface& display, const BirdFile& bird, Module& module, uint32_t serialNumber)
{
    if (bird.block_count == 0)
        return false;
    if (!bird.has_serial_block && !bird.ValidateSerialNumber(serialNumber))
        return false;
    Log::log(DEBUG_Updater, "_validate_bird(): asking the module its serial number and model\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    aErr err = system.getSerialNumber(&moduleSerial);
    if (err != aErrNone || moduleSerial != serialNumber) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", int(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!bird.ValidateModel(name)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)", name, int(err));
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err), aError_GetErrorText(err));
        return err;
    }
    display.message(INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        if (StopRequested()) {
            err = aErrCancel;
            break;
        }
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", number, int(blocks.size()),
                        int(block.length));
        uint16_t chunk = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, &chunk);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err), aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            // A loader with a block missing must not be started.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", int(err), aError_GetErrorText(err));
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", number - 1, int(total));
    display.display_progress(false);

    if (err == aErrNone && StopRequested())
        err = aErrCancel;
    if (err == aErrNone) {
        display.message(INFO, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(ERROR, "Error starting loader [%d, %s]", int(err), aError_GetErrorText(err));
        }
    }
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird, bool indirect,
                        bool ueiBytes, bool* firstFailed)
{
    return _transfer_firmware(display, module, bird.path, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE), indirect,
                              ueiBytes, firstFailed);
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const std::string& path,
                        const std::vector<BirdBlock>& blocks, bool indirect, bool ueiBytes, bool* firstFailed)
{
    if (firstFailed)
        *firstFailed = false;
    UpdaterEntity entity;
    entity.init(&module, 0, true, indirect);
    if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone)
        entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", path.c_str());
    aErr err = aErrNone;
    unsigned number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        for (unsigned attempt = 0; attempt < BLOCK_RETRIES; ++attempt) {
            if (StopRequested()) {
                err = aErrCancel;
                break;
            }
            display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number, unsigned(blocks.size()),
                            int(block.length));
            if (attempt > 0)
                display.message(INFO, "  Retry %d", int(attempt));
            uint16_t chunk = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, &chunk);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err),
                         aError_GetErrorText(err));
                if (firstFailed && number == 1 && attempt == 0)
                    *firstFailed = true;
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, chunk, display);
            if (err == aErrNone || err == aErrCancel)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", int(err), aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", int(number - 1), int(total));
    if (err == aErrNone)
        err = entity.LoaderReboot(display);
    return err;
}

void Updater::load_bird(const char* operation, UpdaterStore& store, const std::string& birdFile,
                        uint32_t serialNumber, uint32_t build, bool allowDownload, BirdFile& bird)
{
    if (!birdFile.empty()) {
        display.message(INFO, "%s from Birdfile: %s", operation, birdFile.c_str());
        if (!_regular_file(display, birdFile))
            throw std::runtime_error("Not a regular file");
        bird = BirdFile(birdFile);
        return;
    }
    UpdaterStoreItem item = store.AddDevice(serialNumber);
    display.message(INFO, "%s firmware with build: %u", operation, build);
    if (!bird.path.empty())
        return;
    try {
        bird = item.ReadBirdFile(_bird_name(build));
        return;
    } catch (const std::runtime_error&) {
        if (!allowDownload)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    bird = item.ReadBirdFile(_bird_name(build));
}

namespace {

// What one update carries from phase to phase: the request, the store and
// the device's folder (locked), the file (read once, its firmware blocks
// listed once) and the module it goes into.
struct UpdateRun {
    UpdateRun(Updater& updater_, UpdaterDisplayInterface& display_, HistoryScope& history_, UpdateReport& report_,
              UpdaterStore& store_, const std::string& birdFile_, uint8_t moduleAddress_)
        : updater(updater_), display(display_), history(history_), report(report_), store(store_),
          birdFile(birdFile_), moduleAddress(moduleAddress_), target(moduleAddress_, 0)
    {
    }

    Updater& updater;
    UpdaterDisplayInterface& display;
    HistoryScope& history;
    UpdateReport& report;
    UpdaterStore& store;
    const std::string& birdFile; // the file the user named; empty: the build's file from the store
    uint8_t moduleAddress;       // 0: found behind the router
    uint32_t serialNumber = 0;
    uint32_t build = 0;          // 0: to be chosen
    uint32_t routerSerial = 0;   // 0: a direct connection
    bool override = false;       // no check that file and module belong together
    bool chosen = false;         // the user chose the build or the file: older firmware may go in
    bool ueiBytes = false;
    UpdaterStoreItem item;       // the device's folder, when known
    bool known = false;
    BirdFile bird;
    std::vector<BirdBlock> firmware;
    Module target;
    linkType original = 0;       // how the module was reached before its loader started
    bool transferred = false;    // the loader phase began: the module's memory may change
    bool loaderStarted = false;
};

// The stored file of a build, read into the run when it is there.
bool _read_stored(UpdateRun& run, uint32_t build)
{
    if (!run.known || !run.item.IsValid())
        return false;
    try {
        run.bird = run.item.ReadBirdFile(_bird_name(build));
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// Without a file named, the build: the one given, else the server's latest
// when it is stored, else the latest download, else the latest transfer.
aErr _choose_build(UpdateRun& run, const std::string& url)
{
    if (!run.birdFile.empty())
        return aErrNone;
    UpdaterDisplayInterface& display = run.display;
    if (run.build == 0) {
        std::string latest;
        std::string firmwareId;
        UpdateServerRequest::QueryBuild(run.serialNumber, latest, firmwareId, url.empty() ? nullptr : url.c_str());
        run.build = _build_from_text(latest);
        if (run.build != 0 && !_read_stored(run, run.build)) {
            run.build = 0;
            display.message(INFO,
                            "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        }
    }
    if (run.build == 0) {
        run.build = _recorded_build(run.item, KEY_LATEST_DOWNLOAD);
        if (run.build != 0)
            display.message(INFO, "Updating with the Latest Download");
    }
    if (run.build == 0) {
        run.build = _recorded_build(run.item, KEY_LATEST_TRANSFER);
        if (run.build != 0)
            display.message(INFO, "Updating with the Latest Transfer");
    }
    if (run.build == 0) {
        display.message(ERROR, "Could not find valid build for this device.");
        return aErrNotFound;
    }
    return aErrNone;
}

// Reads the file (unless the choice of the build read it already) and lists
// its firmware blocks. A build taken from the store must be the file that
// was downloaded.
aErr _load_file(UpdateRun& run)
{
    try {
        run.updater.load_bird("Updating", run.store, run.birdFile, run.serialNumber, run.build, false, run.bird);
    } catch (const std::runtime_error&) {
        run.display.message(ERROR, "Failed to load bird file");
        return aErrIO;
    }
    run.firmware = run.bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    // A file without firmware would "succeed" without installing anything.
    if (run.firmware.empty()) {
        Log::log(DEBUG_Updater, "Error: the bird file holds no firmware block.\n");
        run.display.message(ERROR, "Failed to load bird file");
        return aErrNotFound;
    }
    if (run.birdFile.empty() && !_stored_file_intact(run.display, run.item, _bird_name(run.build)))
        return aErrInvalidOption;
    return aErrNone;
}

// An installation begins: its outcome goes into the device's history. The
// module's serial number goes into the firmware when the file asks for it.
aErr _prepare_file(UpdateRun& run)
{
    run.report.build = run.birdFile.empty() ? run.build : run.bird.GetBuild();
    run.report.birdFile = run.bird.path;
    run.report.version = run.bird.GetVersion();
    run.history.Arm(run.serialNumber);
    run.history.FileSent(run.bird.path);
    if (!run.bird.has_serial_block)
        return aErrNone;
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!run.bird.ReplaceSerialNumber(run.serialNumber)) {
        Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return aErrNone;
}

// The end of an update whose module dialogue failed: a stop request says in
// what state it leaves the module; a failure once the loader phase began is
// said; every other failure was said where it happened.
aErr _dialogue_failed(UpdateRun& run, aErr err)
{
    if (err == aErrCancel && StopRequested()) {
        run.display.message(ERROR, run.loaderStarted
                                       ? "Update stopped: the module is in its loader; run the update again"
                                       : "Update stopped: the module keeps its old firmware; run the update again");
        return err;
    }
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(err));
    // Every transfer failure says so, not only in the trace.
    if (run.transferred)
        run.display.message(ERROR, "Firmware update failed [%d, %s]", int(err), aError_GetErrorText(err));
    return err;
}

// The module behind the router: its address found on the router's network
// when not given, then the router reached directly and the module through it.
aErr _connect_through_router(UpdateRun& run)
{
    UpdaterDisplayInterface& display = run.display;
    if (run.moduleAddress == 0) {
        const std::vector<DeviceInfo> devices = run.updater.Discover_CVNetwork_Devices(run.routerSerial, 0);
        if (devices.empty()) {
            display.message(ERROR, "Unable to find modules on Network");
            return aErrNotFound;
        }
        uint16_t address = 0;
        for (const DeviceInfo& device : devices) {
            if (device.serialNumber == run.serialNumber)
                address = device.networkAddress;
        }
        if (address == 0) {
            display.message(ERROR,
                            "Module address required for indirect firmware update, could not find serial "
                            "number [0x%08X] on network",
                            run.serialNumber);
            return aErrNotFound;
        }
        run.target.setModuleAddress(uint8_t(address));
    }
    // The router's object ends here; the target keeps the shared connection.
    Module router(0, 0);
    aErr status = _network_off(router, display);
    if (status != aErrNone)
        return _dialogue_failed(run, status);
    status = _connect_direct(router, run.routerSerial, display);
    if (status != aErrNone) {
        display.message(ERROR, "Failed to connect to link module [%08X]", run.routerSerial);
        return status;
    }
    status = run.target.connectThroughLinkModule(&router);
    if (status != aErrNone) {
        display.message(ERROR, "Failed to connect to module [%08X]", run.serialNumber);
        return _dialogue_failed(run, status);
    }
    return aErrNone;
}

// Connects to the module, directly or through the router.
aErr _connect_target(UpdateRun& run)
{
    aErr status = _network_off(run.target, run.display);
    if (status != aErrNone)
        return _dialogue_failed(run, status);
    if (run.routerSerial != 0)
        return _connect_through_router(run);
    status = _connect_direct(run.target, run.serialNumber, run.display);
    if (status != aErrNone) {
        run.display.message(ERROR, "Failed to connect to module [%08X]", run.serialNumber);
        return _dialogue_failed(run, status);
    }
    return aErrNone;
}

// What the module runs goes into the history; then file and module must
// belong together, and a build the user did not choose may not be older.
aErr _check_module(UpdateRun& run)
{
    DeviceInfo before;
    const uint32_t buildBefore = _get_build_number(run.target);
    if (_get_version(run.target, before) == aErrNone)
        run.history.Before(std::to_string(before.versionMajor) + "." + std::to_string(before.versionMinor) + "." +
                               std::to_string(before.versionPatch),
                           buildBefore);
    if (!run.override && !_validate_bird(run.display, run.bird, run.target, run.serialNumber)) {
        run.display.message(ERROR, "Birdfile failed validation");
        return aErrInvalidOption;
    }
    if (!run.chosen && !_not_older(run.display, run.target, run.bird, run.build, run.serialNumber))
        return aErrVersion;
    if (StopRequested())
        return _dialogue_failed(run, aErrCancel);
    return aErrNone;
}

// Sends the loader and starts it. A module that restarts into its loader
// leaves its link a moment later: it is found again before the firmware.
aErr _loader_phase(UpdateRun& run)
{
    run.transferred = true;
    run.report.written = true;
    linkSpec spec{};
    run.original = run.target.getLinkSpecifier(&spec) == aErrNone ? spec.type : 0;
    // A stream that connected again by itself after LOAD also means the
    // module restarted into its loader.
    const uint32_t drops = _drop_count(run.target);
    const aErr status = _transfer_loader(run.display, run.target, run.bird);
    if (status != aErrNone)
        return _dialogue_failed(run, status);
    run.loaderStarted = true;
    const uint32_t watch = run.original == TCPIP ? LOADER_RESTART_WAIT_SOCKET_MS : LOADER_RESTART_WAIT_MS;
    if (_restarts_after_load(run.target, drops, watch))
        _reconnect_after_load(run.display, run.target, run.serialNumber, run.routerSerial == 0 ? run.original : 0);
    return aErrNone;
}

// Sends the firmware and reboots the module. A module that restarted into
// its loader after the watch was over dropped its link while the first
// PREPARE waited in vain. Found again, it gets the firmware phase from the
// start, once.
aErr _firmware_phase(UpdateRun& run)
{
    const bool indirect = run.routerSerial != 0;
    const uint32_t dropsBefore = _drop_count(run.target);
    bool firstFailed = false;
    aErr status = _transfer_firmware(run.display, run.target, run.bird.path, run.firmware, indirect, run.ueiBytes,
                                     &firstFailed);
    if (firstFailed && status != aErrCancel && _drop_count(run.target) != dropsBefore && !StopRequested()) {
        Log::log(DEBUG_Updater, "The module restarted after the watch; firmware phase again\n");
        _reconnect_after_load(run.display, run.target, run.serialNumber, indirect ? 0 : run.original);
        status = _transfer_firmware(run.display, run.target, run.bird.path, run.firmware, indirect, run.ueiBytes);
    }
    return status == aErrNone ? aErrNone : _dialogue_failed(run, status);
}

// Reads the module back after its reboot: one that runs another build or
// version than the file's fails the update.
aErr _verify_phase(UpdateRun& run, uint32_t timeoutMs, UpdateVerification& verification)
{
    const bool taken = _verify_update(run.display, run.target, run.bird, run.serialNumber, run.routerSerial != 0,
                                      timeoutMs, verification);
    run.report.readBack = verification.reached;
    run.report.versionAfter = verification.version;
    run.report.buildAfter = verification.build;
    if (verification.reached)
        run.history.After(verification.version, verification.build);
    return taken ? aErrNone : aErrVersion;
}

// The transfer goes into the device's settings, the report and the history.
void _record_transfer(UpdateRun& run, aMSTicks start)
{
    const std::string transferredFile = run.birdFile.empty() ? _bird_name(run.build) : run.birdFile;
    if (!run.known)
        run.known = run.store.FindDevice(run.serialNumber, &run.item);
    if (run.known) {
        run.item.settings.Add(KEY_LATEST_TRANSFER, transferredFile);
        run.item.settings.Add(KEY_LAST_TRANSFER_DATE, KeyValueStore::TimeStamp());
        if (!run.item.settings.Save())
            Log::log(DEBUG_Updater, "Error: could not save the settings of %08X.\n", run.serialNumber);
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    for (const BirdBlock& block : run.firmware)
        run.report.bytes += block.length;
    run.report.seconds = double(aTime_MSElapsed(start)) / 1000.0;
    run.display.message(INFO, "Update time: %.4f sec", run.report.seconds);
    if (!run.history.HasAfter())
        run.history.After(run.report.version, run.report.build);
    run.history.Succeeded();
}

} // namespace

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                              uint8_t moduleAddress, uint32_t routerSerial, bool override)
{
    last_verification = UpdateVerification();
    update_report = UpdateReport();
    update_report.serialNumber = serialNumber;
    // With -b or -f the user chose what to install, older or not.
    const bool chosen = !birdFile.empty() || (build != 0 && !build_from_download);
    build_from_download = false;
    if (serialNumber == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store = create_store(display, storage, "Update_Firmware");
    if (!store)
        return false;
    // One run at a time per device: a second one would interleave its
    // dialogue with this one's.
    DeviceLock lock;
    // Declared after the lock: its record is written while the lock is held.
    HistoryScope history(display, storage, "update", history_message);
    if (!lock_device(display, *store, serialNumber, lock))
        return false;
    UpdateRun run(*this, display, history, update_report, *store, birdFile, moduleAddress);
    run.serialNumber = serialNumber;
    run.build = build;
    run.routerSerial = routerSerial;
    run.override = override;
    run.chosen = chosen;
    run.ueiBytes = uei_bytes_load;
    run.known = store->FindDevice(serialNumber, &run.item);
    const aMSTicks start = aTime_GetMSTicks();

    aErr err = _choose_build(run, url);
    if (err == aErrNone)
        err = _load_file(run);
    if (err == aErrNone)
        err = _prepare_file(run);
    if (err == aErrNone)
        err = _connect_target(run);
    if (err == aErrNone)
        err = _check_module(run);
    if (err == aErrNone)
        err = _loader_phase(run);
    if (err == aErrNone)
        err = _firmware_phase(run);
    if (err == aErrNone)
        err = _verify_phase(run, verify_timeout_ms, last_verification);
    if (err == aErrNone)
        _record_transfer(run, start);
    return err == aErrNone;
}

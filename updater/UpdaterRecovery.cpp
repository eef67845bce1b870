// Recovery and fingerprint: identifies a chip through its boot ROM (LPC17xx
// serial ISP, or i.MX RT1050 serial download with a loader that answers on
// USB), asks the update server which device and build belong to it, and
// writes the firmware straight into the LPC's flash or hands it to the
// i.MX loader with the device loader protocol.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Log.h"
#include "link/Module.h"
#include "link/ModuleReturn.h"
#include "link/SystemClass.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/NXPSerial.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader_unix.h"
#include "server/UpdateServerRequest.h"
#include "store/BirdFile.h"
#include "store/DeviceLock.h"
#include "store/UpdaterStore.h"
#include "transport/unix_time.h"
#include "updater/StopRequest.h"
#include "updater/StoreAccess.h"
#include "updater/UpdateHistory.h"
#include "updater/Updater.h"
#include "updater/UpdaterDiscovery.h"
#include "updater/UpdaterUpdate.h"

using Quorvane::Corvestel::Module;
using Quorvane::Corvestel::SystemClass;

namespace {

typedef UpdaterDisplayInterface::Level Level;
const Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Option of the system entity whose four values are the chip's identifier words.
const uint8_t systemUniqueIdentifier = 39;
const uint32_t LPC_FINGERPRINT_BAUD = 115200;
const uint32_t PIECE_SIZE = 4096;
const uint32_t LPC_LAST_SECTOR = 29;

uint32_t _be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Why the port cannot carry a boot ROM dialogue, as one line naming the port
// and the fix; empty when it opens as a terminal (or is the USB transport).
std::string _port_problem(const std::string& port)
{
    if (port == "USB")
        return "";
    int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT || e == ENXIO || e == ENODEV)
            return "Serial port " + port + " does not exist: check the device name and the cable";
        if (e == EACCES || e == EPERM)
            return "Permission denied on serial port " + port +
                   ": add your user to the dialout group (sudo usermod -aG dialout $USER) and log in again";
        if (e == EBUSY)
            return "Serial port " + port + " is busy: close the program that holds it";
        return "Cannot open serial port " + port + ": " + std::strerror(e);
    }
    bool terminal = isatty(fd) != 0;
    close(fd);
    if (!terminal)
        return port + " is not a serial port (not a terminal): give the device of the chip's serial line";
    return "";
}

// Why the i.MX boot ROM's HID device did not open, as one line naming the
// node and the fix; empty when its node opens.
std::string _hid_rom_problem()
{
    char id[64];
    std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X", unsigned(IMX1050::VID), unsigned(IMX1050::PID));
    bool found = false;
    std::string problem;
    if (DIR* dir = opendir("/sys/class/hidraw")) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.compare(0, 6, "hidraw") != 0)
                continue;
            std::ifstream in("/sys/class/hidraw/" + name + "/device/uevent");
            std::string uevent((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (uevent.find(id) == std::string::npos)
                continue;
            found = true;
            std::string node = "/dev/" + name;
            int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                close(fd);
                continue;
            }
            if (errno == EACCES || errno == EPERM)
                problem = "Permission denied on " + node +
                          " (the i.MX boot ROM, USB 1FC9:0130): install the udev rules 70-corvestel.rules or add "
                          "your user to the plugdev group, then plug the device in again";
            else
                problem = "Cannot open " + node + " (the i.MX boot ROM, USB 1FC9:0130): " + std::strerror(errno);
        }
        closedir(dir);
    }
    if (!found)
        return "No i.MX boot ROM (USB 1FC9:0130) found: connect the module with its chip in serial download mode";
    return problem;
}

bool _lpc_fingerprint(const std::string& port, uint32_t baudRate, Fingerprint& fingerprint)
{
    NXPSerialClass isp;
    aErr err = isp.Connect(port.c_str(), baudRate);
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", int(err));
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Sync();
    if (err != aErrNone) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n", int(err));
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; ++i)
        fingerprint.words[i] = isp.DeviceID()[i];
    return true;
}

// Writes the loader blocks of the file into the i.MX's RAM through its boot
// ROM and starts the loader.
//   aErrNone            loader started (the ROM took the jump)
//   aErrNotReady        the ROM's transport did not open
//   aErrConnection      a loader block was not taken
//   aErrCancel          a stop was asked for; the loader was not started
//   aErrPermission      the chip's security is closed and the loader is not
//                       signed for it: the ROM refused to run it
//   aErrInitialization  the ROM answered the jump with an error and did not
//                       run the loader
aErr _transfer_recovery_loader(const BirdFile& bird, const std::string& port)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    SDPLoader loader;
    SDPLoader_Interface* transport = nullptr;
    if (port == "USB")
        transport = new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
    else
        transport = new Serial_SDPLoader(port);
    loader.setLoader(transport);
    loader.setStopCheck(StopRequested);
    if (loader.init() != SDPLoader::SDP_OK)
        return aErrNotReady;

    int number = 0;
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_LOADER)) {
        if (block.length >= 4) {
            uint32_t address = _be32(block.data);
            std::vector<uint8_t> image(block.data + 4, block.data + block.length);
            Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", number, image.size(), int(address));
            const int written = loader.writeLoader(image, address);
            if (written == SDPLoader::SDP_STOPPED)
                return aErrCancel;
            if (written != SDPLoader::SDP_OK)
                return aErrConnection;
        }
        ++number;
    }
    uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
    std::vector<BirdBlock> entries = bird.FindBlocks(BirdFile::BLOCK_ENTRY_ADDRESS);
    if (!entries.empty() && entries[0].length >= 4)
        start = _be32(entries[0].data);
    switch (loader.startLoader(start)) {
    case SDPLoader::SDP_REFUSED:
        return aErrPermission;
    case SDPLoader::SDP_JUMP_FAILED:
        return aErrInitialization;
    default:
        return aErrNone;
    }
}

// Looks for a freshly started i.MX loader on USB: it answers under the
// placeholder serial number until it has been given its own, so that one is
// tried first and then serialNumber. Up to CONNECT_ATTEMPTS rounds, 1000 ms
// apart; false when it did not come (or a stop was asked for).
bool _connect_loader(Module& module, uint32_t serialNumber)
{
    Quorvane::Corvestel::ReturnPolicy policy;
    policy.attempts = CONNECT_ATTEMPTS;
    policy.pauseMs = CONNECT_DELAY_MS;
    policy.searches = {{USB, PLACEHOLDER_SERIAL_NUMBER}};
    if (serialNumber != PLACEHOLDER_SERIAL_NUMBER)
        policy.searches.push_back({USB, serialNumber});
    policy.stop = StopRequested;
    Quorvane::Corvestel::ModuleReturn(module).await(policy);
    return module.isConnected();
}

// Takes the lock of a port's folder in the store; busy is the line (naming
// the port with %s) for a port another run holds.
bool _lock_port_folder(UpdaterDisplayInterface& display, UpdaterStore& store, const std::string& port,
                       DeviceLock& lock, const char* busy)
{
    std::string folder;
    try {
        folder = store.AddPort(port);
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Could not lock the port %s: %s", port.c_str(), e.what());
        return false;
    }
    const aErr err = lock.TryLock(folder);
    if (err == aErrBusy) {
        display.message(ERROR, busy, port.c_str());
        return false;
    }
    if (err != aErrNone) {
        display.message(ERROR, "Could not lock the store folder %s [%d, %s]", folder.c_str(), int(err),
                        aError_GetErrorText(err));
        return false;
    }
    return true;
}

// One run at a time per boot ROM port, taken before the port is opened: a
// second dialogue on the same line would garble both.
bool _lock_port(UpdaterDisplayInterface& display, UpdaterStore& store, const std::string& port, DeviceLock& lock)
{
    return _lock_port_folder(display, store, port, lock,
                             "Device on port %s is busy: another Updater is working with it; try again when it is "
                             "done");
}

// The USB side of an i.MX recovery, for a chip whose ROM answers on a serial
// line: held from before its loader starts to the end of the run.
bool _lock_usb_loader(UpdaterDisplayInterface& display, UpdaterStore& store, DeviceLock& lock)
{
    return _lock_port_folder(display, store, "USB", lock,
                             "The recovery loader answers on %s, where another Updater is recovering a chip; try "
                             "again when it is done");
}

// The file whose loader identifies an i.MX chip: the one named, else the
// device's latest download, fetched when the store has no folder for the
// device (the placeholder serial number asks the server for its default
// recovery image). A stored file must be the one that was downloaded.
aErr _recovery_loader_file(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                           uint32_t serialNumber, const std::string& birdFile, BirdFile& bird)
{
    UpdaterStoreItem item;
    bool found = store.FindDevice(serialNumber, &item);
    std::string fileName;
    if (!birdFile.empty()) {
        if (serialNumber == PLACEHOLDER_SERIAL_NUMBER) {
            display.message(ERROR, "Add serial number or remove the bird filename to use a default recovery image.");
            return aErrParam;
        }
    } else if (!found) {
        display.mute_messages(true);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        uint32_t build = updater.Download_Firmware(serialNumber, "", false, false);
        if (build != 0) {
            fileName = std::to_string(build) + ".bird";
            found = store.FindDevice(serialNumber, &item);
        }
        display.mute_messages(false);
    } else {
        fileName = item.settings.GetString("LATEST_DOWNLOAD", "");
    }
    try {
        if (!birdFile.empty())
            bird = BirdFile(birdFile);
        else if (found && !fileName.empty() && _stored_file_intact(display, item, fileName))
            bird = item.ReadBirdFile(fileName);
        else if (found && !fileName.empty())
            return aErrInvalidOption;
        else
            throw std::runtime_error("No recovery loader for " + UpdaterStore::FolderName(serialNumber));
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        return aErrNotFound;
    }
    return aErrNone;
}

// Hands the file's loader to the chip's boot ROM and starts it; a failure
// is said with its reason when it can be told. Every recovery loader answers
// on USB as the same placeholder module: while one runs, a second one
// started from another port could be taken for it, so a chip on a serial
// port takes usbLock first (a chip's own ROM on USB holds that lock already).
aErr _start_recovery_loader(UpdaterDisplayInterface& display, UpdaterStore& store, const std::string& port,
                            const BirdFile& bird, DeviceLock& usbLock)
{
    if (port != "USB" && !_lock_usb_loader(display, store, usbLock))
        return aErrBusy;
    const aErr transferred = _transfer_recovery_loader(bird, port);
    if (transferred == aErrNone || transferred == aErrCancel)
        return transferred;
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    // The ROM's device did not open: say why when it can be told.
    std::string problem = transferred == aErrNotReady && port == "USB" ? _hid_rom_problem() : "";
    if (transferred == aErrPermission)
        problem = "The chip's security is closed: it runs only signed images, and this recovery loader is not "
                  "signed for it";
    else if (transferred == aErrInitialization)
        problem = "The chip's boot ROM did not start the recovery loader: the file holds no image it can "
                  "start at the loader's start address";
    if (!problem.empty())
        display.message(ERROR, "%s", problem.c_str());
    return transferred;
}

// Reads the chip's identity from the recovery loader once it answers on
// USB; resetAfter restarts the chip afterwards.
bool _read_loader_identity(UpdaterDisplayInterface& display, uint32_t serialNumber, Fingerprint& fingerprint,
                           bool resetAfter)
{
    Module module(0, uint8_t(0));
    if (_network_off(module, display) != aErrNone)
        return false;
    if (!_connect_loader(module, serialNumber)) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    bool ok = true;
    for (uint8_t j = 0; j < 4 && ok; ++j) {
        uint32_t word = 0;
        if (system.getUEI32(systemUniqueIdentifier, j, &word) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", int(j));
            ok = false;
        } else {
            fingerprint.words[3 - j] = word;
        }
    }
    if (ok && resetAfter)
        system.reset();
    module.disconnect();
    return ok;
}

// loaderStarted tells whether the chip was left running the recovery loader.
bool _imx_fingerprint(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                      const std::string& port, uint32_t serialNumber, const std::string& birdFile,
                      Fingerprint& fingerprint, bool resetAfter, bool& loaderStarted, DeviceLock& usbLock)
{
    loaderStarted = false;
    if (serialNumber == 0)
        serialNumber = PLACEHOLDER_SERIAL_NUMBER;
    BirdFile bird;
    if (_recovery_loader_file(display, updater, store, serialNumber, birdFile, bird) != aErrNone)
        return false;
    if (_start_recovery_loader(display, store, port, bird, usbLock) != aErrNone)
        return false;
    loaderStarted = true;
    return _read_loader_identity(display, serialNumber, fingerprint, resetAfter);
}

// The line for a recovery that ends on a stop request: where the chip was
// left and what brings it back. An LPC's boot ROM takes the next run as it
// is; an i.MX ROM may be inside a file, and its loader runs from RAM, so
// that chip needs a reset first.
bool _recovery_stopped(UpdaterDisplayInterface& display, uint8_t chip, bool loaderStarted)
{
    if (chip != CHIP_IMXRT1050)
        display.message(ERROR, "Recovery stopped: the chip is in its boot ROM; run the recovery again");
    else if (!loaderStarted)
        display.message(ERROR, "Recovery stopped: the chip is in its boot ROM; reset it and run the recovery again");
    else
        display.message(ERROR,
                        "Recovery stopped: the chip runs the recovery loader; reset it and run the recovery again");
    return false;
}

bool _imx_recovery(UpdaterDisplayInterface& display, const BirdFile& bird, uint32_t serialNumber, bool ueiBytes)
{
    Module module(0, uint8_t(0));
    aErr err = _network_off(module, display);
    if (err == aErrNone) {
        _connect_loader(module, serialNumber);
        if (!module.isConnected() && StopRequested())
            return _recovery_stopped(display, CHIP_IMXRT1050, true);
        if (!module.isConnected()) {
            display.message(ERROR, "Could not connect to device");
            return false;
        }
        // The loader answers the firmware transfer and ends with its reboot.
        err = _transfer_firmware(display, module, bird, false, ueiBytes);
    }
    module.disconnect();
    if (err == aErrCancel && StopRequested())
        return _recovery_stopped(display, CHIP_IMXRT1050, true);
    if (err != aErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}

// Opens the LPC's boot ROM and makes its whole flash writable and empty.
bool _lpc_erase(NXPSerialClass& isp, const std::string& port, uint32_t baudRate)
{
    if (isp.Connect(port.c_str(), baudRate) != aErrNone) {
        Log::log(DEBUG_Network_100, "Could not connect to %s\n", port.c_str());
        return false;
    }
    Log::log(DEBUG_APP, "\n\tUnlock Memory:\n");
    if (isp.Unlock() != aErrNone) {
        Log::log(DEBUG_APP, "Could not unlock\n");
        return false;
    }
    Log::log(DEBUG_APP, "\n\tPrepare ALL memory for update:\n");
    if (isp.Prepare(0, LPC_LAST_SECTOR) != aErrNone) {
        Log::log(DEBUG_APP, "Could not prepare\n");
        return false;
    }
    Log::log(DEBUG_APP, "\n\tErase all memory before update:\n");
    if (isp.Erase(0, LPC_LAST_SECTOR) != aErrNone) {
        Log::log(DEBUG_APP, "Could not erase\n");
        return false;
    }
    return true;
}

// One piece of an image into flash: into the ROM's RAM buffer, then copied
// to its sectors.
bool _lpc_write_piece(NXPSerialClass& isp, const uint8_t* data, uint32_t piece, uint32_t destination)
{
    Log::log(DEBUG_APP, "Transferring firmware %d bytes to address 0x%08X\n", int(piece), destination);
    Log::log(DEBUG_APP, "\t Write %d bytes to address 0x%08X\n", int(piece), NXPSerialClass::WRITE_ADDRESS);
    // The ROM takes whole words: a ragged tail goes out padded with the
    // erased-flash value.
    std::vector<uint8_t> staged(data, data + piece);
    while (staged.size() % 4)
        staged.push_back(0xFF);
    if (isp.Write(NXPSerialClass::WRITE_ADDRESS, uint32_t(staged.size()), staged.data()) != aErrNone) {
        Log::log(DEBUG_APP, "\t Write to RAM failed\n");
        return false;
    }
    uint32_t first = NXPSerialClass::SectorFromAddress(destination);
    uint32_t last = NXPSerialClass::SectorFromAddress(destination + piece - 1);
    Log::log(DEBUG_APP, "\t Prepare to copy to sector(s) %d to %d\n", int(first), int(last));
    if (isp.Prepare(first, last) != aErrNone) {
        Log::log(DEBUG_APP, "\t Prepare failed\n");
        return false;
    }
    uint32_t copy = NXPSerialClass::CopyLength(piece);
    Log::log(DEBUG_APP, "\t Copy %d bytes from %08X to %08X\n", int(copy), NXPSerialClass::WRITE_ADDRESS,
             destination);
    if (isp.CopyToFlash(destination, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
        Log::log(DEBUG_APP, "\t Transfer to flash failed\n");
        return false;
    }
    return true;
}

// One firmware image into flash, piece by piece with the progress shown.
//   aErrNone  written; aErrCancel  a stop was asked for; aErrIO  a piece failed
aErr _lpc_write_image(UpdaterDisplayInterface& display, NXPSerialClass& isp, const uint8_t* image, uint32_t size,
                      uint32_t destination)
{
    display.display_progress(true);
    Log::log(DEBUG_APP, "Transferring firmware block: %d bytes to address 0x%08X\n", int(size), destination);
    uint32_t done = 0;
    aErr err = aErrNone;
    while (done < size && err == aErrNone) {
        // Between pieces no flash write is under way: a safe place to stop.
        if (StopRequested()) {
            err = aErrCancel;
            break;
        }
        uint32_t piece = size - done < PIECE_SIZE ? size - done : PIECE_SIZE;
        if (!_lpc_write_piece(isp, image + done, piece, destination)) {
            err = aErrIO;
            break;
        }
        destination += piece;
        done += piece;
        display.update_progress(double(done) / double(size), nullptr);
    }
    display.display_progress(false);
    return err;
}

bool _lpc_recovery(UpdaterDisplayInterface& display, const BirdFile& bird, const std::string& port, uint32_t baudRate)
{
    NXPSerialClass isp;
    if (!_lpc_erase(isp, port, baudRate))
        return false;
    isp.SetEcho(false);
    Log::log(DEBUG_APP, "Updating device firmware: \n");
    Log::log(DEBUG_APP, "Transferring firmware to device from [%s]\n", bird.path.c_str());

    std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    int shownCount = int(blocks.size()) - 1;
    int number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        if (block.length < 4)
            continue;
        uint32_t size = block.length - 4;
        // A 4-byte image marks the end of the firmware.
        if (size == 4)
            break;
        display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number, shownCount, int(size));
        const aErr err = _lpc_write_image(display, isp, block.data + 4, size, block.address);
        if (err == aErrCancel)
            return _recovery_stopped(display, CHIP_LPC17XX, false);
        if (err != aErrNone)
            return false;
        total += size;
        ++number;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", shownCount, int(total));

    aErr err = isp.SetEcho(true);
    if (err != aErrNone) {
        // The image is in flash but the chip was not started: not a success.
        display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", int(err),
                        aError_GetErrorText(err));
        return false;
    }
    display.message(INFO, "Rebooting Device");
    isp.ExecuteFrom(0);
    return true;
}

// What one recovery carries from phase to phase.
struct RecoveryRun {
    UpdaterDisplayInterface& display;
    UpdaterStore& store;
    HistoryScope& history;
    UpdateReport& report;
    const std::string& birdFile; // the file the user named; empty: the server's build for the chip
    uint32_t serialNumber;
    uint32_t build;
    BirdFile bird;
};

// Without a file named, the server says from the chip's identity which
// device it is and which build it gets (unless one was given).
aErr _recovery_target(RecoveryRun& run, const Fingerprint& fingerprint, const std::string& url)
{
    if (!run.birdFile.empty()) {
        run.build = 0;
        return aErrNone;
    }
    uint32_t serverSerial = 0, serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serverSerial, serverBuild,
                                              url.empty() ? nullptr : url.c_str())) {
        run.display.message(ERROR, "Failed to retrieve recovery information from Quorvane server");
        return aErrNotFound;
    }
    run.serialNumber = serverSerial;
    if (run.build == 0)
        run.build = serverBuild;
    return aErrNone;
}

// Reads the file (fetching a build the store lacks); a stored one must be
// the file that was downloaded, and one that wants the serial number
// patched in cannot be recovered.
aErr _load_recovery_file(RecoveryRun& run, Updater& updater)
{
    try {
        updater.load_bird("Recovering", run.store, run.birdFile, run.serialNumber, run.build, true, run.bird);
    } catch (const std::runtime_error&) {
        run.display.message(ERROR, "Failed to load bird file");
        return aErrIO;
    }
    if (run.bird.blocks.empty()) {
        run.display.message(ERROR, "Failed to load bird file");
        return aErrNotFound;
    }
    if (run.birdFile.empty()) {
        UpdaterStoreItem item;
        if (!run.store.FindDevice(run.serialNumber, &item) ||
            !_stored_file_intact(run.display, item, std::to_string(run.build) + ".bird"))
            return aErrInvalidOption;
    }
    if (run.bird.has_serial_block) {
        run.display.message(ERROR, "Updater does not support offline recovery");
        return aErrUnimplemented;
    }
    return aErrNone;
}

// Writes the firmware the way the chip takes it: through the i.MX recovery
// loader, or straight into the LPC's flash once decoded with its identity.
// What it installs goes into the report, and its outcome into the history.
bool _write_recovery(RecoveryRun& run, uint8_t chip, const Fingerprint& fingerprint, const std::string& port,
                     uint32_t baudRate, bool ueiBytes)
{
    run.report.serialNumber = run.serialNumber;
    run.report.build = run.build ? run.build : run.bird.GetBuild();
    run.report.birdFile = run.bird.path;
    run.report.version = run.bird.GetVersion();
    bool result = false;
    switch (chip) {
    case CHIP_IMXRT1050:
        result = _imx_recovery(run.display, run.bird, run.serialNumber, ueiBytes);
        break;
    case CHIP_LPC17XX:
        run.bird.DecodeFirmwareBlocks(fingerprint.words);
        result = _lpc_recovery(run.display, run.bird, port, baudRate);
        break;
    default:
        run.display.message(ERROR, "Unknown device");
        break;
    }
    run.report.written = true;
    if (result) {
        for (const BirdBlock& block : run.bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
            run.report.bytes += block.length;
        run.history.After(run.report.version, run.report.build);
        run.history.Succeeded();
    }
    return result;
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                              const std::string& birdFile, uint32_t baudRate, bool resetAfter)
{
    std::unique_ptr<UpdaterStore> store = create_store(display, storage, "_lock_port");
    DeviceLock portLock;
    if (!store || !_lock_port(display, *store, port, portLock))
        return false;
    DeviceLock usbLock;
    return identify_chip(*store, fingerprint, port, serialNumber, birdFile, baudRate, resetAfter, usbLock);
}

bool Updater::identify_chip(UpdaterStore& store, Fingerprint& fingerprint, const std::string& port,
                            uint32_t serialNumber, const std::string& birdFile, uint32_t baudRate, bool resetAfter,
                            DeviceLock& usbLock)
{
    imx_loader_started = false;
    // Neither ROM can answer through a port that does not open: say why.
    std::string problem = _port_problem(port);
    if (!problem.empty()) {
        display.message(ERROR, "%s", problem.c_str());
        return false;
    }
    if (_lpc_fingerprint(port, baudRate, fingerprint)) {
        chip = CHIP_LPC17XX;
        return true;
    }
    chip = CHIP_IMXRT1050;
    return _imx_fingerprint(display, *this, store, port, serialNumber, birdFile, fingerprint, resetAfter,
                            imx_loader_started, usbLock);
}

bool Updater::Recover_Firmware(const std::string& port, uint32_t build, uint32_t baudRate, uint32_t serialNumber,
                               const std::string& birdFile)
{
    aMSTicks start = aTime_GetMSTicks();
    update_report = UpdateReport();
    HistoryScope history(display, storage, "recover", history_message);
    // Held to the end: a second recovery or identification through this
    // port is refused before it opens the port.
    std::unique_ptr<UpdaterStore> store = create_store(display, storage, "_lock_port");
    DeviceLock portLock;
    if (!store || !_lock_port(display, *store, port, portLock))
        return false;
    Fingerprint fingerprint;
    DeviceLock usbLock;
    // The LPC is always identified at 115200 baud; the i.MX loader stays running.
    if (!identify_chip(*store, fingerprint, port, serialNumber, birdFile, LPC_FINGERPRINT_BAUD, false, usbLock)) {
        if (StopRequested())
            return _recovery_stopped(display, chip, imx_loader_started);
        display.message(ERROR, "Could not get Device Identifier");
        return false;
    }
    RecoveryRun run{display, *store, history, update_report, birdFile, serialNumber, build, BirdFile()};
    if (_recovery_target(run, fingerprint, url) != aErrNone || _load_recovery_file(run, *this) != aErrNone)
        return false;
    // The device the firmware is for (when one is named): an update of it
    // must not run at the same time. Taken only now, since fetching the
    // file takes it too.
    DeviceLock deviceLock;
    if (run.serialNumber != 0 && !lock_device(display, *store, run.serialNumber, deviceLock))
        return false;
    // The recovery of a known device begins: its outcome goes into the
    // device's history.
    history.Arm(run.serialNumber);
    history.FileSent(run.bird.path);
    if (StopRequested())
        return _recovery_stopped(display, chip, imx_loader_started);
    const bool result = _write_recovery(run, chip, fingerprint, port, baudRate, uei_bytes_load);
    update_report.seconds = aTime_MSElapsed(start) / 1000.0;
    display.message(INFO, "Update time: %.4f sec", update_report.seconds);
    return result;
}

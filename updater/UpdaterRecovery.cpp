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
bool _lock_port(UpdaterDisplayInterface& display, const std::string& storage, const std::string& port,
                DeviceLock& lock)
{
    std::unique_ptr<UpdaterStore> store = create_store(display, storage, "_lock_port");
    return store && _lock_port_folder(display, *store, port, lock,
                                      "Device on port %s is busy: another Updater is working with it; try again "
                                      "when it is done");
}

// The USB side of an i.MX recovery, for a chip whose ROM answers on a serial
// line: held from before its loader starts to the end of the run.
bool _lock_usb_loader(UpdaterDisplayInterface& display, UpdaterStore& store, DeviceLock& lock)
{
    return _lock_port_folder(display, store, "USB", lock,
                             "The recovery loader answers on %s, where another Updater is recovering a chip; try "
                             "again when it is done");
}

// loaderStarted tells whether the chip was left running the recovery loader.
bool _imx_fingerprint(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                      uint32_t serialNumber, const std::string& birdFile, Fingerprint& fingerprint, bool resetAfter,
                      bool& loaderStarted, DeviceLock& usbLock)
{
    loaderStarted = false;
    std::unique_ptr<UpdaterStore> store = create_store(display, updater.GetStorage(), "_get_fingerprint_imx");
    if (!store)
        return false;
    if (serialNumber == 0)
        serialNumber = PLACEHOLDER_SERIAL_NUMBER;
    UpdaterStoreItem item;
    bool found = store->FindDevice(serialNumber, &item);

    std::string fileName;
    if (!birdFile.empty()) {
        if (serialNumber == PLACEHOLDER_SERIAL_NUMBER) {
            display.message(ERROR, "Add serial number or remove the bird filename to use a default recovery image.");
            return false;
        }
    } else if (!found) {
        display.mute_messages(true);
        Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
        uint32_t build = updater.Download_Firmware(serialNumber, "", false, false);
        if (build != 0) {
            fileName = std::to_string(build) + ".bird";
            found = store->FindDevice(serialNumber, &item);
        }
        display.mute_messages(false);
    } else {
        fileName = item.settings.GetString("LATEST_DOWNLOAD", "");
    }

    BirdFile bird;
    try {
        if (!birdFile.empty())
            bird = BirdFile(birdFile);
        else if (found && !fileName.empty() && _stored_file_intact(display, item, fileName))
            bird = item.ReadBirdFile(fileName);
        else if (found && !fileName.empty())
            return false;
        else
            throw std::runtime_error("No recovery loader for " + UpdaterStore::FolderName(serialNumber));
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }

    // Every recovery loader answers on USB as the same placeholder module:
    // while one runs, a second one started from another port could be
    // taken for it. A chip's own ROM on USB holds that lock already.
    if (port != "USB" && !_lock_usb_loader(display, *store, usbLock))
        return false;
    aErr transferred = _transfer_recovery_loader(bird, port);
    if (transferred == aErrCancel)
        return false;
    if (transferred != aErrNone) {
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
        return false;
    }
    loaderStarted = true;

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

bool _lpc_recovery(UpdaterDisplayInterface& display, const BirdFile& bird, const std::string& port, uint32_t baudRate)
{
    NXPSerialClass isp;
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
        const uint8_t* image = block.data + 4;
        uint32_t size = block.length - 4;
        // A 4-byte image marks the end of the firmware.
        if (size == 4)
            break;
        uint32_t destination = block.address;
        display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number, shownCount, int(size));
        display.display_progress(true);
        Log::log(DEBUG_APP, "Transferring firmware block: %d bytes to address 0x%08X\n", int(size), destination);
        uint32_t done = 0;
        while (done < size) {
            // Between pieces no flash write is under way: a safe place to stop.
            if (StopRequested()) {
                display.display_progress(false);
                return _recovery_stopped(display, CHIP_LPC17XX, false);
            }
            uint32_t piece = size - done < PIECE_SIZE ? size - done : PIECE_SIZE;
            Log::log(DEBUG_APP, "Transferring firmware %d bytes to address 0x%08X\n", int(piece), destination);
            Log::log(DEBUG_APP, "\t Write %d bytes to address 0x%08X\n", int(piece),
                     NXPSerialClass::WRITE_ADDRESS);
            // The ROM takes whole words: a ragged tail goes out padded with
            // the erased-flash value.
            std::vector<uint8_t> staged(image + done, image + done + piece);
            while (staged.size() % 4)
                staged.push_back(0xFF);
            if (isp.Write(NXPSerialClass::WRITE_ADDRESS, uint32_t(staged.size()), staged.data()) != aErrNone) {
                Log::log(DEBUG_APP, "\t Write to RAM failed\n");
                display.display_progress(false);
                return false;
            }
            uint32_t first = NXPSerialClass::SectorFromAddress(destination);
            uint32_t last = NXPSerialClass::SectorFromAddress(destination + piece - 1);
            Log::log(DEBUG_APP, "\t Prepare to copy to sector(s) %d to %d\n", int(first), int(last));
            if (isp.Prepare(first, last) != aErrNone) {
                Log::log(DEBUG_APP, "\t Prepare failed\n");
                display.display_progress(false);
                return false;
            }
            uint32_t copy = NXPSerialClass::CopyLength(piece);
            Log::log(DEBUG_APP, "\t Copy %d bytes from %08X to %08X\n", int(copy), NXPSerialClass::WRITE_ADDRESS,
                     destination);
            if (isp.CopyToFlash(destination, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
                Log::log(DEBUG_APP, "\t Transfer to flash failed\n");
                display.display_progress(false);
                return false;
            }
            destination += piece;
            done += piece;
            display.update_progress(double(done) / double(size), nullptr);
        }
        display.display_progress(false);
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

} // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                              const std::string& birdFile, uint32_t baudRate, bool resetAfter)
{
    DeviceLock portLock;
    if (!_lock_port(display, storage, port, portLock))
        return false;
    DeviceLock usbLock;
    return identify_chip(fingerprint, port, serialNumber, birdFile, baudRate, resetAfter, usbLock);
}

bool Updater::identify_chip(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                            const std::string& birdFile, uint32_t baudRate, bool resetAfter, DeviceLock& usbLock)
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
    return _imx_fingerprint(display, *this, port, serialNumber, birdFile, fingerprint, resetAfter,
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
    DeviceLock portLock;
    if (!_lock_port(display, storage, port, portLock))
        return false;
    Fingerprint fingerprint;
    DeviceLock usbLock;
    // The LPC is always identified at 115200 baud; the i.MX loader stays running.
    if (!identify_chip(fingerprint, port, serialNumber, birdFile, LPC_FINGERPRINT_BAUD, false, usbLock)) {
        if (StopRequested())
            return _recovery_stopped(display, chip, imx_loader_started);
        display.message(ERROR, "Could not get Device Identifier");
        return false;
    }
    if (birdFile.empty()) {
        uint32_t serverSerial = 0, serverBuild = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serverSerial, serverBuild,
                                                  url.empty() ? nullptr : url.c_str())) {
            display.message(ERROR, "Failed to retrieve recovery information from Quorvane server");
            return false;
        }
        serialNumber = serverSerial;
        if (build == 0)
            build = serverBuild;
    } else {
        build = 0;
    }

    BirdFile bird;
    try {
        bird = load_bird("Recovering", birdFile, serialNumber, build, true);
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    // A file without any block (the store could not be opened) is no file.
    if (bird.blocks.empty()) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    if (birdFile.empty()) {
        std::unique_ptr<UpdaterStore> store = create_store(display, storage, "Recover_Firmware");
        UpdaterStoreItem item;
        if (!store || !store->FindDevice(serialNumber, &item) ||
            !_stored_file_intact(display, item, std::to_string(build) + ".bird"))
            return false;
    }
    if (bird.has_serial_block) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }
    // The device the firmware is for (when one is named): an update of it
    // must not run at the same time. Taken only now, since fetching the
    // file takes it too.
    DeviceLock deviceLock;
    if (serialNumber != 0) {
        std::unique_ptr<UpdaterStore> store = create_store(display, storage, "Recover_Firmware");
        if (!store)
            return false;
        try {
            if (!lock_device(display, store->AddDevice(serialNumber).Path(), serialNumber, deviceLock))
                return false;
        } catch (const StoreRefused& e) {
            display.message(ERROR, "%s", e.what());
            return false;
        } catch (const std::runtime_error&) {
            display.message(ERROR, "Could not create directory for storing BIRD file");
            return false;
        }
    }
    // The recovery of a known device begins: its outcome goes into the
    // device's history.
    history.Arm(serialNumber);
    history.FileSent(bird.path);
    if (StopRequested())
        return _recovery_stopped(display, chip, imx_loader_started);

    update_report.serialNumber = serialNumber;
    update_report.build = build ? build : bird.GetBuild();
    update_report.birdFile = bird.path;
    update_report.version = bird.GetVersion();

    bool result = false;
    switch (chip) {
    case CHIP_IMXRT1050:
        result = _imx_recovery(display, bird, serialNumber, uei_bytes_load);
        break;
    case CHIP_LPC17XX:
        bird.DecodeFirmwareBlocks(fingerprint.words);
        result = _lpc_recovery(display, bird, port, baudRate);
        break;
    default:
        display.message(ERROR, "Unknown device");
        break;
    }
    update_report.written = true;
    if (result) {
        for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
            update_report.bytes += block.length;
        history.After(update_report.version, update_report.build);
        history.Succeeded();
    }
    update_report.seconds = aTime_MSElapsed(start) / 1000.0;
    display.message(INFO, "Update time: %.4f sec", update_report.seconds);
    return result;
}

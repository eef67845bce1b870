// Steps of the firmware update that run against a connected module: the
// check that a BIRD file and the module belong together, the loader phase
// and the firmware phase. Update_Firmware chains them; each runs on the
// caller's thread against a caller-owned, connected Module.
#ifndef UPDATER_UPDATER_UPDATERUPDATE_H
#define UPDATER_UPDATER_UPDATERUPDATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/UpdaterDisplayInterface.h"
#include "link/Module.h"
#include "store/BirdFile.h"
#include "store/UpdaterStore.h"

// Attempts per firmware block: the first and four retries.
const unsigned BLOCK_RETRIES = 5;
// Reconnection attempts, one second apart (or as soon as a module comes onto
// the USB bus), when the loader restarted the module.
const unsigned CONNECT_ATTEMPTS = 15;
const uint32_t CONNECT_DELAY_MS = 1000;
// Attempts in a row that found the module back with a node this user may
// not open, after which the reconnection gives up.
const unsigned CONNECT_REFUSED_ATTEMPTS = 3;
// How long the link is watched after LOAD for the module's restart, and how
// often. A USB module leaves the bus and the host hears of it late; a module
// on a socket closes its connection as it restarts, seen at once.
const uint32_t LOADER_RESTART_WAIT_MS = 500;
const uint32_t LOADER_RESTART_WAIT_SOCKET_MS = 150;
const uint32_t LOADER_RESTART_POLL_MS = 10;

// A stored build must be the file that was downloaded: true when the
// SHA-256 recorded then matches the file. A file put into the store by hand
// has none and passes, with a line saying its origin cannot be checked; a
// changed one is refused with "The stored file NNNN.bird changed since it
// was downloaded; run -G again".
bool _stored_file_intact(UpdaterDisplayInterface& display, const UpdaterStoreItem& item, const std::string& fileName);

// True when the file may go into this module: it has blocks, its info block
// names this serial number unless the firmware gets the number patched in,
// and the module's serial number and model match the file.
bool _validate_bird(UpdaterDisplayInterface& display, const BirdFile& bird, Quorvane::Corvestel::Module& module,
                    uint32_t serialNumber);

// Sends the loader blocks and starts the loader. A LOAD without answer is
// taken as started.
//   aErrNone  loader running; other: the first failing step's code
aErr _transfer_loader(UpdaterDisplayInterface& display, Quorvane::Corvestel::Module& module, const BirdFile& bird);

// Sends every firmware block (each with up to BLOCK_RETRIES attempts), then
// reboots the module. indirect: the module is reached through a router;
// ueiBytes: use UEI byte transfers when the module has them. firstFailed,
// when given, tells whether the first PREPARE failed (nothing of the
// firmware was sent).
//   aErrNone  written and rebooted; other: the failing block's code
aErr _transfer_firmware(UpdaterDisplayInterface& display, Quorvane::Corvestel::Module& module, const BirdFile& bird,
                        bool indirect, bool ueiBytes, bool* firstFailed = nullptr);
// The same for a file whose firmware blocks are listed already; path names
// it in the trace.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Quorvane::Corvestel::Module& module,
                        const std::string& path, const std::vector<BirdBlock>& blocks, bool indirect, bool ueiBytes,
                        bool* firstFailed = nullptr);

#endif

// Waiting for a module to come onto the USB bus. A module that restarts
// leaves the bus and enumerates again at a new device address; instead of
// sleeping a fixed time before looking for it again, a caller takes a
// snapshot of where our devices are and waits until one shows up elsewhere.
// Only the bus's device list is read: nothing is opened.
#ifndef CORVESTEL_TRANSPORT_CVUSB_ARRIVAL_H
#define CORVESTEL_TRANSPORT_CVUSB_ARRIVAL_H

#include <cstdint>

#include "link/aExport.h"

CORVESTEL_INTERNAL_BEGIN

#define CVUSB_SNAPSHOT_SIZE 128
// A device that just came onto the bus is given this long (ms) before it is
// opened: it answers its control requests a moment after it enumerated.
#define CVUSB_ARRIVAL_SETTLE_MS 50

// The bus locations (bus number and device address) of the devices with
// the modules' vendor id and a module's product id.
struct cvusb_bus_snapshot {
    uint32_t count;
    uint32_t locations[CVUSB_SNAPSHOT_SIZE];
};

// Fills the snapshot with the devices on the bus now (none without libusb).
void cvusb_snapshot_take(cvusb_bus_snapshot* snapshot);

// True as soon as one of our devices is at a location the snapshot does not
// hold; the snapshot then holds the bus as it is. False after timeoutMs
// (the bus's list is read every 20 ms; without libusb the wait still lasts
// timeoutMs), or at once without a snapshot.
bool cvusb_wait_for_arrival(cvusb_bus_snapshot* snapshot, uint32_t timeoutMs);

// True when the node ("/dev/bus/usb/BBB/DDD") lies at a location the
// snapshot does not hold: a device that came onto the bus after the
// snapshot, not one that was there all along. False for another path.
bool cvusb_node_outside(const cvusb_bus_snapshot* snapshot, const char* node);

CORVESTEL_INTERNAL_END

#endif

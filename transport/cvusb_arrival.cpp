#include "transport/cvusb_arrival.h"

#include <algorithm>
#include <cstdio>

#include "transport/cvusb_driver.h"
#include "transport/unix_time.h"

namespace {

const uint32_t LIST_POLL_MS = 20;

// Reads the bus into snapshot; false without libusb or a list.
bool sRead(cvusb_bus_snapshot* snapshot)
{
    snapshot->count = 0;
    libusb_context* context = Corvestel_libusb_context();
    if (!context)
        return false;
    const cvusb_libusb_ops* usb = cvusb_libusb();
    libusb_device** list = nullptr;
    ssize_t count = usb->get_device_list(context, &list);
    if (count < 0)
        return false;
    for (ssize_t i = 0; i < count && snapshot->count < CVUSB_SNAPSHOT_SIZE; i++) {
        if (is_corvestel_device(list[i]))
            snapshot->locations[snapshot->count++] =
                uint32_t(usb->get_bus_number(list[i])) << 8 | usb->get_device_address(list[i]);
    }
    usb->free_device_list(list, 1);
    return true;
}

bool sHolds(const cvusb_bus_snapshot& snapshot, uint32_t location)
{
    return std::find(snapshot.locations, snapshot.locations + snapshot.count, location) !=
           snapshot.locations + snapshot.count;
}

} // namespace

void cvusb_snapshot_take(cvusb_bus_snapshot* snapshot)
{
    if (snapshot)
        sRead(snapshot);
}

bool cvusb_wait_for_arrival(cvusb_bus_snapshot* snapshot, uint32_t timeoutMs)
{
    if (!snapshot)
        return false;
    const aMSTicks start = aTime_GetMSTicks();
    for (;;) {
        cvusb_bus_snapshot now;
        if (!sRead(&now)) {
            // No bus to watch: the caller's pause lasts as long as asked.
            uint32_t elapsed = aTime_MSElapsed(start);
            if (elapsed < timeoutMs)
                aTime_MSSleep(timeoutMs - elapsed);
            return false;
        }
        for (uint32_t i = 0; i < now.count; i++) {
            if (!sHolds(*snapshot, now.locations[i])) {
                *snapshot = now;
                return true;
            }
        }
        // A device that left is forgotten, so that its address coming back
        // counts as an arrival.
        *snapshot = now;
        uint32_t elapsed = aTime_MSElapsed(start);
        if (elapsed >= timeoutMs)
            return false;
        aTime_MSSleep(std::min(LIST_POLL_MS, timeoutMs - elapsed));
    }
}

bool cvusb_node_outside(const cvusb_bus_snapshot* snapshot, const char* node)
{
    unsigned bus = 0, address = 0;
    if (!snapshot || !node || std::sscanf(node, "/dev/bus/usb/%u/%u", &bus, &address) != 2)
        return false;
    return !sHolds(*snapshot, bus << 8 | address);
}

// Module nodes on USB that this user may not open. A search or an open that
// passes over such a node (the device has our vendor id, a module's product
// id and the modules' interface) notes it, so that the caller can name the
// node and say how to grant access. Each thread keeps its own, as errno: a
// search or an open begins by forgetting the last one's, and a caller reads
// them right after its call. No libusb here: the link and the wait for a
// module read them without the USB stack's header.
#ifndef CORVESTEL_TRANSPORT_CVUSB_REFUSALS_H
#define CORVESTEL_TRANSPORT_CVUSB_REFUSALS_H

#include <cstddef>
#include <cstdint>

#include "link/aExport.h"

CORVESTEL_INTERNAL_BEGIN

// A node's path, "/dev/bus/usb/BBB/DDD", with its terminating zero.
#define CVUSB_NODESIZE 32

// Forgets this thread's refusals: a search or an open starts with it.
void cvusb_begin_refusals();
// Notes a refused node (at most 32, each once).
void cvusb_note_refused_node(const char* node);
uint32_t cvusb_refused_count();
// The node of refusal index into node (size bytes); false past the end.
bool cvusb_refused_node(uint32_t index, char* node, size_t size);

CORVESTEL_INTERNAL_END

#endif

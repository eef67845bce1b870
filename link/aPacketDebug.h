// Packet debug log of a link: a ring of the packets recently sent and
// received. Any thread may call these; the link's packet log mutex guards
// the ring, which the receive and send threads fill whenever it exists.
#ifndef CORVESTEL_LINK_APACKETDEBUG_H
#define CORVESTEL_LINK_APACKETDEBUG_H

#include <cstdint>

#include "link/aError.h"
#include "link/aLogger.h"

CORVESTEL_API_BEGIN

// Size of the ring made by the next enable (0 or negative: 65536 bytes).
//   aErrParam  not a link, or size above 0x4000000
//   aErrBusy   the log exists already
aErr aLink_PacketDebug_SetLogSize(uint32_t identifier, int32_t size);

// Creates the log on first use and marks it enabled.
//   aErrParam     not a link
//   aErrResource  the ring or its mutex could not be made
aErr aLink_PacketDebug_Enable(uint32_t identifier);

// Marks the log disabled (the ring stays and keeps filling).
//   aErrParam     not a link
//   aErrNotReady  no log
aErr aLink_PacketDebug_Disable(uint32_t identifier);

// True when the link has a log marked enabled.
bool aLink_PacketDebug_IsEnabled(uint32_t identifier);

// Takes the oldest record; *length holds the buffer's capacity on entry and
// the record's length on return.
//   aErrParam     not a link, or a null argument
//   aErrNotReady  no log
//   aErrNotFound  the log is empty
//   aErrOverrun   buffer too small (the record stays)
aErr aLink_PacketDebug_Read(uint32_t identifier, uint8_t* direction, uint32_t* length, uint8_t* buffer);

// Adds a record (direction aLOG_SENT, aLOG_RECEIVED or aLOG_TEXT).
//   aErrParam     not a link, null bytes, or length above 255
//   aErrNotReady  no log
//   aErrOverrun   the record does not fit in the ring at all
aErr aLink_PacketDebug_Write(uint32_t identifier, uint8_t direction, uint32_t length, const uint8_t* bytes);

CORVESTEL_API_END

#endif

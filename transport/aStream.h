// Byte streams: one record with a table of four operations (get, put, write,
// delete) that each transport fills, plus a read-back ring and record helpers.
// A stream has no lock: one reading thread and one writing thread may use it
// at once (the ring belongs to the reading side); create and destroy belong to
// the owner alone.
#ifndef CORVESTEL_TRANSPORT_ASTREAM_H
#define CORVESTEL_TRANSPORT_ASTREAM_H

#include <cstdint>

#include "link/aError.h"

CORVESTEL_API_BEGIN

#define aSTREAMCHECK 0x4321
#define aSTREAMBUFCHUNK 512

// Transport operations; reference is the transport object given at creation.
// get answers aErrNotReady when no byte is waiting and aErrEOF at the end.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, uint32_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);

// Optional operations a transport adds after creation.
// wait blocks until a byte may be waiting, timeoutMs passes or wake is
// called: aErrNone (read now), aErrNotReady (time-out), other errors as get's.
// wake makes the wait in progress, or the next one, return at once; any
// thread may call it. reconnects counts how often the transport had to open
// its connection again by itself (the peer closed or reset it).
typedef aErr (*aStreamWaitProc)(uint32_t timeoutMs, void* reference);
typedef aErr (*aStreamWakeProc)(void* reference);
typedef uint32_t (*aStreamCountProc)(void* reference);

typedef struct aStream* aStreamRef;

// A new stream over the given operations (any may be null); null when memory
// runs out. The read-back ring is allocated on first use.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference);

// Gives the stream a kernel wait (both procedures, or neither).
// aErrParam: dead stream, or only one of the two.
aErr aStream_SetWaitProcs(aStreamRef stream, aStreamWaitProc wait, aStreamWakeProc wake);

// Marks the stream as a plain byte stream: where one write ends is not seen
// at the other end (a TCP socket, a serial line), so several packets may go
// in one write. Streams are not marked by default (a USB transfer or a
// ZeroMQ frame is one unit to the module). aErrParam: dead stream.
aErr aStream_SetByteStream(aStreamRef stream);
// True for a marked stream; false for a dead one.
bool aStream_IsByteStream(aStreamRef stream);

// Gives the stream its transport's reconnection counter. aErrParam: dead stream.
aErr aStream_SetReconnectCounter(aStreamRef stream, aStreamCountProc count);

// Waits up to timeoutMs for a byte to read, on the reading thread.
// aErrNone: bytes are held in the read-back ring, or the transport has some
// (or was woken). aErrNotReady: the time passed. aErrUnimplemented: the
// transport cannot wait (its reads wait by themselves, or never do).
// aErrParam: dead stream.
aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs);

// True when the stream can wait in the kernel (its transport answers a zero
// wait with anything but aErrUnimplemented; asking may consume a pending
// wake-up, so ask before anyone waits): the one reading may then be any
// thread at a time, handed on under a lock (the link's callers read while
// they wait for a reply). False for a dead stream, or a transport whose
// reads wait by themselves.
bool aStream_CanWait(aStreamRef stream);

// Makes a wait in progress, or the next one, return at once; any thread.
// aErrParam: dead stream. aErrUnimplemented: the transport cannot wait.
aErr aStream_Wake(aStreamRef stream);

// How often the transport had to open its connection again by itself; 0 for
// a dead stream or a transport that never does.
uint32_t aStream_GetReconnects(aStreamRef stream);

// Reads exactly size bytes, or nothing: when the transport runs dry the bytes
// already taken are kept for the next read.
// aErrParam: dead stream or null buffer. aErrMode: the stream can't be read.
// aErrResource: no memory. aErrNotReady: fewer than size bytes waiting (buffer
// untouched). aErrEOF: the end came first (the bytes before it are copied).
// Any other transport error: buffer untouched.
aErr aStream_Read(aStreamRef stream, void* buffer, uint32_t size);

// Writes length bytes: blocks above one byte go to the transport's write in
// one call, single bytes (or all, without a write operation) to put.
// aErrParam: dead stream or null data. aErrMode: the stream can't be written.
// Otherwise the transport's result.
aErr aStream_Write(aStreamRef stream, const void* data, uint32_t length);

// Appends one byte to the read-back ring; it is read after the bytes already
// held there. aErrParam: dead stream. aErrMemory: the ring can't grow.
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// Reads a record ended by the terminator sequence (not stored), at most size
// bytes; a full buffer also ends the record. *length (when given) gets the
// record's length. aErrParam: dead stream, null buffer or terminator, zero
// terminator length or size. aErrResource: no memory. aErrNotReady: the record
// is not complete yet (nothing lost; read again later). aErrEOF: the end came
// before any byte. Other transport errors are returned as they come.
aErr aStream_ReadRecord(aStreamRef stream, void* buffer, uint32_t* length, uint32_t size,
                        const void* terminator, uint32_t terminatorLength);

// Writes the data and then the terminator. aErrParam: dead stream, null data
// or terminator, zero terminator length. Otherwise as aStream_Write.
aErr aStream_WriteRecord(aStreamRef stream, const void* data, uint32_t length,
                         const void* terminator, uint32_t terminatorLength);

// Reads a zero-terminated string of at most size - 1 characters.
// aErrParam: size below 2; otherwise as aStream_ReadRecord.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, uint32_t size);

// Writes the string and one zero byte. aErrParam: dead stream or null string.
aErr aStream_WriteCString(aStreamRef stream, const char* string);

// Reads a record ended by the characters of terminator, at most size - 1
// bytes, stored zero-terminated. aErrParam: size below 2, null or empty
// terminator; otherwise as aStream_ReadRecord.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, uint32_t size, const char* terminator);

// Writes the string followed by the terminator and its zero byte.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator);

// Copies source to destination byte by byte until the source's end.
// aErrParam: a dead stream. aErrMode: source without get or destination
// without put. aErrNone at the source's end; any other error ends the copy.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// Calls the transport's delete, frees the stream and always nulls *stream;
// returns delete's result. aErrParam: null or dead stream.
aErr aStream_Destroy(aStreamRef* stream);

// A stream that reads the file at path. aErrResource: null argument, the file
// can't be opened or no memory (*stream stays null).
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);

// A stream that writes (truncates or creates) the file at path.
// aErrResource: null argument, the file can't be opened or no memory.
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

CORVESTEL_API_END

#endif

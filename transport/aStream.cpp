#include "transport/aStream.h"

#include <cstdlib>
#include <cstring>

#include "transport/unix_file.h"

struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    aStreamWaitProc wait;
    aStreamWakeProc wake;
    aStreamCountProc reconnects;
    bool byteStream;
    void* reference;
    uint8_t* buffer;
    uint32_t count;
    uint32_t capacity;
    uint32_t head;
    uint32_t tail;
    uint16_t check;
};

// Small reads (the link engine reads one byte at a time) stage on the stack.
enum { STAGE_ON_STACK = 64 };

static bool sValid(const aStream* stream)
{
    return stream && stream->check == aSTREAMCHECK;
}

// Makes room for one more byte: the ring always keeps one place free.
static aErr sReserve(aStream* s)
{
    if (s->buffer && s->count < s->capacity - 1)
        return aErrNone;
    uint32_t capacity = s->capacity + aSTREAMBUFCHUNK;
    uint8_t* grown = static_cast<uint8_t*>(std::malloc(capacity));
    if (!grown)
        return aErrMemory;
    for (uint32_t i = 0; i < s->count; i++)
        grown[i] = s->buffer[(s->head + i) % s->capacity];
    std::free(s->buffer);
    s->buffer = grown;
    s->head = 0;
    s->tail = s->count;
    s->capacity = capacity;
    return aErrNone;
}

static aErr sPushBack(aStream* s, uint8_t byte)
{
    aErr err = sReserve(s);
    if (err != aErrNone)
        return err;
    s->buffer[s->tail] = byte;
    s->tail = (s->tail + 1) % s->capacity;
    s->count++;
    return aErrNone;
}

// Puts bytes back in front of the ring, so that they are read next, in order.
static aErr sUnget(aStream* s, const uint8_t* data, uint32_t length)
{
    for (uint32_t i = length; i > 0; i--) {
        aErr err = sReserve(s);
        if (err != aErrNone)
            return err;
        s->head = (s->head + s->capacity - 1) % s->capacity;
        s->buffer[s->head] = data[i - 1];
        s->count++;
    }
    return aErrNone;
}

// One byte: from the ring while it holds any, else from the transport.
static aErr sTake(aStream* s, uint8_t* byte)
{
    if (s->count > 0) {
        *byte = s->buffer[s->head];
        s->head = (s->head + 1) % s->capacity;
        s->count--;
        return aErrNone;
    }
    return s->get(byte, s->reference);
}

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* reference)
{
    aStream* s = static_cast<aStream*>(std::calloc(1, sizeof(aStream)));
    if (!s)
        return nullptr;
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->reference = reference;
    s->check = aSTREAMCHECK;
    return s;
}

aErr aStream_SetWaitProcs(aStreamRef stream, aStreamWaitProc wait, aStreamWakeProc wake)
{
    if (!sValid(stream) || !wait != !wake)
        return aErrParam;
    stream->wait = wait;
    stream->wake = wake;
    return aErrNone;
}

aErr aStream_SetReconnectCounter(aStreamRef stream, aStreamCountProc count)
{
    if (!sValid(stream))
        return aErrParam;
    stream->reconnects = count;
    return aErrNone;
}

aErr aStream_Wait(aStreamRef stream, uint32_t timeoutMs)
{
    if (!sValid(stream))
        return aErrParam;
    if (stream->count > 0)
        return aErrNone;
    if (!stream->wait)
        return aErrUnimplemented;
    return stream->wait(timeoutMs, stream->reference);
}

aErr aStream_SetByteStream(aStreamRef stream)
{
    if (!sValid(stream))
        return aErrParam;
    stream->byteStream = true;
    return aErrNone;
}

bool aStream_IsByteStream(aStreamRef stream)
{
    return sValid(stream) && stream->byteStream;
}

bool aStream_CanWait(aStreamRef stream)
{
    return sValid(stream) && stream->wait && stream->wait(0, stream->reference) != aErrUnimplemented;
}

aErr aStream_Wake(aStreamRef stream)
{
    if (!sValid(stream))
        return aErrParam;
    return stream->wake ? stream->wake(stream->reference) : aErrUnimplemented;
}

uint32_t aStream_GetReconnects(aStreamRef stream)
{
    return sValid(stream) && stream->reconnects ? stream->reconnects(stream->reference) : 0;
}

aErr aStream_Read(aStreamRef stream, void* buffer, uint32_t size)
{
    if (!sValid(stream) || !buffer)
        return aErrParam;
    if (!stream->get)
        return aErrMode;
    uint8_t local[STAGE_ON_STACK];
    uint8_t* stage = local;
    if (size > STAGE_ON_STACK) {
        stage = static_cast<uint8_t*>(std::malloc(size));
        if (!stage)
            return aErrResource;
    }
    aErr err = aErrNone;
    uint32_t got = 0;
    while (got < size && err == aErrNone) {
        err = sTake(stream, &stage[got]);
        if (err == aErrNone)
            got++;
    }
    if (err == aErrNone || err == aErrEOF) {
        if (got)
            std::memcpy(buffer, stage, got);
    } else if (sUnget(stream, stage, got) != aErrNone) {
        // Every byte taken is handed back so the next read starts where this
        // one did; without memory for that the bytes are gone, so say so.
        err = aErrResource;
    }
    if (stage != local)
        std::free(stage);
    return err;
}

aErr aStream_Write(aStreamRef stream, const void* data, uint32_t length)
{
    if (!sValid(stream) || !data)
        return aErrParam;
    if (!stream->write && !stream->put)
        return aErrMode;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (stream->write && length > 1)
        return stream->write(bytes, length, stream->reference);
    if (!stream->put) {
        // A block-only transport still takes a single byte as a block.
        return length ? stream->write(bytes, length, stream->reference) : aErrNone;
    }
    for (uint32_t i = 0; i < length; i++) {
        aErr err = stream->put(bytes[i], stream->reference);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte)
{
    if (!sValid(stream))
        return aErrParam;
    return sPushBack(stream, byte);
}

aErr aStream_ReadRecord(aStreamRef stream, void* buffer, uint32_t* length, uint32_t size,
                        const void* terminator, uint32_t terminatorLength)
{
    if (!sValid(stream) || !buffer || !terminator || terminatorLength == 0 || size == 0)
        return aErrParam;
    if (!stream->get)
        return aErrMode;
    const uint8_t* term = static_cast<const uint8_t*>(terminator);
    uint8_t* stage = static_cast<uint8_t*>(std::malloc(size));
    if (!stage)
        return aErrResource;

    uint32_t stored = 0;
    uint32_t matched = 0; // bytes consumed that equal the terminator's start
    aErr err = aErrNone;
    bool done = false;
    while (!done) {
        uint8_t byte;
        err = sTake(stream, &byte);
        if (err != aErrNone)
            break;
        if (byte == term[matched]) {
            if (++matched == terminatorLength)
                done = true;
            continue;
        }
        if (matched > 0) {
            // What looked like the terminator's start is data after all: its
            // first byte is kept and the rest is looked at again.
            if (sUnget(stream, &byte, 1) != aErrNone || sUnget(stream, term + 1, matched - 1) != aErrNone) {
                err = aErrResource;
                break;
            }
            byte = term[0];
            matched = 0;
        }
        stage[stored++] = byte;
        done = stored == size;
    }

    if (err == aErrEOF && matched > 0) {
        // The end of input cut a terminator short: those bytes are data.
        uint32_t fit = size - stored < matched ? size - stored : matched;
        std::memcpy(stage + stored, term, fit);
        stored += fit;
        if (sUnget(stream, term + fit, matched - fit) != aErrNone)
            err = aErrResource;
        matched = 0;
    }
    if (err == aErrEOF && stored > 0)
        err = aErrNone;
    if (err == aErrNone) {
        std::memcpy(buffer, stage, stored);
        if (length)
            *length = stored;
    } else if (err != aErrEOF && err != aErrResource) {
        // Incomplete: hand everything back so a later call sees it again.
        if (sUnget(stream, term, matched) != aErrNone || sUnget(stream, stage, stored) != aErrNone)
            err = aErrResource;
    }
    std::free(stage);
    return err;
}

aErr aStream_WriteRecord(aStreamRef stream, const void* data, uint32_t length,
                         const void* terminator, uint32_t terminatorLength)
{
    if (!sValid(stream) || !data || !terminator || terminatorLength == 0)
        return aErrParam;
    aErr err = aStream_Write(stream, data, length);
    if (err == aErrNone)
        err = aStream_Write(stream, terminator, terminatorLength);
    return err;
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, uint32_t size)
{
    if (!buffer || size < 2)
        return aErrParam;
    const uint8_t zero = 0;
    uint32_t length = 0;
    aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, &zero, 1);
    if (err == aErrNone)
        buffer[length] = '\0';
    return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* string)
{
    if (!sValid(stream) || !string)
        return aErrParam;
    return aStream_Write(stream, string, static_cast<uint32_t>(std::strlen(string) + 1));
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, uint32_t size, const char* terminator)
{
    if (!buffer || size < 2 || !terminator || !*terminator)
        return aErrParam;
    uint32_t length = 0;
    aErr err = aStream_ReadRecord(stream, buffer, &length, size - 1, terminator,
                                  static_cast<uint32_t>(std::strlen(terminator)));
    if (err == aErrNone)
        buffer[length] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* string, const char* terminator)
{
    if (!sValid(stream) || !string || !terminator)
        return aErrParam;
    return aStream_WriteRecord(stream, string, static_cast<uint32_t>(std::strlen(string)), terminator,
                               static_cast<uint32_t>(std::strlen(terminator) + 1));
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination)
{
    if (!sValid(source) || !sValid(destination))
        return aErrParam;
    if (!source->get || !destination->put)
        return aErrMode;
    for (;;) {
        uint8_t byte;
        // Bytes handed back to the source are part of its content too.
        aErr err = sTake(source, &byte);
        if (err == aErrEOF)
            return aErrNone;
        if (err != aErrNone)
            return err;
        err = destination->put(byte, destination->reference);
        if (err != aErrNone)
            return err;
    }
}

aErr aStream_Destroy(aStreamRef* ref)
{
    if (!ref)
        return aErrParam;
    aStream* s = *ref;
    *ref = nullptr;
    if (!sValid(s))
        return aErrParam;
    aErr err = s->del ? s->del(s->reference) : aErrNone;
    std::free(s->buffer);
    s->buffer = nullptr;
    s->check = 0;
    std::free(s);
    return err;
}

// File streams: the reference is the aFileRef itself.

static aErr sFileGet(uint8_t* byte, void* reference)
{
    aFileRef file = static_cast<aFileRef>(reference);
    if (!file)
        return aErrIO;
    return aFile_Read(file, byte, 1, nullptr);
}

static aErr sFilePut(uint8_t byte, void* reference)
{
    aFileRef file = static_cast<aFileRef>(reference);
    if (!file)
        return aErrIO;
    return aFile_Write(file, &byte, 1, nullptr);
}

static aErr sFileWrite(const uint8_t* data, uint32_t length, void* reference)
{
    aFileRef file = static_cast<aFileRef>(reference);
    if (!file)
        return aErrIO;
    size_t written = 0;
    aErr err = aFile_Write(file, data, length, &written);
    if (err == aErrNone && written != length)
        err = aErrIO;
    return err;
}

static aErr sFileDelete(void* reference)
{
    aFileRef file = static_cast<aFileRef>(reference);
    if (!file)
        return aErrIO;
    return aFile_Close(&file);
}

static aErr sCreateFile(const char* path, aStreamRef* stream, bool output)
{
    if (!stream)
        return aErrResource;
    *stream = nullptr;
    if (!path)
        return aErrResource;
    aFileRef file = aFile_Open(path, output ? aFileModeWriteOnly : aFileModeReadOnly);
    if (!file)
        return aErrResource;
    aStreamRef s = output ? aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file)
                          : aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
    if (!s) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream)
{
    return sCreateFile(path, stream, false);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream)
{
    return sCreateFile(path, stream, true);
}

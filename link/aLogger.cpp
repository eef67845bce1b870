#include "link/aLogger.h"

#include <cstdlib>

struct aLogger {
    uint32_t capacity;
    uint32_t read;
    uint32_t write;
    uint8_t* bytes;
};

aLogger* aLogger_Create(uint32_t capacity)
{
    if (capacity < 3)
        return nullptr;
    aLogger* log = static_cast<aLogger*>(std::calloc(1, sizeof(aLogger)));
    if (!log)
        return nullptr;
    log->bytes = static_cast<uint8_t*>(std::malloc(capacity));
    if (!log->bytes) {
        std::free(log);
        return nullptr;
    }
    log->capacity = capacity;
    return log;
}

aErr aLogger_Destroy(aLogger** log)
{
    if (!log || !*log)
        return aErrParam;
    std::free((*log)->bytes);
    std::free(*log);
    *log = nullptr;
    return aErrNone;
}

uint32_t aLogger_Used(const aLogger* log)
{
    if (!log)
        return 0;
    return (log->write + log->capacity - log->read) % log->capacity;
}

static uint8_t sAt(const aLogger* log, uint32_t offset)
{
    return log->bytes[(log->read + offset) % log->capacity];
}

static void sDropOldest(aLogger* log)
{
    uint32_t recordLength = 2u + sAt(log, 1);
    log->read = (log->read + recordLength) % log->capacity;
}

static void sPush(aLogger* log, uint8_t byte)
{
    log->bytes[log->write] = byte;
    log->write = (log->write + 1) % log->capacity;
}

aErr aLogger_Put(aLogger* log, uint8_t direction, uint32_t length, const uint8_t* bytes)
{
    if (!log || (length > 0 && !bytes) || length > 0xFF)
        return aErrParam;
    if (length + 2 >= log->capacity)
        return aErrOverrun;
    while (log->capacity - aLogger_Used(log) <= length + 2)
        sDropOldest(log);
    sPush(log, direction);
    sPush(log, static_cast<uint8_t>(length));
    for (uint32_t i = 0; i < length; i++)
        sPush(log, bytes[i]);
    return aErrNone;
}

aErr aLogger_Get(aLogger* log, uint8_t* direction, uint32_t* length, uint8_t* buffer)
{
    if (!log || !direction || !length || !buffer)
        return aErrParam;
    if (log->read == log->write)
        return aErrNotFound;
    uint32_t recordLength = sAt(log, 1);
    uint32_t room = *length;
    *direction = sAt(log, 0);
    *length = recordLength;
    if (room < recordLength)
        return aErrOverrun;
    for (uint32_t i = 0; i < recordLength; i++)
        buffer[i] = sAt(log, 2 + i);
    log->read = (log->read + 2 + recordLength) % log->capacity;
    return aErrNone;
}

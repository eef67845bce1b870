// A byte stream for recovery tests: reads come from a scripted queue
// (aErrNotReady when it is empty), writes are collected for inspection.
#ifndef TESTS_RECOVERY_SCRIPTEDSTREAM_H
#define TESTS_RECOVERY_SCRIPTEDSTREAM_H

#include <string>

#include "transport/aStream.h"

struct ScriptedStream {
    std::string input;   // bytes the "chip" will send, in order
    std::string written; // bytes the client sent

    // A stream over this object; it must outlive the stream.
    aStreamRef Make()
    {
        return aStream_Create(&ScriptedStream::Get, &ScriptedStream::Put, &ScriptedStream::Write, nullptr, this);
    }

    static aErr Get(uint8_t* byte, void* ref)
    {
        ScriptedStream* s = static_cast<ScriptedStream*>(ref);
        if (s->input.empty())
            return aErrNotReady;
        *byte = uint8_t(s->input[0]);
        s->input.erase(0, 1);
        return aErrNone;
    }
    static aErr Put(uint8_t byte, void* ref)
    {
        static_cast<ScriptedStream*>(ref)->written += char(byte);
        return aErrNone;
    }
    static aErr Write(const uint8_t* data, uint32_t length, void* ref)
    {
        static_cast<ScriptedStream*>(ref)->written.append(reinterpret_cast<const char*>(data), length);
        return aErrNone;
    }
};

#endif

// Files: a thin handle over a stdio stream that reports failures as aErr.
// A handle belongs to one owner; nothing here is shared between threads.
#ifndef CORVESTEL_TRANSPORT_UNIX_FILE_H
#define CORVESTEL_TRANSPORT_UNIX_FILE_H

#include <cstddef>
#include <cstdint>

#include "link/aError.h"

CORVESTEL_API_BEGIN

#define aFILECHECK 0xFEED
#define aFILE_MAXPATH 4096

// Open modes of aFile_Open.
enum : uint32_t {
    aFileModeReadOnly = 0,  // "rb": Read, ReadLine, Seek, GetSize, GetPosition
    aFileModeWriteOnly = 1, // "wb": Write, Printf, SetUnbuffered, Seek, GetSize, GetPosition
    aFileModeAppend = 2,    // "ab+": everything, positioned at the end
    aFileModeUnsupported = 3,
};

typedef struct aFile* aFileRef;

// True when path names something that exists and is not a directory.
bool aFile_Exists(const char* path);

// Opens path in one of the modes above. Null on a null or empty path, a path
// over 4096 characters, an unsupported mode, no memory or an open failure.
aFileRef aFile_Open(const char* path, uint32_t mode);

// Closes the file, frees the handle and always nulls *file.
// aErrParam: file, *file null or not a live handle. aErrIO: fclose failed.
aErr aFile_Close(aFileRef* file);

// Reads up to length bytes; *count (when given) gets the bytes read.
// aErrParam: dead handle or null buffer. aErrMode: not opened for reading.
// aErrEOF: nothing read while length > 0.
aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count);

// Writes length bytes; *count (when given) gets the bytes written.
// aErrParam: dead handle or null data. aErrMode: not opened for writing.
// aErrIO: nothing written while length > 0.
aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count);

// Reads one line (newline kept, zero-terminated) into buffer of size bytes.
// *length (when given) gets the string length. aErrParam: dead handle or null
// buffer. aErrMode: not opened for reading. aErrEOF: end of file, nothing
// read. aErrIO: read failure. aErrOverrun: the line filled the buffer without
// its newline; the rest of the line comes with the next call.
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);

// Formatted write. aErrParam: dead handle or null format. aErrMode: not
// opened for writing. aErrIO: the write failed.
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Moves the position; origin 0 start, 1 current, 2 end. aErrParam: dead
// handle or other origin. aErrRange: the target lies before the start or past
// the end (position unchanged). aErrIO: the system refused.
aErr aFile_Seek(aFileRef file, int32_t offset, int origin);

// Size in bytes (position kept). aErrParam: dead handle or null size.
// aErrIO: the size could not be found (*size is 0).
aErr aFile_GetSize(aFileRef file, size_t* size);

// Current position; stored only when it is above 0 and position is non-null.
// aErrParam: dead handle. aErrIO: the position could not be read.
aErr aFile_GetPosition(aFileRef file, size_t* position);

// Turns off stdio buffering. aErrParam: dead handle. aErrMode: not opened for
// writing, or the system refused.
aErr aFile_SetUnbuffered(aFileRef file);

// Removes the file. aErrParam: null path. aErrFileNameLength: over 4096
// characters. aErrNotFound, aErrPermission, aErrIO: unlink's refusal.
aErr aFile_Delete(const char* path);

CORVESTEL_API_END

#endif

#include "transport/unix_file.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

struct aFile {
    FILE* fp;
    uint32_t mode;
    uint32_t check;
};

static bool sValid(const aFile* file)
{
    return file && file->check == aFILECHECK && file->fp;
}

static bool sCanRead(const aFile* file)
{
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

static bool sCanWrite(const aFile* file)
{
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

bool aFile_Exists(const char* path)
{
    if (!path || std::strlen(path) > aFILE_MAXPATH)
        return false;
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, uint32_t mode)
{
    if (!path || !*path || std::strlen(path) > aFILE_MAXPATH)
        return nullptr;
    const char* how;
    switch (mode) {
    case aFileModeReadOnly: how = "rb"; break;
    case aFileModeWriteOnly: how = "wb"; break;
    case aFileModeAppend: how = "ab+"; break;
    default: return nullptr;
    }
    aFile* file = static_cast<aFile*>(std::calloc(1, sizeof(aFile)));
    if (!file)
        return nullptr;
    file->fp = std::fopen(path, how);
    if (!file->fp) {
        std::free(file);
        return nullptr;
    }
    if (mode == aFileModeAppend)
        std::fseek(file->fp, 0, SEEK_END);
    file->mode = mode;
    file->check = aFILECHECK;
    return file;
}

aErr aFile_Close(aFileRef* ref)
{
    if (!ref)
        return aErrParam;
    aFile* file = *ref;
    *ref = nullptr;
    if (!file || file->check != aFILECHECK)
        return aErrParam;
    aErr err = aErrNone;
    if (file->fp && std::fclose(file->fp) != 0)
        err = aErrIO;
    file->fp = nullptr;
    file->check = 0;
    std::free(file);
    return err;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t length, size_t* count)
{
    if (!sValid(file))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    if (!buffer)
        return aErrParam;
    size_t got = length ? std::fread(buffer, 1, length, file->fp) : 0;
    if (count)
        *count = got;
    if (length && got == 0)
        return std::ferror(file->fp) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t length, size_t* count)
{
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (!data)
        return aErrParam;
    size_t put = length ? std::fwrite(data, 1, length, file->fp) : 0;
    if (count)
        *count = put;
    if (length && put == 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length)
{
    if (length)
        *length = 0;
    if (buffer && size)
        buffer[0] = '\0';
    if (!sValid(file) || !buffer)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    // fgets takes an int; a buffer of one byte has room for nothing but the
    // terminator, so it can never hold a line.
    if (size < 2)
        return aErrOverrun;
    int chunk = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    if (!std::fgets(buffer, chunk, file->fp)) {
        buffer[0] = '\0';
        return std::feof(file->fp) ? aErrEOF : aErrIO;
    }
    size_t n = std::strlen(buffer);
    if (length)
        *length = n;
    if (n == static_cast<size_t>(chunk) - 1 && buffer[n - 1] != '\n')
        return aErrOverrun;
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...)
{
    if (!sValid(file) || !format)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    va_list args;
    va_start(args, format);
    int n = std::vfprintf(file->fp, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_Seek(aFileRef file, int32_t offset, int origin)
{
    if (!sValid(file))
        return aErrParam;
    long current = std::ftell(file->fp);
    if (current < 0)
        return aErrIO;
    if (std::fseek(file->fp, 0, SEEK_END) != 0)
        return aErrIO;
    long end = std::ftell(file->fp);
    if (end < 0 || std::fseek(file->fp, current, SEEK_SET) != 0)
        return aErrIO;
    // 64-bit arithmetic: a large offset must not wrap into the valid range.
    int64_t base;
    switch (origin) {
    case 0: base = 0; break;
    case 1: base = current; break;
    case 2: base = end; break;
    default: return aErrParam;
    }
    int64_t target = base + offset;
    if (target < 0 || target > end)
        return aErrRange;
    if (std::fseek(file->fp, static_cast<long>(target), SEEK_SET) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size)
{
    if (!sValid(file) || !size)
        return aErrParam;
    *size = 0;
    long current = std::ftell(file->fp);
    if (current < 0 || std::fseek(file->fp, 0, SEEK_END) != 0)
        return aErrIO;
    long end = std::ftell(file->fp);
    if (std::fseek(file->fp, current, SEEK_SET) != 0 || end < 0)
        return aErrIO;
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position)
{
    if (!sValid(file))
        return aErrParam;
    long at = std::ftell(file->fp);
    if (at < 0)
        return aErrIO;
    if (at > 0 && position)
        *position = static_cast<size_t>(at);
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file)
{
    if (!sValid(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    if (std::setvbuf(file->fp, nullptr, _IONBF, 0) != 0)
        return aErrMode;
    return aErrNone;
}

aErr aFile_Delete(const char* path)
{
    if (!path)
        return aErrParam;
    if (std::strlen(path) > aFILE_MAXPATH)
        return aErrFileNameLength;
    if (unlink(path) != 0) {
        int e = errno;
        if (e == ENOENT)
            return aErrNotFound;
        if (e == EACCES || e == EPERM)
            return aErrPermission;
        return aErrIO;
    }
    return aErrNone;
}

// Link: the packet log file. The engine keeps a ring of recent packets; a
// writer thread of the Link turns its records into text lines in a file.
#include <cstring>

#include "link/Link.h"
#include "link/LinkImpl.h"
#include "link/aPacketDebug.h"
#include "transport/unix_time.h"

namespace Quorvane {
namespace Corvestel {

namespace {

const uint32_t RECORD_CAPACITY = 64;
const uint32_t IDLE_SLEEP_MS = 5;

// One record as a text line; false when the log had none.
bool sWriteOneRecord(aLinkLogWriter* writer)
{
    uint8_t direction = 0;
    uint8_t bytes[RECORD_CAPACITY];
    uint32_t length = sizeof bytes;
    if (aLink_PacketDebug_Read(writer->identifier, &direction, &length, bytes) != aErrNone)
        return false;
    aFile_Printf(writer->file, "%d %s ", static_cast<int>(length), direction == aLOG_SENT ? ">" : "<");
    for (uint32_t i = 0; i < length; ++i) {
        if (direction == aLOG_TEXT)
            aFile_Printf(writer->file, "%c", bytes[i]);
        else
            aFile_Printf(writer->file, "0x%X ", bytes[i]);
    }
    aFile_Printf(writer->file, "\r\n");
    return true;
}

void sWriterLoop(aLinkLogWriter* writer)
{
    while (writer->enabled.load()) {
        if (!sWriteOneRecord(writer))
            aTime_MSSleep(IDLE_SLEEP_MS);
    }
    // What was logged before the stop still reaches the file.
    while (sWriteOneRecord(writer)) {
    }
}

} // namespace

aErr Link::impl::stopLogWriter()
{
    aLinkLogWriter* writer = logWriter;
    if (!writer || writer->tag != aLINKLOGWRITERCHECK)
        return aErrParam;
    writer->enabled = false;
    if (!writer->thread.joinable())
        return aErrNone;
    try {
        writer->thread.join();
    } catch (...) {
        return aErrUnknown;
    }
    return aErrNone;
}

void Link::impl::destroyLogWriter()
{
    if (!logWriter)
        return;
    stopLogWriter();
    if (logWriter->file)
        aFile_Close(&logWriter->file);
    logWriter->tag = 0;
    delete logWriter;
    logWriter = nullptr;
}

aErr Link::enablePacketLog(const char* path)
{
    uint32_t id = m_impl->identifier;
    if (id == 0)
        return aErrConfiguration;
    aErr err = aLink_PacketDebug_Enable(id);
    if (err != aErrNone)
        return err;
    if (!m_impl->logWriter) {
        aFileRef file = path ? aFile_Open(path, aFileModeAppend) : nullptr;
        if (!file)
            return aErrResource;
        aFile_SetUnbuffered(file);
        m_impl->logWriter = new aLinkLogWriter;
        m_impl->logWriter->file = file;
    }
    aLinkLogWriter* writer = m_impl->logWriter;
    writer->identifier = id;
    if (!writer->thread.joinable()) {
        writer->enabled = true;
        try {
            writer->thread = std::thread(sWriterLoop, writer);
        } catch (...) {
            writer->enabled = false;
            return aErrResource;
        }
    }
    static const char start[] = "START";
    return aLink_PacketDebug_Write(id, aLOG_TEXT, sizeof start, reinterpret_cast<const uint8_t*>(start));
}

aErr Link::disablePacketLog()
{
    uint32_t id = m_impl->identifier;
    if (id == 0)
        return aErrConfiguration;
    aLink_PacketDebug_Disable(id);
    if (!m_impl->logWriter)
        return aErrNone;
    return m_impl->stopLogWriter();
}

} // namespace Corvestel
} // namespace Quorvane

#include "recovery/SDPLoader.h"

#include <string>

#include "base/Log.h"

namespace {

const int ALIVE_ATTEMPTS = 5;
const int ANSWER_TIMEOUT_MS = 100;
// A closed chip checks the image's signature after it has sent its security
// mode; a refusal follows within this time.
const int REFUSAL_TIMEOUT_MS = 1000;

void _put32(SDPPacket& p, size_t at, uint32_t v)
{
    p[at] = uint8_t(v >> 24);
    p[at + 1] = uint8_t(v >> 16);
    p[at + 2] = uint8_t(v >> 8);
    p[at + 3] = uint8_t(v);
}

} // namespace

SDPLoader::~SDPLoader()
{
    delete transport;
}

bool SDPLoader::setLoader(SDPLoader_Interface* t)
{
    if (!t || transport)
        return false;
    transport = t;
    return true;
}

int SDPLoader::init()
{
    if (!transport)
        return SDP_NO_TRANSPORT;
    return transport->init() ? SDP_OK : SDP_IO;
}

void SDPLoader::_printBuffer(const SDPPacket& bytes)
{
    std::string line;
    char b[8];
    for (uint8_t c : bytes) {
        snprintf(b, sizeof b, "%X ", c);
        line += b;
    }
    Log::log(DEBUG_iMXSerial, "%s\n", line.c_str());
}

void SDPLoader::_fillCommand(SDPPacket& packet, uint16_t type, uint32_t address, uint8_t format, uint32_t count)
{
    packet.assign(MAX_COMMAND_BYTES, 0);
    packet[0] = 1; // report id of a command
    packet[1] = uint8_t(type >> 8);
    packet[2] = uint8_t(type);
    _put32(packet, 3, address);
    packet[7] = format;
    _put32(packet, 8, count);
}

SDPPacket SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t size)
{
    SDPPacket p;
    _fillCommand(p, WRITE_FILE, address, 0x20, size);
    return p;
}

SDPPacket SDPLoader::_createStatusPacket()
{
    SDPPacket p;
    _fillCommand(p, ERROR_STATUS, 0, 0, 0);
    return p;
}

SDPPacket SDPLoader::_createJumpPacket(uint32_t address)
{
    SDPPacket p;
    _fillCommand(p, JUMP_ADDRESS, address, 0, 0);
    return p;
}

bool SDPLoader::_expectResponse(const SDPPacket& answer, uint32_t& word)
{
    word = 0;
    return transport && transport->getDataFromBuffer(answer, 0, word);
}

bool SDPLoader::_expectSuccess(const SDPPacket& answer)
{
    uint32_t word = 0;
    return _expectResponse(answer, word) && word == STATUS_COMPLETE;
}

bool SDPLoader::_expectAck(const SDPPacket& answer)
{
    uint32_t word = 0;
    return _expectResponse(answer, word) && word == STATUS_ACK;
}

bool SDPLoader::_isConnectionAlive()
{
    SDPPacket status = _createStatusPacket();
    for (int attempt = 0; attempt < ALIVE_ATTEMPTS; ++attempt) {
        ssize_t written = transport->writeData(status);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", size_t(written < 0 ? 0 : written));
        _printBuffer(status);
        SDPPacket answer;
        ssize_t got = transport->readData(answer, ANSWER_TIMEOUT_MS);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
        _printBuffer(answer);
        uint32_t word = 0;
        if (_expectResponse(answer, word))
            return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address)
{
    if (!transport || !_isConnectionAlive())
        return SDP_NO_ANSWER;
    if (stopCheck && stopCheck()) {
        Log::log(DEBUG_iMXSerial, "Loader transfer stopped before the file\n");
        return SDP_STOPPED;
    }
    SDPPacket command = _createWriteFilePacket(address, uint32_t(image.size()));
    ssize_t result = transport->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
    _printBuffer(command);

    size_t done = 0;
    int total = 0, loop = 0;
    while (done < image.size()) {
        // Between two pieces the line is idle: the one place to stop.
        if (stopCheck && stopCheck()) {
            Log::log(DEBUG_iMXSerial, "Loader transfer stopped after %ld of %zu bytes\n", long(done), image.size());
            return SDP_STOPPED;
        }
        SDPPacket early;
        ssize_t got = transport->readData(early, 0);
        if (got > 0 || !early.empty()) {
            Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
            _printBuffer(early);
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return SDP_EARLY_DATA;
        }
        size_t take = image.size() - done < MAX_WRITE_BYTES ? image.size() - done : MAX_WRITE_BYTES;
        SDPPacket data;
        data.reserve(take + 1);
        data.push_back(2); // report id of data
        data.insert(data.end(), image.begin() + long(done), image.begin() + long(done + take));
        result = transport->writeData(data);
        if (result > 0)
            total += int(result);
        done += take;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", result, total, loop,
                 long(done), ssize_t(data.size()));
        ++loop;
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);
    SDPPacket answer;
    transport->readData(answer, ANSWER_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(answer);
    if (_expectSuccess(answer)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_INCOMPLETE;
}

int SDPLoader::startLoader(uint32_t address)
{
    lastSecurity = 0;
    lastStatus = 0;
    if (!transport)
        return SDP_NO_TRANSPORT;
    SDPPacket jump = _createJumpPacket(address);
    ssize_t result = transport->writeData(jump);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", result);
    _printBuffer(jump);
    SDPPacket answer;
    transport->readData(answer, ANSWER_TIMEOUT_MS);
    uint32_t security = 0, status = 0;
    const bool hasSecurity = transport->getSecurityFromBuffer(answer, security);
    bool hasStatus = transport->getDataFromBuffer(answer, 0, status);
    if (hasSecurity && security == HAB_CLOSED && !hasStatus) {
        transport->readData(answer, REFUSAL_TIMEOUT_MS);
        status = 0;
        hasStatus = transport->getDataFromBuffer(answer, 0, status);
    }
    Log::log(DEBUG_iMXSerial, "Jump answer: %zu\n", answer.size());
    _printBuffer(answer);
    if (!hasSecurity) {
        // Nothing to go by: whether the loader runs shows when it answers.
        Log::log(DEBUG_iMXSerial, "No security mode in the answer to the jump\n");
        return SDP_OK;
    }
    lastSecurity = security;
    Log::log(DEBUG_iMXSerial, "Security mode: %08X (%s)\n", security,
             security == HAB_CLOSED ? "closed" : security == HAB_OPEN ? "open" : "unknown");
    // The ROM sends a status after a jump only when it did not run the image.
    if (!hasStatus || status == STATUS_ACK)
        return SDP_OK;
    lastStatus = status;
    if (security == HAB_CLOSED) {
        Log::log(DEBUG_iMXSerial, "Image refused: not signed for this chip, status %08X\n", status);
        return SDP_REFUSED;
    }
    Log::log(DEBUG_iMXSerial, "Jump failed, status %08X\n", status);
    return SDP_JUMP_FAILED;
}

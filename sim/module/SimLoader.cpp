// The upgrade loader of a simulated module: INIT, PREPARE, DATA (plain or
// as UEI bytes of option 10), SUM, WRITE, LOAD and REBOOT. Bytes of the block
// transfer in progress stay pending until WRITE commits them to flash; before
// LOAD the loader image comes without WRITE, so a new PREPARE or LOAD puts it
// into the loader's memory.
#include "link/aDefs.h"
#include "link/aError.h"
#include "sim/module/SimModule.h"

namespace sim {

namespace {
enum : uint8_t {
    UP_INIT = 0,
    UP_DATA = 1,
    UP_LOAD = 2,
    UP_PREPARE = 3,
    UP_SUM = 4,
    UP_WRITE = 5,
    UP_REBOOT = 6,
    UP_STATUS = 7,
    UP_DATA_UEI = 10,
};
const size_t MAX_PIECE = 26;
} // namespace

void SimModule::loaderStatus(const Packet& rq, Effects& fx, uint8_t status, const Bytes& extra)
{
    if (status == 0) {
        if (FaultSpec* f = takeFault(FaultSpec::Status, rq.data)) {
            status = uint8_t(f->arg);
            fx.events.push_back("fault status " + std::to_string(status));
        }
    }
    Bytes out{cmdUPGRADE, UP_STATUS, status};
    out.insert(out.end(), extra.begin(), extra.end());
    reply(fx, out);
}

void SimModule::commitLoaderPiece()
{
    if (!loaderRunning_ && blockOpen_ && !pending_.empty())
        loaderMem_.write(blockAddress_, pending_.data(), pending_.size());
    pending_.clear();
}

void SimModule::upgrade(const Packet& rq, Effects& fx)
{
    const Bytes& d = rq.data;
    if (d.size() < 2)
        return fx.events.push_back("short upgrade request ignored");
    if (d[1] & 0xC0)
        return upgradeBytes(rq, fx);
    switch (d[1]) {
    case UP_INIT: {
        pending_.clear();
        blockOpen_ = false;
        loaderIn_ = BytesIn();
        Bytes out{cmdUPGRADE, UP_INIT};
        putBE32(out, config_.loadBase);
        return reply(fx, out);
    }
    case UP_DATA: {
        size_t n = d.size() - 2;
        if (!blockOpen_ || n == 0 || n > MAX_PIECE) {
            fx.events.push_back(blockOpen_ ? "bad DATA size" : "DATA without PREPARE");
            return reply(fx, Bytes{cmdUPGRADE, UP_DATA, 0});
        }
        if (FaultSpec* f = takeFault(FaultSpec::Short, d)) {
            // The piece is dropped whole; the host sends it again.
            uint8_t told = uint8_t(n > f->arg ? n - f->arg : 0);
            fx.events.push_back("fault short " + std::to_string(told) + " of " + std::to_string(n));
            return reply(fx, Bytes{cmdUPGRADE, UP_DATA, told});
        }
        pending_.insert(pending_.end(), d.begin() + 2, d.end());
        return reply(fx, Bytes{cmdUPGRADE, UP_DATA, uint8_t(n)});
    }
    case UP_PREPARE: {
        commitLoaderPiece();
        if (d.size() != 7) {
            blockOpen_ = false;
            return loaderStatus(rq, fx, aErrShortCommand, Bytes{0, 0});
        }
        blockOpen_ = true;
        blockAddress_ = getBE32(&d[3]);
        loaderIn_ = BytesIn();
        Bytes size;
        putBE16(size, config_.blockSize);
        return loaderStatus(rq, fx, aErrNone, size);
    }
    case UP_SUM: {
        uint32_t sum = 0;
        for (uint8_t b : pending_)
            sum += b;
        if (takeFault(FaultSpec::BadSum, d)) {
            fx.events.push_back("fault badsum");
            sum ^= 0x00A5A5A5u;
            sum += 1;
        }
        Bytes out;
        putBE32(out, sum);
        return loaderStatus(rq, fx, blockOpen_ ? uint8_t(aErrNone) : uint8_t(aErrMode), out);
    }
    case UP_WRITE: {
        if (d.size() != 4)
            return loaderStatus(rq, fx, aErrShortCommand, Bytes());
        uint32_t count = getBE16(&d[2]);
        if (!blockOpen_ || count == 0 || count > pending_.size()) {
            fx.events.push_back("WRITE of " + std::to_string(count) + " with " + std::to_string(pending_.size()) +
                                " pending refused");
            pending_.clear();
            return loaderStatus(rq, fx, aErrSize, Bytes());
        }
        flash_.write(blockAddress_, pending_.data(), count);
        blockAddress_ += count;
        pending_.clear();
        return loaderStatus(rq, fx, aErrNone, Bytes());
    }
    case UP_LOAD:
        commitLoaderPiece();
        blockOpen_ = false;
        loaderRunning_ = true;
        fx.events.push_back("loader started");
        reply(fx, Bytes{cmdUPGRADE, UP_LOAD});
        if (config_.loadDrops) {
            fx.dropLink = true;
            fx.dropAfterMs = config_.loadDropMs;
        }
        return;
    case UP_REBOOT:
        return reboot(fx);
    default:
        fx.events.push_back("unknown upgrade option ignored");
        return;
    }
}

// Option 10: the image bytes as a UEI bytes value, one chunk per packet and
// one reply after the last chunk.
void SimModule::upgradeBytes(const Packet& rq, Effects& fx)
{
    const Bytes& d = rq.data;
    uint8_t option = d[1] & 0x3F;
    if (d.size() < 3)
        return fx.events.push_back("short upgrade UEI ignored");
    if (option != UP_DATA_UEI || !config_.ueiData)
        return ueiError(rq, aErrInvalidOption, fx);
    if ((d[1] & 0xC0) != 0x80)
        return ueiError(rq, aErrMode, fx);
    if (d.size() < 4)
        return ueiError(rq, aErrShortCommand, fx);
    uint8_t trailer = d.back();
    uint8_t seq = trailer & 0x7F;
    if (seq == 0)
        loaderIn_ = BytesIn();
    if (seq != loaderIn_.sequence) {
        fx.events.push_back("option 10 chunk out of sequence");
        loaderIn_ = BytesIn();
        return ueiError(rq, aErrPacket, fx);
    }
    loaderIn_.data.insert(loaderIn_.data.end(), d.begin() + 3, d.end() - 1);
    loaderIn_.sequence = uint8_t((seq + 1) & 0x7F);
    if (trailer & 0x80)
        return;
    Bytes value;
    value.swap(loaderIn_.data);
    loaderIn_ = BytesIn();
    if (!blockOpen_) {
        fx.events.push_back("option 10 without PREPARE");
        return ueiError(rq, aErrMode, fx);
    }
    pending_.insert(pending_.end(), value.begin(), value.end());
    reply(fx, Bytes{cmdUPGRADE, uint8_t(UP_DATA_UEI | 0xC0), uint8_t(d[2] & 0x1F)});
}

void SimModule::reboot(Effects& fx)
{
    pending_.clear();
    blockOpen_ = false;
    loaderRunning_ = false;
    loaderIn_ = BytesIn();
    if (config_.hasNewVersion)
        config_.version = config_.newVersion;
    if (config_.hasNewBuild)
        config_.build = config_.newBuild;
    values_[7] = config_.version;
    values_[43] = config_.build;
    routeToMe_ = false;
    ++counters_.reboots;
    fx.events.push_back("reboot");
    if (config_.rebootDrops)
        fx.dropLink = true;
}

} // namespace sim

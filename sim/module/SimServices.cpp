// Capability queries, store slots, factory data, stream control and the I2C
// bus of a simulated module.
#include <algorithm>

#include "link/aDefs.h"
#include "link/aError.h"
#include "sim/module/SimModule.h"

namespace sim {

namespace {
const uint8_t cmdI2C = 8;
const uint8_t NO_HANDLE = 255;
} // namespace

uint8_t SimModule::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const
{
    bool wantGet = flags & 0x40;
    bool wantSet = flags & 0x80;
    switch (command) {
    case cmdSYSTEMCLASS: {
        if (index != 0)
            return aErrIndexRange;
        if (!hasOption(option))
            return aErrInvalidOption;
        int access = sOptionInfo(option)->access;
        if ((wantGet && !(access & GET)) || (wantSet && !(access & (SET | CALL))))
            return aErrInvalidOption;
        return aErrNone;
    }
    case cmdUPGRADE:
        if (index != 0)
            return aErrIndexRange;
        return option == 10 && config_.ueiData && !wantGet ? aErrNone : aErrInvalidOption;
    case cmdSTREAMCONTROL:
        return option == 1 || (option == 2 && !wantGet) ? aErrNone : aErrInvalidOption;
    default:
        return aErrInvalidEntity;
    }
}

void SimModule::query(const Packet& rq, Effects& fx)
{
    const Bytes& d = rq.data;
    if (d.size() < 2) {
        fx.events.push_back("short query ignored");
        return;
    }
    switch (d[1]) {
    case 1:
        if (d.size() < 6)
            break;
        return reply(fx, Bytes{cmdQUERY, 1, d[2], d[3], d[4], hasUEI(d[2], d[3], d[4], d[5])});
    case 4: {
        if (d.size() < 3)
            break;
        uint8_t count = 0;
        switch (d[2]) {
        case cmdSYSTEMCLASS:
        case cmdSTORESLOT:
        case cmdUPGRADE:
        case cmdSTREAMCONTROL:
        case cmdFACTORYDATA:
            count = 1;
            break;
        case cmdI2C:
            count = behind_.empty() ? 0 : 1;
            break;
        default:
            break;
        }
        return reply(fx, Bytes{cmdQUERY, 4, d[2], count});
    }
    case 5:
    case 6:
        if (d.size() < 4)
            break;
        return reply(fx, Bytes{cmdQUERY, d[1], d[2], d[3], 0});
    case 0xFF: {
        Bytes out{cmdQUERY, 0xFF};
        putBE32(out, values_.count(43) ? values_.at(43) : 0);
        return reply(fx, out);
    }
    default:
        break;
    }
    fx.events.push_back("query not understood");
}

void SimModule::storeSlot(const Packet& rq, Effects& fx)
{
    const Bytes& d = rq.data;
    if (d.size() < 3) {
        fx.events.push_back("short store slot request ignored");
        return;
    }
    uint8_t sub = d[1];
    if (sub >= 1 && sub <= 4) {
        if (d.size() < 4)
            return reply(fx, Bytes{cmdSTORESLOT, uint8_t(sub | 0x80), d[2], 0, aErrShortCommand});
        uint8_t store = d[2], slot = d[3];
        auto fail = [&](uint8_t code) { reply(fx, Bytes{cmdSTORESLOT, uint8_t(sub | 0x80), store, slot, code}); };
        if (store >= stores_.size() || slot >= stores_[store].size())
            return fail(aErrIndexRange);
        Bytes& bytes = stores_[store][slot];
        if (sub == 1 || sub == 2) {
            Bytes out{cmdSTORESLOT, sub, store, slot};
            putBE16(out, sub == 1 ? config_.slotCapacity : uint32_t(bytes.size()));
            return reply(fx, out);
        }
        uint8_t handle = 0;
        while (handle < 16 && handles_.count(handle))
            ++handle;
        if (handle == 16)
            return fail(aErrResource);
        for (const auto& h : handles_)
            if (h.second.store == store && h.second.slot == slot && (h.second.writing || sub == 4))
                return fail(aErrBusy);
        if (sub == 4)
            bytes.clear();
        handles_[handle] = Handle{store, slot, sub == 4, 0};
        return reply(fx, Bytes{cmdSTORESLOT, sub, store, slot, handle});
    }
    uint8_t handle = d[2];
    auto fail = [&](uint8_t code) { reply(fx, Bytes{cmdSTORESLOT, uint8_t(sub | 0x80), handle, code}); };
    if (sub < 6 || sub > 8)
        return fail(aErrUnimplemented);
    auto it = handles_.find(handle);
    if (handle == NO_HANDLE || it == handles_.end())
        return fail(aErrParam);
    Handle& h = it->second;
    Bytes& bytes = stores_[h.store][h.slot];
    if (sub == 8) {
        handles_.erase(it);
        return reply(fx, Bytes{cmdSTORESLOT, 8, handle, aErrNone});
    }
    if (sub == 6) {
        if (h.writing)
            return fail(aErrMode);
        Bytes out{cmdSTORESLOT, 6, handle};
        size_t n = std::min<size_t>(25, bytes.size() - h.position);
        out.insert(out.end(), bytes.begin() + long(h.position), bytes.begin() + long(h.position + n));
        h.position += n;
        return reply(fx, out);
    }
    if (!h.writing)
        return fail(aErrMode);
    size_t n = d.size() - 3;
    if (bytes.size() + n > config_.slotCapacity)
        return fail(aErrOverrun);
    uint8_t sum = 0;
    for (size_t i = 3; i < d.size(); ++i)
        sum = uint8_t(sum + d[i]);
    bytes.insert(bytes.end(), d.begin() + 3, d.end());
    reply(fx, Bytes{cmdSTORESLOT, 7, handle, sum});
}

void SimModule::factoryData(const Packet& rq, Effects& fx)
{
    const Bytes& d = rq.data;
    if (d.size() < 2) {
        fx.events.push_back("short factory request ignored");
        return;
    }
    uint8_t flags = d[1] & 0xF0;
    uint8_t kind = d[1] & 0x0F;
    auto fail = [&](uint8_t k, uint8_t code) { reply(fx, Bytes{cmdFACTORYDATA, uint8_t(k | 0x80), code}); };
    if (flags & 0x20) {
        // Closing message with the total the host counted.
        uint32_t total = d.size() >= 4 ? getBE16(&d[2]) : 0xFFFFFFFF;
        FactoryTransfer x = factoryXfer_;
        factoryXfer_ = FactoryTransfer();
        if (!x.active)
            return fail(0, aErrMode);
        if (x.writing) {
            if (total != x.data.size())
                return fail(0, aErrSize);
            config_.factory[x.kind] = x.data;
        } else if (total != x.position) {
            return fail(0, aErrSize);
        }
        return reply(fx, Bytes{cmdFACTORYDATA, 0});
    }
    bool first = flags & 0x40;
    if (flags & 0x10) {
        if (first) {
            factoryXfer_ = FactoryTransfer();
            factoryXfer_.active = true;
            factoryXfer_.writing = true;
            factoryXfer_.kind = kind;
        } else if (!factoryXfer_.active || !factoryXfer_.writing || factoryXfer_.kind != kind) {
            return fail(kind, aErrMode);
        }
        if (d.size() - 2 > 26 || factoryXfer_.data.size() + d.size() - 2 > 0xFFFF)
            return fail(kind, aErrSize);
        factoryXfer_.data.insert(factoryXfer_.data.end(), d.begin() + 2, d.end());
        return reply(fx, Bytes{cmdFACTORYDATA, kind});
    }
    auto it = config_.factory.find(kind);
    if (it == config_.factory.end())
        return fail(kind, aErrNotFound);
    if (first) {
        factoryXfer_ = FactoryTransfer();
        factoryXfer_.active = true;
        factoryXfer_.kind = kind;
    } else if (!factoryXfer_.active || factoryXfer_.writing || factoryXfer_.kind != kind) {
        return fail(kind, aErrMode);
    }
    const Bytes& src = it->second;
    size_t n = std::min<size_t>(26, src.size() - std::min(src.size(), factoryXfer_.position));
    Bytes out{cmdFACTORYDATA, kind};
    out.insert(out.end(), src.begin() + long(factoryXfer_.position), src.begin() + long(factoryXfer_.position + n));
    factoryXfer_.position += n;
    reply(fx, out);
}

void SimModule::streamControl(const Packet& rq, LinkState& link, Effects& fx)
{
    const Bytes& d = rq.data;
    if (d.size() < 3)
        return fx.events.push_back("short stream control ignored");
    uint8_t option = d[1] & 0x3F;
    bool isGet = (d[1] & 0xC0) == 0x40;
    bool isSet = (d[1] & 0xC0) == 0x80;
    if (isGet && option == 1) {
        uint8_t state = 0;
        for (uint32_t key : link.streamKeys)
            if ((key >> 24) == config_.address)
                state = 1;
        return reply(fx, Bytes{cmdSTREAMCONTROL, 1, uint8_t(d[2] & 0x1F), state});
    }
    if (!isSet || (option != 1 && option != 2))
        return ueiError(rq, aErrInvalidOption, fx);
    if (d.size() != 7)
        return ueiError(rq, aErrSize, fx);
    uint32_t key = getBE32(&d[3]);
    if ((key >> 24) != config_.address)
        return ueiError(rq, aErrParam, fx);
    auto covers = [](uint32_t wide, uint32_t narrow) {
        for (int lane = 0; lane < 3; ++lane) {
            uint8_t w = uint8_t(wide >> (8 * lane)), n = uint8_t(narrow >> (8 * lane));
            if (w != 0xFF && w != n)
                return false;
        }
        return true;
    };
    std::vector<uint32_t>& keys = link.streamKeys;
    if (option == 1) {
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            keys.push_back(key);
    } else {
        std::vector<uint32_t> kept;
        for (uint32_t k : keys)
            if ((k >> 24) != (key >> 24) || !covers(key, k))
                kept.push_back(k);
        keys.swap(kept);
    }
    fx.events.push_back(std::string(option == 1 ? "stream on " : "stream off ") + hexText(&d[3], 4));
    Bytes out{cmdSTREAMCONTROL, uint8_t(option | 0xC0), uint8_t(d[2] & 0x1F)};
    putBE32(out, key);
    reply(fx, out);
}

void SimModule::i2c(const Packet& rq, Effects& fx)
{
    const Bytes& d = rq.data;
    if (d.size() < 4)
        return fx.events.push_back("short I2C request ignored");
    uint8_t index = d[1];
    uint8_t address = d[2];
    uint8_t status = index == 0 ? uint8_t(aErrNone) : uint8_t(0x80 | aErrIndexRange);
    if (address == 1 && d.size() == 4)
        return reply(fx, Bytes{cmdI2C, index, 1, d[3], status});
    uint8_t target = address & 0xFE;
    bool present = target == config_.address || behind(target) != nullptr;
    if (status == 0 && !present)
        status = 0x80 | aErrIO;
    uint8_t length = d[3];
    if (length > 23)
        status = 0x80 | aErrSize;
    if (address & 1) {
        uint8_t count = status == 0 ? length : 0;
        Bytes out{cmdI2C, index, address, count, status};
        out.insert(out.end(), count, 0);
        return reply(fx, out);
    }
    if (status == 0 && d.size() != size_t(5 + length))
        status = 0x80 | aErrSize;
    reply(fx, Bytes{cmdI2C, index, address, length, status});
}

} // namespace sim

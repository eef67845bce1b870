#include "sim/module/SimModule.h"

#include <algorithm>
#include <cstdio>

#include "link/aDefs.h"
#include "link/aError.h"

namespace sim {

namespace {

// Commands whose packets are not UEI messages.
bool sIsUEICommand(uint8_t command)
{
    static const uint8_t NOT_UEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    return std::find(std::begin(NOT_UEI), std::end(NOT_UEI), command) == std::end(NOT_UEI);
}

} // namespace

SimModule::SimModule(const ModuleConfig& config, uint64_t startMs) : config_(config), startMs_(startMs)
{
    for (const ModuleConfig& b : config_.behind)
        behind_.emplace_back(new SimModule(b, startMs));
    for (auto& store : stores_)
        store.assign(config_.slotsPerStore, Bytes());
    resetValues();
}

// Width and access of each system option this simulator knows.
const SimModule::OptionInfo* SimModule::sOptionInfo(uint8_t option)
{
    static const struct {
        uint8_t option;
        OptionInfo info;
    } TABLE[] = {
        {1, {U8, GET}}, {2, {U8, GET | SET}}, {3, {U8, GET | SET}}, {4, {U8, GET | SET}},
        {6, {U8, GET | SET}}, {7, {U32, GET}}, {8, {U8, GET}}, {9, {U32, GET}},
        {10, {NONE, CALL}}, {11, {NONE, CALL}}, {12, {U32, GET}}, {13, {U8, GET}},
        {14, {U8, GET}}, {15, {U8, GET | SET}}, {16, {U8, GET}}, {20, {U8, GET | SET}},
        {21, {U32, GET}}, {22, {U32, GET}}, {23, {U32, GET}}, {24, {NONE, CALL}},
        {25, {U32, GET}}, {26, {U32, GET}}, {27, {U32, GET}}, {28, {U32, GET}},
        {29, {U8, GET}}, {30, {U8, GET | SET}}, {31, {BYTES, GET | SET}}, {32, {BYTES, GET | SET}},
        {33, {U32, GET}}, {34, {U32, GET | SET}}, {35, {U32, GET}}, {36, {NONE, CALL}},
        {37, {NONE, CALL}}, {38, {U8, GET | SET}}, {39, {U32, GET}}, {40, {U32, GET}}, {41, {U32, GET}},
        {42, {U8, GET | SET}}, {43, {U32, GET}}, {45, {U32, GET}},
    };
    for (const auto& e : TABLE)
        if (e.option == option)
            return &e.info;
    return nullptr;
}

void SimModule::resetValues()
{
    uint8_t router = uint8_t(config_.routerAddress >= 0 ? config_.routerAddress : config_.address);
    values_ = {
        {1, config_.address}, {2, router}, {3, 1}, {4, 0}, {6, 0}, {7, config_.version},
        {8, config_.model}, {9, config_.serial}, {12, 5000000}, {13, 0}, {14, config_.address},
        {15, 0}, {16, router}, {20, 0}, {21, 250000}, {23, 45000000}, {25, 12000000},
        {26, 300000}, {27, 31500000}, {28, 20000000}, {29, 1}, {30, 0}, {33, 10000},
        {34, 10000}, {35, 0}, {38, 0}, {40, 1}, {41, 0}, {42, 255}, {43, config_.build},
        {45, config_.features},
    };
    for (const auto& o : config_.options)
        values_[o.first] = o.second;
    bytesValues_[32] = Bytes(config_.name.begin(), config_.name.end());
    bytesValues_[31] = Bytes{0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    routeToMe_ = false;
}

bool SimModule::hasOption(uint8_t option) const
{
    if (!sOptionInfo(option))
        return false;
    if (option == 39 && config_.uid.empty())
        return false;
    for (uint8_t m : config_.missingOptions)
        if (m == option)
            return false;
    return true;
}

uint32_t SimModule::optionValue(uint8_t option, uint64_t nowMs) const
{
    if (option == 22)
        return uint32_t((nowMs - startMs_) / 1000);
    if (option == 20)
        return routeToMe_ ? 1 : 0;
    auto it = values_.find(option);
    return it == values_.end() ? 0 : it->second;
}

SimModule* SimModule::behind(uint8_t address)
{
    for (auto& b : behind_)
        if (b->address() == address)
            return b.get();
    return nullptr;
}

std::vector<SimModule*> SimModule::behindModules()
{
    std::vector<SimModule*> out;
    for (auto& b : behind_)
        out.push_back(b.get());
    return out;
}

FaultSpec* SimModule::takeFault(FaultSpec::Kind kind, const Bytes& data)
{
    for (FaultSpec& f : config_.faults) {
        if (f.kind == kind && !f.exhausted() && f.matches(data)) {
            ++f.fired;
            return &f;
        }
    }
    return nullptr;
}

bool SimModule::takeDisconnect(uint64_t bytesIn)
{
    for (FaultSpec& f : config_.faults) {
        if (f.kind == FaultSpec::Disconnect && !f.exhausted() && bytesIn >= f.arg) {
            ++f.fired;
            return true;
        }
    }
    return false;
}

bool SimModule::reconfigure(const std::string& keys, std::string& error)
{
    ModuleConfig next = config_;
    if (!applyModuleKeys(keys, next, error))
        return false;
    if (next.serial != config_.serial || next.address != config_.address || next.port != config_.port ||
        next.pty != config_.pty) {
        error = "serial, address, port and link cannot change at run time";
        return false;
    }
    config_ = next;
    resetValues();
    return true;
}

void SimModule::reply(Effects& fx, Bytes data) const
{
    Packet p;
    p.address = config_.address;
    p.data = std::move(data);
    fx.replies.push_back(std::move(p));
}

void SimModule::ueiError(const Packet& rq, uint8_t code, Effects& fx) const
{
    uint8_t option = rq.data.size() > 1 ? rq.data[1] : 0;
    uint8_t index = rq.data.size() > 2 ? rq.data[2] : 0;
    // The host matches an error reply on the option byte it expects back.
    uint8_t expected = (option & 0x80) ? uint8_t((option & 0x3F) | 0xC0) : uint8_t(option & 0x3F);
    reply(fx, Bytes{rq.data[0], expected, uint8_t((index & 0x1F) | 0x80), code});
}

void SimModule::handle(const Packet& rq, LinkState& link, Effects& fx, uint64_t nowMs)
{
    if (rq.data.empty()) {
        fx.events.push_back("empty packet ignored");
        return;
    }
    if (FaultSpec* f = takeFault(FaultSpec::Error, rq.data)) {
        fx.events.push_back("fault error " + std::to_string(f->arg));
        if (sIsUEICommand(rq.data[0]) && rq.data.size() >= 3)
            ueiError(rq, uint8_t(f->arg), fx);
        else
            reply(fx, Bytes{rq.data[0], uint8_t(rq.data.size() > 1 ? rq.data[1] | 0x80 : 0x80), uint8_t(f->arg)});
        return;
    }
    switch (rq.data[0]) {
    case cmdSYSTEMCLASS:
        system(rq, fx, nowMs);
        break;
    case cmdSTORESLOT:
        storeSlot(rq, fx);
        break;
    case 8:
        i2c(rq, fx);
        break;
    case cmdDEBUGECHO:
        reply(fx, rq.data);
        break;
    case cmdQUERY:
        query(rq, fx);
        break;
    case cmdSTREAMCONTROL:
        streamControl(rq, link, fx);
        break;
    case cmdFACTORYDATA:
        factoryData(rq, fx);
        break;
    case cmdUPGRADE:
        upgrade(rq, fx);
        break;
    default:
        if (rq.data.size() >= 3 && sIsUEICommand(rq.data[0]))
            ueiError(rq, aErrInvalidEntity, fx);
        else
            fx.events.push_back("unknown command ignored");
        break;
    }
}

void SimModule::sendBytesValue(const Packet& rq, uint8_t option, const Bytes& value, Effects& fx) const
{
    uint8_t index = rq.data[2] & 0x1F;
    size_t pos = 0;
    uint8_t seq = 0;
    do {
        size_t n = std::min<size_t>(24, value.size() - pos);
        Bytes d{rq.data[0], option, index};
        d.insert(d.end(), value.begin() + long(pos), value.begin() + long(pos + n));
        pos += n;
        bool more = pos < value.size();
        d.push_back(uint8_t((more ? 0x80 : 0) | (seq & 0x7F)));
        reply(fx, d);
        ++seq;
    } while (pos < value.size());
}

void SimModule::system(const Packet& rq, Effects& fx, uint64_t nowMs)
{
    const Bytes& d = rq.data;
    if (d.size() < 3) {
        fx.events.push_back("short system request ignored");
        return;
    }
    uint8_t option = d[1] & 0x3F;
    bool isGet = (d[1] & 0xC0) == 0x40;
    bool isSet = (d[1] & 0xC0) == 0x80;
    if (!isGet && !isSet)
        return ueiError(rq, aErrParam, fx);
    if ((d[2] & 0x1F) != 0)
        return ueiError(rq, aErrIndexRange, fx);
    if (!hasOption(option))
        return ueiError(rq, aErrInvalidOption, fx);
    const OptionInfo* info = sOptionInfo(option);
    uint8_t index = d[2] & 0x1F;
    if (isGet) {
        if (!(info->access & GET))
            return ueiError(rq, aErrMode, fx);
        if (info->kind == BYTES)
            return sendBytesValue(rq, option, bytesValues_[option], fx);
        Bytes out{cmdSYSTEMCLASS, option, index};
        uint32_t v = optionValue(option, nowMs);
        if (option == 39) {
            // The unique identifier: one word per sub-index.
            size_t word = d.size() > 3 ? d[3] : 0;
            if (word >= config_.uid.size())
                return ueiError(rq, aErrIndexRange, fx);
            v = config_.uid[word];
        }
        if (info->kind == U8)
            out.push_back(uint8_t(v));
        else
            putBE32(out, v);
        return reply(fx, out);
    }
    if (info->access == GET)
        return ueiError(rq, aErrPermission, fx);
    if (info->kind == BYTES)
        return systemSetBytes(rq, option, fx);
    size_t want = info->kind == U8 ? 4 : info->kind == U32 ? 7 : 3;
    if (d.size() != want)
        return ueiError(rq, aErrSize, fx);
    uint32_t v = info->kind == U8 ? d[3] : info->kind == U32 ? getBE32(&d[3]) : 0;
    switch (option) {
    case 4:
        v = v ? 1 : 0;
        break;
    case 20:
        routeToMe_ = v != 0;
        fx.events.push_back(routeToMe_ ? "route to me on" : "route to me off");
        break;
    case 37:
        resetValues();
        fx.events.push_back("factory defaults");
        break;
    case 11:
        fx.events.push_back("reset requested");
        break;
    default:
        break;
    }
    if (info->kind != NONE)
        values_[option] = v;
    Bytes out{cmdSYSTEMCLASS, uint8_t(option | 0xC0), index};
    out.insert(out.end(), d.begin() + 3, d.end());
    reply(fx, out);
}

void SimModule::systemSetBytes(const Packet& rq, uint8_t option, Effects& fx)
{
    const Bytes& d = rq.data;
    if (d.size() < 4)
        return ueiError(rq, aErrShortCommand, fx);
    uint8_t trailer = d.back();
    uint8_t seq = trailer & 0x7F;
    if (bytesIn_.option != option || seq == 0) {
        bytesIn_ = BytesIn();
        bytesIn_.option = option;
    }
    if (seq != bytesIn_.sequence) {
        bytesIn_ = BytesIn();
        return ueiError(rq, aErrPacket, fx);
    }
    bytesIn_.data.insert(bytesIn_.data.end(), d.begin() + 3, d.end() - 1);
    bytesIn_.sequence = uint8_t((bytesIn_.sequence + 1) & 0x7F);
    if (trailer & 0x80)
        return; // more chunks follow; one reply after the last
    Bytes value = bytesIn_.data;
    bytesIn_ = BytesIn();
    if ((option == 32 && value.size() > 32) || (option == 31 && value.size() % 4 != 0))
        return ueiError(rq, aErrSize, fx);
    bytesValues_[option] = value;
    reply(fx, Bytes{cmdSYSTEMCLASS, uint8_t(option | 0xC0), uint8_t(d[2] & 0x1F)});
}

std::vector<StreamSource> SimModule::streamSources() const
{
    if (!config_.streams.empty())
        return config_.streams;
    return {
        {3, 4, 0, 1, 0}, {3, 3, 0, 2, 0}, {3, 22, 0, 3, 0},
        {3, 13, 0, 5, 0}, {3, 12, 0, 6, 1}, {3, 27, 0, 7, 2},
    };
}

Packet SimModule::makeSample(const StreamSource& s, uint64_t nowMs)
{
    uint32_t value = s.command == cmdSYSTEMCLASS && hasOption(s.option) ? optionValue(s.option, nowMs)
                                                                          : sampleCounter_++;
    uint64_t stamp = nowMs - startMs_;
    Bytes d{s.command, s.option, uint8_t((s.index & 0x1F) | 0x40), s.type};
    if (s.type >= 5)
        d.push_back(s.subindex);
    putBE32(d, uint32_t(stamp >> 32));
    putBE32(d, uint32_t(stamp));
    switch (s.type & 3) {
    case 1:
        d.push_back(uint8_t(value));
        break;
    case 2:
        putBE16(d, value);
        break;
    default:
        putBE32(d, value);
        break;
    }
    d.push_back(0x00);
    Packet p;
    p.address = config_.address;
    p.data = d;
    return p;
}

bool SimModule::dumpMemory(const std::string& dir) const
{
    char name[32];
    std::snprintf(name, sizeof name, "/%08X.flash", config_.serial);
    char header[160];
    std::snprintf(header, sizeof header,
        "# simulated module memory\nserial %08X\nversion %08X\nbuild %u\nreboots %u\n", config_.serial,
        values_.count(7) ? values_.at(7) : 0, values_.count(43) ? values_.at(43) : 0, counters_.reboots);
    return writeMemoryDump(dir + name, header, {{"loader", &loaderMem_}, {"flash", &flash_}});
}

} // namespace sim

#include "sim/module/SimConfig.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

bool sNumber(const std::string& text, uint32_t& value, int base = 0)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno || *end || text[0] == '-' || v > 0xFFFFFFFFull)
        return false;
    value = uint32_t(v);
    return true;
}

bool sSmall(const std::string& key, const std::string& text, uint32_t max, uint32_t& value, std::string& error)
{
    if (!sNumber(text, value) || value > max) {
        error = "bad value for " + key + ": '" + text + "'";
        return false;
    }
    return true;
}

std::vector<std::string> sSplit(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

bool sStream(const std::string& text, StreamSource& s, std::string& error)
{
    std::vector<std::string> f = sSplit(text, ':');
    uint32_t v[5] = {0, 0, 0, 0, 0};
    if (f.size() < 4 || f.size() > 5) {
        error = "stream needs CMD:OPT:IDX:TYPE[:SUB]: '" + text + "'";
        return false;
    }
    for (size_t i = 0; i < f.size(); ++i)
        if (!sSmall("stream", f[i], 255, v[i], error))
            return false;
    if (v[3] == 0 || v[3] == 4 || v[3] > 7) {
        error = "stream sample type must be 1-3 or 5-7: '" + text + "'";
        return false;
    }
    s.command = uint8_t(v[0]);
    s.option = uint8_t(v[1]);
    s.index = uint8_t(v[2]);
    s.type = uint8_t(v[3]);
    s.subindex = uint8_t(v[4]);
    return true;
}

// Where --fault and --stream go: the module declared last.
struct Cursor {
    int module = -1;
    int behind = -1;
    ModuleConfig* get(SimConfig& c) const
    {
        if (module < 0)
            return nullptr;
        ModuleConfig& m = c.modules[size_t(module)];
        return behind < 0 ? &m : &m.behind[size_t(behind)];
    }
};

bool sOption(const std::string& name, const std::string& value, SimConfig& config, Cursor& cur, std::string& error);

bool sConfigFile(const std::string& path, SimConfig& config, Cursor& cur, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read config file " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#')
            continue;
        size_t end = line.find_last_not_of(" \t\r");
        line = line.substr(start, end - start + 1);
        size_t gap = line.find_first_of(" \t");
        std::string name = line.substr(0, gap);
        std::string value;
        if (gap != std::string::npos)
            value = line.substr(line.find_first_not_of(" \t", gap));
        if (name == "config" || !sOption(name, value, config, cur, error)) {
            if (name == "config")
                error = "config files do not nest";
            error = path + ":" + std::to_string(number) + ": " + error;
            return false;
        }
    }
    return true;
}

bool sOption(const std::string& name, const std::string& value, SimConfig& config, Cursor& cur, std::string& error)
{
    uint32_t n = 0;
    if (name == "bind") {
        config.bindAddress = value;
    } else if (name == "discovery") {
        config.discoveryInterface = value;
    } else if (name == "trace") {
        config.tracePath = value;
    } else if (name == "flash-dir") {
        config.flashDir = value;
    } else if (name == "ready-file") {
        config.readyFile = value;
    } else if (name == "lifetime") {
        if (!sSmall(name, value, 1000000, n, error))
            return false;
        config.lifetimeSeconds = int(n);
    } else if (name == "control-stdin") {
        config.controlStdin = true;
    } else if (name == "config") {
        return sConfigFile(value, config, cur, error);
    } else if (name == "module") {
        ModuleConfig m;
        if (!applyModuleKeys(value, m, error))
            return false;
        config.modules.push_back(m);
        cur.module = int(config.modules.size()) - 1;
        cur.behind = -1;
    } else if (name == "behind") {
        if (cur.module < 0) {
            error = "behind needs a router: declare a module first";
            return false;
        }
        ModuleConfig m;
        m.address = 0;
        if (!applyModuleKeys(value, m, error))
            return false;
        ModuleConfig& router = config.modules[size_t(cur.module)];
        if (m.address == 0 || m.address == router.address) {
            error = "a module behind a router needs its own even address";
            return false;
        }
        m.routerSerial = router.serial;
        if (m.routerAddress < 0)
            m.routerAddress = router.address;
        router.behind.push_back(m);
        cur.behind = int(router.behind.size()) - 1;
    } else if (name == "fault" || name == "stream") {
        ModuleConfig* m = cur.get(config);
        if (!m) {
            error = name + " needs a module: declare one first";
            return false;
        }
        return applyModuleKeys(name + "=" + value, *m, error);
    } else {
        error = "unknown option '" + name + "'";
        return false;
    }
    return true;
}

} // namespace

uint32_t packVersion(uint32_t major, uint32_t minor, uint32_t patch)
{
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF);
    return (major & 0x0F) << 28 | (minor & 0x0F) << 24 | (patch & 0xFF);
}

bool parseVersion(const std::string& text, uint32_t& word)
{
    std::vector<std::string> f = sSplit(text, '.');
    if (f.size() == 1)
        return sNumber(text, word);
    uint32_t v[3];
    if (f.size() != 3)
        return false;
    for (int i = 0; i < 3; ++i)
        if (!sNumber(f[size_t(i)], v[i], 10) || v[i] > 255)
            return false;
    word = packVersion(v[0], v[1], v[2]);
    return true;
}

bool parseFault(const std::string& text, FaultSpec& fault, std::string& error)
{
    static const struct {
        const char* name;
        FaultSpec::Kind kind;
        bool needsArg;
        uint32_t defaultArg;
        const char* defaultMatch;
        int defaultCount;
    } KINDS[] = {
        {"delay", FaultSpec::Delay, true, 0, "", 1},
        {"drop", FaultSpec::Drop, false, 0, "", 1},
        {"short", FaultSpec::Short, false, 1, "5F01", 1},
        {"badsum", FaultSpec::BadSum, false, 0, "5F04", 1},
        {"garbage", FaultSpec::Garbage, false, 8, "", 1},
        {"disconnect", FaultSpec::Disconnect, true, 0, "", 1},
        {"slow", FaultSpec::Slow, true, 0, "", 0},
        {"status", FaultSpec::Status, false, 1, "", 1},
        {"error", FaultSpec::Error, true, 0, "", 1},
    };
    std::string rest = text;
    int count = -1;
    size_t star = rest.find('*');
    if (star != std::string::npos) {
        uint32_t c;
        if (!sNumber(rest.substr(star + 1), c, 10) || c > 1000000) {
            error = "bad fault count in '" + text + "'";
            return false;
        }
        count = int(c);
        rest = rest.substr(0, star);
    }
    std::string match;
    bool hasMatch = false;
    size_t at = rest.find('@');
    if (at != std::string::npos) {
        match = rest.substr(at + 1);
        hasMatch = true;
        rest = rest.substr(0, at);
    }
    std::string arg;
    bool hasArg = false;
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        arg = rest.substr(colon + 1);
        hasArg = true;
        rest = rest.substr(0, colon);
    }
    for (const auto& k : KINDS) {
        if (rest != k.name)
            continue;
        FaultSpec f;
        f.kind = k.kind;
        f.arg = k.defaultArg;
        f.count = count >= 0 ? count : k.defaultCount;
        if (hasArg && !sNumber(arg, f.arg)) {
            error = "bad fault argument in '" + text + "'";
            return false;
        }
        if (k.needsArg && !hasArg) {
            error = std::string("fault ") + k.name + " needs :ARG";
            return false;
        }
        if (!parseHex(hasMatch ? match : k.defaultMatch, f.match)) {
            error = "bad fault match (hex bytes) in '" + text + "'";
            return false;
        }
        fault = f;
        return true;
    }
    error = "unknown fault '" + rest + "'";
    return false;
}

bool applyModuleKeys(const std::string& text, ModuleConfig& m, std::string& error)
{
    bool haveSerial = m.serial != 0;
    for (const std::string& item : sSplit(text, ',')) {
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = "expected KEY=VALUE, got '" + item + "'";
            return false;
        }
        std::string key = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        uint32_t n = 0;
        if (key == "serial") {
            if (!sNumber(value, n, 16) || n == 0) {
                error = "serial must be non-zero hex: '" + value + "'";
                return false;
            }
            m.serial = n;
            haveSerial = true;
        } else if (key == "model") {
            if (!sSmall(key, value, 255, n, error))
                return false;
            m.model = uint8_t(n);
        } else if (key == "address") {
            if (!sSmall(key, value, 254, n, error))
                return false;
            if (n == 0 || (n & 1)) {
                error = "module addresses are even and non-zero: '" + value + "'";
                return false;
            }
            m.address = uint8_t(n);
        } else if (key == "port") {
            if (!sSmall(key, value, 65535, n, error))
                return false;
            m.port = uint16_t(n);
        } else if (key == "link") {
            if (value != "tcp" && value != "pty") {
                error = "link is tcp or pty";
                return false;
            }
            m.pty = value == "pty";
        } else if (key == "version" || key == "newversion") {
            if (!parseVersion(value, n)) {
                error = "bad version '" + value + "' (M.m.p or a packed number)";
                return false;
            }
            if (key == "version") {
                m.version = n;
            } else {
                m.newVersion = n;
                m.hasNewVersion = true;
            }
        } else if (key == "build" || key == "newbuild") {
            if (!sSmall(key, value, 0xFFFFFFFF, n, error))
                return false;
            if (key == "build") {
                m.build = n;
            } else {
                m.newBuild = n;
                m.hasNewBuild = true;
            }
        } else if (key == "name") {
            if (value.size() > 32) {
                error = "name is at most 32 bytes";
                return false;
            }
            m.name = value;
        } else if (key == "router") {
            if (!sSmall(key, value, 255, n, error))
                return false;
            m.routerAddress = int(n);
        } else if (key == "features") {
            if (!sSmall(key, value, 0xFFFFFFFF, n, error))
                return false;
            m.features = n;
        } else if (key == "hb") {
            if (!sSmall(key, value, 3600000, n, error))
                return false;
            m.heartbeatMs = int(n);
        } else if (key == "block") {
            if (!sSmall(key, value, 65535, n, error))
                return false;
            m.blockSize = uint16_t(n);
        } else if (key == "loadbase") {
            if (!sSmall(key, value, 0xFFFFFFFF, n, error))
                return false;
            m.loadBase = n;
        } else if (key == "uei") {
            if (!sSmall(key, value, 1, n, error))
                return false;
            m.ueiData = n != 0;
        } else if (key == "reboot" || key == "load") {
            if (value != "drop" && value != "keep") {
                error = key + " is drop or keep";
                return false;
            }
            (key == "reboot" ? m.rebootDrops : m.loadDrops) = value == "drop";
        } else if (key == "loadms") {
            if (!sSmall(key, value, 600000, n, error))
                return false;
            m.loadDropMs = int(n);
        } else if (key == "rebootms" || key == "streamms") {
            if (!sSmall(key, value, 600000, n, error))
                return false;
            (key == "rebootms" ? m.rebootMs : m.streamMs) = int(n);
        } else if (key == "slots") {
            if (!sSmall(key, value, 32, n, error))
                return false;
            m.slotsPerStore = uint8_t(n);
        } else if (key == "slotcap") {
            if (!sSmall(key, value, 65535, n, error))
                return false;
            m.slotCapacity = uint16_t(n);
        } else if (key == "missing") {
            for (const std::string& o : sSplit(value, ':')) {
                if (!sSmall(key, o, 63, n, error))
                    return false;
                m.missingOptions.push_back(uint8_t(n));
            }
        } else if (key == "fault") {
            FaultSpec f;
            if (!parseFault(value, f, error))
                return false;
            m.faults.push_back(f);
        } else if (key == "stream") {
            StreamSource s;
            if (!sStream(value, s, error))
                return false;
            m.streams.push_back(s);
        } else if (key == "uid") {
            // The chip's unique identifier words, hex, colon-separated.
            m.uid.clear();
            size_t at = 0;
            while (at <= value.size() && m.uid.size() < 8) {
                size_t end = value.find(':', at);
                std::string word = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
                char* stop = nullptr;
                unsigned long w = std::strtoul(word.c_str(), &stop, 16);
                if (word.empty() || *stop != 0 || w > 0xFFFFFFFFul) {
                    error = "uid needs hex words separated by ':'";
                    return false;
                }
                m.uid.push_back(uint32_t(w));
                if (end == std::string::npos)
                    break;
                at = end + 1;
            }
        } else if (key.compare(0, 3, "opt") == 0 && key.size() > 3) {
            uint32_t option;
            if (!sSmall(key, key.substr(3), 63, option, error) || !sSmall(key, value, 0xFFFFFFFF, n, error))
                return false;
            m.options[uint8_t(option)] = n;
        } else if (key.compare(0, 7, "factory") == 0 && key.size() > 7) {
            uint32_t kind;
            Bytes bytes;
            if (!sSmall(key, key.substr(7), 15, kind, error))
                return false;
            if (!parseHex(value, bytes)) {
                error = "factory data is hex bytes";
                return false;
            }
            m.factory[uint8_t(kind)] = bytes;
        } else {
            error = "unknown module key '" + key + "'";
            return false;
        }
    }
    if (!haveSerial) {
        error = "every module needs serial=HEX";
        return false;
    }
    return true;
}

bool parseCommandLine(int argc, char** argv, SimConfig& config, bool& wantHelp, std::string& error)
{
    static const char* const FLAGS[] = {"control-stdin"};
    Cursor cur;
    wantHelp = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            wantHelp = true;
            return true;
        }
        if (arg.compare(0, 2, "--") != 0) {
            error = "unexpected argument '" + arg + "'";
            return false;
        }
        std::string name = arg.substr(2);
        std::string value;
        size_t eq = name.find('=');
        bool isFlag = false;
        for (const char* f : FLAGS)
            isFlag = isFlag || name == f;
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else if (!isFlag) {
            if (i + 1 >= argc) {
                error = "option --" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!sOption(name, value, config, cur, error))
            return false;
    }
    if (config.modules.empty()) {
        error = "no modules: give at least one --module serial=HEX";
        return false;
    }
    return true;
}

} // namespace sim

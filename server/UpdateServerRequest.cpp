#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <tuple>

#include "base/Log.h"
#include "base/SafeText.h"
#include "server/HTTPRequest.h"

const char* const UpdateServerRequest::default_host = "update.quorvane.com";
const char* const UpdateServerRequest::default_url = "http://update.quorvane.com/cgi/u";

namespace {

const char delimiters[] = "\n";

typedef std::vector<std::string> Lines;

// The body's lines, split at line feeds; empty lines are dropped.
Lines _split_lines(const std::string& body)
{
    Lines lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find(delimiters[0], start);
        if (end == std::string::npos)
            end = body.size();
        if (end > start)
            lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string _upto_line_end(const std::string& text, size_t from = 0)
{
    if (from >= text.size())
        return std::string();
    size_t end = text.find_first_of("\r\n", from);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

std::string _serial_text(uint32_t serial)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

// Whether the first non-empty line begins with "ok", without splitting
// the whole (possibly large) body.
bool _first_line_ok(const std::string& body)
{
    size_t first = body.find_first_not_of(delimiters[0]);
    return first != std::string::npos && body.compare(first, 2, "ok") == 0;
}

// The common frame of every request: asks, checks the status and the "ok"
// line, and hands back the body.
bool _request(const char* name, const char* url, const HTTPRequest::Parameters& parameters, std::string& body,
              std::atomic<size_t>* received = nullptr, std::string* failure = nullptr)
{
    const std::string base = url ? url : UpdateServerRequest::default_url;
    try {
        HTTPLimits limits = HTTPLimits::FromEnvironment();
        limits.received = received;
        HTTPResponse response = HTTPRequest::GET(base, parameters, limits);
        if (response.get_status() != 200) {
            if (std::string(name) == "ping")
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(response.get_status()),
                         response.get_response().c_str());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(response.get_status()),
                         response.get_response().c_str());
            return false;
        }
        if (!_first_line_ok(response.get_response())) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                     HTTPRequest::Shown(response.get_request()).c_str());
            return false;
        }
        body = response.take_response();
        return true;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        if (failure)
            *failure = e.what();
        return false;
    }
}

// Sort key of a version: well-formed versions first, then by the three parts
// as unsigned 8-bit values. Texts that are not three numeric parts share the
// lowest key, so the order stays a strict weak order.
typedef std::tuple<int, unsigned, unsigned, unsigned> VersionKey;

VersionKey _version_key(const std::string& text)
{
    std::vector<std::string> parts = UpdateServerRequest::SplitCorvestelVersion(text);
    if (parts.size() != 3)
        return VersionKey(0, 0, 0, 0);
    try {
        unsigned major = static_cast<uint8_t>(std::stoi(parts[0]));
        unsigned minor = static_cast<uint8_t>(std::stoi(parts[1]));
        unsigned patch = static_cast<uint8_t>(std::stoi(parts[2]));
        return VersionKey(1, major, minor, patch);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return VersionKey(0, 0, 0, 0);
    }
}

} // namespace

bool UpdateServerRequest::ping(const char* url)
{
    std::string body;
    return _request("ping", url, {{"op", "hi"}, {"rv", "2"}}, body) && ReadOk(body);
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& fw, const char* url)
{
    std::string body;
    return _request("QueryBuild", url, {{"op", "qu"}, {"sn", _serial_text(serial)}}, body) &&
           ReadQueryBuild(body, build, fw);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& fw, const std::string& build,
                                   std::string& firmware, const char* url, bool noCalibration,
                                   std::atomic<size_t>* received, std::string* failure)
{
    std::string body;
    HTTPRequest::Parameters parameters = {{"bld", build},
                                          {"fw", fw},
                                          {"no_cal", noCalibration ? "true" : "false"},
                                          {"op", "bird"},
                                          {"sn", _serial_text(serial)}};
    return _request("GetBuild", url, parameters, body, received, failure) && ReadBuild(body, firmware);
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildMap& builds, const char* url)
{
    builds.clear();
    std::string body;
    return _request("GetBuildList", url, {{"op", "builds"}, {"sn", _serial_text(serial)}}, body) &&
           ReadBuildList(body, builds);
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                                          const char* url)
{
    char fp[64];
    // Joined by blanks, which go out escaped as %20.
    std::snprintf(fp, sizeof(fp), "%08X %08X %08X %08X", fingerprint[0], fingerprint[1],
                  fingerprint[2], fingerprint[3]);
    std::string body;
    return _request("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, body) &&
           ReadRecoveryInfo(body, serial, build);
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url)
{
    std::string body;
    return _request("GetDeviceJWT", url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", _serial_text(serial)}},
                    body) &&
           ReadDeviceJWT(body, token);
}

bool UpdateServerRequest::ReadBuildNumber(const std::string& text, uint32_t& build)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return false;
    const size_t last = text.find_last_not_of(" \t\r");
    const std::string digits = text.substr(first, last - first + 1);
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(digits);
    if (value == 0 || value > 0xFFFFFFFFull)
        return false;
    build = static_cast<uint32_t>(value);
    return true;
}

bool UpdateServerRequest::ReadOk(const std::string& body)
{
    return _first_line_ok(body);
}

bool UpdateServerRequest::ReadQueryBuild(const std::string& body, std::string& build, std::string& fw)
{
    if (!_first_line_ok(body))
        return false;
    Lines lines = _split_lines(body);
    if (lines.size() > 1)
        build = lines[1];
    if (lines.size() > 2)
        fw = _upto_line_end(lines[2]);
    return true;
}

bool UpdateServerRequest::ReadBuild(const std::string& body, std::string& firmware)
{
    if (!_first_line_ok(body))
        return false;
    firmware.clear();
    // Only line 2 matters: cut it out without splitting the rest.
    size_t first = body.find_first_not_of(delimiters[0]);
    size_t end = body.find(delimiters[0], first);
    if (end == std::string::npos)
        return true;
    size_t start = body.find_first_not_of(delimiters[0], end);
    if (start == std::string::npos)
        return true;
    end = body.find(delimiters[0], start);
    firmware.assign(body, start, end == std::string::npos ? std::string::npos : end - start);
    return true;
}

bool UpdateServerRequest::ReadBuildList(const std::string& body, BuildMap& builds)
{
    if (!_first_line_ok(body))
        return false;
    Lines lines = _split_lines(body);
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        if (line.size() < 3)
            continue;
        // Fields are separated by ";" or a line end; empty fields do not count.
        std::vector<std::string> fields;
        size_t pos = 0;
        while (pos < line.size() && fields.size() < 2) {
            size_t start = line.find_first_not_of(";\r\n", pos);
            if (start == std::string::npos)
                break;
            size_t end = line.find_first_of(";\r\n", start);
            if (end == std::string::npos)
                end = line.size();
            fields.push_back(line.substr(start, end - start));
            pos = end;
        }
        if (fields.empty())
            continue;
        const std::string version = fields.size() > 1 ? fields[1] : std::string();
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", fields[0].c_str(), version.c_str());
        // Shown as they are listed: no control character gets through.
        builds.emplace(SafeText_Field(fields[0]), SafeText_Field(version));
    }
    return true;
}

bool UpdateServerRequest::ReadRecoveryInfo(const std::string& body, uint32_t& serial, uint32_t& build)
{
    if (!_first_line_ok(body))
        return false;
    Lines lines = _split_lines(body);
    const std::string empty;
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines.size() > 1 ? lines[1].c_str() : empty.c_str(), lines.size() > 2 ? lines[2].c_str() : empty.c_str());
    if (lines.size() > 1)
        serial = static_cast<uint32_t>(std::strtoul(lines[1].c_str(), nullptr, 16));
    if (lines.size() > 2)
        build = static_cast<uint32_t>(std::strtoul(lines[2].c_str(), nullptr, 0));
    return true;
}

bool UpdateServerRequest::ReadDeviceJWT(const std::string& body, std::string& token)
{
    if (!_first_line_ok(body))
        return false;
    Lines lines = _split_lines(body);
    if (lines.size() < 2)
        return false;
    const std::string& line = lines[1];
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
    if (line.size() <= 2)
        return false;
    size_t first = line.find('.');
    if (first == std::string::npos)
        return false;
    size_t second = line.find('.', first + 1);
    if (second == std::string::npos)
        return false;
    std::string header = line.substr(0, first);
    std::string payload = line.substr(first + 1, second - first - 1);
    std::string signature = _upto_line_end(line, second + 1);
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2)
        return false;
    token = SafeText_Field(header + "." + payload + "." + signature);
    return true;
}

UpdateServerRequest::BuildVector UpdateServerRequest::SortBuildsByVersion(const BuildMap& builds)
{
    std::vector<std::pair<VersionKey, std::pair<std::string, std::string>>> keyed;
    keyed.reserve(builds.size());
    for (const auto& entry : builds)
        keyed.emplace_back(_version_key(entry.second), entry);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    BuildVector sorted;
    sorted.reserve(keyed.size());
    for (auto& entry : keyed)
        sorted.push_back(std::move(entry.second));
    return sorted;
}

std::vector<std::string> UpdateServerRequest::SplitCorvestelVersion(const std::string& text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
        if (parts.size() > 3)
            break;
    }
    if (parts.size() != 3)
        parts.clear();
    return parts;
}

// Client of the update server's text protocol: one HTTP GET per request, the
// operation and its arguments in the query string, an answer of text lines
// whose first starts with "ok". Class operations without state: any thread
// may call them; the updater runs one at a time.
#ifndef UPDATER_SERVER_UPDATESERVERREQUEST_H
#define UPDATER_SERVER_UPDATESERVERREQUEST_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    typedef std::map<std::string, std::string> BuildMap;
    typedef std::vector<std::pair<std::string, std::string>> BuildVector;

    // Host of the default update server and its full request URL; every
    // request given a null URL uses default_url.
    static const char* const default_host;
    static const char* const default_url;

    // A build number the server sent: nothing but decimal digits (blanks
    // and a carriage return around them aside), non-zero, within 32 bits.
    // Anything else is no build, not even its leading digits.
    static bool ReadBuildNumber(const std::string& text, uint32_t& build);

    // Liveness check: true when the server answers "ok".
    static bool ping(const char* url = nullptr);

    // The build the server assigns to a device: line 2 of the answer goes to
    // build, line 3 (up to a carriage return) to fw. A missing line leaves its
    // output as it was. False on any failure.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& fw,
                           const char* url = nullptr);

    // The BIRD file of a build in base64: on "ok" firmware is cleared and
    // receives line 2. noCalibration sends no_cal=true. received, when set,
    // counts the answer's bytes as they arrive; failure, when set, receives
    // the reason a transfer failed (a limit, the connection, ...).
    static bool GetBuild(uint32_t serial, const std::string& fw, const std::string& build,
                         std::string& firmware, const char* url = nullptr, bool noCalibration = false,
                         std::atomic<size_t>* received = nullptr, std::string* failure = nullptr);

    // The builds the server offers for a device, build number to version
    // text. builds is cleared first; a build listed twice keeps its first
    // version.
    static bool GetBuildList(uint32_t serial, BuildMap& builds, const char* url = nullptr);

    // The device and build that own a chip, from its four fingerprint words:
    // line 2 (hexadecimal) to serial, line 3 (0x hex, 0 octal, else decimal)
    // to build. A missing line leaves its output as it was.
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t& serial, uint32_t& build,
                                const char* url = nullptr);

    // The device's signed token: true only when line 2 holds three
    // "."-separated parts of at least 2 characters each.
    static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url = nullptr);

    // Answer readers: each applies one request's rules to the body of an
    // answer with status 200 and gives the request's result. The requests
    // above use them; they touch the outputs only as the requests do.
    static bool ReadOk(const std::string& body);
    static bool ReadQueryBuild(const std::string& body, std::string& build, std::string& fw);
    static bool ReadBuild(const std::string& body, std::string& firmware);
    static bool ReadBuildList(const std::string& body, BuildMap& builds);
    static bool ReadRecoveryInfo(const std::string& body, uint32_t& serial, uint32_t& build);
    static bool ReadDeviceJWT(const std::string& body, std::string& token);

    // The pairs of the map, newest version first. Versions that are not three
    // numeric parts come after all well-formed ones, in key order.
    static BuildVector SortBuildsByVersion(const BuildMap& builds);

    // The parts of a version text between "."; empty unless exactly three.
    static std::vector<std::string> SplitCorvestelVersion(const std::string& text);
};

#endif

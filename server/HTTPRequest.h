// HTTP GET over libcurl's easy interface. Every call creates and releases its
// own handle and keeps no state, so calls on different threads do not share
// anything; the updater runs at most one at a time.
#ifndef UPDATER_SERVER_HTTPREQUEST_H
#define UPDATER_SERVER_HTTPREQUEST_H

#include <atomic>
#include <cstddef>
#include <map>
#include <string>

#include "server/HTTPResponse.h"

// Limits that keep a silent, slow or runaway server from holding the tool
// forever or filling its memory.
struct HTTPLimits {
    long connectTimeoutMs = 30000;     // giving up on a connection attempt
    long lowSpeedBytesPerSecond = 1;   // a transfer slower than this ...
    long lowSpeedTimeSeconds = 20;     // ... for this long is aborted
    long totalTimeSeconds = 300;       // the whole request, however it trickles
    // An answer larger than this is refused: the base64 text of the largest
    // BIRD file a module could hold, with room to spare.
    size_t maxBodyBytes = 48u << 20;
    // When set, counts the body bytes as they arrive, so that another
    // thread can tell a slow answer from a silent server.
    std::atomic<size_t>* received = nullptr;

    // The defaults above; UPDATER_HTTP_CONNECT_SECONDS,
    // UPDATER_HTTP_STALL_SECONDS and UPDATER_HTTP_TIMEOUT_SECONDS in the
    // environment replace the connect time-out, the low-speed time and the
    // whole request's deadline (positive whole seconds).
    static HTTPLimits FromEnvironment();
};

class HTTPRequest {
public:
    typedef std::map<std::string, std::string> Parameters;

    // The URL asked for: url alone when there are no parameters, else url,
    // "?" and every key=value followed by "&", in key order, each key and
    // value escaped (curl_easy_escape: only letters, digits and "-._~" stay
    // as they are).
    static std::string BuildURL(const std::string& url, const Parameters& parameters);

    // The URL as it may be shown in messages and traces: a user name and
    // password in it become "user:***@".
    static std::string Shown(const std::string& url);

    // Performs the GET and returns the answer with its status; an HTTP error
    // status is returned, not thrown. Throws std::runtime_error with
    // libcurl's text when the transfer fails (no connection, certificate
    // refused, ...), with a line naming the limit when the answer is too
    // large or the request outlasts its deadline, and "Could not create
    // curl instance" when no handle can be had.
    static HTTPResponse GET(const std::string& url, const Parameters& parameters);
    static HTTPResponse GET(const std::string& url, const Parameters& parameters,
                            const HTTPLimits& limits);
};

#endif

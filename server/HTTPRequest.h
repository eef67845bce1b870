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

// Limits that keep a silent or runaway server from holding the tool forever.
struct HTTPLimits {
    long connectTimeoutMs = 30000;     // giving up on a connection attempt
    long lowSpeedBytesPerSecond = 1;   // a transfer slower than this ...
    long lowSpeedTimeSeconds = 20;     // ... for this long is aborted
    size_t maxBodyBytes = 128u << 20;  // an answer larger than this is refused
    // When set, counts the body bytes as they arrive, so that another
    // thread can tell a slow answer from a silent server.
    std::atomic<size_t>* received = nullptr;

    // The defaults above; UPDATER_HTTP_CONNECT_SECONDS and
    // UPDATER_HTTP_STALL_SECONDS in the environment replace the connect
    // time-out and the low-speed time (positive whole seconds).
    static HTTPLimits FromEnvironment();
};

class HTTPRequest {
public:
    typedef std::map<std::string, std::string> Parameters;

    // The URL asked for: url alone when there are no parameters, else url,
    // "?" and every key=value followed by "&", in key order, unescaped.
    static std::string BuildURL(const std::string& url, const Parameters& parameters);

    // Performs the GET and returns the answer with its status; an HTTP error
    // status is returned, not thrown. Throws std::runtime_error with
    // libcurl's text when the transfer fails (no connection, time-out,
    // certificate refused, ...) and "Could not create curl instance" when
    // no handle can be had.
    static HTTPResponse GET(const std::string& url, const Parameters& parameters);
    static HTTPResponse GET(const std::string& url, const Parameters& parameters,
                            const HTTPLimits& limits);
};

#endif

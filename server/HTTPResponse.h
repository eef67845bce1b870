// One HTTP answer: the URL that was asked for, the status and the whole body.
// Filled by HTTPRequest::GET on the calling thread; a response is not shared.
#ifndef UPDATER_SERVER_HTTPRESPONSE_H
#define UPDATER_SERVER_HTTPRESPONSE_H

#include <cstddef>
#include <string>
#include <utility>

class HTTPResponse {
public:
    // A response for the given URL: empty body, status 0.
    explicit HTTPResponse(const std::string& request);

    const std::string& get_request() const { return request; }
    const std::string& get_response() const { return response; }
    long get_status() const { return status; }
    void set_status(long code) { status = code; }

    // Appends count bytes (NUL bytes included) to the body.
    void process(const char* bytes, size_t count);
    // Room for a body of that many bytes, announced before it arrives.
    void reserve(size_t count) { response.reserve(count); }
    // Hands the body over without a copy, leaving it empty here.
    std::string take_response() { return std::move(response); }

private:
    std::string request;
    long status;
    std::string response;
};

#endif

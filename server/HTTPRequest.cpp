#include "server/HTTPRequest.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include <curl/curl.h>

#include "base/Log.h"
#include "transport/aRecord.h"

namespace {

struct WriteContext {
    HTTPResponse* response;
    size_t maxBody;
    bool overflow;
    std::atomic<size_t>* received;
    CURL* curl;
    bool reserved;
};

size_t _rcv_data(char* data, size_t size, size_t count, void* user)
{
    WriteContext* ctx = static_cast<WriteContext*>(user);
    size_t total = size * count;
    // The chunk is not NUL-terminated: never print past its end.
    int shown = total < 100 ? static_cast<int>(total) : 100;
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(ctx->response)), shown, data);
    if (ctx->response->get_response().size() + total > ctx->maxBody) {
        ctx->overflow = true;
        return 0; // libcurl aborts the transfer
    }
    if (!ctx->reserved) {
        // An announced length within the limit is kept in one piece: no
        // doubling of the buffer while a large answer arrives.
        ctx->reserved = true;
        curl_off_t length = -1;
        if (curl_easy_getinfo(ctx->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0 &&
            static_cast<unsigned long long>(length) <= ctx->maxBody)
            ctx->response->reserve(static_cast<size_t>(length));
    }
    ctx->response->process(data, total);
    if (ctx->received)
        ctx->received->fetch_add(total);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
    return total;
}

long _env_seconds(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value <= 0 || value > 24L * 3600)
        return fallback;
    return value;
}

// A key or value as it may go into a query string: everything but letters,
// digits and "-._~" as %XX, so that no value can end its field or add one.
std::string _escape(const std::string& text)
{
    if (text.empty())
        return text;
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    if (!escaped)
        throw std::runtime_error("Could not escape a value for the URL");
    std::string result(escaped);
    curl_free(escaped);
    return result;
}

void _global_init()
{
    // Done once for the process so that the first request may come from the
    // download's worker thread.
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)init;
}

} // namespace

HTTPLimits HTTPLimits::FromEnvironment()
{
    HTTPLimits limits;
    limits.connectTimeoutMs =
        _env_seconds("UPDATER_HTTP_CONNECT_SECONDS", limits.connectTimeoutMs / 1000) * 1000;
    limits.lowSpeedTimeSeconds = _env_seconds("UPDATER_HTTP_STALL_SECONDS", limits.lowSpeedTimeSeconds);
    limits.totalTimeSeconds = _env_seconds("UPDATER_HTTP_TIMEOUT_SECONDS", limits.totalTimeSeconds);
    return limits;
}

std::string HTTPRequest::BuildURL(const std::string& url, const Parameters& parameters)
{
    std::string full = url;
    if (!parameters.empty()) {
        full += "?";
        for (const auto& entry : parameters) {
            full += _escape(entry.first);
            full += "=";
            full += _escape(entry.second);
            full += "&";
        }
    }
    return full;
}

std::string HTTPRequest::Shown(const std::string& url)
{
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const size_t start = scheme + 3;
    const size_t end = url.find_first_of("/?#", start);
    const size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start)
        return url;
    const size_t colon = url.find(':', start);
    const size_t userEnd = colon != std::string::npos && colon < at ? colon : at;
    return url.substr(0, userEnd) + ":***" + url.substr(at);
}

HTTPResponse HTTPRequest::GET(const std::string& url, const Parameters& parameters)
{
    return GET(url, parameters, HTTPLimits::FromEnvironment());
}

HTTPResponse HTTPRequest::GET(const std::string& url, const Parameters& parameters,
                              const HTTPLimits& limits)
{
    _global_init();
    CURL* curl = curl_easy_init();
    if (!curl)
        throw std::runtime_error("Could not create curl instance");

    HTTPResponse response(BuildURL(url, parameters));
    WriteContext ctx{&response, limits.maxBodyBytes, false, limits.received, curl, false};

    CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_URL, response.get_request().c_str());
    // The server's certificate is checked against the system's authorities
    // for https; plain http is unaffected.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // No signals: the request may run on a worker thread.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSeconds);
    // A server that trickles a few bytes now and then never trips the
    // low-speed limit: the whole request has a deadline too.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_TIMEOUT, limits.totalTimeSeconds);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
    const auto started = std::chrono::steady_clock::now();
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", Shown(response.get_request()).c_str());
        rc = curl_easy_perform(curl);
    }
    const long elapsedMs = long(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
    long status = 0;
    if (rc == CURLE_OK)
        rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);

    if (aRecord_IsOn()) {
        if (ctx.overflow || rc == CURLE_FILESIZE_EXCEEDED)
            aRecord_Http(response.get_request(), status, std::string(), "answer too large");
        else if (rc != CURLE_OK)
            aRecord_Http(response.get_request(), status, std::string(), curl_easy_strerror(rc));
        else
            aRecord_Http(response.get_request(), status, response.get_response(), nullptr);
    }
    if (ctx.overflow || rc == CURLE_FILESIZE_EXCEEDED)
        throw std::runtime_error("The server's answer is larger than " + std::to_string(limits.maxBodyBytes) +
                                 " bytes; nothing of it is kept");
    // libcurl's timers may fire a little early.
    if (rc == CURLE_OPERATION_TIMEDOUT && elapsedMs + 250 >= limits.totalTimeSeconds * 1000)
        throw std::runtime_error("The server did not finish its answer within " +
                                 std::to_string(limits.totalTimeSeconds) +
                                 " s (UPDATER_HTTP_TIMEOUT_SECONDS); nothing of it is kept");
    if (rc != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}

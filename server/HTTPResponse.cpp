#include "server/HTTPResponse.h"

HTTPResponse::HTTPResponse(const std::string& request_)
    : request(request_), status(0)
{
}

void HTTPResponse::process(const char* bytes, size_t count)
{
    if (bytes && count)
        response.append(bytes, count);
}

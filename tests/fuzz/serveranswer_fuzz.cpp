// Update server answers fed arbitrary bytes: every answer reader and the
// build-list sort run over them without a crash or an out-of-bounds read.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/UpdateServerRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);

    UpdateServerRequest::ReadOk(body);

    std::string build = "b", fw = "f";
    UpdateServerRequest::ReadQueryBuild(body, build, fw);
    if (fw.find_first_of("\r\n") != std::string::npos)
        std::abort();

    std::string firmware = "x";
    if (UpdateServerRequest::ReadBuild(body, firmware) && firmware.find('\n') != std::string::npos)
        std::abort();

    UpdateServerRequest::BuildMap builds;
    UpdateServerRequest::ReadBuildList(body, builds);
    UpdateServerRequest::BuildVector sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    if (sorted.size() != builds.size())
        std::abort();

    uint32_t serial = 0, recovered = 0;
    UpdateServerRequest::ReadRecoveryInfo(body, serial, recovered);

    std::string token;
    if (UpdateServerRequest::ReadDeviceJWT(body, token) && token.size() < 8)
        std::abort();

    UpdateServerRequest::SplitCorvestelVersion(body);
    return 0;
}

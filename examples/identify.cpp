// identify: connects to one module by its serial number, over USB or over
// TCP/IP, and prints its identity, firmware version and build.
//
//   identify USB 40F5849A
//   identify TCPIP 6A3C0012
//
// Build: c++ -std=c++17 identify.cpp $(pkg-config --cflags --libs corvestel)
#include <corvestel/corvestel.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace Quorvane::Corvestel;

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "USB") != 0 && std::strcmp(argv[1], "TCPIP") != 0)) {
        std::fprintf(stderr, "usage: identify USB|TCPIP SERIAL (eight hexadecimal digits)\n");
        return 2;
    }
    const linkType type = std::strcmp(argv[1], "USB") == 0 ? USB : TCPIP;
    const uint32_t serial = uint32_t(std::strtoul(argv[2], nullptr, 16));

    // Address 2 until the module tells its own; model 0: any model. The
    // connection finds the module by discovery and learns its address.
    Module module(2, 0);
    aErr err = module.connect(type, serial);
    if (err != aErrNone) {
        std::fprintf(stderr, "cannot reach %08X over %s: %s\n", serial, argv[1], aError_GetErrorText(err));
        return 1;
    }

    // The system entity answers for the module as a whole.
    SystemClass system;
    system.init(&module, 0);
    uint8_t model = 0;
    uint32_t version = 0;
    uint32_t build = 0;
    err = system.getModel(&model);
    if (aError_HasValue(err))
        err = system.getVersion(&version);
    if (aError_HasValue(err))
        err = module.getBuild(&build);
    if (!aError_HasValue(err)) {
        std::fprintf(stderr, "%08X does not answer: %s\n", serial, aError_GetErrorText(err));
        module.disconnect();
        return 1;
    }

    std::printf("serial   %08X\n", serial);
    std::printf("address  %u\n", module.getModuleAddress());
    std::printf("model    %u (%s)\n", model, aDefs_GetModelName(model));
    std::printf("version  %u.%u.%u\n", aVersion_ParseMajor(version), aVersion_ParseMinor(version),
                aVersion_ParsePatch(version));
    std::printf("build    %u\n", build);
    std::printf("library  %s\n", CORVESTEL_VERSION_STRING);
    module.disconnect();
    return 0;
}

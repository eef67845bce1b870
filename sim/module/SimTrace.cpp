#include "sim/module/SimTrace.h"

namespace sim {

SimTrace::~SimTrace()
{
    if (file_)
        std::fclose(file_);
}

bool SimTrace::open(const std::string& path)
{
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void SimTrace::packet(uint32_t serial, bool fromHost, const Bytes& wire)
{
    if (!file_)
        return;
    std::fprintf(file_, "%08X %s %s\n", serial, fromHost ? "rx" : "tx", hexText(wire.data(), wire.size()).c_str());
    std::fflush(file_);
}

void SimTrace::event(uint32_t serial, const std::string& text)
{
    if (!file_)
        return;
    std::fprintf(file_, "%08X ev %s\n", serial, text.c_str());
    std::fflush(file_);
}

} // namespace sim

#include "transport/cvusb_refusals.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const size_t REFUSALS_KEPT = 32;

// This thread's refusals: a search on one thread never hides or shows
// another's.
thread_local std::vector<std::string> tRefused;

} // namespace

void cvusb_begin_refusals()
{
    tRefused.clear();
}

void cvusb_note_refused_node(const char* node)
{
    if (!node || !*node)
        return;
    for (const std::string& known : tRefused)
        if (known == node)
            return;
    if (tRefused.size() < REFUSALS_KEPT)
        tRefused.emplace_back(node);
}

uint32_t cvusb_refused_count()
{
    return static_cast<uint32_t>(tRefused.size());
}

bool cvusb_refused_node(uint32_t index, char* node, size_t size)
{
    if (!node || size == 0 || index >= tRefused.size())
        return false;
    std::snprintf(node, size, "%s", tRefused[index].c_str());
    return true;
}

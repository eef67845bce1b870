// Settings files from arbitrary bytes: loading and the typed getters.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "store/KeyValueStore.h"

namespace {

// One scratch file per process, removed at exit.
const std::string& sScratch()
{
    static std::string path;
    if (path.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kvfuzz.XXXXXX";
        int fd = mkstemp(&tmpl[0]);
        if (fd >= 0)
            close(fd);
        path = tmpl;
        std::atexit([] { unlink(path.c_str()); });
    }
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = sScratch();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);

    KeyValueStore kv(path.c_str());
    for (const auto& entry : kv.Entries()) {
        (void)kv[entry.first];
        kv.GetString(entry.first, nullptr);
    }
    kv.GetInt("LATEST_DOWNLOAD", 0);
    kv.GetHex("SERIAL", 0);
    kv.GetBOOL("FLAG", false);
    kv.GetDouble("RATIO", 0.0);
    KeyValueStore copy;
    copy.Add(kv);
    copy.Add("LATEST_TRANSFER", "1.bird");
    return 0;
}

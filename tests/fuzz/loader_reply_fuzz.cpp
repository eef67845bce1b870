// The upgrade loader dialogue fed arbitrary replies: a whole update (init,
// loader block, start, firmware prepare, pieces, sums, writes, reboot) runs
// against a module that answers with the input's packets, and ends without a
// crash, a read past a reply or a loop that never stops.
//
// Input: reply packets of [length % 29][data bytes...]. Each wait takes the
// first queued reply whose leading bytes match, as the link's queue does;
// none left means the wait timed out.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "base/UpdaterDisplayInterface.h"
#include "updater/UpdaterEntity.h"

namespace {

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double fraction, const char*) override
    {
        if (!(fraction >= 0.0 && fraction <= 1.0))
            std::abort();
    }
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

class ScriptedLoader : public UpdaterEntity {
public:
    ScriptedLoader(const uint8_t* data, size_t size)
    {
        size_t at = 0;
        while (at < size) {
            const size_t length = data[at++] % 29;
            const size_t n = std::min(length, size - at);
            replies.emplace_back(data + at, data + at + n);
            at += n;
        }
    }

    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data) override
    {
        // A request must fit one packet with its command byte.
        if (command != cmdUPGRADE || length > 27 || (length > 0 && !data))
            std::abort();
        ++sent;
        return aErrNone;
    }

    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) override
    {
        const uint8_t wanted = *length;
        auto reply = std::find_if(replies.begin(), replies.end(), [&](const std::vector<uint8_t>& r) {
            return r.size() >= wanted && std::memcmp(r.data(), match, wanted) == 0;
        });
        if (reply == replies.end())
            return aErrTimeout;
        *length = uint8_t(reply->size());
        if (!reply->empty())
            std::memcpy(buffer, reply->data(), reply->size());
        replies.erase(reply);
        return aErrNone;
    }

    size_t sent = 0;

private:
    std::deque<std::vector<uint8_t>> replies;
};

std::vector<uint8_t> sBlock(uint32_t address, size_t n)
{
    std::vector<uint8_t> v(4 + n);
    for (int k = 0; k < 4; ++k)
        v[k] = uint8_t(address >> (24 - 8 * k));
    for (size_t i = 0; i < n; ++i)
        v[4 + i] = uint8_t(i * 7 + 1);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QuietDisplay display;
    ScriptedLoader loader(data, size);
    loader.init(nullptr, 0, true, false);
    const std::vector<uint8_t> code = sBlock(0x20000000, 90);
    const std::vector<uint8_t> image = sBlock(0, 300);

    loader.LoaderInit();
    uint16_t blockSize = 0;
    loader.TransferPrepare(code.data(), uint32_t(code.size()), 0, &blockSize);
    loader.LoaderTransfer(code.data(), uint32_t(code.size()));
    loader.LoaderStart();
    blockSize = 0;
    if (loader.TransferPrepare(image.data(), uint32_t(image.size()), 1, &blockSize) == aErrNone) {
        const aErr err = loader.FirmwareTransfer(image.data(), uint32_t(image.size()), blockSize, display);
        if (blockSize == 0 && err != aErrSize)
            std::abort();
    }
    loader.FirmwareWrite(26);
    loader.LoaderReboot(display);
    // Every reply is taken at most once, so a dialogue ends once they run out.
    if (loader.sent > 8 * (size + 16))
        std::abort();
    return 0;
}

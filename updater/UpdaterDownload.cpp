// Server commands: firmware download into the store, the server's build list
// and the device token; and the store creation step every command uses.
// The download runs its server request on one worker thread while this
// thread animates the spinner; the two share only the promise and the output
// string, which is read after the worker has been joined.
#include "updater/Updater.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/Log.h"
#include "link/aError.h"
#include "server/HTTPRequest.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"
#include "store/BirdFile.h"
#include "store/DeviceLock.h"
#include "store/Sha256.h"
#include "store/UpdaterStore.h"
#include "updater/StoreAccess.h"
#include "updater/UpdateHistory.h"

namespace {

typedef UpdaterDisplayInterface::Level Level;
const Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

const char* const SPINNER_LABEL = "Downloading";
const auto SPINNER_STEP = std::chrono::milliseconds(100);
// A silent server is named after this long (or half its limit, if shorter).
const long STALL_NOTICE_SECONDS = 5;

// The server URL to pass to the requests: null selects the default server.
const char* _request_url(const std::string& url)
{
    return url.empty() ? nullptr : url.c_str();
}

// The server URL for messages: a password in it is never shown.
std::string _shown_url(const std::string& url)
{
    return HTTPRequest::Shown(url.empty() ? UpdateServerRequest::default_url : url);
}

// A server text for a message: control characters and bytes outside ASCII
// escaped, and no longer than a line.
std::string _quoted(const std::string& text)
{
    const size_t LIMIT = 40;
    std::string out;
    for (size_t i = 0; i < text.size() && i < LIMIT; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\' || c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(c));
            out += escaped;
        } else {
            out += char(c);
        }
    }
    if (text.size() > LIMIT)
        out += "...";
    return out;
}

// Decimal build number from the leading digits of text; false when the text
// does not begin with a number or the value does not fit in 32 bits.
bool _parse_build(const std::string& text, uint32_t& build)
{
    size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && text[first] == '-')
        return false; // the conversion would wrap a negative number around
    try {
        unsigned long long value = std::stoull(text, nullptr, 10);
        if (value > std::numeric_limits<uint32_t>::max())
            return false;
        build = static_cast<uint32_t>(value);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Whether the server lists the build for the device.
bool _build_is_listed(uint32_t serialNumber, uint32_t build, const std::string& url)
{
    UpdateServerRequest::BuildMap builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, _request_url(url)))
        return false;
    bool listed = false;
    for (const auto& entry : builds) {
        uint32_t number = 0;
        // An entry that is no build number lists nothing.
        if (UpdateServerRequest::ReadBuildNumber(entry.first, number) && number == build)
            listed = true;
        else if (number == 0)
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", _quoted(entry.first).c_str());
    }
    return listed;
}

// Local time in the ctime form, without its line end.
std::string _now_text()
{
    time_t now = time(nullptr);
    char text[64] = "";
    if (!ctime_r(&now, text))
        return std::string();
    std::string date(text);
    while (!date.empty() && (date.back() == '\n' || date.back() == '\r'))
        date.pop_back();
    return date;
}

// Animates the spinner until the download's result is there. A server that
// sends nothing for a while is named on the spinner and, once, in a line, with
// the time after which the transfer gives up.
void _wait_for_download(UpdaterDisplayInterface& display, std::future<bool>& result,
                        const std::atomic<size_t>& received)
{
    const long limit = HTTPLimits::FromEnvironment().lowSpeedTimeSeconds;
    const long notice = limit / 2 < 1 ? 1 : (limit / 2 > STALL_NOTICE_SECONDS ? STALL_NOTICE_SECONDS : limit / 2);
    auto lastData = std::chrono::steady_clock::now();
    size_t seen = 0;
    bool told = false;
    display.update_spinner(true, SPINNER_LABEL);
    while (result.wait_for(SPINNER_STEP) != std::future_status::ready) {
        const auto now = std::chrono::steady_clock::now();
        const size_t count = received.load();
        if (count != seen) {
            seen = count;
            lastData = now;
        }
        const long silent = long(std::chrono::duration_cast<std::chrono::seconds>(now - lastData).count());
        if (silent < notice) {
            display.update_spinner(true, SPINNER_LABEL);
            continue;
        }
        if (!told) {
            display.message(INFO, "No data from the server for %ld s; the download gives up after %ld s without data",
                            silent, limit);
            told = true;
        }
        char label[96];
        std::snprintf(label, sizeof label, "Waiting for the server: %ld of %ld s", silent, limit);
        display.update_spinner(true, label);
    }
    display.update_spinner(false, SPINNER_LABEL);
}

// What one download carries from phase to phase.
struct DownloadRun {
    UpdaterDisplayInterface& display;
    const std::string& url;
    uint32_t serialNumber;
    uint32_t buildNumber;
    UpdaterStoreItem item;
    std::string firmwareId;
    std::string birdText; // the server's answer, base64
};

// The file's bytes as base64_decode gives them.
struct FreeBytes {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
};
typedef std::unique_ptr<unsigned char, FreeBytes> Bytes;

// The arguments, then the server: a download that cannot work ends before
// the store is touched.
aErr _check_download(UpdaterDisplayInterface& display, const std::string& url, uint32_t serialNumber,
                     const std::string& build, uint32_t& buildNumber)
{
    if (!build.empty() && !_parse_build(build, buildNumber)) {
        display.message(ERROR, "Build number '%s' must be an number", build.c_str());
        return aErrParam;
    }
    if (serialNumber == 0) {
        display.message(ERROR, "Serial Number must be non-zero");
        return aErrParam;
    }
    if (!UpdateServerRequest::ping(_request_url(url))) {
        display.message(ERROR, "Server request failed for %s", _shown_url(url).c_str());
        return aErrConnection;
    }
    return aErrNone;
}

// The build to fetch: the one asked for, else the server's latest; unless
// overridden, one the server lists for the device.
aErr _choose_download(DownloadRun& run, bool latest, bool override)
{
    UpdaterDisplayInterface& display = run.display;
    std::string latestBuild;
    if (!UpdateServerRequest::QueryBuild(run.serialNumber, latestBuild, run.firmwareId, _request_url(run.url))) {
        display.message(ERROR, "No build information for device");
        return aErrNotFound;
    }
    if (latest && !UpdateServerRequest::ReadBuildNumber(latestBuild, run.buildNumber)) {
        display.message(ERROR, "The server named the build '%s', which is not a build number; nothing is stored",
                        _quoted(latestBuild).c_str());
        return aErrParse;
    }
    display.message(INFO, "Retrieving build %u", run.buildNumber);
    if (override) {
        display.message(INFO, "Override specified, skipping validation of build %u", run.buildNumber);
        return aErrNone;
    }
    display.message(INFO, "Validating build %u with server", run.buildNumber);
    if (!_build_is_listed(run.serialNumber, run.buildNumber, run.url)) {
        display.message(ERROR, "No valid build %u", run.buildNumber);
        return aErrNotFound;
    }
    display.message(INFO, "Build %u is valid", run.buildNumber);
    return aErrNone;
}

// Fetches the file's text on a worker thread while this one animates the
// spinner. The worker owns copies of its arguments; it writes only the
// text, failure and the promise, and the two texts are read after the join.
aErr _fetch_bird(DownloadRun& run, bool noCalibration)
{
    std::string failure;
    std::atomic<size_t> received(0);
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker;
    try {
        worker = std::thread(
            [noCalibration, &received, &failure](uint32_t serialNumber, std::string firmwareId,
                                                 std::string buildText, std::string serverUrl, std::string* out,
                                                 std::promise<bool> promise) {
                bool ok = false;
                try {
                    ok = UpdateServerRequest::GetBuild(serialNumber, firmwareId, buildText, *out,
                                                       _request_url(serverUrl), noCalibration, &received, &failure);
                } catch (...) {
                    ok = false;
                }
                promise.set_value(ok);
            },
            run.serialNumber, run.firmwareId, std::to_string(run.buildNumber), run.url, &run.birdText,
            std::move(done));
    } catch (const std::system_error&) {
        run.display.message(ERROR, "Download failed");
        return aErrResource;
    }
    _wait_for_download(run.display, result, received);
    const bool fetched = result.get();
    worker.join();
    if (!fetched) {
        run.display.message(ERROR, "Download failed");
        // A limit that ended the transfer says which, and how to move it.
        if (!failure.empty())
            run.display.message(ERROR, "%s", failure.c_str());
    }
    if (run.birdText.empty()) {
        run.display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return aErrIO;
    }
    return aErrNone;
}

// Decodes the text into bytes and checks them: what replaces a stored build
// must be a file the store can read back; anything else is a failed
// download and the stored file stays. Gives the file's version.
aErr _decode_bird(DownloadRun& run, Bytes& bytes, size_t& size, std::string& version)
{
    bytes.reset(base64_decode(run.birdText.data(), run.birdText.size(), &size));
    // The text is not needed any more: its memory goes before the image
    // is inflated.
    std::string().swap(run.birdText);
    if (!bytes) {
        // Nothing usable arrived: keep the store as it was and say so.
        run.display.message(ERROR, "Failed to decode the BIRD file sent by the server");
        return aErrParse;
    }
    BirdFile check;
    if (!BirdFile::VerifyBytes(bytes.get(), size) || !check.LoadBytes(bytes.get(), size)) {
        bytes.reset();
        if (check.inflate_capped)
            run.display.message(ERROR,
                                "The server sent a BIRD file that inflates beyond 8 times its size or %u MiB; the "
                                "store is unchanged",
                                unsigned(BirdFile::MAX_IMAGE_BYTES >> 20));
        else
            run.display.message(ERROR,
                                "The server sent a file that is not a valid BIRD file; the store is unchanged");
        return aErrParse;
    }
    version = check.GetVersion();
    return aErrNone;
}

// Writes the file into the device's folder and records it, with its
// SHA-256 so that a file changed after today is noticed before it is sent
// to a module.
aErr _store_bird(DownloadRun& run, Bytes bytes, size_t size)
{
    const std::string date = _now_text();
    const std::string fileName = std::to_string(run.buildNumber) + ".bird";
    const std::string digest = Sha256_Hex(bytes.get(), size);
    const aErr written = run.item.WriteFile(fileName, bytes.get(), size);
    bytes.reset();
    if (written != aErrNone) {
        run.display.message(ERROR, "Failed to write file with %d", static_cast<int>(written));
        return written;
    }
    run.item.settings.Add("LATEST_DOWNLOAD", fileName);
    run.item.settings.Add("LAST_DOWNLOAD_DATE", date);
    run.item.settings.Add(UpdaterStore::DigestKey(fileName), digest);
    run.item.settings.Save(nullptr);
    return aErrNone;
}

} // namespace

uint32_t Updater::Download_Firmware(uint32_t serialNumber, const std::string& build, bool override,
                                    bool noCalibration)
{
    DownloadRun run{display, url, serialNumber, 0, UpdaterStoreItem(), std::string(), std::string()};
    if (_check_download(display, url, serialNumber, build, run.buildNumber) != aErrNone)
        return 0;
    std::unique_ptr<UpdaterStore> store = create_store(display, storage, "Download_Firmware");
    DeviceLock lock;
    if (!store || !lock_device(display, *store, serialNumber, lock))
        return 0;
    // A download begins: its outcome goes into the device's history.
    HistoryScope history(display, storage, "download", history_message);
    history.Arm(serialNumber);
    // The settings as they are now that no other run can change them.
    run.item = UpdaterStoreItem(store->BasePath(), UpdaterStore::FolderName(serialNumber), STORE_ITEM_DIRECTORY);

    if (_choose_download(run, build.empty(), override) != aErrNone || _fetch_bird(run, noCalibration) != aErrNone)
        return 0;
    Bytes bytes;
    size_t size = 0;
    std::string version;
    if (_decode_bird(run, bytes, size, version) != aErrNone)
        return 0;
    history.BytesStored(bytes.get(), size);
    history.After(version, run.buildNumber);
    if (_store_bird(run, std::move(bytes), size) != aErrNone)
        return 0;
    history.Succeeded();
    return run.buildNumber;
}

BuildList Updater::Get_BuildList(uint32_t serialNumber)
{
    BuildList builds;
    if (!UpdateServerRequest::ping(_request_url(url))) {
        display.message(ERROR, "Server request failed for %s", _shown_url(url).c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, _request_url(url)))
        display.message(ERROR, "Failed to retrieve builds for %08X", serialNumber);
    return builds;
}

std::string Updater::Get_JWT(uint32_t serialNumber)
{
    std::string token;
    if (!UpdateServerRequest::ping(_request_url(url))) {
        display.message(ERROR, "Server request failed for %s", _shown_url(url).c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serialNumber, token, _request_url(url))) {
        display.message(ERROR, "Failed to retrieve jwt for %08X", serialNumber);
        token.clear();
    }
    return token;
}

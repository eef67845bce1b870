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

} // namespace

std::unique_ptr<UpdaterStore> create_store(UpdaterDisplayInterface& display, const std::string& path,
                                           const char* operation)
{
    try {
        return std::unique_ptr<UpdaterStore>(new UpdaterStore(path));
    } catch (const StoreRefused& e) {
        display.message(ERROR, "%s", e.what());
        return nullptr;
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s", operation ? operation : "",
                        e.what());
        return nullptr;
    }
}

bool lock_device(UpdaterDisplayInterface& display, const std::string& folder, uint32_t serialNumber,
                 DeviceLock& lock)
{
    const aErr err = lock.TryLock(folder);
    if (err == aErrBusy) {
        display.message(ERROR, "Device %08X is busy: another Updater is working with it; try again when it is done",
                        serialNumber);
        return false;
    }
    if (err != aErrNone) {
        display.message(ERROR, "Could not lock the store folder %s [%d, %s]", folder.c_str(), int(err),
                        aError_GetErrorText(err));
        return false;
    }
    const unsigned removed = UpdaterStore::RemoveLeftovers(folder);
    if (removed)
        Log::log(DEBUG_Updater, "Removed %u unfinished temporary files from %s\n", removed, folder.c_str());
    return true;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, const std::string& build, bool override,
                                    bool noCalibration)
{
    uint32_t buildNumber = 0;
    if (!build.empty() && !_parse_build(build, buildNumber)) {
        display.message(ERROR, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display.message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(_request_url(url))) {
        display.message(ERROR, "Server request failed for %s", _shown_url(url).c_str());
        return 0;
    }

    std::unique_ptr<UpdaterStore> store = create_store(display, storage, "Download_Firmware");
    if (!store)
        return 0;
    UpdaterStoreItem item;
    if (!store->FindDevice(serialNumber, &item)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            item = store->AddDevice(serialNumber);
        } catch (const StoreRefused& e) {
            display.message(ERROR, "%s", e.what());
            return 0;
        } catch (const std::runtime_error&) {
            display.message(ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }
    DeviceLock lock;
    if (!lock_device(display, item.Path(), serialNumber, lock))
        return 0;
    // A download begins: its outcome goes into the device's history.
    HistoryScope history(display, storage, "download", history_message);
    history.Arm(serialNumber);
    // The settings as they are now that no other run can change them.
    item = UpdaterStoreItem(item.basePath, item.name, item.kind);

    std::string latestBuild;
    std::string firmwareId;
    if (!UpdateServerRequest::QueryBuild(serialNumber, latestBuild, firmwareId, _request_url(url))) {
        display.message(ERROR, "No build information for device");
        return 0;
    }
    if (build.empty() && !UpdateServerRequest::ReadBuildNumber(latestBuild, buildNumber)) {
        display.message(ERROR, "The server named the build '%s', which is not a build number; nothing is stored",
                        _quoted(latestBuild).c_str());
        return 0;
    }

    display.message(INFO, "Retrieving build %u", buildNumber);
    if (override) {
        display.message(INFO, "Override specified, skipping validation of build %u", buildNumber);
    } else {
        display.message(INFO, "Validating build %u with server", buildNumber);
        if (!_build_is_listed(serialNumber, buildNumber, url)) {
            display.message(ERROR, "No valid build %u", buildNumber);
            return 0;
        }
        display.message(INFO, "Build %u is valid", buildNumber);
    }

    // The worker owns copies of its arguments; it writes only birdText,
    // failure and the promise, and the two texts are read after the join.
    std::string birdText;
    std::string failure;
    std::atomic<size_t> received(0);
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker;
    try {
        worker = std::thread(
            [serialNumber, firmwareId, noCalibration, &received, &failure](
                std::string buildText, std::string serverUrl, std::string* out, std::promise<bool> promise) {
                bool ok = false;
                try {
                    ok = UpdateServerRequest::GetBuild(serialNumber, firmwareId, buildText, *out,
                                                       _request_url(serverUrl), noCalibration, &received, &failure);
                } catch (...) {
                    ok = false;
                }
                promise.set_value(ok);
            },
            std::to_string(buildNumber), url, &birdText, std::move(done));
    } catch (const std::system_error&) {
        display.message(ERROR, "Download failed");
        return 0;
    }

    _wait_for_download(display, result, received);
    const bool fetched = result.get();
    worker.join();
    if (!fetched) {
        display.message(ERROR, "Download failed");
        // A limit that ended the transfer says which, and how to move it.
        if (!failure.empty())
            display.message(ERROR, "%s", failure.c_str());
    }

    if (birdText.empty()) {
        display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    size_t size = 0;
    unsigned char* bytes = base64_decode(birdText.data(), birdText.size(), &size);
    // The text is not needed any more: its memory goes before the image
    // is inflated.
    std::string().swap(birdText);
    if (!bytes) {
        // Nothing usable arrived: keep the store as it was and say so.
        display.message(ERROR, "Failed to decode the BIRD file sent by the server");
        return 0;
    }
    // What replaces a stored build must be a file the store can read back;
    // anything else is a failed download and the stored file stays.
    BirdFile check;
    if (!BirdFile::VerifyBytes(bytes, size) || !check.LoadBytes(bytes, size)) {
        std::free(bytes);
        if (check.inflate_capped)
            display.message(ERROR,
                            "The server sent a BIRD file that inflates beyond 8 times its size or %u MiB; the store "
                            "is unchanged",
                            unsigned(BirdFile::MAX_IMAGE_BYTES >> 20));
        else
            display.message(ERROR, "The server sent a file that is not a valid BIRD file; the store is unchanged");
        return 0;
    }
    history.BytesStored(bytes, size);
    history.After(check.GetVersion(), buildNumber);
    check = BirdFile();
    const std::string date = _now_text();
    const std::string fileName = std::to_string(buildNumber) + ".bird";
    // Recorded so that a file changed after today is noticed before it is
    // sent to a module.
    const std::string digest = Sha256_Hex(bytes, size);
    aErr written = item.WriteFile(fileName, bytes, size);
    std::free(bytes);
    if (written != aErrNone) {
        display.message(ERROR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }
    item.settings.Add("LATEST_DOWNLOAD", fileName);
    item.settings.Add("LAST_DOWNLOAD_DATE", date);
    item.settings.Add(UpdaterStore::DigestKey(fileName), digest);
    item.settings.Save(nullptr);
    history.Succeeded();
    return buildNumber;
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

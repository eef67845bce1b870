#include "app/FleetUpdate.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>

#include <nlohmann/json.hpp>

#include "app/FleetPrinters.h"
#include "app/JsonReport.h"
#include "base/Log.h"
#include "app/ResultPrinters.h"
#include "store/BirdFile.h"
#include "store/DeviceLock.h"
#include "store/UpdaterStore.h"
#include "updater/StopRequest.h"
#include "updater/UpdaterFleet.h"

extern char** environ;

namespace {

using json = nlohmann::json;

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

// How often the children are looked at, and the most of a child's report read.
const long CHILD_POLL_NS = 20 * 1000 * 1000;
const long REPORT_MAX = 16 * 1024 * 1024;
const size_t ERROR_TEXT_MAX = 600;
// The error a child's update gives when another run holds the device.
const char* const BUSY_TEXT = "is busy: another Updater";

std::string sHex(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string sVersion(const DeviceInfo& d)
{
    return std::to_string(d.versionMajor) + "." + std::to_string(d.versionMinor) + "." +
           std::to_string(d.versionPatch);
}

// One module to update, in its lane.
struct Task {
    size_t index;          // into the outcome's modules
    uint32_t serialNumber;
    uint32_t routerSerial; // 0: reached directly
    uint32_t build;        // the latest, to install
    bool fetch;            // -G first: the store lacks the build
};

struct Running {
    Task task;
    pid_t pid = -1;
    FILE* report = nullptr; // the child's standard output
    struct timespec started;
};

double sSecondsSince(const struct timespec& start)
{
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// The store holds a readable file of the build.
bool sStored(const std::string& storage, uint32_t serialNumber, uint32_t build)
{
    const std::string path = storage + "/" + UpdaterStore::FolderName(serialNumber) + "/" + std::to_string(build) +
                             ".bird";
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && BirdFile::VerifyFile(path);
}

// Another run holds the device's lock now.
bool sBusy(const std::string& storage, uint32_t serialNumber)
{
    const std::string folder = storage + "/" + UpdaterStore::FolderName(serialNumber);
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0)
        return false;
    DeviceLock probe;
    return probe.TryLock(folder) == aErrBusy;
}

std::string sSelfPath()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    path[n] = '\0';
    return path;
}

// The child's command line: one -U of this module, its report on stdout.
std::vector<std::string> sChildWords(const Parameters& p, const Task& t)
{
    std::vector<std::string> words{UPDATER_PROGRAM_NAME, "-U", "-d", sHex(t.serialNumber),
                                   "-b", std::to_string(t.build), "--json"};
    if (t.fetch)
        words.push_back("-G");
    if (t.routerSerial) {
        words.push_back("-r");
        words.push_back(sHex(t.routerSerial));
    }
    // "=" forms: a value that begins with "-" is still the value.
    words.push_back("-i=" + p.storage_directory);
    words.push_back("-u=" + p.server_url);
    words.push_back(std::string("-m=") + (p.uei_bytes_load ? "1" : "0"));
    if (!p.history_message.empty())
        words.push_back("-l=" + p.history_message);
    if (p.debug_mask_given)
        words.push_back("-X=" + std::to_string(p.debug_mask));
    return words;
}

bool sStart(const std::string& self, const Parameters& p, Running& r)
{
    r.report = std::tmpfile();
    if (!r.report)
        return false;
    // Only its own child gets it (as its standard output).
    ::fcntl(::fileno(r.report), F_SETFD, FD_CLOEXEC);
    const std::vector<std::string> words = sChildWords(p, r.task);
    std::vector<char*> argv;
    for (const std::string& w : words)
        argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ::fileno(r.report), 1);
    // Its console texts only with a debug trace asked for; its errors are
    // in its report.
    if (!p.debug_mask_given)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawn(&r.pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fclose(r.report);
        r.report = nullptr;
        r.pid = -1;
        return false;
    }
    ::clock_gettime(CLOCK_MONOTONIC, &r.started);
    return true;
}

// What the child's report and exit status tell.
void sFinish(Running& r, int status, FleetModuleOutcome& m)
{
    m.seconds = sSecondsSince(r.started);
    std::string text;
    std::rewind(r.report);
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, r.report)) > 0 && long(text.size()) < REPORT_MAX)
        text.append(buffer, n);
    std::fclose(r.report);
    r.report = nullptr;

    const json report = json::parse(text, nullptr, false);
    const json none;
    const json& update = report.is_object() && report.contains("update") ? report["update"] : none;
    std::string errors;
    bool busy = false;
    if (report.is_object() && report.contains("errors") && report["errors"].is_array()) {
        for (const json& e : report["errors"]) {
            if (!e.is_string())
                continue;
            const std::string line = e.get<std::string>();
            busy = busy || line.find(BUSY_TEXT) != std::string::npos;
            errors += (errors.empty() ? "" : "; ") + line;
        }
    }
    if (errors.size() > ERROR_TEXT_MAX)
        errors = errors.substr(0, ERROR_TEXT_MAX) + "...";
    m.written = update.is_object() && update.value("written", false);

    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && update.is_object() && update.value("ok", false);
    if (ok) {
        m.result = FLEET_UPDATED;
        const json& build = update["build_read_back"].is_number() ? update["build_read_back"] : update["build"];
        const json& version =
            update["version_read_back"].is_string() ? update["version_read_back"] : update["file_version"];
        m.buildAfter = build.is_number_unsigned() ? build.get<uint32_t>() : 0;
        m.versionAfter = version.is_string() ? version.get<std::string>() : std::string();
        return;
    }
    m.result = busy ? FLEET_BUSY : FLEET_FAILED;
    if (!errors.empty())
        m.error = errors;
    else if (WIFSIGNALED(status))
        m.error = "the update ended with signal " + std::to_string(WTERMSIG(status));
    else
        m.error = "the update ended with exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

void sPrintOutcome(UpdaterDisplayInterface& display, const FleetModuleOutcome& m)
{
    const std::string before = m.buildBefore ? m.versionBefore + " (" + std::to_string(m.buildBefore) + ")" : "-";
    switch (m.result) {
    case FLEET_UPDATED:
        display.message(INFO, "%08X  updated             %s -> %s (%u)  %.1f s", m.serialNumber, before.c_str(),
                        m.versionAfter.c_str(), m.buildAfter, m.seconds);
        break;
    case FLEET_CURRENT:
    case FLEET_NEWER:
        display.message(INFO, "%08X  %-18s  %s", m.serialNumber, FleetResultText(m.result), before.c_str());
        break;
    default:
        display.message(INFO, "%08X  %-18s  %s", m.serialNumber, FleetResultText(m.result), m.error.c_str());
        break;
    }
}

} // namespace

const char* FleetResultText(FleetResult result)
{
    switch (result) {
    case FLEET_UPDATED: return "updated";
    case FLEET_CURRENT: return "current";
    case FLEET_NEWER: return "newer than offered";
    case FLEET_BUSY: return "busy";
    default: return "failed";
    }
}

std::string FleetSummary(const FleetOutcome& o)
{
    std::string text = std::to_string(o.counts[FLEET_UPDATED]) + " updated, " + std::to_string(o.counts[FLEET_CURRENT]) +
                       " current, " + std::to_string(o.counts[FLEET_NEWER]) + " newer than offered, " +
                       std::to_string(o.counts[FLEET_FAILED]) + " failed";
    if (o.counts[FLEET_BUSY])
        text += ", " + std::to_string(o.counts[FLEET_BUSY]) + " busy";
    return text;
}

int RunUpdateAll(CLI_Display& display, Updater& updater, const Parameters& p, JsonReport* report)
{
    // Ctrl-C and SIGTERM: no new module starts; the running ones are told
    // and stop at their next safe point.
    StopSignals stopSignals;
    const linkType type = p.transport_given && p.transport != TRANSPORT_RECOVER ? p.transport : 0;
    if (p.router_serial)
        display.message(INFO, "Checking Corvestel Network devices connected to %08X", p.router_serial);
    else
        display.message(INFO, "Checking Corvestel devices");
    const FleetCheck check = updater.Check_Devices(type, p.router_serial, 0);
    PrintFleetCheck(display, check);

    FleetOutcome outcome;
    std::vector<std::string> laneOrder;
    std::map<std::string, std::vector<Task>> lanes;
    for (const ModuleCheck& c : check.modules) {
        FleetModuleOutcome m;
        m.serialNumber = c.device.serialNumber;
        if (c.device.error == 0 && c.device.buildNumber != 0) {
            m.buildBefore = c.device.buildNumber;
            m.versionBefore = sVersion(c.device);
        }
        const size_t index = outcome.modules.size();
        switch (c.status) {
        case CHECK_CURRENT: m.result = FLEET_CURRENT; break;
        case CHECK_NEWER: m.result = FLEET_NEWER; break;
        case CHECK_UPDATE_AVAILABLE: {
            const bool stored = sStored(updater.GetStorage(), m.serialNumber, c.latestBuild);
            if (!stored && !p.commands.IsSet(CMD_GET)) {
                m.error = "build " + std::to_string(c.latestBuild) + " is not in the store; -G fetches it";
                break;
            }
            // Behind a router the modules share its bus: one lane per router.
            const uint32_t router = c.device.networkAddress ? c.device.routerSerialNumber : 0;
            const std::string lane = router ? "router " + sHex(router) : sHex(m.serialNumber);
            if (!lanes.count(lane))
                laneOrder.push_back(lane);
            lanes[lane].push_back(Task{index, m.serialNumber, router, c.latestBuild, !stored});
            m.result = FLEET_UPDATED; // until its child says otherwise
            break;
        }
        default: m.error = "its state could not be determined"; break;
        }
        outcome.modules.push_back(m);
        if (m.result != FLEET_UPDATED)
            sPrintOutcome(display, outcome.modules.back());
    }

    const std::string self = sSelfPath();
    std::map<std::string, size_t> next; // lane -> its next task
    std::vector<Running> running;
    std::map<std::string, bool> laneBusy;
    bool told = false;
    for (;;) {
        while (!StopRequested() && running.size() < p.jobs) {
            const std::string* lane = nullptr;
            for (const std::string& l : laneOrder)
                if (!laneBusy[l] && next[l] < lanes[l].size()) {
                    lane = &l;
                    break;
                }
            if (!lane)
                break;
            const Task task = lanes[*lane][next[*lane]++];
            FleetModuleOutcome& m = outcome.modules[task.index];
            if (sBusy(updater.GetStorage(), task.serialNumber)) {
                m.result = FLEET_BUSY;
                m.error = "Device " + sHex(task.serialNumber) + " is busy: another Updater is working with it";
                sPrintOutcome(display, m);
                continue;
            }
            Running r;
            r.task = task;
            if (self.empty() || !sStart(self, p, r)) {
                m.result = FLEET_FAILED;
                m.error = "could not start the update";
                sPrintOutcome(display, m);
                continue;
            }
            Log::log(DEBUG_APP, "Updating %08X in process %d\n", task.serialNumber, int(r.pid));
            laneBusy[*lane] = true;
            running.push_back(r);
        }
        if (running.empty())
            break;
        if (StopRequested() && !told) {
            // A child in this terminal's process group was told already.
            for (const Running& r : running)
                ::kill(r.pid, SIGINT);
            told = true;
        }
        bool ended = false;
        for (size_t i = 0; i < running.size(); ++i) {
            int status = 0;
            const pid_t pid = ::waitpid(running[i].pid, &status, WNOHANG);
            if (pid != running[i].pid)
                continue;
            FleetModuleOutcome& m = outcome.modules[running[i].task.index];
            sFinish(running[i], status, m);
            sPrintOutcome(display, m);
            for (auto& lane : lanes)
                for (const Task& t : lane.second)
                    if (t.index == running[i].task.index)
                        laneBusy[lane.first] = false;
            running.erase(running.begin() + long(i));
            ended = true;
            break;
        }
        if (!ended) {
            const struct timespec pause = {0, CHILD_POLL_NS};
            ::nanosleep(&pause, nullptr);
        }
    }
    // Modules a stop kept from starting.
    for (const std::string& l : laneOrder)
        for (size_t i = next[l]; i < lanes[l].size(); ++i) {
            FleetModuleOutcome& m = outcome.modules[lanes[l][i].index];
            m.result = FLEET_FAILED;
            m.error = "stopped before its update began";
            sPrintOutcome(display, m);
        }

    for (const FleetModuleOutcome& m : outcome.modules) {
        ++outcome.counts[m.result];
        outcome.changed = outcome.changed || m.written;
    }
    display.message(INFO, "%s", FleetSummary(outcome).c_str());
    if (report)
        report->UpdateAll(outcome);
    return outcome.counts[FLEET_FAILED] || outcome.counts[FLEET_BUSY] ? 1 : 0;
}

#include "app/Dispatch.h"

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "app/FleetPrinters.h"
#include "app/FleetUpdate.h"
#include "app/JsonReport.h"
#include "base/Log.h"
#include "app/ParameterReader.h"
#include "app/Parameters.h"
#include "app/ResultPrinters.h"
#include "app/Usage.h"
#include "link/aError.h"
#include "store/DeviceHistory.h"
#include "store/UpdaterStore.h"
#include "store/aDirectory.h"
#include "transport/aRecord.h"
#include "updater/StopRequest.h"
#include "updater/Updater.h"
#include "updater/UpdaterFleet.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

const uint16_t UPDATER_DIRECTORY_MODE = 0755;

// Decimal value of a build text; 0 (the latest) when empty or not a number.
uint32_t sBuildNumber(const std::string& text)
{
    const char* end = nullptr;
    return ReadDecimalArgument(text.c_str(), &end);
}

// The updater directory: D/updater for -i D, else ~/.quorvane/updater.
// False when it can't be had; the reason has been reported.
bool sPrepareStorage(CLI_Display& display, Parameters& p, std::string& updaterDirectory)
{
    if (p.storage_directory.empty()) {
        char home[aDIR_PATH_MAX];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", int(err));
            // Without a word the run would only end with status 1.
            if (err == aErrNotFound)
                display.message(ERROR,
                                "no home directory found (HOME unset, no password entry for uid %u); give the store "
                                "with -i DIR",
                                unsigned(getuid()));
            else
                display.message(ERROR, "The home directory cannot be used [%d, %s]; give the store with -i DIR",
                                int(err), aError_GetErrorText(err));
            return false;
        }
        p.storage_directory = BuildPath(home, ".quorvane", nullptr);
    }
    updaterDirectory = BuildPath(p.storage_directory.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(updaterDirectory.c_str(), UPDATER_DIRECTORY_MODE) != aErrNone) {
        display.message(ERROR, "Could not find updater directory at %s", updaterDirectory.c_str());
        return false;
    }
    return true;
}

// A listing command without a device serial number: the error and the
// short usage.
int sMissingSerial(CLI_Display& display, const char* text)
{
    display.message(ERROR, "%s", text);
    PrintUsage(false, false);
    return 1;
}

// A list command failed when the engine reported an error while running it;
// an empty result without one just means there is nothing to list.
int sListOutcome(const CLI_Display& display, unsigned errorsBefore)
{
    return display.error_count() != errorsBefore ? 1 : 0;
}

int sDiscover(CLI_Display& display, Updater& updater, const Parameters& p, JsonReport* report)
{
    const linkType type = p.transport_given && p.transport != TRANSPORT_RECOVER ? p.transport : 0;
    const unsigned errorsBefore = display.error_count();
    if (p.router_serial) {
        display.message(INFO, "Searching for Corvestel Network devices connected to %08X", p.router_serial);
        const std::vector<DeviceInfo> devices = updater.Discover_CVNetwork_Devices(p.router_serial, type);
        PrintDeviceList(display, devices, type);
        if (report)
            report->Devices(type, p.router_serial, devices);
    } else {
        const linkType searched = type == 0 ? linkType(USB) : type;
        display.message(INFO, "Searching for Corvestel devices");
        const std::vector<DeviceInfo> devices = updater.Discover_Devices(searched);
        PrintDeviceList(display, devices, searched);
        if (report)
            report->Devices(searched, 0, devices);
        // Advice, not part of the list: on the error stream, so that the
        // list on standard output stays as scripts know it.
        if (devices.empty() && searched == USB)
            display.hint_message("Hint: -D searches USB only; Updater -D -t TCPIP searches the network.");
    }
    return sListOutcome(display, errorsBefore);
}

// --check: every module found against the newest build offered. Exit 0
// when the state of every one was determined.
int sCheck(CLI_Display& display, Updater& updater, const Parameters& p, JsonReport* report)
{
    const linkType type = p.transport_given && p.transport != TRANSPORT_RECOVER ? p.transport : 0;
    const unsigned errorsBefore = display.error_count();
    if (p.router_serial)
        display.message(INFO, "Checking Corvestel Network devices connected to %08X", p.router_serial);
    else
        display.message(INFO, "Checking Corvestel devices");
    const FleetCheck check = updater.Check_Devices(type, p.router_serial, p.serial_number);
    PrintFleetCheck(display, check);
    if (report)
        report->Check(check);
    for (const ModuleCheck& m : check.modules)
        if (m.status == CHECK_UNKNOWN)
            return 1;
    return check.modules.empty() ? sListOutcome(display, errorsBefore) : 0;
}

// --history -d SERIAL: the device's records, oldest first.
int sHistory(CLI_Display& display, Updater& updater, const Parameters& p, JsonReport* report)
{
    if (!p.serial_number)
        return sMissingSerial(display, "Error must supply a serial number for the History command");
    std::vector<nlohmann::ordered_json> entries;
    unsigned skipped = 0;
    const std::string folder = updater.GetStorage() + "/" + UpdaterStore::FolderName(p.serial_number);
    const bool read = History_Read(folder, entries, &skipped);
    if (!read)
        display.message(ERROR, "Could not read the history of %08X in %s", p.serial_number, folder.c_str());
    PrintHistory(display, p.serial_number, entries, skipped);
    if (report)
        report->History(p.serial_number, entries, skipped);
    return read ? 0 : 1;
}

int sUpdate(CLI_Display& display, Updater& updater, const Parameters& p, JsonReport* report)
{
    const uint32_t build = sBuildNumber(p.build);
    updater.Set_UEIBytes_Load(p.uei_bytes_load);
    // Ctrl-C and SIGTERM stop the update between pieces, never inside a
    // flash write.
    StopSignals stopSignals;
    const bool recovery = p.transport == TRANSPORT_RECOVER;
    bool ok;
    if (recovery) {
        ok = updater.Recover_Firmware(p.serial_port, build, p.baud_rate, p.serial_number, p.bird_file);
    } else {
        if (!p.serial_number) {
            display.message(ERROR, "Must specify the specific device to be updated");
            return 1;
        }
        ok = updater.Update_Firmware(p.serial_number, build, p.bird_file, 0, p.router_serial,
                                     p.override_model);
    }
    if (report)
        report->Update(recovery, ok, p.serial_port, updater.GetUpdateReport());
    return ok ? 0 : 1;
}

// Everything after the parse; the caller prints the report when one is kept.
int sRun(CLI_Display& display, Parameters& p, int parsed, JsonReport* report)
{
    if (parsed != 0) {
        PrintVersion(display);
        PrintUsage(false, false);
        return 1;
    }
    PrintVersion(display);
    if (p.commands.IsSet(CMD_HELP) || !p.commands.IsSet(CMD_ANY)) {
        PrintUsage(p.debug_mask_given, p.help_requested);
        if (report)
            report->Help();
        return 0;
    }

    // A mistyped word must not turn into a different update or download
    // than the one the user meant; read-only commands go on regardless.
    if (!p.skipped_words.empty() && p.commands.IsSet(CMD_UPDATE | CMD_GET)) {
        display.message(ERROR, "Not run: -U and -G need a command line without skipped words; "
                               "nothing was sent or stored");
        return 1;
    }

    // --all chooses the modules itself: refused before anything is sent
    // when the command line names a module, a build or a file.
    if (p.all && (p.serial_number || !p.build.empty() || !p.bird_file.empty())) {
        display.message(ERROR, "--all updates every module found that needs it; it does not go with -d, -b or -f");
        return 1;
    }
    if (p.all && (!p.commands.IsSet(CMD_UPDATE | CMD_FLEET_CHECK) || p.transport == TRANSPORT_RECOVER)) {
        display.message(ERROR, "--all goes with -U (or --check), over USB, TCPIP or a router");
        return 1;
    }

    std::string updaterDirectory;
    if (!sPrepareStorage(display, p, updaterDirectory))
        return 1;

    Updater updater(p.server_url.c_str(), updaterDirectory.c_str(), display);
    updater.Set_History_Message(p.history_message);
    int pending = 0;

    if (p.commands.IsSet(CMD_FINGERPRINT)) {
        if (p.serial_port.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, p.serial_port, PLACEHOLDER_SERIAL_NUMBER, p.bird_file,
                                    p.baud_rate, true)) {
            PrintFingerprint(display, fingerprint);
            if (report)
                report->Fingerprint(p.serial_port, &fingerprint, updater.GetChip());
        } else {
            display.message(ERROR, "Got no response from chip");
            pending = 1;
            if (report)
                report->Fingerprint(p.serial_port, nullptr, updater.GetChip());
        }
    }

    // -U --all fetches what each module lacks itself.
    if (p.commands.IsSet(CMD_GET) && !(p.all && p.commands.IsSet(CMD_UPDATE))) {
        if (!p.serial_number) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return 1;
        }
        display.message(INFO, "Retrieving firmware for device with serial number %08X", p.serial_number);
        if (p.build.empty()) {
            display.message(INFO, "No build specified");
            display.message(INFO, "Using Latest build");
        } else {
            display.message(INFO, "Retrieving firmware build %s", p.build.c_str());
        }
        const uint32_t stored = updater.Download_Firmware(p.serial_number, p.build, p.override_model, false);
        if (report)
            report->Download(p.serial_number, p.build, stored);
        if (stored) {
            // A following -U installs exactly the build just stored; the
            // server's latest is no choice of the user's.
            updater.Set_Build_From_Download(p.build.empty());
            p.build = std::to_string(stored);
            pending = 0;
        } else {
            pending = 1;
        }
    }

    if (p.commands.IsSet(CMD_FLEET_CHECK))
        return sCheck(display, updater, p, report);
    if (p.commands.IsSet(CMD_HISTORY))
        return sHistory(display, updater, p, report);
    if (p.commands.IsSet(CMD_DISCOVER))
        return sDiscover(display, updater, p, report);
    if (p.commands.IsSet(CMD_UPDATE) && p.all)
        return RunUpdateAll(display, updater, p, report);
    if (p.commands.IsSet(CMD_UPDATE))
        return sUpdate(display, updater, p, report);
    if (p.commands.IsSet(CMD_LIST_BUILDS)) {
        if (!p.serial_number)
            return sMissingSerial(display, "Error must supply a serial number for the List Builds command");
        const unsigned errorsBefore = display.error_count();
        const BuildList builds = updater.Get_BuildList(p.serial_number);
        PrintBuildList(display, builds, p.serial_number);
        if (report)
            report->Builds(p.serial_number, false, builds);
        return sListOutcome(display, errorsBefore);
    }
    if (p.commands.IsSet(CMD_LIST_LOCAL)) {
        if (!p.serial_number)
            return sMissingSerial(display, "Error must supply a serial number for the List Local Builds command");
        const unsigned errorsBefore = display.error_count();
        const BuildList builds = updater.Get_BuildListLocal(p.serial_number);
        PrintBuildList(display, builds, p.serial_number);
        if (report)
            report->Builds(p.serial_number, true, builds);
        return sListOutcome(display, errorsBefore);
    }
    if (p.commands.IsSet(CMD_JWT)) {
        if (!p.serial_number)
            return sMissingSerial(display, "Error must supply a serial number for the Get JWT command");
        const std::string token = updater.Get_JWT(p.serial_number);
        if (report)
            report->Token(p.serial_number, token);
        // No token means the request failed: no empty line, and exit 1.
        if (token.empty())
            return 1;
        PrintToken(display, token);
        return 0;
    }
    return pending;
}
} // namespace

namespace {

// Runs the command line once it is parsed, with the report when one is kept.
int sRunParsed(CLI_Display& display, Parameters& p, int parsed)
{
    if (!p.json)
        return sRun(display, p, parsed, nullptr);

    // Standard output carries the document alone: every text the user would
    // see goes to the error stream, and the error lines go into the document
    // too.
    display.output_to_error_stream();
    JsonReport report;
    const int status = sRun(display, p, parsed, &report);
    const std::string text = report.Text(status, display.kept_errors());
    if (aRecord_IsOn()) {
        size_t from = 0;
        while (from < text.size()) {
            size_t end = text.find('\n', from);
            if (end == std::string::npos)
                end = text.size();
            aRecord_Output(false, text.substr(from, end - from).c_str());
            from = end + 1;
        }
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return status;
}

} // namespace

int RunCommandLine(CLI_Display& display, int argc, const char* const* argv)
{
    Parameters p;
    // Kept from the start, so that refusals of the parse reach the report.
    display.keep_errors();
    const int parsed = ReadParameters(display, argc, argv, p);
    if (p.record_file.empty())
        return sRunParsed(display, p, parsed);

    // A recording asked for and not made would leave a report from the
    // field without its evidence: nothing runs without it.
    const std::string versionText = UPDATER_VERSION_TEXT;
    const size_t number = versionText.find(' ') + 1;
    const std::string version = versionText.substr(number, versionText.find(' ', number) - number);
    if (aRecord_Start(p.record_file.c_str(), UPDATER_PROGRAM_NAME, version.c_str(), argc, argv) != aErrNone) {
        display.message(ERROR, "Could not create the recording %s", p.record_file.c_str());
        return 1;
    }
    const int status = sRunParsed(display, p, parsed);
    aRecord_Exit(status);
    aRecord_Stop();
    return status;
}

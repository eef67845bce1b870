#include "support/UsbBusRunner.h"

#include <sys/stat.h>

#include <sstream>

UsbBusRunner::UsbBusRunner()
{
    ::mkdir(Store().c_str(), 0755);
    options = {"--sim", SimHarness::ProgramPath(), "--log", folder.Path() + "/events", "--flash-dir",
        folder.Path(), "--trace", folder.Path() + "/trace", "--lifetime", "300"};
}

std::string UsbBusRunner::ProgramPath()
{
    return std::string(TEST_SOURCE_DIR) + "/sim/usbbus/corvestel-usbbus";
}

void UsbBusRunner::Module(const std::string& keys, const std::vector<std::string>& behind)
{
    options.insert(options.end(), {"--module", keys});
    for (const std::string& b : behind)
        options.insert(options.end(), {"--behind", b});
}

void UsbBusRunner::Device(const std::string& keys)
{
    options.insert(options.end(), {"--device", keys});
}

void UsbBusRunner::Option(const std::string& name, const std::string& value)
{
    options.insert(options.end(), {name, value});
}

std::vector<std::string> UsbBusRunner::Argv(const std::vector<std::string>& command) const
{
    std::vector<std::string> argv{ProgramPath()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

RunResult UsbBusRunner::Run(const std::vector<std::string>& command, int timeoutMs)
{
    std::vector<std::string> argv = Argv(command);
    RunOptions run;
    run.environment = {"HOME=" + Store()};
    run.timeoutMs = timeoutMs;
    return RunProgram(argv, run);
}

std::vector<std::string> UsbBusRunner::UpdaterCommand(const std::vector<std::string>& words) const
{
    std::vector<std::string> argv{UpdaterProgramPath()};
    argv.insert(argv.end(), words.begin(), words.end());
    bool url = false;
    for (const std::string& w : words)
        url = url || w == "-u";
    if (!url)
        argv.insert(argv.end(), {"-u", UpdateServerHarness::DeadURL()});
    bool store = false;
    for (const std::string& w : words)
        store = store || w == "-i";
    if (!store)
        argv.insert(argv.end(), {"-i", Store()});
    return argv;
}

RunResult UsbBusRunner::RunUpdater(const std::vector<std::string>& words, int timeoutMs)
{
    return Run(UpdaterCommand(words), timeoutMs);
}

std::vector<std::string> UsbBusRunner::Events() const
{
    std::vector<std::string> lines;
    std::istringstream in(srvtest::ReadWholeFile(folder.Path() + "/events"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

SimMemoryImage UsbBusRunner::Flash(uint32_t serial) const
{
    char name[16];
    std::snprintf(name, sizeof name, "%08X", serial);
    return SimHarness::ReadMemoryFile(folder.Path() + "/" + name + ".flash");
}

std::string UsbBusRunner::Trace() const
{
    return srvtest::ReadWholeFile(folder.Path() + "/trace");
}

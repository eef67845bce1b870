// Runs a command on the simulated USB bus (sim/usbbus, corvestel-usbbus):
// the bus starts the module simulator for its modules, puts them on a
// umockdev testbed and runs the command under the umockdev preload, so the
// real Updater reaches them through the real libusb. One object per test;
// it owns a folder for the store, the simulator's flash files, its trace and
// the bus's event log.
//
//   UsbBusRunner bus;
//   bus.Module("serial=40F5849A,model=13,name=Hub");
//   RunResult r = bus.RunUpdater({"-D"});
#ifndef TESTS_SUPPORT_USBBUSRUNNER_H
#define TESTS_SUPPORT_USBBUSRUNNER_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/ProgramRunner.h"
#include "support/SimHarness.h"
#include "support/UpdateServerHarness.h"

class UsbBusRunner {
public:
    UsbBusRunner();

    // A module on the bus (corvestel-usbbus --module keys) and the modules
    // behind it on its I2C network.
    void Module(const std::string& keys, const std::vector<std::string>& behind = {});
    // A device with no module behind it (--device keys).
    void Device(const std::string& keys);
    // Any other option of the bus.
    void Option(const std::string& name, const std::string& value);

    // The bus's command line running this command (to start it alongside).
    std::vector<std::string> Argv(const std::vector<std::string>& command) const;
    // Runs the command (argv[0] a program path) on the bus to its end.
    RunResult Run(const std::vector<std::string>& command, int timeoutMs = 120000);
    // Runs the Updater with these words, its store in Store() and the update
    // server out of reach unless a -u is given.
    RunResult RunUpdater(const std::vector<std::string>& words, int timeoutMs = 120000);
    // The Updater's command line for Run() (a shell script may run several).
    std::vector<std::string> UpdaterCommand(const std::vector<std::string>& words) const;

    // Lines of the bus's event log ("plug module SERIAL NODE", "unplug ...",
    // "restart SERIAL", "pulled SERIAL").
    std::vector<std::string> Events() const;
    // A module's memory after the run (the simulator writes it at exit).
    SimMemoryImage Flash(uint32_t serial) const;
    std::string Trace() const;

    const std::string& Folder() const { return folder.Path(); }
    std::string Store() const { return folder.Path() + "/home"; }

    static std::string ProgramPath(); // the bus program in the source tree

private:
    srvtest::TempDir folder;
    std::vector<std::string> options;
};

#endif

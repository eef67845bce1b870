#include "support/SimUsbModule.h"

#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

SimUsbModule::SimUsbModule() : ops(*cvusb_libusb()) {}

SimUsbModule::~SimUsbModule()
{
    if (previous)
        cvusb_set_libusb(previous);
    if (!node.empty())
        unlink(node.c_str());
    if (terminal >= 0)
        close(terminal);
    sim.Stop();
}

bool SimUsbModule::Start(uint32_t serial, const std::string& keys, const std::vector<std::string>& options)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    std::vector<std::string> args = options;
    args.push_back("--module");
    args.push_back(std::string("serial=") + text + ",link=pty," + keys);
    if (!sim.Start(args))
        return false;
    std::string pty = sim.PtyPath(serial);
    if (pty.empty())
        return false;
    // Settings belong to the terminal, not to a descriptor: every later
    // open of it reads with a 100 ms time-out.
    terminal = open(pty.c_str(), O_RDWR | O_NOCTTY);
    if (terminal < 0)
        return false;
    struct termios t;
    if (tcgetattr(terminal, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    if (tcsetattr(terminal, TCSANOW, &t) != 0)
        return false;
    prefix = sim.Folder() + "/corvestel.";
    node = prefix + text;
    if (symlink(pty.c_str(), node.c_str()) != 0)
        return false;
    ops.nodePrefix = prefix.c_str();
    previous = cvusb_set_libusb(&ops);
    return true;
}

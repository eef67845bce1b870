// The wait for a module that comes back, on the fake USB bus: which refused
// nodes end it, whose searches its refusals come from, and the permission
// error that a refused node gives a connection.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "FakeUsb.h"
#include "link/ModuleReturn.h"
#include "transport/discover.h"

using Quorvane::Corvestel::Module;
using Quorvane::Corvestel::ModuleReturn;
using Quorvane::Corvestel::ReturnPolicy;

namespace {

const uint32_t SERIAL = 0x40F5849A;

// The fake bus is bus 1, each device at its place in the list plus one.
std::string Node(size_t address)
{
    char text[CVUSB_NODESIZE];
    std::snprintf(text, sizeof text, "/dev/bus/usb/001/%03zu", address);
    return text;
}

// A module that searches may not open.
void AddLocked(FakeUsb& usb, const char* serial)
{
    usb.Add(FakeDevice::Module(serial)).openFails = true;
}

// No network server of the module's own, so that nothing leaves the host.
void NetworkOff(Module& module)
{
    aEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    config.localOnly = 1;
    config.assignedPort = 0;
    config.networkInterface = 0x0100007F;
    ASSERT_EQ(module.setConfig(config), aErrNone);
}

TEST(ModuleReturn, OnlyANodeThatCameBackRefusedEndsTheWaitEarly)
{
    FakeUsb usb;
    AddLocked(usb, "11111111"); // refused all along: another module
    Module module(0, false, 0);
    NetworkOff(module);
    ReturnPolicy policy;
    policy.attempts = 6;
    policy.refusedAttempts = 2;
    policy.searches = {{USB, SERIAL}};

    ModuleReturn wait(module);
    EXPECT_EQ(wait.await(policy), aErrPermission);
    EXPECT_EQ(wait.attempts(), 6u) << "a node refused since before the wait is not the module";
    EXPECT_EQ(wait.refusedNodes(), std::vector<std::string>{Node(1)});

    // The module comes back during the second attempt at a new place, with
    // a node this user may not open: two such attempts in a row end it.
    policy.onAttempt = [&usb](unsigned attempt) {
        if (attempt == 2)
            AddLocked(usb, "40F5849A");
    };
    EXPECT_EQ(wait.await(policy), aErrPermission);
    EXPECT_EQ(wait.attempts(), 3u);
    EXPECT_EQ(wait.refusedNodes(), (std::vector<std::string>{Node(1), Node(2)}));

    // A stop asked for ends the wait before the next attempt.
    unsigned asked = 0;
    policy.onAttempt = nullptr;
    policy.stop = [&asked] { return ++asked == 4; };
    EXPECT_EQ(wait.await(policy), aErrCancel);
    EXPECT_EQ(wait.attempts(), 3u);
    EXPECT_EQ(usb.openHandles, 0);
    EXPECT_EQ(usb.listsOut, 0);
}

// Found by discovery or opened from a known specifier, a module behind a
// node this user may not open answers the connection with the permission
// error, and the node is named; not with "not found" or a bare failure.
TEST(ModuleReturn, ARefusedNodeIsThePermissionErrorOfEveryPath)
{
    FakeUsb usb;
    AddLocked(usb, "40F5849A");
    Module module(0, false, 0);
    NetworkOff(module);
    EXPECT_EQ(module.connect(USB, SERIAL), aErrPermission);
    EXPECT_EQ(ModuleReturn::refusedUsbNodes(), std::vector<std::string>{Node(1)});

    linkSpec spec{};
    spec.type = USB;
    spec.serialNumber = SERIAL;
    spec.t.usbId = SERIAL;
    EXPECT_EQ(module.connectFromSpec(spec), aErrPermission);
    EXPECT_EQ(ModuleReturn::refusedUsbNodes(), std::vector<std::string>{Node(1)});
    EXPECT_EQ(module.reconnect(), aErrPermission);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(usb.openHandles, 0);
}

// Refusals belong to the thread whose search met them: a discovery on
// another thread neither adds to nor clears this thread's.
TEST(ModuleReturn, RefusalsAreTheCallingThreadsOwn)
{
    FakeUsb usb;
    AddLocked(usb, "11111111");
    EXPECT_EQ(aDiscovery_FindModule(USB, SERIAL, 0), nullptr);
    EXPECT_EQ(ModuleReturn::refusedUsbNodes(), std::vector<std::string>{Node(1)});

    std::vector<std::string> seen;
    std::thread other([&seen] {
        seen = ModuleReturn::refusedUsbNodes();
        linkSpec* spec = aDiscovery_FindModule(USB, 0x11111111, 0);
        if (spec)
            aLinkSpec_Destroy(&spec);
    });
    other.join();
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(ModuleReturn::refusedUsbNodes(), std::vector<std::string>{Node(1)});

    // A search that opens nothing refused forgets the last one's.
    usb.devices[0]->openFails = false;
    linkSpec* spec = aDiscovery_FindModule(USB, 0x11111111, 0);
    ASSERT_NE(spec, nullptr);
    aLinkSpec_Destroy(&spec);
    EXPECT_TRUE(ModuleReturn::refusedUsbNodes().empty());
}

} // namespace

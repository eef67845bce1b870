#include "app/JsonReport.h"

#include <gtest/gtest.h>

#include <cstring>

#include <nlohmann/json.hpp>

namespace {

// Names come from modules and need not be UTF-8; the report must still be
// one valid document, and the address bytes read in the order they are stored.
TEST(JsonReport, ModuleTextsThatAreNotUtf8StillMakeAValidDocument)
{
    DeviceInfo d;
    d.type = TCPIP;
    d.serialNumber = 0x0000BEEF;
    const unsigned char ip[4] = {198, 18, 0, 7};
    std::memcpy(&d.t.ipAddress, ip, sizeof ip);
    d.deviceName = std::string("Rack\xff\xfe", 6);
    d.error = aErrTimeout;

    JsonReport report;
    report.Devices(TCPIP, 0, {d});
    const nlohmann::json doc = nlohmann::json::parse(report.Text(1, {"bad \xc3"}));
    const nlohmann::json& device = doc["discover"]["devices"][0];
    EXPECT_EQ(device["serial"], "0000BEEF");
    EXPECT_EQ(device["ip_address"], "198.18.0.7");
    EXPECT_EQ(device["error_name"], "aErrTimeout");
    EXPECT_EQ(device["name"].get<std::string>().substr(0, 4), "Rack");
    EXPECT_EQ(doc["exit_status"], 1);
    EXPECT_EQ(doc["errors"].size(), 1u);
}

} // namespace

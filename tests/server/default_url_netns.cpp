// A request without a URL goes to the default server. Run in a private
// network namespace, with the simulated server standing in as an HTTP proxy,
// so that nothing tries to reach the real host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/UpdateServerHarness.h"
#include "server/UpdateServerRequest.h"

TEST(DefaultServer, NullURLAsksTheDefaultServer)
{
    UpdateServerHarness server;
    server.SetLatest(0x1234ABCD, "99", "FW");
    ASSERT_TRUE(server.Start());
    const std::string proxy = "http://127.0.0.1:" + std::to_string(server.Port());
    ::setenv("http_proxy", proxy.c_str(), 1);
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");

    std::string build, fw;
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x1234ABCD, build, fw));
    EXPECT_EQ(build, "99");
    ::unsetenv("http_proxy");

    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], std::string(UpdateServerRequest::default_url) + "?op=qu&sn=1234ABCD&");
    EXPECT_EQ(std::string(UpdateServerRequest::default_url).rfind("http://", 0), 0u);
}

// The real idle limit: a server that nobody contacts stops by itself after 120 s.
#include "server.h"
#include "server_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace ostrel::halvorn {
namespace {

TEST(ServerIdleExit, NeverContactedServerStopsAfterAboutTwoMinutes) {
    ::unsetenv(ServerLimits::kIdleExitVariable);
    test::Scene scene;
    ASSERT_TRUE(scene.ready());
    const auto started = std::chrono::steady_clock::now();
    test::ServerProcess server({"1"});
    ASSERT_TRUE(server.waitRunning());

    const std::optional<int> code = server.waitExit(180'000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    // The limit counts from the server's first pass, which comes after `started`.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(120));
    const std::string log = scene.logText();
    EXPECT_NE(log.find("No clients for 120 seconds\nStopping the server\n"), std::string::npos) << log;
    EXPECT_TRUE(test::Scene::sharedObjects().empty());
}

} // namespace
} // namespace ostrel::halvorn

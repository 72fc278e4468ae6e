// A CAN server killed over and over while its client asks: each request goes to the server that
// replaces the killed one. Fifty rounds of a server start each, so this test starts early.
#include "e2e_support.h"

#include <charconv>
#include <csignal>
#include <string>

namespace drennic::e2e {
namespace {

constexpr int kRounds = 50;
// A server start and a registration; a request left to its own 20 s would take longer.
constexpr long long kServedWithinMs = 10'000;

class RestartE2E : public ClientProgramTest {
protected:
    RestartE2E() : ClientProgramTest("restart") {}
};

TEST_F(RestartE2E, RequestRightAfterEachServerKillIsServedByTheNextServer) {
    Client a;
    startOn(a, 1);
    for (int round = 0; round < kRounds; ++round) {
        std::vector<pid_t> servers;
        ASSERT_TRUE(eventually(10'000, [&] { return (servers = liveServers()).size() == 1; })) << "round " << round;
        ::kill(servers[0], SIGKILL);
        const auto answer = Client::words(a.ask("baud 3", 30'000));
        ASSERT_EQ(answer.size(), 3u) << "round " << round;
        long long elapsed = -1;
        (void)std::from_chars(answer[2].data(), answer[2].data() + answer[2].size(), elapsed);
        EXPECT_EQ(answer[1], "500") << "round " << round;
        EXPECT_LT(elapsed, kServedWithinMs) << "round " << round;
    }
}

} // namespace
} // namespace drennic::e2e

// A CAN server killed over and over while its client asks: each request goes to the server that
// replaces the killed one. Fifty rounds of a server start each, so this test starts early.
#include "e2e_support.h"

#include <halvorn/server_block.h>
#include <halvorn/transport.h>
#include <platform/registry.h>

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

// The user networks stored under `name`.
int storedNetworks(const std::string& name) {
    const auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser,
                                                         "Software\\Ostrel\\Halvorn\\Networks");
    int count = 0;
    for (const auto& value : key ? key->values() : std::vector<ostrel::platform::RegistryValue>{}) {
        count += value.text.ends_with("," + name) ? 1 : 0;
    }
    return count;
}

// A request written into a new server's command ring before that server has counted its start (its
// other rings are held by a stopped peer), and one that the killed server carried out without
// answering (a peer held its response ring): either is carried out once.
struct AcrossRestart {
    const char* name;
    bool writtenIntoTheNewRing;
};

void PrintTo(const AcrossRestart& c, std::ostream* out) { *out << c.name; }

class NetworkAddedAcrossARestart : public RestartE2E, public ::testing::WithParamInterface<AcrossRestart> {};

TEST_P(NetworkAddedAcrossARestart, IsStoredOnce) {
    const AcrossRestart& c = GetParam();
    Client a;
    startOn(a, 1);
    auto peer = ostrel::halvorn::TransportObjects::open();
    ASSERT_TRUE(peer);
    // Held by a stopped peer: the server's writes to them wait, and give up after 500 ms.
    std::vector<std::unique_ptr<ostrel::platform::NamedMutex>> held;
    const auto hold = [&](const char* name) {
        held.push_back(ostrel::platform::NamedMutex::open(name));
        return held.back() && held.back()->lock(1000) == ostrel::platform::LockResult::Acquired;
    };
    const uint32_t starts = peer->serverStarts();
    const std::string add = std::string("add ") + c.name + " 250 0";
    ASSERT_TRUE(hold(ostrel::halvorn::kResponseMutexName));
    if (c.writtenIntoTheNewRing) {
        ASSERT_TRUE(hold(ostrel::halvorn::kSendMutexName) && hold(ostrel::halvorn::kReceiveMutexName));
        const uint32_t epoch = peer->commandRing().epoch();
        ASSERT_TRUE(killTheServer());
        // The client starts a server, which starts the command ring afresh first.
        ASSERT_TRUE(eventually(20'000, [&] { return peer->commandRing().epoch() != epoch; }));
        ASSERT_TRUE(a.post(add));
    } else {
        ASSERT_TRUE(a.post(add));
        ASSERT_TRUE(eventually(20'000, [&] { return storedNetworks(c.name) == 1; }));
        ASSERT_TRUE(killTheServer());
    }
    ASSERT_TRUE(eventually(20'000, [&] { return peer->serverStarts() != starts; }));
    held.clear();
    const auto answer = Client::words(a.answer());
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_NE(answer[1], "-1") << "the network's handle";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a second writing would be done by now
    EXPECT_EQ(storedNetworks(c.name), 1);
}

INSTANTIATE_TEST_SUITE_P(Restart, NetworkAddedAcrossARestart,
                         ::testing::Values(AcrossRestart{"WrittenIntoTheNewRing", true},
                                           AcrossRestart{"CarriedOutUnanswered", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace drennic::e2e

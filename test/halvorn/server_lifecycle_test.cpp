// The server program's life: one instance per user, the debug-log argument, registration, ping
// supervision, the stop rules and a clean shut-down that leaves no shared objects behind.
#include "server.h"
#include "server_harness.h"

#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace ostrel::halvorn {
namespace {

using test::HoldingClient;
using test::RawClient;
using test::RunningServerTest;
using test::Scene;
using test::ServerProcess;

constexpr int kExitBoundMs = 10'000;  // the stop rules fire within about a second

uint32_t ownId() { return static_cast<uint32_t>(::getpid()); }

// Another process id for a second client in this process: a live process, since the server drops
// the entries of processes that have ended.
uint32_t otherId() { return static_cast<uint32_t>(::getppid()); }

bool serves(RawClient& client) {
    const auto r = client.request(ServerCmd_GetVersion);
    return r && r->code == ServerResp_GetVersion;
}

using ServerInstance = RunningServerTest;

TEST_F(ServerInstance, SecondStartExitsAtOnceWithZeroAndTheFirstKeepsServing) {
    startServer();
    ServerProcess second({"1"});
    ASSERT_TRUE(second.started());
    EXPECT_EQ(second.waitExit(), 0);

    EXPECT_FALSE(server_->exited());
    RawClient client(ownId());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(serves(client));
    // The second start did not truncate the running server's log.
    EXPECT_EQ(scene_.logText().rfind("Ost CAN Server version 3.00 started\n\n", 0), 0u);
}

TEST_F(ServerInstance, ACrashedServerLeavesNoRunningFlagAndDoesNotBlockTheNext) {
    startServer();
    server_->signal(SIGKILL);
    ASSERT_TRUE(server_->waitExit().has_value());
    {
        auto running = platform::NamedEvent::open(kRunningEventName, platform::EventReset::Manual);
        ASSERT_TRUE(running);
        EXPECT_FALSE(running->isSet());
    }
    ServerProcess next({"1"});
    ASSERT_TRUE(next.waitRunning());
    EXPECT_FALSE(next.exited());
    RawClient client(ownId());
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(serves(client));
}

// A process stopped inside the running event's open (in a debugger, say) while the server starts: the
// server tries again beyond one open's bound (5 s) and starts once that process has gone on.
TEST_F(ServerInstance, StartWaitsForAProcessStoppedInsideTheRunningEventsOpen) {
    ASSERT_TRUE(scene_.ready());
    const auto event = platform::NamedEvent::open(kRunningEventName, platform::EventReset::Manual);
    ASSERT_TRUE(event);
    const std::string file = "/dev/shm/ostrel." + platform::ipcNamespace() + "." + kRunningEventName;
    const int opener = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct flock guard{};
    guard.l_type = F_WRLCK;
    guard.l_len = 1;  // the byte an opener holds while it opens
    ASSERT_TRUE(opener >= 0 && ::fcntl(opener, F_OFD_SETLK, &guard) == 0);
    ServerProcess server({"1"});
    ASSERT_TRUE(scene_.waitForLog("Ost CAN Server version"));
    std::this_thread::sleep_for(std::chrono::milliseconds(6'000));
    ::close(opener);
    EXPECT_TRUE(server.waitRunning()) << scene_.logText();
}

class ServerStopSignal : public RunningServerTest, public ::testing::WithParamInterface<int> {};

TEST_P(ServerStopSignal, StopsInItsShutDownOrderAndLeavesNoObjects) {
    startServer();
    {
        RawClient client(ownId());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(ServerCmd_RegisterClient));
        ASSERT_TRUE(serves(client));
    }
    server_->signal(GetParam());
    EXPECT_EQ(server_->waitExit(kExitBoundMs), 0);
    const std::string log = scene_.logText();
    const std::size_t stopping = log.find("Stopping the server\n");
    const std::size_t rxDead = log.find("Client Rx thread is dead\n");
    const std::size_t cleanupDead = log.find("Client cleanup thread is dead\n");
    const std::size_t busDone = log.find("CAN Bus shutdown complete\n");
    ASSERT_NE(stopping, std::string::npos) << log;
    ASSERT_NE(rxDead, std::string::npos) << log;
    ASSERT_NE(cleanupDead, std::string::npos) << log;
    ASSERT_NE(busDone, std::string::npos) << log;
    EXPECT_LT(stopping, rxDead);
    EXPECT_LT(rxDead, cleanupDead);
    EXPECT_LT(cleanupDead, busDone);
    EXPECT_EQ(log.find("Last client just disconnected"), std::string::npos);
    EXPECT_TRUE(Scene::sharedObjects().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, ServerStopSignal, ::testing::Values(SIGTERM, SIGINT));

class DebugLogArgument
    : public RunningServerTest,
      public ::testing::WithParamInterface<std::pair<std::vector<std::string>, bool>> {};

TEST_P(DebugLogArgument, OnlyANonzeroNumberWritesTheLog) {
    const auto& [args, logged] = GetParam();
    startServer(args);
    RawClient client(ownId());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(ServerCmd_RegisterClient));
    ASSERT_TRUE(serves(client));
    ASSERT_TRUE(client.send(ServerCmd_UnregisterClient));
    EXPECT_EQ(server_->waitExit(kExitBoundMs), 0);
    EXPECT_EQ(scene_.logExists(), logged);
    if (logged) {
        const std::string log = scene_.logText();
        EXPECT_EQ(log.rfind("Ost CAN Server version 3.00 started\n\n", 0), 0u) << log;
        EXPECT_NE(log.find("Registering client " + std::to_string(ownId()) + "\n"), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DebugLogArgument,
    ::testing::Values(std::make_pair(std::vector<std::string>{}, false), std::make_pair(std::vector<std::string>{"0"}, false),
                      std::make_pair(std::vector<std::string>{"-0"}, false),
                      std::make_pair(std::vector<std::string>{"abc"}, false),
                      std::make_pair(std::vector<std::string>{"1"}, true),
                      std::make_pair(std::vector<std::string>{"  +2x"}, true),
                      std::make_pair(std::vector<std::string>{"-7"}, true)));

using ClientLifecycle = RunningServerTest;

TEST_F(ClientLifecycle, LastClientUnregisteringStopsTheServerAndItsObjectsGo) {
    startServer();
    {
        RawClient client(ownId());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(ServerCmd_RegisterClient));
        ASSERT_TRUE(serves(client));
        ASSERT_TRUE(client.send(ServerCmd_UnregisterClient));
    }  // the client lets go of the shared objects; the server is their last holder
    EXPECT_EQ(server_->waitExit(kExitBoundMs), 0);
    const std::string log = scene_.logText();
    EXPECT_NE(log.find("Unregistering client " + std::to_string(ownId()) + "\nDeleting client\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Last client just disconnected\nStopping the server\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("No clients for"), std::string::npos);
    EXPECT_TRUE(Scene::sharedObjects().empty());
}

TEST_F(ClientLifecycle, RunningFlagIsClearedAtShutDownEvenWhileAClientHoldsIt) {
    startServer();
    auto running = platform::NamedEvent::open(kRunningEventName, platform::EventReset::Manual);
    ASSERT_TRUE(running);
    ASSERT_TRUE(running->isSet());
    {
        RawClient client(ownId());
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(ServerCmd_RegisterClient));
        ASSERT_TRUE(client.send(ServerCmd_UnregisterClient));
    }
    EXPECT_EQ(server_->waitExit(kExitBoundMs), 0);
    // A client starting now must start a new server, not trust a flag of the one that is gone.
    EXPECT_FALSE(running->isSet());
}

TEST_F(ClientLifecycle, ServerKeepsRunningWhileAnotherClientIsLeft) {
    startServer();
    RawClient first(ownId());
    RawClient second(otherId());
    ASSERT_TRUE(first.connected() && second.connected());
    ASSERT_TRUE(first.send(ServerCmd_RegisterClient));
    ASSERT_TRUE(second.send(ServerCmd_RegisterClient));
    ASSERT_TRUE(first.send(ServerCmd_UnregisterClient));
    ASSERT_TRUE(serves(first));
    // Two passes of the stop rules see one client left.
    EXPECT_FALSE(server_->waitExit(2'500).has_value());
    ASSERT_TRUE(second.send(ServerCmd_UnregisterClient));
    EXPECT_EQ(server_->waitExit(kExitBoundMs), 0);
}

TEST_F(ClientLifecycle, ClientKilledWithoutUnregisteringIsDroppedAtOnceAndTheServerStops) {
    startServer();
    HoldingClient client(0);  // never pings
    ASSERT_TRUE(client.waitRegistered());
    ASSERT_TRUE(scene_.waitForLog("Registering client " + std::to_string(client.pid()) + "\n"));
    const auto killed = std::chrono::steady_clock::now();
    client.kill();

    EXPECT_EQ(server_->waitExit(), 0);
    // Its process is gone: no waiting for 15 s of silence.
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(5'000));
    const std::string log = scene_.logText();
    EXPECT_EQ(test::countOccurrences(log, "Removing client " + std::to_string(client.pid()) + " - its process has ended\n"), 1)
        << log;
    EXPECT_NE(log.find("Last client just disconnected\nStopping the server\n"), std::string::npos) << log;
    EXPECT_TRUE(Scene::sharedObjects().empty());
}

TEST_F(ClientLifecycle, PingingClientIsKeptWhileASilentOneIsDropped) {
    test::ScopedEnv pingLimit(ServerLimits::kPingTimeoutVariable, "3000");
    startServer();
    HoldingClient pinging(200);
    HoldingClient silent(0);
    ASSERT_TRUE(pinging.waitRegistered());
    ASSERT_TRUE(silent.waitRegistered());
    ASSERT_TRUE(scene_.waitForLog("Removing dead client"));
    // Well past the limit, the pinging client is still there and so is the server.
    std::this_thread::sleep_for(std::chrono::milliseconds(6'000));
    EXPECT_FALSE(server_->exited());
    EXPECT_EQ(test::countOccurrences(scene_.logText(), "Removing dead client"), 1);

    pinging.kill();
    EXPECT_EQ(server_->waitExit(), 0);
    EXPECT_EQ(test::countOccurrences(scene_.logText(), "Removing dead client"), 1);
    EXPECT_EQ(test::countOccurrences(scene_.logText(), " - its process has ended\n"), 1);
}

TEST_F(ClientLifecycle, RegisteringTwiceKeepsOneEntryWithItsNetworkReset) {
    startServer();
    RawClient twice(ownId());
    RawClient other(otherId());
    ASSERT_TRUE(twice.connected() && other.connected());
    ASSERT_TRUE(twice.send(ServerCmd_RegisterClient));
    ASSERT_TRUE(other.send(ServerCmd_RegisterClient));
    ASSERT_TRUE(twice.request(ServerCmd_SetHardwareConfiguration, test::utf16Bytes(u"", true)));

    // A user network that only `twice` works on (the bus itself moves on to network 3).
    std::vector<uint8_t> add(kAddNetworkPayload, 0);
    const auto name = test::utf16Bytes(u"Bench", false);
    std::copy(name.begin(), name.end(), add.begin());
    putBe16(add.data() + 160, 250);
    const auto added = twice.request(ServerCmd_AddNetwork, add);
    ASSERT_TRUE(added);
    ASSERT_EQ(added->data[0], 0);
    const uint16_t bench = getBe16(added->data + 1);
    std::vector<uint8_t> config(6, 0);
    putBe16(config.data(), bench);
    ASSERT_EQ(twice.request(ServerCmd_SetBusConfiguration, config)->data[0], 0);
    putBe16(config.data(), 3);
    ASSERT_EQ(other.request(ServerCmd_SetBusConfiguration, config)->data[0], 0);
    std::vector<uint8_t> del(2, 0);
    putBe16(del.data(), bench);
    EXPECT_EQ(other.request(ServerCmd_DeleteNetwork, del)->data[0], 12);  // in use by `twice`

    ASSERT_TRUE(twice.send(ServerCmd_RegisterClient));
    EXPECT_EQ(other.request(ServerCmd_DeleteNetwork, del)->data[0], 0);  // the new entry has network 0
    EXPECT_EQ(test::countOccurrences(scene_.logText(), "Deleting client\n"), 1);

    // One entry each: two unregistrations leave no client, and the server stops.
    ASSERT_TRUE(twice.send(ServerCmd_UnregisterClient));
    ASSERT_TRUE(serves(other));
    EXPECT_FALSE(server_->exited());
    ASSERT_TRUE(other.send(ServerCmd_UnregisterClient));
    EXPECT_EQ(server_->waitExit(kExitBoundMs), 0);
}

TEST_F(ClientLifecycle, ShortIdleLimitStopsAServerThatNobodyContacted) {
    test::ScopedEnv idleLimit(ServerLimits::kIdleExitVariable, "2000");
    startServer();
    EXPECT_EQ(server_->waitExit(), 0);
    const std::string log = scene_.logText();
    EXPECT_NE(log.find("No clients for 2 seconds\nStopping the server\n"), std::string::npos) << log;
    EXPECT_TRUE(Scene::sharedObjects().empty());
}

TEST_F(ClientLifecycle, CommandsWithoutRegistrationDoNotKeepTheServer) {
    test::ScopedEnv idleLimit(ServerLimits::kIdleExitVariable, "3000");
    startServer();
    RawClient client(ownId());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(serves(client));
    ASSERT_TRUE(client.send(ServerCmd_Ping));  // an unknown client's ping changes nothing
    EXPECT_EQ(server_->waitExit(), 0);
    EXPECT_NE(scene_.logText().find("No clients for 3 seconds\n"), std::string::npos);
}

} // namespace
} // namespace ostrel::halvorn

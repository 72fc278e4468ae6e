// The client list on its own, and the server object's broadcast of interface status changes.
#include "client_list.h"
#include "server.h"
#include "server_harness.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel::halvorn {
namespace {

class ClientListTest : public ::testing::Test {
protected:
    ServerLog log_;
    std::vector<bool> errorFrameSettings_;
    ClientList list_{log_, [this](bool wanted) { errorFrameSettings_.push_back(wanted); }};
};

TEST_F(ClientListTest, RegisteringTwiceKeepsOneEntryWithNetworkAndWishReset) {
    list_.Register(100);
    list_.SetNetwork(100, 9);
    list_.SetErrorFrames(100, 1);
    list_.UpdateErrorFrames();
    ASSERT_EQ(errorFrameSettings_, std::vector<bool>{true});

    list_.Register(100);
    const std::vector<ClientEntry> entries = list_.Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].processId, 100u);
    EXPECT_EQ(entries[0].network, 0u);
    EXPECT_EQ(entries[0].errorFrames, 0u);
    // Dropping the old entry took its wish away from the interface.
    EXPECT_EQ(errorFrameSettings_, (std::vector<bool>{true, false}));
    EXPECT_FALSE(list_.IsNetworkInUse(9));
    EXPECT_EQ(list_.GetCounts().current, 1);
    EXPECT_EQ(list_.GetCounts().highest, 1);
}

TEST_F(ClientListTest, ErrorFramesAreWantedWhileAnyClientWantsThem) {
    list_.Register(1);
    list_.Register(2);
    list_.SetErrorFrames(1, 1);
    list_.UpdateErrorFrames();
    list_.SetErrorFrames(2, 1);
    list_.SetErrorFrames(1, 0);
    list_.UpdateErrorFrames();
    list_.Unregister(2);
    EXPECT_EQ(errorFrameSettings_, (std::vector<bool>{true, true, false}));
}

TEST_F(ClientListTest, UnknownProcessChangesNothing) {
    list_.Register(1);
    list_.SetNetwork(2, 7);
    list_.SetErrorFrames(2, 1);
    list_.Ping(2);
    list_.Unregister(2);
    const std::vector<ClientEntry> entries = list_.Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].network, 0u);
    EXPECT_EQ(entries[0].errorFrames, 0u);
    EXPECT_TRUE(errorFrameSettings_.empty());  // nothing was unregistered
    EXPECT_FALSE(list_.IsNetworkInUse(7));
}

TEST_F(ClientListTest, CountsKeepTheHighestAndClearEmptiesTheList) {
    list_.Register(1);
    list_.Register(2);
    list_.Register(3);
    list_.Unregister(2);
    EXPECT_EQ(list_.GetCounts().current, 2);
    EXPECT_EQ(list_.GetCounts().highest, 3);
    const std::vector<ClientEntry> entries = list_.Snapshot();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].processId, 1u);
    EXPECT_EQ(entries[1].processId, 3u);
    list_.Clear();
    EXPECT_EQ(list_.GetCounts().current, 0);
    EXPECT_EQ(list_.GetCounts().highest, 3);
    EXPECT_TRUE(list_.Snapshot().empty());
}

// One pass takes every silent client; pids above any pid_max name no process here, but clients that
// still ping (from another PID namespace) stay.
TEST_F(ClientListTest, SilentClientsGoInOnePassAndPingingOnesOfUnknownProcessesStay) {
    const auto self = static_cast<uint32_t>(::getpid());
    const auto parent = static_cast<uint32_t>(::getppid());
    list_.Register(self);
    for (uint32_t i = 0; i < 300; ++i) list_.Register(5'000'000 + i);
    EXPECT_EQ(list_.RemoveDeadClients(60'000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    list_.Register(parent);
    EXPECT_EQ(list_.RemoveDeadClients(100), 301);
    const std::vector<ClientEntry> entries = list_.Snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].processId, parent);
    EXPECT_TRUE(errorFrameSettings_.empty());  // a drop leaves the interface's setting alone
}

TEST_F(ClientListTest, NetworkInUseByAnyClient) {
    list_.Register(1);
    list_.Register(2);
    list_.SetNetwork(2, 11);
    EXPECT_TRUE(list_.IsNetworkInUse(11));
    EXPECT_FALSE(list_.IsNetworkInUse(12));
    list_.Unregister(2);
    EXPECT_FALSE(list_.IsNetworkInUse(11));
}

TEST(ServerLimits, DefaultsUnlessTheEnvironmentHoldsAPositiveNumber) {
    {
        test::ScopedEnv idle(ServerLimits::kIdleExitVariable, "");
        test::ScopedEnv ping(ServerLimits::kPingTimeoutVariable, "0");
        const ServerLimits limits = ServerLimits::fromEnvironment();
        EXPECT_EQ(limits.idleExitMs, 120'000u);
        EXPECT_EQ(limits.pingTimeoutMs, 15'000u);
    }
    {
        test::ScopedEnv idle(ServerLimits::kIdleExitVariable, "2500");
        test::ScopedEnv ping(ServerLimits::kPingTimeoutVariable, "1.5");
        const ServerLimits limits = ServerLimits::fromEnvironment();
        EXPECT_EQ(limits.idleExitMs, 2'500u);
        EXPECT_EQ(limits.pingTimeoutMs, 15'000u);
    }
}

// The server object in this process: an interface status change reaches every client.
TEST(ServerObject, MajorErrorGoesToEveryClientWithItsStatus) {
    test::Scene scene;
    ASSERT_TRUE(scene.ready());
    ServerLog log;
    auto server = Server::Create(log, ServerLimits{});
    ASSERT_TRUE(server);
    test::RawClient first(201);
    test::RawClient second(202);
    ASSERT_TRUE(first.connected() && second.connected());

    for (const auto& [status, sent] : std::vector<std::pair<uint32_t, uint8_t>>{{1, 10}, {3, 11}, {2, 9}, {0, 9}}) {
        server->BroadcastMajorError(status);
        for (test::RawClient* c : {&first, &second}) {
            const auto r = c->nextResponse();
            ASSERT_TRUE(r);
            EXPECT_EQ(r->code, ServerResp_MajorError);
            EXPECT_EQ(r->processId, 0u);
            EXPECT_EQ(r->length, 1);
            EXPECT_EQ(r->data[0], sent) << status;
        }
    }
    first.close();
    second.close();
    server.reset();
    EXPECT_TRUE(test::Scene::sharedObjects().empty());
}

} // namespace
} // namespace ostrel::halvorn

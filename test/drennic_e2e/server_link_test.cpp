// The server client's request protocol against a stand-in server in this process, over the real rings.
#include "server_client_link.h"

#include <halvorn/ring.h>
#include <halvorn/server_block.h>
#include <halvorn/transport.h>
#include <platform/ipc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <unistd.h>

namespace drennic {
namespace {

namespace hv = ostrel::halvorn;

constexpr uint32_t kClientId = 4242;

// Answers as the stand-in server: with the request's tag echoed, or as a server that leaves those
// bytes alone.
void answer(hv::TransportObjects& server, const hv::ServerCommand& request, uint8_t value, bool echo) {
    hv::ServerCommand entry{};
    entry.code = static_cast<uint8_t>(request.code + 1);
    if (echo) std::copy(std::begin(request.requestTag), std::end(request.requestTag), entry.requestTag);
    entry.length = 2;
    entry.data[1] = value;
    entry.processId = kClientId;
    ASSERT_EQ(server.responseRing().write(entry), hv::RingWriteResult::Written);
}

// The next command of the ring, within 5 s.
bool nextCommand(hv::RingReader<hv::ServerCommand>& commands, hv::ServerCommand& out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (commands.read(out).status != hv::RingReadStatus::Entry) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A request gives up while the server is stopped. When the server goes on, the next request is
// already waiting; the late answer lands while the link's reader cannot look (a peer holds the
// response ring's mutex), and its own answer right behind it. The next request must get its own
// answer, from a server that echoes a request's tag and from one that does not.
class ServerLinkLateAnswer : public ::testing::TestWithParam<bool> {};

TEST_P(ServerLinkLateAnswer, LateAnswerToARequestThatGaveUpIsNeverTakenByTheNextRequest) {
    const bool echo = GetParam();
    const std::string ns = "link-" + std::to_string(::getpid()) + (echo ? "-echo" : "");
    ::setenv("OSTREL_IPC_NAMESPACE", ns.c_str(), 1);
    auto server = hv::TransportObjects::open();
    ASSERT_TRUE(server);
    server->initialise();
    MsgBuffer frames;
    frames.create();
    auto link = ServerLink::connect(kClientId, frames, {});
    ASSERT_TRUE(link);
    ASSERT_TRUE(link->startThreads());
    hv::RingReader<hv::ServerCommand> commands(server->commandRing());

    auto first = std::make_unique<hv::ServerCommand>(), second = std::make_unique<hv::ServerCommand>();
    const uint8_t network1[2] = {0, 1};
    EXPECT_EQ(link->request(hv::ServerCmd_GetBaudrate, network1, 2, *first, 100), kRequestNoResponse);
    ASSERT_TRUE(nextCommand(commands, *first));

    std::future<std::pair<int32_t, uint16_t>> next;
    {
        ostrel::platform::NamedMutexLock busy(server->responseRing().mutex(), hv::kRingMutexWaitMs);
        ASSERT_TRUE(busy.held());
        next = std::async(std::launch::async, [&] {
            auto own = std::make_unique<hv::ServerCommand>();
            const uint8_t network3[2] = {0, 3};
            const int32_t r = link->request(hv::ServerCmd_GetBaudrate, network3, 2, *own, 5'000);
            return std::make_pair(r, hv::getBe16(own->data));
        });
        ASSERT_TRUE(nextCommand(commands, *second));
        answer(*server, *first, 100, echo);
        answer(*server, *second, 30, echo);
    }
    const auto [result, value] = next.get();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(value, 30) << "100 is the late answer to the request that gave up";
    link.reset();
    frames.release();
}

INSTANTIATE_TEST_SUITE_P(ServerLink, ServerLinkLateAnswer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "TagEchoed" : "TagNotEchoed"; });

} // namespace
} // namespace drennic

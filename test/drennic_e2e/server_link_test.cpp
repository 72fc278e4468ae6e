// The server client's request protocol against a stand-in server in this process, over the real rings.
#include "server_client_link.h"

#include <halvorn/ring.h>
#include <halvorn/server_block.h>
#include <halvorn/transport.h>
#include <platform/ipc.h>

#include <gtest/gtest.h>

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

void answer(hv::TransportObjects& server, uint8_t code, uint8_t value) {
    hv::ServerCommand entry{};
    entry.code = code;
    entry.length = 2;
    entry.data[1] = value;
    entry.processId = kClientId;
    ASSERT_EQ(server.responseRing().write(entry), hv::RingWriteResult::Written);
}

// A request gives up; its answer arrives afterwards and still waits in the response ring (a peer
// holds the ring's mutex) when the next request of the same code starts: the next request must get
// its own answer, never the late one.
TEST(ServerLink, LateAnswerToARequestThatGaveUpIsNeverTakenByTheNextRequest) {
    const std::string ns = "link-" + std::to_string(::getpid());
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

    auto response = std::make_unique<hv::ServerCommand>();
    const uint8_t first[2] = {0, 3};
    EXPECT_EQ(link->request(hv::ServerCmd_GetBaudrate, first, 2, *response, 100), kRequestNoResponse);

    std::future<std::pair<int32_t, uint16_t>> second;
    {
        ostrel::platform::NamedMutexLock busy(server->responseRing().mutex(), hv::kRingMutexWaitMs);
        ASSERT_TRUE(busy.held());
        answer(*server, hv::ServerResp_GetBaudrate, 77);  // the late answer to the first request
        second = std::async(std::launch::async, [&] {
            auto own = std::make_unique<hv::ServerCommand>();
            const uint8_t payload[2] = {0, 5};
            const int32_t r = link->request(hv::ServerCmd_GetBaudrate, payload, 2, *own, 5'000);
            return std::make_pair(r, hv::getBe16(own->data));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    // Serve: only the second request's command gets an answer.
    auto command = std::make_unique<hv::ServerCommand>();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        if (commands.read(*command).status != hv::RingReadStatus::Entry) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (command->code == hv::ServerCmd_GetBaudrate && command->data[1] == 5) {
            answer(*server, hv::ServerResp_GetBaudrate, 50);
            answered = true;
        }
    }
    EXPECT_TRUE(answered);
    const auto [result, value] = second.get();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(value, 50) << "77 is the first request's late answer";
    link.reset();
    frames.release();
}

} // namespace
} // namespace drennic

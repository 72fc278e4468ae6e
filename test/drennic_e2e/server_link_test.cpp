// The server client's request protocol against a stand-in server in this process, over the real rings.
#include "server_client_link.h"

#include <halvorn/ring.h>
#include <halvorn/server_block.h>
#include <halvorn/transport.h>
#include <platform/ipc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// A stand-in server's objects in a namespace of the test's own, and a link to them with its threads running.
struct LinkScene {
    explicit LinkScene(const std::string& name, ServerLink::Options options) {
        ::setenv("OSTREL_IPC_NAMESPACE", ("link-" + std::to_string(::getpid()) + "-" + name).c_str(), 1);
        server = hv::TransportObjects::open();
        if (server) server->initialise();
        frames.create();
        link = ServerLink::connect(kClientId, frames, std::move(options));
        if (!server || !link || !link->startThreads()) link.reset();
    }
    ~LinkScene() {
        link.reset();
        frames.release();
    }
    std::unique_ptr<hv::TransportObjects> server;
    MsgBuffer frames;
    std::unique_ptr<ServerLink> link;
};

// What a stand-in server does with each writing of a request (0, 1, ...): scribbles beside it and answers.
struct StandIn {
    hv::TransportObjects& server;
    void answer(const hv::ServerCommand& request, uint8_t value) { drennic::answer(server, request, value, true); }
    // The answer, with its check scribbled on: its bytes are no longer what was written.
    void damagedAnswer(const hv::ServerCommand& request) {
        ostrel::platform::NamedMutexLock writing(server.responseRing().mutex(), hv::kRingMutexWaitMs);
        answer(request, 99);
        server.ringState().responseChecks[server.responseRing().lastWrittenPlace() % hv::kRingCapacity] ^= 1;
    }
};

// Scribbles and damage a request rides out: it is answered once, written again only when its answer may
// be gone, and a store into a word the server keeps is no new server.
struct LinkUpset {
    const char* name;
    void (*serve)(StandIn& in, int writing, const hv::ServerCommand& request);
    int writings;  // how often the request reaches the server
};
const LinkUpset kLinkUpsets[] = {
    {"AnswerRejected", [](StandIn& in, int writing, const hv::ServerCommand& request) {
         if (writing > 0) return in.answer(request, 30);
         in.damagedAnswer(request);
         hv::ServerCommand other{};  // an answer to another client behind it
         other.code = hv::ServerResp_GetBaudrate;
         other.processId = 1;
         ASSERT_EQ(in.server.responseRing().write(other), hv::RingWriteResult::Written);
     }, 2},
    {"AnswerHeldBack", [](StandIn& in, int writing, const hv::ServerCommand& request) {
         if (writing > 0) return in.answer(request, 30);
         in.damagedAnswer(request);
     }, 2},
    {"EpochWordMovedWhileItWaits", [](StandIn& in, int, const hv::ServerCommand& request) {
         ++in.server.ringState().commandRing.epoch;
         std::this_thread::sleep_for(std::chrono::milliseconds(600));
         in.answer(request, 30);
     }, 1},
    {"CountOfServerStartsStoredInto", [](StandIn& in, int, const hv::ServerCommand& request) {
         ++in.server.ringState().serverStarts;
         std::this_thread::sleep_for(std::chrono::milliseconds(600));
         in.answer(request, 30);
     }, 1},
};

void PrintTo(const LinkUpset& upset, std::ostream* out) { *out << upset.name; }

class ServerLinkUpset : public ::testing::TestWithParam<LinkUpset> {};

TEST_P(ServerLinkUpset, RequestIsAnsweredOnceAndNoNewServerIsSeen) {
    const LinkUpset& upset = GetParam();
    std::atomic<int> rejoins{0};
    ServerLink::Options options;
    options.rejoin = [&](ServerLink&) { ++rejoins; };
    LinkScene scene(upset.name, std::move(options));
    ASSERT_TRUE(scene.link);
    hv::TransportObjects* server = scene.server.get();

    std::atomic<bool> done{false};
    std::vector<uint32_t> tags;
    std::thread standIn([&] {  // a server: it keeps its rings and words between commands
        StandIn in{*server};
        hv::RingReader<hv::ServerCommand> commands(server->commandRing());
        auto command = std::make_unique<hv::ServerCommand>();
        while (!done) {
            (void)server->keepWords();
            (void)server->commandRing().keep(commands.next());
            if (commands.read(*command).status != hv::RingReadStatus::Entry) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else if (command->code == hv::ServerCmd_GetBaudrate) {
                tags.push_back(hv::requestTagOf(*command));
                upset.serve(in, static_cast<int>(tags.size()) - 1, *command);
            }
        }
    });
    auto response = std::make_unique<hv::ServerCommand>();
    const uint8_t network3[2] = {0, 3};
    const int32_t result = scene.link->request(hv::ServerCmd_GetBaudrate, network3, 2, *response, 5'000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a writing too many would come now
    done = true;
    standIn.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(hv::getBe16(response->data), 30);
    EXPECT_EQ(tags.size(), static_cast<std::size_t>(upset.writings));
    EXPECT_TRUE(std::all_of(tags.begin(), tags.end(), [&](uint32_t t) { return t == tags.front(); }))
        << "every writing carries the request's tag";
    EXPECT_EQ(rejoins, 0);
}

INSTANTIATE_TEST_SUITE_P(ServerLink, ServerLinkUpset, ::testing::ValuesIn(kLinkUpsets),
                         [](const auto& info) { return std::string(info.param.name); });

// Another thread registering with a new server (slowly) holds a request up no longer than its own limit.
TEST(ServerLinkJoin, RequestWaitsForAnotherThreadsRegistrationWithinItsOwnLimit) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> joining{false};
    ServerLink::Options options;
    options.rejoin = [&](ServerLink&) {
        joining = true;
        (void)released.wait_for(std::chrono::seconds(20));
    };
    LinkScene scene("join", std::move(options));
    ASSERT_TRUE(scene.link);
    scene.server->initialise();  // a new server: the ping thread registers with it
    const auto start = std::chrono::steady_clock::now();
    while (!joining && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(joining);
    auto response = std::make_unique<hv::ServerCommand>();
    const auto asked = std::chrono::steady_clock::now();
    const uint8_t network3[2] = {0, 3};
    EXPECT_EQ(scene.link->request(hv::ServerCmd_GetBaudrate, network3, 2, *response, 300), kRequestNoResponse);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5)) << "its limit is 300 ms";
    release.set_value();
}

} // namespace
} // namespace drennic

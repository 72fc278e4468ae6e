// The server's end of the transport, against clients in this process and in another one.
#include "platform/process.h"
#include "shared_mem.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <vector>

namespace ostrel::halvorn {
namespace {

constexpr uint32_t kPollMs = 100;
constexpr int kBoundMs = 30'000;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Received {
    std::vector<ServerCommand> commands;
    std::vector<ServerFrame> frames;
};

class SharedMemTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::isolateIpcNames();
        ASSERT_FALSE(tmp_.path().empty());
        logPath_ = tmp_.path() + "/log.txt";
        ASSERT_TRUE(log_.Open(logPath_));
        shm_ = SharedMem::Construct(log_);
        ASSERT_TRUE(shm_);
        takeEntries();
    }

    void takeEntries() {
        shm_->SetCommandCallback(
            [](const ServerCommand& c, void* user) { static_cast<Received*>(user)->commands.push_back(c); }, &got_);
        shm_->SetFrameCallback(
            [](const ServerFrame& f, void* user) { static_cast<Received*>(user)->frames.push_back(f); }, &got_);
    }

    // Polls until `done` holds or the bound runs out.
    template <typename Done>
    void pollUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (!done() && std::chrono::steady_clock::now() < deadline) (void)shm_->Poll(kPollMs);
    }

    static ServerFrame frame(uint32_t id) {
        ServerFrame f{};
        f.id = id;
        f.length = 1;
        return f;
    }

    test::TempDir tmp_;
    std::string logPath_;
    ServerLog log_;
    std::unique_ptr<SharedMem> shm_;
    Received got_;
};

TEST_F(SharedMemTest, PollTimesOutWithoutReadingWhenNothingIsSignalled) {
    EXPECT_EQ(shm_->Poll(20), SharedMem::PollResult::TimedOut);
    EXPECT_TRUE(got_.commands.empty());
    EXPECT_TRUE(got_.frames.empty());
}

TEST_F(SharedMemTest, BothEventsSignalledDrainSendRingFirstAndCommandsAtNextPoll) {
    auto client = RingClient::connect(77);
    ASSERT_TRUE(client);
    ASSERT_EQ(client->sendCommand(ServerCmd_GetVersion, nullptr, 0), RingWriteResult::Written);
    ASSERT_EQ(client->sendFrame(frame(1)), RingWriteResult::Written);
    ASSERT_EQ(client->sendFrame(frame(2)), RingWriteResult::Written);

    EXPECT_EQ(shm_->Poll(kPollMs), SharedMem::PollResult::SendRingDrained);
    ASSERT_EQ(got_.frames.size(), 2u);
    EXPECT_TRUE(got_.commands.empty());
    EXPECT_EQ(got_.frames[0].processId, 77u);

    EXPECT_EQ(shm_->Poll(kPollMs), SharedMem::PollResult::CommandRingDrained);
    ASSERT_EQ(got_.commands.size(), 1u);
    EXPECT_EQ(got_.commands[0].code, ServerCmd_GetVersion);
    EXPECT_EQ(got_.commands[0].length, 0);
    EXPECT_EQ(got_.commands[0].processId, 77u);
}

TEST_F(SharedMemTest, ResponsesAndFramesReachClientsWithTheirProcessIds) {
    auto client = RingClient::connect(88);
    ASSERT_TRUE(client);
    ServerCommand response{};
    response.code = ServerResp_GetVersion;
    response.length = 2;
    response.data[0] = kServerVersionMajor;
    response.data[1] = kServerVersionMinor;
    response.processId = 88;
    ASSERT_TRUE(shm_->SendResponse(response));
    CANFrame bus{};
    bus.id = 0x701;
    bus.length = 1;
    bus.timeMs = 1234;
    ASSERT_TRUE(shm_->PutReceivedFrame(bus));
    ServerFrame echo = frame(0x181);
    echo.processId = 99;
    ASSERT_TRUE(shm_->BroadcastFrame(echo));
    shm_->SetCurrentNetwork(4);

    ServerCommand out{};
    ASSERT_EQ(client->readResponse(out).status, RingReadStatus::Entry);
    EXPECT_EQ(out.code, ServerResp_GetVersion);
    EXPECT_EQ(out.data[0], kServerVersionMajor);
    ServerFrame in{};
    ASSERT_EQ(client->readReceived(in).status, RingReadStatus::Entry);
    EXPECT_EQ(in.id, 0x701u);
    EXPECT_EQ(in.processId, 0u);
    EXPECT_EQ(in.timeMs, 1234u);
    ASSERT_EQ(client->readReceived(in).status, RingReadStatus::Entry);
    EXPECT_EQ(in.id, 0x181u);
    EXPECT_EQ(in.processId, 99u);
    EXPECT_EQ(client->currentNetwork(), 4u);
    EXPECT_EQ(shm_->currentNetwork(), 4u);
    EXPECT_NE(readFile(logPath_).find("Sending response 51 at "), std::string::npos);
}

TEST_F(SharedMemTest, CommandsWithUntrustedLengthsAreRejectedAndLogged) {
    auto objects = TransportObjects::open();
    ASSERT_TRUE(objects);
    {
        platform::NamedMutexLock lock(objects->commandRing().mutex(), kRingMutexWaitMs);
        ASSERT_TRUE(lock.held());
        ServerCommand planted{};
        planted.code = ServerCmd_AddNetwork;
        planted.processId = 12;
        ASSERT_EQ(objects->commandRing().write(planted), RingWriteResult::Written);
        objects->block().commandRing.entries[0].length = 5801;  // changed in the slot after the write
    }
    auto client = RingClient::connect(13);
    ASSERT_TRUE(client);
    ASSERT_EQ(client->sendCommand(ServerCmd_Ping, nullptr, 0), RingWriteResult::Written);
    pollUntil([&] { return !got_.commands.empty(); });
    ASSERT_EQ(got_.commands.size(), 1u);
    EXPECT_EQ(got_.commands[0].code, ServerCmd_Ping);
    EXPECT_NE(readFile(logPath_).find("Rejected command 19 from client 12 with length 5801\n"), std::string::npos);
}

TEST_F(SharedMemTest, LappedSendRingIsLoggedWithTheNumberOfLostFrames) {
    auto client = RingClient::connect(21);
    ASSERT_TRUE(client);
    for (uint32_t i = 0; i < 10; ++i) ASSERT_EQ(client->sendFrame(frame(i)), RingWriteResult::Written);
    struct Lapper {
        RingClient* client;
        std::vector<uint32_t> ids;
    } lapper{client.get(), {}};
    // While the server handles the first frame, 995 more arrive: ids 1..4 are overwritten.
    shm_->SetFrameCallback(
        [](const ServerFrame& f, void* user) {
            auto* l = static_cast<Lapper*>(user);
            if (l->ids.empty()) {
                for (uint32_t i = 10; i < 1005; ++i) {
                    ServerFrame next{};
                    next.id = i;
                    (void)l->client->sendFrame(next);
                }
            }
            l->ids.push_back(f.id);
        },
        &lapper);
    EXPECT_EQ(shm_->Poll(kPollMs), SharedMem::PollResult::SendRingDrained);
    ASSERT_EQ(lapper.ids.size(), 1001u);
    EXPECT_EQ(lapper.ids[0], 0u);
    EXPECT_EQ(lapper.ids[1], 5u);
    EXPECT_EQ(lapper.ids.back(), 1004u);
    EXPECT_NE(readFile(logPath_).find("Send ring overrun - 4 frames lost\n"), std::string::npos);
}

// A client that died halfway through an update leaves a header out of range: each ring is repaired
// once from its count of entries written, so nothing written is lost or handed on twice, and the
// next entries go through (a client's writer waits for the repair rather than failing).
TEST_F(SharedMemTest, RingHeadersOutOfRangeAreRepairedOnceAndTheRingsCarryOn) {
    auto client = RingClient::connect(31);
    auto peer = TransportObjects::open();
    ASSERT_TRUE(client && peer);
    ServerBlock& block = peer->block();

    for (int i = 0; i < 3; ++i) ASSERT_EQ(client->sendCommand(ServerCmd_Ping, nullptr, 0), RingWriteResult::Written);
    block.commandRing.header.capacity = 0xFFFFFFFF;
    pollUntil([&] { return got_.commands.size() >= 3; });
    EXPECT_EQ(got_.commands.size(), 3u) << "the entries written before the header broke are taken once";
    EXPECT_EQ(shm_->repairCounts(SharedMem::Ring::Command).repairs, 1u);
    ASSERT_EQ(client->sendCommand(ServerCmd_GetVersion, nullptr, 0), RingWriteResult::Written);
    pollUntil([&] { return got_.commands.size() >= 4; });
    ASSERT_EQ(got_.commands.size(), 4u);
    EXPECT_EQ(got_.commands[3].code, ServerCmd_GetVersion);

    block.sendRing.header.writeIndex = 1000;
    (void)shm_->Poll(0);  // the server looks before the next writer puts the hint right itself
    auto sent = std::async(std::launch::async, [&] { return client->sendFrame(frame(7)); });
    pollUntil([&] { return !got_.frames.empty(); });
    EXPECT_EQ(sent.get(), RingWriteResult::Written);
    ASSERT_EQ(got_.frames.size(), 1u);
    EXPECT_EQ(got_.frames[0].id, 7u);

    // The rings only the server writes get their write index back from the server's own copy, by the
    // writing itself: the client goes on where it was.
    ServerCommand response{};
    response.code = ServerResp_GetBaudrate;
    response.processId = 31;
    ASSERT_TRUE(shm_->SendResponse(response));
    ServerCommand in{};
    ASSERT_EQ(client->readResponse(in).status, RingReadStatus::Entry);
    block.responseRing.header.writeIndex = 0xFFFFFFFF;
    block.receiveRing.header.capacity = 0;
    response.code = ServerResp_GetVersion;
    EXPECT_TRUE(shm_->SendResponse(response));
    EXPECT_TRUE(shm_->BroadcastFrame(frame(9)));
    const RingRead r = client->readResponse(in);
    ASSERT_EQ(r.status, RingReadStatus::Entry);
    EXPECT_FALSE(r.restarted);
    EXPECT_EQ(in.code, ServerResp_GetVersion);
    EXPECT_EQ(block.responseRing.header.writeIndex, 2u);
    ServerFrame f{};
    ASSERT_EQ(client->readReceived(f).status, RingReadStatus::Entry);
    EXPECT_EQ(f.id, 9u);
    EXPECT_EQ(client->restartsSeen(), 0u);

    (void)shm_->Poll(0);
    for (auto ring : {SharedMem::Ring::Send, SharedMem::Ring::Response, SharedMem::Ring::Receive}) {
        EXPECT_EQ(shm_->repairCounts(ring).repairs, 1u);
    }
    const std::string log = readFile(logPath_);
    for (const char* line :
         {"Repaired the command ring (capacity 4294967295, write index 3, count 3, epoch 1) - count 3 in epoch 1",
          "Repaired the send ring (capacity 1000, write index 1000, count 0, epoch 1) - count 0 in epoch 1",
          "Repaired the response ring (capacity 1000, write index 4294967295, count 1, epoch 1) - count 2 in epoch 1",
          "Repaired the receive ring (capacity 0, write index 0, count 0, epoch 1) - count 1 in epoch 1"}) {
        EXPECT_EQ(test::countOccurrences(log, line), 1) << line;
    }
}

TEST_F(SharedMemTest, ClientProcessWritesCommandsAndFramesInOrder) {
    constexpr uint32_t kCount = 300;
    test::ChildProcess child(platform::executableDir() + "/halvorn_ring_peer", {"write", std::to_string(kCount)});
    ASSERT_TRUE(child.started());
    pollUntil([&] { return got_.commands.size() >= kCount && got_.frames.size() >= kCount; });
    EXPECT_EQ(child.readLine(kBoundMs), "done");
    EXPECT_EQ(child.waitExit(kBoundMs), 0);
    ASSERT_EQ(got_.commands.size(), kCount);
    ASSERT_EQ(got_.frames.size(), kCount);
    const auto pid = static_cast<uint32_t>(child.pid());
    for (uint32_t i = 0; i < kCount; ++i) {
        const ServerCommand& c = got_.commands[i];
        ASSERT_EQ(c.processId, pid);
        ASSERT_EQ(c.length, static_cast<int32_t>(i % 64));
        for (uint32_t k = 0; k < i % 64; ++k) ASSERT_EQ(c.data[k], static_cast<uint8_t>(i * 7 + k)) << i;
        const ServerFrame& f = got_.frames[i];
        ASSERT_EQ(f.id, i);
        ASSERT_EQ(f.processId, pid);
        ASSERT_EQ(f.length, i % 9);
    }
}

TEST_F(SharedMemTest, ClientProcessTakesItsOwnAndBroadcastResponsesOnly) {
    test::ChildProcess child(platform::executableDir() + "/halvorn_ring_peer", {"read"});
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.readLine(kBoundMs), "ready");
    const auto pid = static_cast<uint32_t>(child.pid());
    auto respond = [&](uint8_t code, uint32_t to) {
        ServerCommand r{};
        r.code = code;
        r.length = 1;
        r.processId = to;
        ASSERT_TRUE(shm_->SendResponse(r));
    };
    respond(0x13, pid);
    respond(0x16, pid + 1);  // another client's
    ServerFrame f = frame(0x555);
    f.processId = pid;
    ASSERT_TRUE(shm_->BroadcastFrame(f));
    respond(ServerResp_MajorError, 0);
    respond(0xEE, 0);

    std::vector<std::string> lines;
    while (auto line = child.readLine(kBoundMs)) {
        lines.push_back(*line);
        if (*line == "end") break;
    }
    EXPECT_EQ(child.waitExit(kBoundMs), 0);
    const std::vector<std::string> expected = {
        "R 19 " + std::to_string(pid) + " 1",
        "F 1365 " + std::to_string(pid),
        "R 64 0 1",
        "end",
    };
    // Frames and responses are separate rings: compare each ring's order.
    std::vector<std::string> responses, frames;
    for (const auto& l : lines) (l[0] == 'F' ? frames : responses).push_back(l);
    EXPECT_EQ(responses, (std::vector<std::string>{expected[0], expected[2], expected[3]}));
    EXPECT_EQ(frames, (std::vector<std::string>{expected[1]}));
}

TEST_F(SharedMemTest, ConstructResetsWhateverTheBlockHeldBefore) {
    auto objects = TransportObjects::open();
    ASSERT_TRUE(objects);
    objects->block().sendRing.header.writeIndex = 17;
    objects->block().currentNetwork = 6;
    shm_.reset();
    shm_ = SharedMem::Construct(log_);
    ASSERT_TRUE(shm_);
    EXPECT_EQ(objects->block().sendRing.header.writeIndex, 0u);
    EXPECT_EQ(objects->block().sendRing.header.capacity, 1000u);
    EXPECT_EQ(objects->block().currentNetwork, 0u);
}

// What a faulty or hostile process does to the record of the rings the clients write (one write under
// the ring's mutex), and a writer stopped inside its write while a new server starts.
enum Upset { CountAhead500, CountAhead5000, CountNearTop, CountBack1200, EpochBumped, WriterAcrossRestart };
const char* const kUpsetNames[] = {"CountAhead500", "CountAhead5000", "CountNearTop", "CountBack1200", "EpochBumped",
                                   "WriterAcrossRestart"};
class RingRecordUpset : public SharedMemTest, public ::testing::WithParamInterface<int> {};

// The server takes every command and frame of a writing client once and in order and goes on taking
// new ones; only what a dead server had not taken is gone with it.
TEST_P(RingRecordUpset, NoEntryIsTakenTwiceAndNewOnesStillAre) {
    test::ChildProcess writer(platform::executableDir() + "/halvorn_ring_peer", {"stream", "10000000"});
    auto peer = TransportObjects::open();
    ASSERT_TRUE(writer.started() && peer);
    pollUntil([&] { return got_.commands.size() > 1300 && got_.frames.size() > 1300; });
    RingRestart* records[] = {const_cast<RingRestart*>(&peer->commandRing().restart()),
                              const_cast<RingRestart*>(&peer->sendRing().restart())};
    platform::NamedMutex* mutexes[] = {&peer->commandRing().mutex(), &peer->sendRing().mutex()};
    uint64_t taken[2] = {}, dropped[2] = {};  // commands and frames that a dead server took, and did not take
    auto size = [&](int ring) { return ring == 0 ? got_.commands.size() : got_.frames.size(); };
    auto seq = [&](int ring, uint64_t k) { return ring == 0 ? getBe32(got_.commands[k].data) : got_.frames[k].id; };
    for (int ring = 0; ring < 2 && GetParam() != WriterAcrossRestart; ++ring) {
        platform::NamedMutexLock lock(*mutexes[ring], kRingMutexWaitMs);
        RingRestart& r = *records[ring];
        const uint64_t moved[] = {r.position + 500, r.position + 5000, UINT64_MAX - 3, r.position - 1200, r.position};
        r.position = moved[GetParam()];
        r.epoch += GetParam() == EpochBumped ? 1 : 0;
    }
    if (GetParam() == WriterAcrossRestart) {
        shm_->SetCurrentNetwork(1);  // the writer no longer waits for us
        // Stopped holding the command ring's mutex, its command copied but not counted yet.
        bool inside = false;
        for (int attempt = 0, status = 0; attempt < 100'000 && !inside; ++attempt) {
            ::kill(writer.pid(), SIGSTOP);
            ::waitpid(writer.pid(), &status, WUNTRACED);
            platform::NamedMutexLock free(*mutexes[0], 0);
            const uint64_t count = records[0]->position;
            const uint8_t copied = peer->block().commandRing.entries[count % kRingCapacity].data[kCommandDataMax / 2];
            inside = !free.held() && count == records[1]->position && copied == static_cast<uint8_t>(count);
            if (!inside) ::kill(writer.pid(), SIGCONT);
        }
        ASSERT_TRUE(inside);
        for (int ring = 0; ring < 2; ++ring) dropped[ring] = records[ring]->position - (taken[ring] = size(ring));
        shm_.reset();
        shm_ = SharedMem::Construct(log_);  // takes the rings over after its wait for the mutex
        takeEntries();
        ::kill(writer.pid(), SIGCONT);
    }
    const uint64_t target = size(1) + dropped[1] + 300;
    pollUntil([&] { return size(0) + dropped[0] >= target && size(1) + dropped[1] >= target; });
    // The command the writer was inside may have gone with the dead server too.
    if (size(0) > taken[0] && seq(0, taken[0]) == taken[0] + dropped[0] + 1) ++dropped[0];
    for (int ring = 0; ring < 2; ++ring) {
        ASSERT_GE(size(ring) + dropped[ring], target);
        for (uint64_t k = 0; k < size(ring); ++k) {
            ASSERT_EQ(seq(ring, k), k < taken[ring] ? k : k + dropped[ring]) << "ring " << ring << ", entry " << k;
        }
        if (GetParam() != WriterAcrossRestart) {  // at most once: the next writer's count may put it right first
            EXPECT_LE(shm_->repairCounts(ring == 0 ? SharedMem::Ring::Command : SharedMem::Ring::Send).repairs, 1u);
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Upsets, RingRecordUpset, ::testing::Range(0, 6),
                         [](const auto& info) { return std::string(kUpsetNames[info.param]); });

} // namespace
} // namespace ostrel::halvorn

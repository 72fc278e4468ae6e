// The ring discipline with the real named objects: wrap, late readers, lapping, untrusted lengths.
#include "halvorn/transport.h"
#include "fresh_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace ostrel::halvorn {
namespace {

class RingTest : public test::FreshServerTest<> {
protected:
    static ServerFrame frame(uint32_t id, uint8_t length = 1) {
        ServerFrame f{};
        f.id = id;
        f.length = length;
        f.data[0] = static_cast<uint8_t>(id);
        return f;
    }

    void broadcast(uint32_t firstId, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_EQ(server_->receiveRing().write(frame(firstId + i)), RingWriteResult::Written);
        }
    }

    // Plants an entry with a length the writer would refuse, as a careless or hostile peer would.
    void plantCommand(RingChannel<ServerCommand>& channel, uint8_t code, int32_t length, uint32_t processId) {
        platform::NamedMutexLock lock(channel.mutex(), kRingMutexWaitMs);
        ASSERT_TRUE(lock.held());
        ServerRing<ServerCommand>& ring = channel.ring();
        ServerCommand& slot = ring.entries[ring.header.writeIndex];
        ServerCommand entry{};
        entry.code = code;
        entry.processId = processId;
        ASSERT_EQ(channel.write(entry), RingWriteResult::Written);
        slot.length = length;
    }
};

TEST_F(RingTest, ServerStartStateHasCapacity1000AndIndexesZero) {
    ServerBlock& block = server_->block();
    EXPECT_EQ(block.commandRing.header.capacity, 1000u);
    EXPECT_EQ(block.responseRing.header.capacity, 1000u);
    EXPECT_EQ(block.sendRing.header.capacity, 1000u);
    EXPECT_EQ(block.receiveRing.header.capacity, 1000u);
    EXPECT_EQ(block.commandRing.header.writeIndex, 0u);
    EXPECT_EQ(block.receiveRing.header.writeIndex, 0u);
    EXPECT_EQ(block.currentNetwork, 0u);
}

TEST_F(RingTest, ThousandthEntrySinceStartLeavesWriteIndexAtZero) {
    auto client = RingClient::connect(4242);
    ASSERT_TRUE(client);
    for (uint32_t i = 0; i < 999; ++i) ASSERT_EQ(client->sendFrame(frame(i)), RingWriteResult::Written);
    EXPECT_EQ(server_->block().sendRing.header.writeIndex, 999u);
    ASSERT_EQ(client->sendFrame(frame(999)), RingWriteResult::Written);
    EXPECT_EQ(server_->block().sendRing.header.writeIndex, 0u);
    // The same rule for the command ring, whose entries are written by length.
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(client->sendCommand(ServerCmd_Ping, nullptr, 0), RingWriteResult::Written);
    EXPECT_EQ(server_->block().commandRing.header.writeIndex, 0u);
}

TEST_F(RingTest, LateReaderSeesOnlyEntriesWrittenAfterItConnected) {
    broadcast(100, 5);
    ServerCommand early{};
    early.code = ServerResp_GetVersion;
    early.length = 2;
    early.processId = 0;
    ASSERT_EQ(server_->responseRing().write(early), RingWriteResult::Written);

    auto client = RingClient::connect(4242);
    ASSERT_TRUE(client);
    EXPECT_TRUE(client->startedAtWriteIndexes());
    ServerFrame in{};
    EXPECT_EQ(client->readReceived(in).status, RingReadStatus::Empty);
    ServerCommand response{};
    EXPECT_EQ(client->readResponse(response).status, RingReadStatus::Empty);

    broadcast(200, 3);
    for (uint32_t id = 200; id < 203; ++id) {
        ASSERT_EQ(client->readReceived(in).status, RingReadStatus::Entry);
        EXPECT_EQ(in.id, id);
    }
    EXPECT_EQ(client->readReceived(in).status, RingReadStatus::Empty);
}

TEST_F(RingTest, ResponsesForOtherClientsAreSkippedAndBroadcastsTakenByAll) {
    auto a = RingClient::connect(1001);
    auto b = RingClient::connect(1002);
    ASSERT_TRUE(a && b);
    const uint32_t addressees[] = {1001, 1002, 0, 7777};
    uint8_t code = 0x11;
    for (uint32_t to : addressees) {
        ServerCommand response{};
        response.code = code++;
        response.length = 1;
        response.data[0] = static_cast<uint8_t>(to);
        response.processId = to;
        ASSERT_EQ(server_->responseRing().write(response), RingWriteResult::Written);
    }
    ServerCommand got{};
    ASSERT_EQ(a->readResponse(got).status, RingReadStatus::Entry);
    EXPECT_EQ(got.code, 0x11);
    ASSERT_EQ(a->readResponse(got).status, RingReadStatus::Entry);
    EXPECT_EQ(got.code, 0x13);
    EXPECT_EQ(got.processId, 0u);
    EXPECT_EQ(a->readResponse(got).status, RingReadStatus::Empty);

    ASSERT_EQ(b->readResponse(got).status, RingReadStatus::Entry);
    EXPECT_EQ(got.code, 0x12);
    ASSERT_EQ(b->readResponse(got).status, RingReadStatus::Entry);
    EXPECT_EQ(got.code, 0x13);
    EXPECT_EQ(b->readResponse(got).status, RingReadStatus::Empty);
}

TEST_F(RingTest, CommandCopiesExactlyItsLengthAndZeroLengthCarriesNoData) {
    auto client = RingClient::connect(31);
    ASSERT_TRUE(client);
    const uint8_t payload[3] = {0x10, 0x20, 0x30};
    ASSERT_EQ(client->sendCommand(ServerCmd_GetBaudrate, payload, 3), RingWriteResult::Written);
    ASSERT_EQ(client->sendCommand(ServerCmd_GetVersion, nullptr, 0), RingWriteResult::Written);
    const ServerCommand& slot0 = server_->block().commandRing.entries[0];
    EXPECT_EQ(slot0.code, ServerCmd_GetBaudrate);
    EXPECT_EQ(slot0.length, 3);
    EXPECT_EQ(slot0.processId, 31u);
    EXPECT_EQ(slot0.data[2], 0x30);

    RingReader<ServerCommand> reader(server_->commandRing());
    ServerCommand out{};
    out.data[0] = 0xEE;
    ASSERT_EQ(reader.read(out).status, RingReadStatus::Entry);
    EXPECT_EQ(out.length, 3);
    EXPECT_EQ(out.data[0], 0x10);
    out.data[0] = 0xEE;
    ASSERT_EQ(reader.read(out).status, RingReadStatus::Entry);
    EXPECT_EQ(out.code, ServerCmd_GetVersion);
    EXPECT_EQ(out.length, 0);
    EXPECT_EQ(out.processId, 31u);
    EXPECT_EQ(out.data[0], 0xEE);  // nothing copied for length 0
}

// A reader that the writer has lapped goes on with the oldest entry still in the ring and counts what
// it lost.
TEST_F(RingTest, LappedReaderGoesOnWithTheOldestEntryAndCountsWhatItLost) {
    auto client = RingClient::connect(55);
    ASSERT_TRUE(client);
    broadcast(0, 600);
    ServerFrame in{};
    ASSERT_EQ(client->readReceived(in).status, RingReadStatus::Entry);
    EXPECT_EQ(in.id, 0u);
    broadcast(600, 500);  // 599 unread and 500 more: further than the ring holds
    RingRead r = client->readReceived(in);
    ASSERT_EQ(r.status, RingReadStatus::Entry);
    EXPECT_EQ(in.id, 100u);
    EXPECT_EQ(r.lost, 99u);
    uint32_t expected = 101;
    while ((r = client->readReceived(in)).status == RingReadStatus::Entry) {
        ASSERT_EQ(in.id, expected);
        EXPECT_EQ(r.lost, 0u);
        ++expected;
    }
    EXPECT_EQ(expected, 1100u);
    EXPECT_EQ(client->lostFrames(), 99u);
}

TEST_F(RingTest, ReaderThatKeepsUpLosesNothingAcrossManyWraps) {
    auto client = RingClient::connect(56);
    ASSERT_TRUE(client);
    ServerFrame in{};
    uint32_t expected = 0;
    for (uint32_t round = 0; round < 5; ++round) {
        broadcast(round * 700, 700);
        for (uint32_t i = 0; i < 700; ++i) {
            const RingRead r = client->readReceived(in);
            ASSERT_EQ(r.status, RingReadStatus::Entry);
            ASSERT_EQ(r.lost, 0u);
            ASSERT_EQ(in.id, expected++);
        }
        EXPECT_EQ(client->readReceived(in).status, RingReadStatus::Empty);
    }
    EXPECT_EQ(client->lostFrames(), 0u);
}

TEST_F(RingTest, WriterRefusesLengthsOutOfRange) {
    auto client = RingClient::connect(57);
    ASSERT_TRUE(client);
    static uint8_t big[kCommandDataMax + 1] = {};
    EXPECT_EQ(client->sendCommand(ServerCmd_AddNetwork, big, kCommandDataMax + 1), RingWriteResult::Rejected);
    EXPECT_EQ(client->sendCommand(ServerCmd_AddNetwork, big, -1), RingWriteResult::Rejected);
    EXPECT_EQ(client->sendFrame(frame(1, 9)), RingWriteResult::Rejected);
    EXPECT_EQ(server_->block().commandRing.header.writeIndex, 0u);
    EXPECT_EQ(server_->block().sendRing.header.writeIndex, 0u);
    EXPECT_EQ(client->sendCommand(ServerCmd_AddNetwork, big, kCommandDataMax), RingWriteResult::Written);
    EXPECT_EQ(client->sendFrame(frame(1, 8)), RingWriteResult::Written);
}

TEST_F(RingTest, ReaderRejectsAnEntryWithAnUntrustedLengthAndGoesOn) {
    auto client = RingClient::connect(58);
    ASSERT_TRUE(client);
    plantCommand(server_->responseRing(), 0x13, 6000, 0);
    plantCommand(server_->responseRing(), 0x16, -5, 0);
    ServerCommand good{};
    good.code = ServerResp_GetVersion;
    good.length = 2;
    good.processId = 58;
    ASSERT_EQ(server_->responseRing().write(good), RingWriteResult::Written);

    ServerCommand out{};
    RingRead r = client->readResponse(out);
    EXPECT_EQ(r.status, RingReadStatus::Rejected);
    EXPECT_EQ(out.length, 6000);
    EXPECT_EQ(client->readResponse(out).status, RingReadStatus::Rejected);
    ASSERT_EQ(client->readResponse(out).status, RingReadStatus::Entry);
    EXPECT_EQ(out.code, ServerResp_GetVersion);
}

// A new server starts every ring afresh. A client still attached drops what the dead server left
// and it had not read (counted, never delivered), and takes the new server's entries from slot 0.
TEST_F(RingTest, ClientFollowsARestartedRingFromSlotZeroAndCountsWhatItDropped) {
    auto client = RingClient::connect(60);
    ASSERT_TRUE(client);
    broadcast(100, 5);
    ServerFrame out{};
    ASSERT_EQ(client->readReceived(out).status, RingReadStatus::Entry);
    ASSERT_EQ(client->readReceived(out).status, RingReadStatus::Entry);
    broadcast(105, 3);  // written after the client's last look
    broadcast(200, 600);  // the client's index stands far beyond where the new server starts writing
    ASSERT_EQ(client->readReceived(out).status, RingReadStatus::Entry);  // looks at 608 written, 606 unread
    server_->initialise();
    broadcast(900, 4);
    std::vector<uint32_t> ids;
    uint32_t lost = 0;
    for (;;) {
        const RingRead r = client->readReceived(out);
        lost += r.lost;
        if (r.status != RingReadStatus::Entry) break;
        ids.push_back(out.id);
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{900, 901, 902, 903}));
    EXPECT_EQ(lost, 605u);
    EXPECT_EQ(client->lostFrames(), 605u);
    EXPECT_EQ(client->restartsSeen(), 1u);
    EXPECT_EQ(server_->block().receiveRing.header.writeIndex, 4u);
}

// A header and published position scribbled back together look like a ring the writer went back on:
// the reader reads nothing of it, and once the server writes again it takes only what is new.
TEST_F(RingTest, PositionThatMovesBackwardsIsNeverReadAgain) {
    auto client = RingClient::connect(61);
    ASSERT_TRUE(client);
    broadcast(0, 10);
    ServerFrame out{};
    for (uint32_t id = 0; id < 10; ++id) ASSERT_EQ(client->readReceived(out).status, RingReadStatus::Entry);
    auto& restart = const_cast<RingRestart&>(server_->receiveRing().restart());
    restart.position = 4;
    server_->block().receiveRing.header.writeIndex = 4;
    EXPECT_EQ(client->readReceived(out).status, RingReadStatus::Empty);
    broadcast(10, 1);  // the server writes from its own position: 10
    ASSERT_EQ(client->readReceived(out).status, RingReadStatus::Entry);
    EXPECT_EQ(out.id, 10u);
    EXPECT_EQ(client->readReceived(out).status, RingReadStatus::Empty);
    EXPECT_EQ(client->lostFrames(), 0u);
}

// The epoch word flickers (somebody scribbles on it) while a client writes commands: each command written
// learns the epoch and place it was stamped with, never the word as it happened to read afterwards.
TEST_F(RingTest, CommandLearnsWhereItsOwnWriteStampedItWhileTheEpochWordFlickers) {
    auto client = RingClient::connect(62);
    ASSERT_TRUE(client);
    std::atomic_ref<uint32_t> word(server_->ringState().commandRing.epoch);
    const uint32_t epoch = word.load();
    std::atomic<bool> done{false};
    std::thread scribbler([&] {
        for (uint32_t i = 0; !done; ++i) word.store(epoch + i % 2);
    });
    int written = 0, wrong = 0;
    for (int i = 0; i < 500; ++i) {
        RingClient::CommandPlace at;
        if (client->sendCommand(ServerCmd_Ping, nullptr, 0, 0, at) != RingWriteResult::Written) continue;
        ++written;
        wrong += server_->ringState().commandStamps[at.place % kRingCapacity] == slotStamp(at.epoch, at.place) ? 0 : 1;
    }
    done = true;
    scribbler.join();
    word.store(epoch);
    EXPECT_GT(written, 0);
    EXPECT_EQ(wrong, 0) << "of " << written << " commands written";
}

// The header is a hint: one without capacity or out of range stops no writer or reader, and the server
// writes it back (from its own count for its rings, from the stamps for the clients').
TEST_F(RingTest, HeaderOutOfRangeStopsNobodyAndIsWrittenBack) {
    server_->block().sendRing.header.capacity = 0;
    auto client = RingClient::connect(59);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->sendFrame(frame(1)), RingWriteResult::Written);
    RingReader<ServerFrame> reader(server_->sendRing());
    ServerFrame out{};
    ASSERT_EQ(reader.read(out).status, RingReadStatus::Entry);
    EXPECT_EQ(out.id, 1u);
    server_->block().receiveRing.header.writeIndex = 5000;
    std::optional<RingRepair> repaired;
    EXPECT_EQ(server_->receiveRing().write(frame(2), &repaired), RingWriteResult::Written);
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->writeIndex, 5000u);
    EXPECT_EQ(server_->block().receiveRing.header.writeIndex, 1u);

    EXPECT_FALSE(server_->commandRing().keep());
    server_->block().sendRing.header.capacity = 0;
    const auto found = server_->sendRing().keep(reader.next());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->capacity, 0u);
    EXPECT_EQ(server_->block().sendRing.header.capacity, kRingCapacity);
    EXPECT_EQ(client->sendFrame(frame(3)), RingWriteResult::Written);
    ASSERT_EQ(reader.read(out).status, RingReadStatus::Entry);
    EXPECT_EQ(out.id, 3u);
}

} // namespace
} // namespace ostrel::halvorn

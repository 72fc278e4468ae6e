// Bytes written into the block and the record beside it by anybody, while the rings are in use: nothing
// is delivered twice or out of order, every accepted entry not delivered is counted, and new entries
// flow again once the writing stops.
#include "halvorn/transport.h"
#include "fresh_server.h"
#include "ring_marks.h"

#include <gtest/gtest.h>

#include <array>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::halvorn {
namespace {

using ring_marks::commandOf;
using ring_marks::frameOf;
using ring_marks::markCheck;

// What one reader of one ring saw.
struct Seen {
    std::array<std::atomic<uint32_t>, 16> next{};  // per producer, the least sequence number still new
    uint64_t delivered = 0, damaged = 0, lost = 0, twiceOrBack = 0;

    template <typename Read, typename Entry>
    void drain(Read read, Entry& entry) {
        for (RingRead r;;) {
            r = read(entry);
            lost += r.lost;
            if (r.status != RingReadStatus::Entry && r.status != RingReadStatus::Rejected) return;
            const uint32_t seq = getBe32(entry.data + 1);
            const uint8_t producer = entry.data[0];
            if (r.status != RingReadStatus::Entry || producer >= next.size() ||
                getBe16(entry.data + 5) != markCheck(producer, seq)) {
                ++damaged;
                continue;
            }
            ++delivered;
            twiceOrBack += seq < next[producer] ? 1 : 0;
            next[producer] = std::max(next[producer].load(), seq + 1);
        }
    }
    [[nodiscard]] uint64_t accounted() const { return delivered + damaged + lost; }
};

// The scribbler: plain bytes into the headers, the records, the stamps and checks and the first bytes of
// slots, and values that look right: a count or an epoch moved a little, a floor moved back, a stamp of
// the epoch taken away, in a wrong slot, ahead, or near the end of the places.
class Scribbler {
public:
    Scribbler(TransportObjects& objects, uint32_t seed)
        : block_(objects.block()), state_(objects.ringState()), random_(seed) {}

    void once() {
        const uint32_t ring = pick(4);
        RingRestart& r = (&state_.commandRing)[ring];
        ServerRingHeader& header = ring == 0 ? block_.commandRing.header
                                   : ring == 1 ? block_.responseRing.header
                                   : ring == 2 ? block_.sendRing.header
                                               : block_.receiveRing.header;
        uint64_t* stamps = (&state_.commandStamps)[ring];
        uint64_t* checks = (&state_.commandChecks)[ring];
        switch (pick(9)) {
        case 0: bytes(&header, sizeof header); break;
        case 1: bytes(&r, sizeof r); break;
        case 2: bytes(stamps, kRingCapacity * sizeof(uint64_t)); break;
        case 8: bytes(checks, kRingCapacity * sizeof(uint64_t)); break;
        case 3: {
            const uint32_t k = pick(kRingCapacity);
            bytes(ring == 0   ? static_cast<void*>(block_.commandRing.entries[k].data)
                  : ring == 1 ? static_cast<void*>(block_.responseRing.entries[k].data)
                  : ring == 2 ? static_cast<void*>(block_.sendRing.entries[k].data)
                              : static_cast<void*>(block_.receiveRing.entries[k].data),
                  8);
            break;
        }
        case 4:
            r.position += pick(9) - 4;
            if (pick(2) == 0) header.writeIndex = static_cast<uint32_t>(r.position % kRingCapacity);
            break;
        case 5: r.epoch += pick(2) == 0 ? 1 : UINT32_MAX; break;
        case 6: r.floor -= pick(3); break;
        default: {
            const uint32_t slot = pick(kRingCapacity);
            // Each far stamp its own distance ahead, so that two never make a run of places.
            const uint64_t ahead = pick(2) == 0 ? 0 : uint64_t{3 + pick(1u << 20)} * kRingCapacity;
            const uint64_t base = pick(5) == 0 ? kStampPlaceLimit - 1650 - uint64_t{pick(1u << 20)} * kRingCapacity
                                               : r.position + ahead;
            const uint64_t place = base / kRingCapacity * kRingCapacity + slot;
            const uint32_t how = pick(3);
            stamps[slot] = how == 0 ? kUnstamped : slotStamp(r.epoch, place + (how == 1 ? 1 + pick(998) : 0));
        }
        }
    }

private:
    uint32_t pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_); }
    void bytes(void* base, std::size_t size) {
        const std::size_t length = 1 + pick(8);
        auto* at = static_cast<uint8_t*>(base) + pick(static_cast<uint32_t>(size - length + 1));
        for (std::size_t i = 0; i < length; ++i) at[i] = static_cast<uint8_t>(pick(256));
    }
    ServerBlock& block_;
    RingStateBlock& state_;
    std::mt19937 random_;
};

using RingScribbleTest = test::FreshServerTest<::testing::TestWithParam<uint32_t>>;

// Two clients write both their rings and read both of the server's, while the server drains, keeps and
// writes its rings, and a seeded scribbler writes 3,000 times into the block and the record.
TEST_P(RingScribbleTest, NothingTwiceOrOutOfOrderEveryLossCountedAndNewEntriesFlowAfterwards) {
    RingReader<ServerCommand> commandReader(server_->commandRing());
    RingReader<ServerFrame> sendReader(server_->sendRing());
    Seen commands, frames;
    uint32_t written[2] = {0, 0};  // responses and received frames accepted
    ServerCommand serverCommand{};
    ServerFrame serverFrame{};
    auto serverPass = [&] {
        commands.drain([&](ServerCommand& e) { return commandReader.read(e); }, serverCommand);
        frames.drain([&](ServerFrame& e) { return sendReader.read(e); }, serverFrame);
        (void)server_->commandRing().keep(commandReader.next());
        (void)server_->sendRing().keep(sendReader.next());
        (void)server_->responseRing().keep();
        (void)server_->receiveRing().keep();
    };
    struct Client {
        std::unique_ptr<RingClient> ring;
        std::atomic<uint32_t> accepted[2] = {0, 0};  // commands, frames
        Seen responses, received;
        ServerCommand response{};
        ServerFrame frame{};
        void drain() {
            responses.drain([&](ServerCommand& e) { return ring->readResponse(e); }, response);
            received.drain([&](ServerFrame& e) { return ring->readReceived(e); }, frame);
        }
    };
    std::array<Client, 2> clients;
    for (uint32_t i = 0; i < clients.size(); ++i) ASSERT_TRUE(clients[i].ring = RingClient::connect(100 + i));

    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (uint8_t i = 0; i < clients.size(); ++i) {
        threads.emplace_back([&, i] {
            Client& c = clients[i];
            for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(200))) {
                c.accepted[0] += c.ring->sendCommand(commandOf(i + 1, c.accepted[0])) == RingWriteResult::Written;
                c.accepted[1] += c.ring->sendFrame(frameOf(i + 1, c.accepted[1])) == RingWriteResult::Written;
                c.drain();
            }
        });
    }
    threads.emplace_back([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(100))) {
            serverPass();
            written[0] += server_->responseRing().write(commandOf(9, written[0])) == RingWriteResult::Written;
            written[1] += server_->receiveRing().write(frameOf(9, written[1])) == RingWriteResult::Written;
        }
    });
    Scribbler scribbler(*server_, GetParam());
    for (int i = 0; i < 3000; ++i, std::this_thread::sleep_for(std::chrono::microseconds(300))) scribbler.once();

    // Once the scribbling stops, entries written afterwards reach the server (however late it runs).
    uint32_t calm[2][2];
    for (int i = 0; i < 2; ++i) calm[i][0] = clients[i].accepted[0], calm[i][1] = clients[i].accepted[1];
    auto flowed = [&] {
        for (uint8_t i = 0; i < 2; ++i) {
            if (commands.next[i + 1] <= calm[i][0] + 10 || frames.next[i + 1] <= calm[i][1] + 10) return false;
        }
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!flowed() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done = true;
    for (auto& t : threads) t.join();
    EXPECT_TRUE(flowed()) << "the server took no new entries after the scribbling stopped";
    serverPass();

    for (Client& c : clients) {
        c.drain();
        EXPECT_EQ(c.responses.twiceOrBack + c.received.twiceOrBack, 0u);
        EXPECT_GE(c.responses.accounted(), written[0]) << "responses neither delivered nor counted as lost";
        EXPECT_GE(c.received.accounted(), written[1]) << "frames neither delivered nor counted as lost";
        EXPECT_GT(c.responses.next[9] + 10, written[0]) << "the client no longer takes responses";
        EXPECT_GT(c.received.next[9] + 10, written[1]) << "the client no longer takes frames";
    }
    EXPECT_EQ(commands.twiceOrBack + frames.twiceOrBack, 0u);
    EXPECT_GE(commands.accounted(), clients[0].accepted[0] + clients[1].accepted[0]);
    EXPECT_GE(frames.accounted(), clients[0].accepted[1] + clients[1].accepted[1]);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RingScribbleTest, ::testing::Values(1u, 2u, 3u));

// The scribbles that each once stopped, replayed or dropped entries of a ring, one at a time, after a lap
// and a tenth of entries all taken: on the send ring (the clients write it) with `unread` frames more
// written and not taken yet, on the receive and response rings (the server writes them). Afterwards every
// new entry is taken once and in order, nothing is lost that the scribble itself did not destroy, every
// entry a client did not get is in its count of losses, and the words the server keeps are its own again.
struct UpsetScene {
    ServerBlock& block;
    RingStateBlock& state;
    ServerRingHeader& header;
    RingRestart& r;
    uint64_t* stamps;
    uint64_t* checks;
    // A stamp of the ring's epoch on the slot of `place`, with a check that agrees with the slot's bytes:
    // an entry written there, as a writer of the user's own would.
    std::function<void(uint64_t place)> forge;
};
struct Upset {
    const char* name;
    int ring;  // 2 send, 3 receive, 1 response
    void (*scribble)(UpsetScene& s);
    uint64_t destroyed = 0;  // entries not taken yet whose stamps the scribble took away
    uint32_t unread = 10;    // entries written before the scribble and not taken (send and receive rings)
    bool newServer = false;  // a new server starts the rings afresh after the scribble
    bool anotherWriter = false;  // the send ring's next frames come from another client
};
constexpr uint64_t slotOf(uint64_t place) { return place % kRingCapacity; }
// A place near the end of the places, in the slot of `place`.
constexpr uint64_t nearTheLimit(uint64_t place) {
    return (kStampPlaceLimit - 1650) / kRingCapacity * kRingCapacity + slotOf(place);
}
const Upset kUpsets[] = {
    {"MisplacedStampInTheNextSlot", 2,
     [](UpsetScene& s) { s.stamps[slotOf(s.r.position)] = slotStamp(s.r.epoch, s.r.position + 3); }},
    {"ForgedStampNearThePlaceLimit", 2,
     [](UpsetScene& s) { s.stamps[slotOf(s.r.position + 5)] = slotStamp(s.r.epoch, nearTheLimit(s.r.position + 5)); }},
    {"ForgedEntryNearThePlaceLimitWhileTheCountIsZero", 2,
     [](UpsetScene& s) {
         s.forge(nearTheLimit(s.r.position + 5));
         s.r.position = s.header.writeIndex = 0;
     }},
    {"CountAndAnEntryForgedNearThePlaceLimit", 2,  // the forged count claims every place below it
     [](UpsetScene& s) {
         const uint64_t place = nearTheLimit(s.r.position + 5);
         s.forge(place);
         s.r.position = place + 1;
         s.header.writeIndex = static_cast<uint32_t>(slotOf(place + 1));
     },
     kStampPlaceLimit},
    {"LatestStampsTakenAway", 2,  // of the 10 not taken yet and the 5 before
     [](UpsetScene& s) {
         for (uint64_t p = s.r.position - 15; p < s.r.position; ++p) s.stamps[slotOf(p)] = kUnstamped;
     },
     10},
    {"LatestStampsAndTheCountTakenAway", 2,
     [](UpsetScene& s) {
         for (uint64_t p = s.r.position - 15; p < s.r.position; ++p) s.stamps[slotOf(p)] = kUnstamped;
         s.r.position -= 15;
         s.header.writeIndex = static_cast<uint32_t>(slotOf(s.r.position));
     },
     10},
    {"EpochMovedWithCountZero", 2,
     [](UpsetScene& s) { ++s.r.epoch, s.r.position = s.header.writeIndex = 0; }},
    {"CountMovedBackWithTheNextStamp", 2,
     [](UpsetScene& s) {
         s.r.position -= 15;
         s.header.writeIndex = static_cast<uint32_t>(slotOf(s.r.position));
         s.stamps[slotOf(s.r.position)] = kUnstamped;
     }},
    {"TakenStampsAndTheCountTakenAwayBeforeAnotherWriter", 2,
     [](UpsetScene& s) {
         for (uint64_t p = s.r.position - 15; p < s.r.position; ++p) s.stamps[slotOf(p)] = kUnstamped;
         s.r.position -= 15;
         s.header.writeIndex = static_cast<uint32_t>(slotOf(s.r.position));
     },
     0, 0, false, true},
    // The writers follow the count two rings ahead; the reader still takes the 9 entries it had not taken.
    {"NextStampTakenAwayAndACountAndEntryForgedTwoRingsAhead", 2,
     [](UpsetScene& s) {
         s.stamps[slotOf(s.r.position - 10)] = kUnstamped;
         s.forge(s.r.position + 2 * kRingCapacity + 5);
         s.r.position += 2 * kRingCapacity + 6;
         s.header.writeIndex = static_cast<uint32_t>(slotOf(s.r.position));
     },
     1},
    // A writer that never wrote here has only the count and the floor, which agree, to go on: not the
    // places a ring and more below, where the reader would never look.
    {"LastRingOfStampsTakenAwayAndTheFloorMovedBack", 2,
     [](UpsetScene& s) {
         for (uint64_t p = s.r.position - kRingCapacity; p < s.r.position; ++p) s.stamps[slotOf(p)] = kUnstamped;
         s.r.floor -= 1;
     },
     0, 0, false, true},
    {"FloorMovedAhead", 2, [](UpsetScene& s) { s.r.floor += 993; }, 0, 0},
    {"EpochWordOfTheServersRing", 3, [](UpsetScene& s) { ++s.r.epoch; }},
    {"CountAndHeaderMovedAheadTogether", 3, [](UpsetScene& s) { s.r.position += 4, s.header.writeIndex += 4; }},
    {"ResponseCountAndHeaderMovedAheadTogether", 1,
     [](UpsetScene& s) { s.r.position += 4, s.header.writeIndex += 4; }},
    {"StampOfTheNextPlaceBeforeItsEntry", 3,
     [](UpsetScene& s) { s.stamps[slotOf(s.r.position)] = slotStamp(s.r.epoch, s.r.position); }, 0, 0},
    {"StampOfTheNextResponseBeforeItsEntry", 1,
     [](UpsetScene& s) { s.stamps[slotOf(s.r.position)] = slotStamp(s.r.epoch, s.r.position); }, 0, 0},
    // Check and all, ahead of the count the server keeps, with the count moved so that readers look: a reader
    // that took it would wait past the places the server writes next.
    {"ResponseForgedAheadOfTheCount", 1,
     [](UpsetScene& s) {
         s.forge(s.r.position + 5);
         s.r.position += 4, s.header.writeIndex += 4;
     }},
    {"FrameForgedAlmostARingAheadOfTheCount", 3,
     [](UpsetScene& s) {
         s.forge(s.r.position + kRingCapacity - 20);
         s.r.position += 4, s.header.writeIndex += 4;
     }},
    {"CheckOfAnUnreadFrame", 3, [](UpsetScene& s) { s.checks[slotOf(s.r.position - 10)] ^= 1; }, 1},
    {"EpochWordMovedBackBeforeANewServer", 3, [](UpsetScene& s) { --s.r.epoch; }, 0, 0, true},
    {"ResponseEpochWordMovedBackBeforeANewServer", 1, [](UpsetScene& s) { --s.r.epoch; }, 0, 0, true},
    {"CurrentNetworkWord", 3, [](UpsetScene& s) { s.block.currentNetwork = 7; }},
    {"CountOfServerStarts", 3, [](UpsetScene& s) { ++s.state.serverStarts; }},
};

class RingUpsetTest : public RingScribbleTest {};

TEST_P(RingUpsetTest, NewEntriesAreTakenOnceAndInOrder) {
    const Upset& upset = kUpsets[GetParam()];
    auto client = RingClient::connect(77);
    auto other = RingClient::connect(78);
    ASSERT_TRUE(client && other);
    RingClient* sender = client.get();
    constexpr uint32_t kNetwork = 3;
    server_->setCurrentNetwork(kNetwork);
    RingReader<ServerFrame> sendReader(server_->sendRing());
    std::atomic<bool> done{false};
    std::atomic<uint64_t> floor{0};
    std::thread keeper([&] {  // the server's looks at its rings, as often as an idle server looks
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            (void)server_->keepWords();
            (void)server_->sendRing().keep(floor);
            (void)server_->receiveRing().keep();
            (void)server_->responseRing().keep();
        }
    });
    Seen seen;
    ServerFrame frame{};
    ServerCommand response{};
    auto take = [&] {
        if (upset.ring == 2) seen.drain([&](ServerFrame& e) { return sendReader.read(e); }, frame);
        if (upset.ring == 3) seen.drain([&](ServerFrame& e) { return client->readReceived(e); }, frame);
        if (upset.ring == 1) seen.drain([&](ServerCommand& e) { return client->readResponse(e); }, response);
        floor = sendReader.next();
    };
    uint32_t written = 0;
    auto write = [&](uint32_t count) {
        for (uint32_t end = written + count; written < end; ++written) {
            const RingWriteResult r = upset.ring == 2 ? sender->sendFrame(frameOf(1, written))
                                      : upset.ring == 3 ? server_->receiveRing().write(frameOf(1, written))
                                                        : server_->responseRing().write(commandOf(1, written));
            ASSERT_EQ(r, RingWriteResult::Written) << "entry " << written;
        }
    };
    for (int i = 0; i < 11; ++i) {
        write(100);
        take();
    }
    write(upset.ring == 1 ? 0 : upset.unread);
    const uint32_t starts = server_->serverStarts() + (upset.newServer ? 1 : 0);
    {
        RingStateBlock& state = server_->ringState();
        ServerBlock& block = server_->block();
        RingRestart& record = (&state.commandRing)[upset.ring];
        uint64_t* stamps = (&state.commandStamps)[upset.ring];
        uint64_t* checks = (&state.commandChecks)[upset.ring];
        auto forge = [&](uint64_t place) {
            const uint64_t stamp = slotStamp(record.epoch, place);
            const uint64_t k = slotOf(place);
            // Bytes of its own: no producer of the test's.
            uint8_t* data = upset.ring == 1   ? block.responseRing.entries[k].data
                            : upset.ring == 2 ? block.sendRing.entries[k].data
                                              : block.receiveRing.entries[k].data;
            std::fill(data, data + 8, uint8_t{0xEE});
            checks[k] = upset.ring == 1 ? ring_detail::entryCheck(stamp, block.responseRing.entries[k])
                        : upset.ring == 2 ? ring_detail::entryCheck(stamp, block.sendRing.entries[k])
                                          : ring_detail::entryCheck(stamp, block.receiveRing.entries[k]);
            stamps[k] = stamp;
        };
        UpsetScene scene{block,
                         state,
                         upset.ring == 2   ? block.sendRing.header
                         : upset.ring == 3 ? block.receiveRing.header
                                           : block.responseRing.header,
                         record,
                         stamps,
                         checks,
                         forge};
        upset.scribble(scene);
    }
    if (upset.anotherWriter) sender = other.get();
    if (upset.newServer) {
        server_->initialise();
        server_->setCurrentNetwork(kNetwork);
    }
    take();  // a look before anybody writes again
    for (int i = 0; i < 20; ++i) {
        write(100);
        take();
    }
    done = true;
    keeper.join();
    (void)server_->keepWords();
    EXPECT_EQ(seen.twiceOrBack, 0u);
    EXPECT_EQ(seen.next[1], written) << "the latest entry was taken";
    EXPECT_GE(seen.accounted(), written);
    EXPECT_LE(seen.lost, upset.destroyed + 1) << "only what the scribble itself destroyed is lost";
    EXPECT_GE(seen.delivered + upset.destroyed, written) << "every entry the scribble left was delivered";
    if (upset.ring != 2) {
        EXPECT_EQ(upset.ring == 3 ? client->lostFrames() : client->lostResponses(), seen.lost + seen.damaged)
            << "every entry not delivered is counted";
    }
    EXPECT_EQ(server_->currentNetwork(), kNetwork);
    EXPECT_EQ(server_->serverStarts(), starts);
}

INSTANTIATE_TEST_SUITE_P(Upsets, RingUpsetTest, ::testing::Range(0u, static_cast<uint32_t>(std::size(kUpsets))),
                         [](const auto& info) { return std::string(kUpsets[info.param].name); });

} // namespace
} // namespace ostrel::halvorn

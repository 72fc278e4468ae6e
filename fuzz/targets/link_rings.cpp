// The server link's four rings in ordinary memory, used as the server and two clients use them:
// clients write commands and frames and read responses and received frames, the server reads the
// former, writes the latter and keeps every ring's hints, and a server may start afresh. Between any
// two of their steps the input writes into the block and the record beside it: plain bytes into the
// headers, records, stamps, checks and slots, and values that look right (a count or an epoch moved a
// little, a floor moved back, a stamp taken away, forged ahead, in a wrong slot or near the place
// limit). Then the writing stops and everybody goes on for a few rounds.
//
// What a user expects of every ring and every reader of it:
// - nothing is delivered twice or out of order;
// - every entry a writer was told was accepted is delivered, or counted as lost, or rejected;
// - once the writing into the block stops, entries flow again within a bounded number of rounds:
//   every write is accepted once the server has had its look, and reaches every reader.
#include "link_fuzz.h"
#include "fuzz_script.h"

#include "halvorn/ring.h"
#include "platform/ipc.h"
#include "ring_marks.h"

#include <array>
#include <memory>

namespace {

using namespace ostrel::halvorn;
using ostrel::fuzz::Script;
using ostrel::halvorn::ring_marks::commandOf;
using ostrel::halvorn::ring_marks::frameOf;
using ostrel::halvorn::ring_marks::markCheck;
using ostrel::platform::EventReset;
using ostrel::platform::NamedEvent;
using ostrel::platform::NamedMutex;

constexpr int kMaxSteps = 200;
constexpr int kCalmRounds = 8;
constexpr int kFlowWithin = 3;     // rounds after the writing stops in which the rings may still be put right
constexpr uint8_t kServerProducer = 9;
constexpr uint8_t kForger = 15;    // entries written into the block by somebody outside the discipline
constexpr int kClients = 2;

enum RingId { kCommand = 0, kResponse = 1, kSend = 2, kReceive = 3 };

// The block's rings and the record beside them, in this process's memory; the rings' mutexes (named,
// their names gone at once) and events (local).
struct Memory {
    ServerRing<ServerCommand> command{};
    ServerRing<ServerCommand> response{};
    ServerRing<ServerFrame> send{};
    ServerRing<ServerFrame> receive{};
    RingStateBlock state{};
    std::array<std::unique_ptr<NamedMutex>, 4> mutexes;
    std::array<std::unique_ptr<NamedEvent>, 4> events;

    Memory() {
        ostrel::fuzz::usePrivateIpcNames();
        for (int i = 0; i < 4; ++i) {
            mutexes[static_cast<std::size_t>(i)] = NamedMutex::open("ring" + std::to_string(i));
            FUZZ_CHECK(mutexes[static_cast<std::size_t>(i)] != nullptr, "ring mutex %d not opened", i);
        }
        ostrel::fuzz::forgetIpcNames();
        events[0] = NamedEvent::createLocal(EventReset::Automatic);
        events[1] = NamedEvent::createLocal(EventReset::Manual);
        events[2] = NamedEvent::createLocal(EventReset::Automatic);
        events[3] = NamedEvent::createLocal(EventReset::Manual);
    }
    void clear() {
        std::memset(&state, 0, sizeof state);
        command.header = response.header = send.header = receive.header = ServerRingHeader{};
        std::memset(send.entries, 0, sizeof send.entries);
        std::memset(receive.entries, 0, sizeof receive.entries);
        for (uint32_t k = 0; k < kRingCapacity; ++k) {
            std::memset(&command.entries[k], 0, offsetof(ServerCommand, data) + 16);
            std::memset(&response.entries[k], 0, offsetof(ServerCommand, data) + 16);
        }
    }
};

Memory& memory() {
    static const std::unique_ptr<Memory> instance = std::make_unique<Memory>();
    return *instance;
}

// One process's view of the four rings, as TransportObjects gives it.
struct Channels {
    RingChannel<ServerCommand> command;
    RingChannel<ServerCommand> response;
    RingChannel<ServerFrame> send;
    RingChannel<ServerFrame> receive;

    explicit Channels(Memory& m)
        : command(m.command, m.state.commandRing, m.state.commandStamps, m.state.commandChecks, true, *m.mutexes[0],
                  *m.events[0], RingSignal::Set),
          response(m.response, m.state.responseRing, m.state.responseStamps, m.state.responseChecks, false,
                   *m.mutexes[1], *m.events[1], RingSignal::Pulse),
          send(m.send, m.state.sendRing, m.state.sendStamps, m.state.sendChecks, true, *m.mutexes[2], *m.events[2],
               RingSignal::Set),
          receive(m.receive, m.state.receiveRing, m.state.receiveStamps, m.state.receiveChecks, false, *m.mutexes[3],
                  *m.events[3], RingSignal::Pulse) {}
};

// What one reader of one ring saw.
struct Seen {
    std::array<uint32_t, 16> next{};  // per producer, the least sequence number still new
    uint64_t delivered = 0, damaged = 0, lost = 0, twiceOrBack = 0;
    [[nodiscard]] uint64_t accounted() const { return delivered + damaged + lost; }

    template <typename Entry>
    void drain(RingReader<Entry>& reader, const char* what) {
        Entry entry{};
        for (int guard = 0; guard < 4 * static_cast<int>(kRingCapacity); ++guard) {
            const RingRead r = reader.read(entry);
            lost += r.lost;
            if (r.status != RingReadStatus::Entry && r.status != RingReadStatus::Rejected) return;
            const uint8_t producer = entry.data[0];
            const uint32_t seq = getBe32(entry.data + 1);
            if (r.status != RingReadStatus::Entry || producer >= next.size() ||
                getBe16(entry.data + 5) != markCheck(producer, seq)) {
                ++damaged;
                continue;
            }
            ++delivered;
            if (producer == kForger) continue;  // written outside the discipline, in any order
            FUZZ_CHECK(seq >= next[producer], "%s: entry %u of producer %d delivered after %u (twice or out of order)",
                       what, seq, producer, next[producer] - 1);
            next[producer] = seq + 1;
        }
        FUZZ_CHECK(false, "%s: the reader never ran out of entries", what);
    }
};

// What the clients wrote into a ring the server reads, by slot. Entries the server has not read yet that
// the writers write over, and that no reader can count:
// - A place written twice: only once the input took its stamp away and moved the count (which vouches for
//   an entry when it lies past it and within a ring), so that a writer that never knew of it takes it.
// - An entry lapped after the writers skipped places (a hint moved them ahead: a count, a floor, a stamp
//   forged ahead). Its slot then looks just like that of a place they skipped, which held nothing.
// Writers that go one place after the other lap where the reader sees it and counts it. Entries written
// into another epoch than the kept one are strays, which the keeper counts when it looks; a stray written
// over before it looked is gone without a trace.
struct ClientEntries {
    std::array<uint64_t, kRingCapacity> stamps;  // the stamp each slot's latest entry was given
    std::array<uint64_t, kRingCapacity> skipsAt{};  // `skips` when it was written
    uint64_t last = kUnstamped;  // the stamp of the latest entry the clients wrote
    uint64_t skips = 0;          // writes that did not follow the one before
    uint64_t hidden = 0;         // entries written over that way
    ClientEntries() { stamps.fill(kUnstamped); }
};

// The server: keeper of every ring, reader of the two the clients write. A new one starts every ring
// afresh in a new epoch.
struct Server {
    Channels channels;
    RingReader<ServerCommand> commands;
    RingReader<ServerFrame> frames;
    Seen seenCommands, seenFrames;
    std::array<uint32_t, kClients> commandsAccepted{}, framesAccepted{};  // since this server started
    uint64_t responsesHere = 0, receivedHere = 0;  // what this server wrote: its own counts
    ClientEntries commandEntries, frameEntries;

    explicit Server(Memory& m) : channels(m), commands(initialised(channels).command), frames(channels.send) {}
    static Channels& initialised(Channels& c) {
        c.command.initialise();
        c.response.initialise();
        c.send.initialise();
        c.receive.initialise();
        return c;
    }
    // As the server does: the floor is where its reader stands in the kept epoch; a reader still in an
    // older one has none.
    void look() {
        (void)channels.command.keep(commands.epoch() == channels.command.keptEpoch() ? commands.next() : 0);
        (void)channels.send.keep(frames.epoch() == channels.send.keptEpoch() ? frames.next() : 0);
        (void)channels.response.keep();
        (void)channels.receive.keep();
    }
    void pass() {
        seenCommands.drain(commands, "server, command ring");
        seenFrames.drain(frames, "server, send ring");
        look();
    }
};

struct Client {
    uint8_t producer;
    Channels channels;
    RingReader<ServerCommand> responses;
    RingReader<ServerFrame> received;
    Seen seenResponses, seenReceived;
    uint32_t commands = 0, frames = 0;  // accepted writes, all told

    Client(Memory& m, uint8_t id) : producer(id), channels(m), responses(channels.response), received(channels.receive) {
        FUZZ_CHECK(responses.startAtWriteIndex() && received.startAtWriteIndex(), "a client could not connect");
    }
    void drain() {
        seenResponses.drain(responses, "client, response ring");
        seenReceived.drain(received, "client, receive ring");
    }
};

// A client's write into a ring the server reads, and where it went.
template <typename Entry>
RingWriteResult writeTraced(RingChannel<Entry>& ring, const Entry& entry, const RingChannel<Entry>& keeper,
                            const RingReader<Entry>& reader, ClientEntries& entries) {
    std::array<uint64_t, kRingCapacity> before;
    for (uint32_t k = 0; k < kRingCapacity; ++k) before[k] = keeper.stampOf(k);
    const uint64_t count = keeper.position();
    const uint32_t keptEpoch = keeper.keptEpoch();
    const RingWriteResult r = ring.write(entry);
    if (r != RingWriteResult::Written) return r;
    const uint64_t place = ring.lastWrittenPlace();
    const uint32_t epoch = ring.lastWrittenEpoch();
    const std::size_t slot = place % kRingCapacity;
    const uint64_t stamp = slotStamp(epoch, place);
    if (entries.last == kUnstamped || stamp != entries.last + 1) ++entries.skips;
    entries.last = stamp;
    const uint64_t earlier = entries.stamps[slot];
    const uint64_t was = ring_detail::placeOf(earlier);
    // Entries written into another epoch than the kept one are the keeper's to count (strays), whatever they
    // covered.
    const bool kept = ring_detail::inEpoch(stamp, keptEpoch);
    if (kept && earlier != kUnstamped && ring_detail::inEpoch(earlier, epoch) &&
        !(reader.epoch() == epoch && reader.next() > was)) {
        const bool vouched = count > was && count - was <= kRingCapacity;
        if (was == place) {
            FUZZ_CHECK(before[slot] != stamp && !vouched,
                       "place %llu of epoch %u written twice while the block still told of its entry (stamp %llx, count %llu)",
                       static_cast<unsigned long long>(place), epoch, static_cast<unsigned long long>(before[slot]),
                       static_cast<unsigned long long>(count));
            ++entries.hidden;
        } else if (place > was && entries.skips > entries.skipsAt[slot]) {
            ++entries.hidden;
        }
    }
    // A stray the keeper never saw (its stamp still as written), written over: nothing tells of it any more.
    if (earlier != kUnstamped && !ring_detail::inEpoch(earlier, keptEpoch) && before[slot] == earlier) ++entries.hidden;
    entries.stamps[slot] = stamp;
    entries.skipsAt[slot] = entries.skips;
    return r;
}

// A client's write; one the ring cannot take yet waits for the server's look and is tried once more,
// as the client's writer does.
template <typename Entry>
RingWriteResult writeOrWait(RingChannel<Entry>& ring, const Entry& entry, const RingChannel<Entry>& keeper,
                            const RingReader<Entry>& reader, ClientEntries& entries, Server& server) {
    const RingWriteResult first = writeTraced(ring, entry, keeper, reader, entries);
    if (first != RingWriteResult::Unusable) return first;
    server.look();
    return writeTraced(ring, entry, keeper, reader, entries);
}

void clientWrites(Client& c, Server& server, bool command, std::array<uint32_t, kClients>* refusedInCalm = nullptr) {
    const std::size_t k = static_cast<std::size_t>(c.producer - 1);
    RingWriteResult r;
    if (command) {
        r = writeOrWait(c.channels.command, commandOf(c.producer, c.commands), server.channels.command, server.commands,
                        server.commandEntries, server);
        if (r == RingWriteResult::Written) ++c.commands, ++server.commandsAccepted[k];
    } else {
        r = writeOrWait(c.channels.send, frameOf(c.producer, c.frames), server.channels.send, server.frames,
                        server.frameEntries, server);
        if (r == RingWriteResult::Written) ++c.frames, ++server.framesAccepted[k];
    }
    if (refusedInCalm != nullptr && r != RingWriteResult::Written) ++(*refusedInCalm)[k];
}

// What every server wrote, numbered on across servers.
struct Written {
    uint32_t responses = 0;
    uint32_t received = 0;
};

void serverWrites(Server& server, Written& written, bool response) {
    if (response) {
        const bool ok = server.channels.response.write(commandOf(kServerProducer, written.responses)) ==
                        RingWriteResult::Written;
        written.responses += ok;
        server.responsesHere += ok;
    } else {
        const bool ok = server.channels.receive.write(frameOf(kServerProducer, written.received)) ==
                        RingWriteResult::Written;
        written.received += ok;
        server.receivedHere += ok;
    }
}

// What the input's writing did.
struct Upsets {
    uint32_t forged = 0;  // entries forged so far
    // The count of the entries written before a new server started lives in the record (twice) and the
    // stamps, and in the memory of the server that died. What of it was taken away before anybody looked
    // leaves a reader that slept across the start nothing to count by: beyond what any ring can count.
    // So far, for the response and the receive ring.
    uint64_t responsesHidden = 0;
    uint64_t receivedHidden = 0;
};

// Somebody writes into the block or the record.
void scribble(Memory& m, Script& script, Upsets& upsets) {
    const uint32_t ring = script.pick(4);
    RingRestart& record = (&m.state.commandRing)[ring];
    ServerRingHeader& header = ring == 0 ? m.command.header : ring == 1 ? m.response.header
                               : ring == 2 ? m.send.header : m.receive.header;
    uint64_t* stamps = (&m.state.commandStamps)[ring];
    uint64_t* checks = (&m.state.commandChecks)[ring];
    const auto bytes = [&script](void* base, std::size_t size) {
        const std::size_t length = 1 + script.pick(8);
        const std::size_t at = (script.u16() % (size - length + 1));
        for (std::size_t i = 0; i < length; ++i) static_cast<uint8_t*>(base)[at + i] = script.byte();
    };
    const uint32_t slot = script.u16() % kRingCapacity;
    const uint32_t how = script.pick(12);
    if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) {
        static constexpr const char* kHow[] = {"header bytes", "record bytes", "stamp bytes", "check bytes", "slot bytes",
                                               "count moved", "epoch moved", "floor back", "stamp taken away",
                                               "stamp forged", "server starts", "entry forged"};
        std::fprintf(stderr, "  scribble on ring %u: %s (slot %u)\n", ring, kHow[how], slot);
    }
    switch (how) {
    case 0: bytes(&header, sizeof header); break;
    case 1: bytes(&record, sizeof record); break;
    case 2: bytes(&stamps[slot], sizeof(uint64_t)); break;
    case 3: bytes(&checks[slot], sizeof(uint64_t)); break;
    case 4:
        bytes(ring == 0   ? static_cast<void*>(&m.command.entries[slot])
              : ring == 1 ? static_cast<void*>(&m.response.entries[slot])
              : ring == 2 ? static_cast<void*>(&m.send.entries[slot])
                          : static_cast<void*>(&m.receive.entries[slot]),
              16);
        break;
    case 5: {
        const int delta = static_cast<int>(script.pick(9)) - 4;
        record.position += static_cast<uint64_t>(static_cast<int64_t>(delta));
        if (script.flag()) header.writeIndex = static_cast<uint32_t>(record.position % kRingCapacity);
        break;
    }
    case 6: record.epoch += script.flag() ? 1 : UINT32_MAX; break;
    case 7: record.floor -= script.pick(3); break;
    case 8: stamps[slot] = kUnstamped; break;
    case 9: {  // a stamp of the epoch, ahead of the count, in its slot or another, or near the place limit
        const uint64_t ahead = script.flag() ? 0 : (3 + uint64_t{script.u16()}) * kRingCapacity;
        const bool high = script.pick(4) == 0;
        const uint64_t base = high ? kStampPlaceLimit - 1650 - uint64_t{script.u16()} * kRingCapacity
                                   : record.position + ahead;
        const uint64_t place = base / kRingCapacity * kRingCapacity + slot + (script.flag() ? 1 + script.pick(200) : 0);
        stamps[slot] = slotStamp(record.epoch, place);
        break;
    }
    case 10: m.state.serverStarts += 1; break;
    default: {  // a whole entry, check and all, as a writer that knows the discipline writes one
        const bool high = script.pick(3) == 0;
        const uint64_t base = high ? kStampPlaceLimit - 1 - script.u16() % (3 * kRingCapacity)
                                   : record.position + script.pick(3) * kRingCapacity;
        uint64_t place = base / kRingCapacity * kRingCapacity + slot;
        if (place >= kStampPlaceLimit) place -= kRingCapacity;
        const uint64_t stamp = slotStamp(record.epoch, place);
        if (ring == kCommand || ring == kResponse) {
            ServerCommand& entry = ring == kCommand ? m.command.entries[slot] : m.response.entries[slot];
            entry = commandOf(kForger, upsets.forged++);
            checks[slot] = ring_detail::entryCheck(stamp, entry);
        } else {
            ServerFrame& entry = ring == kSend ? m.send.entries[slot] : m.receive.entries[slot];
            entry = frameOf(kForger, upsets.forged++);
            checks[slot] = ring_detail::entryCheck(stamp, entry);
        }
        stamps[slot] = stamp;
        break;
    }
    }
}

void run(const uint8_t* data, std::size_t size) {
    Script script(data, size);
    Memory& m = memory();
    m.clear();
    auto server = std::make_unique<Server>(m);
    std::array<std::unique_ptr<Client>, kClients> clients;
    for (int i = 0; i < kClients; ++i) clients[static_cast<std::size_t>(i)] = std::make_unique<Client>(m, static_cast<uint8_t>(i + 1));
    Written written;
    Upsets upsets;

    for (int step = 0; step < kMaxSteps && !script.exhausted(); ++step) {
        const uint8_t op = script.byte();
        Client& c = *clients[op & 1];
        if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) {
            static constexpr const char* kOps[] = {"command", "frame", "server pass", "response", "received",
                                                   "client drains", "scribble", "scribble", "new server"};
            std::fprintf(stderr, "step %d: client %d %s\n", step, (op & 1) + 1, kOps[(op >> 1) % 9]);
        }
        if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr && std::string(std::getenv("OSTREL_FUZZ_TRACE")) == "2") {
            // One ring's record, first stamps and readers: the send ring's, or OSTREL_FUZZ_TRACE_RING's (0-3).
            const char* which = std::getenv("OSTREL_FUZZ_TRACE_RING");
            const uint32_t ring = which != nullptr ? static_cast<uint32_t>(std::atoi(which)) % 4 : uint32_t{kSend};
            const RingRestart& q = (&m.state.commandRing)[ring];
            const uint64_t* st = (&m.state.commandStamps)[ring];
            std::fprintf(stderr, "   ring %u: epoch %u position %llu floor %llx earlier %llu check %08x; stamps0..3 %llx %llx %llx %llx; ",
                         ring, q.epoch, (unsigned long long)q.position, (unsigned long long)q.floor,
                         (unsigned long long)q.earlier, q.check, (unsigned long long)st[0], (unsigned long long)st[1],
                         (unsigned long long)st[2], (unsigned long long)st[3]);
            const auto reader = [](const char* who, uint32_t epoch, uint64_t next, const Seen& seen) {
                std::fprintf(stderr, "%s reads %llu in %u (seen %llu+%llu+%llu) ", who, (unsigned long long)next, epoch,
                             (unsigned long long)seen.delivered, (unsigned long long)seen.damaged,
                             (unsigned long long)seen.lost);
            };
            if (ring == kCommand) reader("server", server->commands.epoch(), server->commands.next(), server->seenCommands);
            if (ring == kSend) reader("server", server->frames.epoch(), server->frames.next(), server->seenFrames);
            for (const auto& k : clients) {
                if (ring == kResponse) reader("client", k->responses.epoch(), k->responses.next(), k->seenResponses);
                if (ring == kReceive) reader("client", k->received.epoch(), k->received.next(), k->seenReceived);
            }
            std::fprintf(stderr, "\n");
        }
        switch ((op >> 1) % 9) {
        case 0: clientWrites(c, *server, true); break;
        case 1: clientWrites(c, *server, false); break;
        case 2: server->pass(); break;
        case 3: serverWrites(*server, written, true); break;
        case 4: serverWrites(*server, written, false); break;
        case 5: c.drain(); break;
        case 6:
        case 7: {
            scribble(m, script, upsets);
            // The record's check guards against scribbles, not against a forger: bytes that happen to make a
            // record of other values agree (the fuzzer can aim at the comparison) carry whatever count their
            // forger chose, and what was written before is beyond counting.
            const auto forged = [](const RingRestart& r, const auto& kept) {
                return ring_detail::loadIndex(r.check) == ring_detail::recordCheck(r.epoch, r.earlier, r.position) &&
                       (((r.epoch ^ kept.keptEpoch()) & 0xFFFF) != 0 || r.earlier != kept.keptEarlier());
            };
            if (forged(m.state.responseRing, server->channels.response)) upsets.responsesHidden = std::max<uint64_t>(upsets.responsesHidden, written.responses);
            if (forged(m.state.receiveRing, server->channels.receive)) upsets.receivedHidden = std::max<uint64_t>(upsets.receivedHidden, written.received);
            break;
        }
        default: {  // a new server: what the one before had not read of the clients' rings is gone with it
            // What the block no longer tells a new server of the ring the old one wrote: the count of earlier
            // entries (both copies moved back) and that of its own epoch (the latest stamps taken away and the
            // count moved more than a ring away).
            const auto hidden = [](const RingRestart& r, const uint64_t* stamps, uint64_t keptEarlier,
                                   uint32_t keptEpoch, uint64_t written) {
                // The floor's copy, when the floor is still in the epoch.
                const uint64_t copies = std::max(ring_detail::placeOf(r.earlier),
                                                 ring_detail::inEpoch(r.floor, keptEpoch) ? ring_detail::placeOf(r.floor) : 0);
                uint64_t last = 0;
                for (uint32_t k = 0; k < kRingCapacity; ++k) {
                    const uint64_t place = ring_detail::placeOf(stamps[k]);
                    // Stamps more than a ring beyond the count tell nothing (they may be forged).
                    if (ring_detail::inEpoch(stamps[k], keptEpoch) && place % kRingCapacity == k &&
                        place < std::min(r.position, kStampPlaceLimit) + kRingCapacity) {
                        last = std::max(last, place + 1);
                    }
                }
                const uint64_t left = r.position >= last && r.position - last <= kRingCapacity ? r.position : last;
                return (copies < keptEarlier ? keptEarlier - copies : 0) + (left < written ? written - left : 0);
            };
            upsets.responsesHidden += hidden(m.state.responseRing, m.state.responseStamps,
                                             server->channels.response.keptEarlier(),
                                             server->channels.response.keptEpoch(), server->responsesHere);
            upsets.receivedHidden += hidden(m.state.receiveRing, m.state.receiveStamps,
                                            server->channels.receive.keptEarlier(),
                                            server->channels.receive.keptEpoch(), server->receivedHere);
            server = std::make_unique<Server>(m);
            break;
        }
        }
    }

    // The writing into the block stops; everybody goes on.
    std::array<uint32_t, kClients> refused{};
    std::array<uint32_t, kClients> commandsAtCalm{}, framesAtCalm{};
    uint32_t responsesAtCalm = 0, receivedAtCalm = 0;
    for (int round = 0; round < kCalmRounds; ++round) {
        if (round == kFlowWithin) {
            refused = {};
            for (int i = 0; i < kClients; ++i) {
                commandsAtCalm[static_cast<std::size_t>(i)] = server->commandsAccepted[static_cast<std::size_t>(i)];
                framesAtCalm[static_cast<std::size_t>(i)] = server->framesAccepted[static_cast<std::size_t>(i)];
            }
            responsesAtCalm = written.responses;
            receivedAtCalm = written.received;
        }
        for (auto& c : clients) {
            clientWrites(*c, *server, true, &refused);
            clientWrites(*c, *server, false, &refused);
        }
        if (std::getenv("OSTREL_FUZZ_TRACE") != nullptr) {
            const RingRestart& r = m.state.commandRing;
            std::fprintf(stderr, "calm %d: command ring epoch %u position %llu floor %llx; server reads %llu in %u; "
                                 "client 1 wrote %u\n",
                         round, r.epoch, static_cast<unsigned long long>(r.position),
                         static_cast<unsigned long long>(r.floor), static_cast<unsigned long long>(server->commands.next()),
                         server->commands.epoch(), clients[0]->commands);
            const RingRestart& q = m.state.receiveRing;
            std::fprintf(stderr, "        receive ring epoch %u position %llu; client 1 reads %llu in %u, seen %llu+%llu+%llu\n",
                         q.epoch, static_cast<unsigned long long>(q.position),
                         static_cast<unsigned long long>(clients[0]->received.next()), clients[0]->received.epoch(),
                         static_cast<unsigned long long>(clients[0]->seenReceived.delivered),
                         static_cast<unsigned long long>(clients[0]->seenReceived.damaged),
                         static_cast<unsigned long long>(clients[0]->seenReceived.lost));
        }
        server->pass();
        serverWrites(*server, written, true);
        serverWrites(*server, written, false);
        server->look();
        for (auto& c : clients) c->drain();
    }

    // Every accepted entry is accounted for by the readers that were there to read it: a client's
    // since it connected, whichever server wrote it; a server's since it started.
    for (int i = 0; i < kClients; ++i) {
        const Client& c = *clients[static_cast<std::size_t>(i)];
        FUZZ_CHECK(c.seenResponses.accounted() + upsets.responsesHidden >= written.responses,
                   "client %d: of %u responses, %llu delivered, damaged or counted lost (%llu hidden)", i + 1,
                   written.responses, static_cast<unsigned long long>(c.seenResponses.accounted()),
                   static_cast<unsigned long long>(upsets.responsesHidden));
        FUZZ_CHECK(c.seenReceived.accounted() + upsets.receivedHidden >= written.received,
                   "client %d: of %u received frames, %llu delivered, damaged or counted lost (%llu hidden)", i + 1,
                   written.received, static_cast<unsigned long long>(c.seenReceived.accounted()),
                   static_cast<unsigned long long>(upsets.receivedHidden));
        FUZZ_CHECK(refused[static_cast<std::size_t>(i)] == 0,
                   "client %d: %u writes refused %d rounds after the writing into the block stopped", i + 1,
                   refused[static_cast<std::size_t>(i)], kFlowWithin);
        // Flow: what was written once the rings were put right reached every reader.
        FUZZ_CHECK(c.seenResponses.next[kServerProducer] == written.responses && written.responses > responsesAtCalm,
                   "client %d: responses stopped at %u of %u after the writing into the block stopped", i + 1,
                   c.seenResponses.next[kServerProducer], written.responses);
        FUZZ_CHECK(c.seenReceived.next[kServerProducer] == written.received && written.received > receivedAtCalm,
                   "client %d: received frames stopped at %u of %u after the writing into the block stopped", i + 1,
                   c.seenReceived.next[kServerProducer], written.received);
        FUZZ_CHECK(server->seenCommands.next[c.producer] == c.commands &&
                       server->commandsAccepted[static_cast<std::size_t>(i)] > commandsAtCalm[static_cast<std::size_t>(i)],
                   "server: commands of client %d stopped at %u of %u after the writing into the block stopped", i + 1,
                   server->seenCommands.next[c.producer], c.commands);
        FUZZ_CHECK(server->seenFrames.next[c.producer] == c.frames &&
                       server->framesAccepted[static_cast<std::size_t>(i)] > framesAtCalm[static_cast<std::size_t>(i)],
                   "server: frames of client %d stopped at %u of %u after the writing into the block stopped", i + 1,
                   server->seenFrames.next[c.producer], c.frames);
    }
    uint64_t commandsAccepted = 0, framesAccepted = 0;
    for (int i = 0; i < kClients; ++i) {
        commandsAccepted += server->commandsAccepted[static_cast<std::size_t>(i)];
        framesAccepted += server->framesAccepted[static_cast<std::size_t>(i)];
    }
    FUZZ_CHECK(server->seenCommands.accounted() + server->commandEntries.hidden >= commandsAccepted,
               "server: of %llu commands accepted, %llu delivered, damaged or counted lost (%llu hidden)",
               static_cast<unsigned long long>(commandsAccepted),
               static_cast<unsigned long long>(server->seenCommands.accounted()),
               static_cast<unsigned long long>(server->commandEntries.hidden));
    FUZZ_CHECK(server->seenFrames.accounted() + server->frameEntries.hidden >= framesAccepted,
               "server: of %llu frames accepted, %llu delivered, damaged or counted lost (%llu hidden)",
               static_cast<unsigned long long>(framesAccepted),
               static_cast<unsigned long long>(server->seenFrames.accounted()),
               static_cast<unsigned long long>(server->frameEntries.hidden));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        run(data, size);
    } catch (const ostrel::fuzz::AwaitedFinding&) {
    }
    return 0;
}

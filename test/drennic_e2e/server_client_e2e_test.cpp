// The server-client driver end to end: client programs linking libdrennic.so in mode 1 share one
// simulated bus through a real CAN server that the first of them starts.
#include "e2e_support.h"
#include "ring_pause.h"

#include <halvorn/ring.h>
#include <halvorn/server_block.h>
#include <halvorn/transport.h>
#include <platform/clock.h>
#include <platform/ipc.h>
#include <platform/process.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <atomic>
#include <cstdlib>
#include <csignal>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace drennic::e2e {
namespace {

namespace hv = ostrel::halvorn;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int countOccurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

class ServerClientE2E : public ClientProgramTest {
protected:
    ServerClientE2E() : ClientProgramTest("sc") {}
};

TEST_F(ServerClientE2E, FirstClientStartsTheServerSecondJoinsAndBothSeeEveryFrame) {
    Client a;
    ASSERT_TRUE(liveServers().empty());
    startOn(a, 1);
    const auto servers = liveServers();
    ASSERT_EQ(servers.size(), 1u) << "the first client starts the server";

    Client b;
    startOn(b, 1);
    EXPECT_EQ(liveServers(), servers) << "the second client joins the running server";

    EXPECT_EQ(a.ask("send 257 1 2 3"), "result 0");
    EXPECT_EQ(b.ask("send 514 4 5"), "result 0");
    for (Client* c : {&a, &b}) {
        EXPECT_EQ(c->askNumber("wait 2 10000"), 2);
        EXPECT_EQ(c->ask("frames"), "frames 2 257:3:010203 514:2:0405") << "each sees its own echo and the other's frame";
    }

    for (Client* c : {&a, &b}) {
        EXPECT_EQ(c->ask("close"), "ok");
        EXPECT_EQ(c->ask("shutdown"), "ok");
    }
    EXPECT_TRUE(eventually(10'000, [] { return liveServers().empty(); })) << "the server ends after its last client";
    EXPECT_TRUE(eventually(5'000, [] {
        const auto below = descendants();
        return std::none_of(below.begin(), below.end(), [](const auto& p) { return p.second == "halvorn <zombie>"; });
    })) << "the program that started the server and closed first reaps it";
    EXPECT_TRUE(a.quit());
    EXPECT_TRUE(b.quit());
}

TEST_F(ServerClientE2E, SecondDriverNameIsRefusedAndTheFirstDriverStays) {
    Client a;
    startOn(a, 1);  // empty driver name: the server runs its simulated bus

    Client probe("drennic_e2e_probe");
    EXPECT_EQ(probe.ask("startup KOBALAPI2.DLL"), "ok initdriver -7");
    EXPECT_EQ(probe.ask("init 1"), "result 0 ") << "the simulated bus still accepts any network";
    EXPECT_EQ(probe.ask("send 291 9"), "result 0");
    EXPECT_EQ(a.askNumber("wait 1 10000"), 1);
    EXPECT_EQ(a.ask("frames"), "frames 1 291:1:09");
}

TEST_F(ServerClientE2E, TransmitOnAnotherNetworkThanTheServersIsDoneButReachesNothing) {
    Client a;
    startOn(a, 1);
    Client b;
    startOn(b, 2);  // the simulated bus moves to network 2

    EXPECT_EQ(a.ask("send 100 1"), "result 0") << "a frame for another network counts as done";
    EXPECT_EQ(b.ask("send 200 2"), "result 0");
    EXPECT_EQ(b.askNumber("wait 1 10000"), 1);
    EXPECT_EQ(b.askNumber("wait 2 500"), 1);
    EXPECT_EQ(b.ask("frames"), "frames 1 200:1:02") << "nothing of client a reached the bus";
    EXPECT_EQ(a.askNumber("count"), 0) << "a client off the server's network receives nothing";
}

// The only client restarting the library (as the hardware dialog does) meets the server it left,
// a server that is just ending (it checks for clients once a second), or a fresh one; whichever
// it meets, it gets a working bus.
TEST_F(ServerClientE2E, OnlyClientRestartingTheLibraryGetsAWorkingBus) {
    Client a;
    for (int round = 1; round <= 8; ++round) {
        SCOPED_TRACE(round);
        std::this_thread::sleep_for(std::chrono::milliseconds((round * 137) % 1100));
        startOn(a, 1);
        EXPECT_EQ(a.ask("clear"), "ok");
        EXPECT_EQ(a.ask("send 500 " + std::to_string(round)), "result 0");
        EXPECT_EQ(a.askNumber("wait 1 10000"), 1);
        EXPECT_EQ(a.ask("close"), "ok");
        EXPECT_EQ(a.ask("shutdown"), "ok");
    }
}

// What a client meets when it comes while the server is ending: the running event is still set,
// and nothing answers. It waits until the event clears and starts a fresh server.
TEST_F(ServerClientE2E, ServerThatShowsAsRunningButDoesNotAnswerIsReplaced) {
    auto objects = hv::TransportObjects::open();
    ASSERT_TRUE(objects);
    objects->initialise();
    auto running = ostrel::platform::NamedEvent::open(hv::kRunningEventName, ostrel::platform::EventReset::Manual);
    ASSERT_TRUE(running);
    running->set();

    Client a;
    ASSERT_TRUE(a.post("startup"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(liveServers().empty()) << "a running event is trusted at first";
    running.reset();
    objects.reset();

    EXPECT_EQ(a.answer(), "ok");
    ASSERT_EQ(liveServers().size(), 1u);
    EXPECT_EQ(a.ask("init 1"), "result 0 ");
    EXPECT_EQ(a.ask("send 600 1"), "result 0");
    EXPECT_EQ(a.askNumber("wait 1 10000"), 1);
}

TEST_F(ServerClientE2E, SwitchingNetworksTakesTheClientAndTheBusAlong) {
    Client a;
    startOn(a, 1);
    Client b;
    startOn(b, 1);

    EXPECT_EQ(a.ask("switch 1 3"), "result 0 ");
    EXPECT_EQ(a.ask("send 700 1"), "result 0");
    EXPECT_EQ(a.askNumber("wait 1 10000"), 1);
    EXPECT_EQ(b.askNumber("wait 1 500"), 0) << "b stayed on network 1";

    EXPECT_EQ(a.ask("switch 7 3"), "result 1 ") << "neither connect nor disconnect: nothing done";
    EXPECT_EQ(a.ask("switch 0 3"), "result 0 ");
    EXPECT_EQ(b.ask("send 701 2"), "result 0") << "the bus is on no network now";
    EXPECT_EQ(a.askNumber("wait 2 500"), 1);
    EXPECT_EQ(b.askNumber("count"), 0);
}

TEST_F(ServerClientE2E, EnumerationsAndTheClockComeFromTheServer) {
    Client a;
    startOn(a, 1);
    EXPECT_EQ(a.askNumber("hardware 4"), 1);
    const auto all = Client::words(a.ask("networks 1 32"));
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[1], "8") << "the built-in networks";
    EXPECT_NE(std::find(all.begin(), all.end(), "CANopen_250:4:250"), all.end());
    EXPECT_EQ(a.ask("networks 1 2"), "networks 2 CANopen_1000:1:1000 CANopen_800:2:800") << "no more than room for";

    const auto time = Client::words(a.ask("time"));
    ASSERT_EQ(time.size(), 4u);
    EXPECT_EQ(time[2], "0") << "no millisecond overflow";
    long long serverMs = 0;
    (void)std::from_chars(time[1].data(), time[1].data() + time[1].size(), serverMs);
    const auto ownMs = static_cast<long long>(ostrel::platform::tickMs());
    EXPECT_LT(std::llabs(ownMs - serverMs), 10'000) << "the server's millisecond clock";
}

TEST_F(ServerClientE2E, SelfReceiveCannotBeSwitchedOff) {
    Client a;
    startOn(a, 1);
    EXPECT_EQ(a.ask("selfrx 0"), "result -14 ");
    EXPECT_EQ(a.ask("selfrx 1"), "result 0 ");
    EXPECT_EQ(a.ask("send 300 7"), "result 0");
    EXPECT_EQ(a.askNumber("wait 1 10000"), 1) << "echoes still come";
}

TEST_F(ServerClientE2E, DeleteNetworkRefusesNetworksInUseAndBuiltInOnes) {
    Client a;
    startOn(a, 1);
    EXPECT_EQ(a.askNumber("delete 1"), -13) << "in use";
    EXPECT_EQ(a.askNumber("delete 8"), -14) << "built in";
    const long long added = a.askNumber("add Extra 125 1");
    ASSERT_GT(added, 8);
    EXPECT_EQ(a.askNumber("baud " + std::to_string(added)), 125);
    EXPECT_EQ(a.askNumber("delete " + std::to_string(added)), 0);
    EXPECT_EQ(a.askNumber("baud " + std::to_string(added)), 0) << "gone";
}

// CAN_Transmit as fast as the library lets it (one frame per post-transmit delay of 1 ms). Without
// that pause a receiver that the machine does not schedule for a while is lapped by the rings,
// which have no back-pressure from their readers.
TEST_F(ServerClientE2E, TenThousandFramesAtFullSpeedArriveCompleteAndInOrder) {
    Client a;
    startOn(a, 1);
    Client b;
    startOn(b, 1);

    EXPECT_EQ(a.ask("burst 768 10000"), "result 0");
    EXPECT_EQ(b.askNumber("wait 10000 60000"), 10000);
    EXPECT_EQ(b.ask("sequence 768 10000"), "sequence 10000 1 1");
    EXPECT_EQ(a.askNumber("wait 10000 60000"), 10000);
    EXPECT_EQ(a.ask("sequence 768 10000"), "sequence 10000 1 1") << "the sender's own echoes too";
}

// Without any pause the sender waits for its own echoes whenever 64 frames are out, so the server
// never falls a lap behind on the send ring.
TEST_F(ServerClientE2E, SenderWithoutPostTransmitDelayLosesNothingOnTheServersSide) {
    Client a;
    startOn(a, 1);
    ASSERT_EQ(a.ask("delay 0"), "ok");

    EXPECT_EQ(a.ask("burst 769 20000"), "result 0");
    EXPECT_EQ(a.askNumber("wait 20000 60000"), 20000);
    EXPECT_EQ(a.ask("sequence 769 20000"), "sequence 20000 1 1");
}

// The engine takes frames from the ring itself while it waits for them; while its callback holds it
// (10 ms every 100 frames), the reader thread takes them instead, and nothing is lost or reordered
// across the hand-overs. The sender keeps to a pace a receiver keeps up with on a busy machine.
TEST_F(ServerClientE2E, FramesKeepComingInOrderWhileTheReceiversEngineIsHeld) {
    Client a;
    startOn(a, 1);
    Client b;
    startOn(b, 1);
    ASSERT_EQ(a.ask("delay 0"), "ok");
    ASSERT_EQ(b.ask("stall 100 10"), "ok");

    EXPECT_EQ(a.ask("burst 770 8000 4"), "result 0");
    EXPECT_EQ(b.askNumber("wait 8000 60000"), 8000);
    EXPECT_EQ(b.ask("sequence 770 8000"), "sequence 8000 1 1");
}

// A receiver held up for more than a ring of frames (stopped here, as a debugger stops it) loses the
// oldest of them; once it runs again its status tells it so, once.
TEST_F(ServerClientE2E, ReceiverLappedInItsRingIsToldItLostFrames) {
    Client a;
    startOn(a, 1);
    Client b;
    startOn(b, 1);
    ASSERT_EQ(a.ask("delay 0"), "ok");
    const auto receiver = static_cast<pid_t>(b.askNumber("pid"));
    ASSERT_TRUE(stopOutsideTheRings(receiver));
    const std::string sent = a.ask("burst 771 3000");
    ::kill(receiver, SIGCONT);
    ASSERT_EQ(sent, "result 0");

    EXPECT_EQ(b.ask("majors 1 5000"), "majors 1 66048") << "frames lost (0x200), the first report (1 << 16)";
    EXPECT_LT(b.askNumber("wait 3000 500"), 3000);
}

// A request that finds no server running does not wait for one in vain: it starts a fresh server,
// and the client registers with it (network included) before the request goes out.
TEST_F(ServerClientE2E, KilledServerIsReplacedByTheNextRequestOfItsClient) {
    Client a;
    startOn(a, 1);
    const auto servers = liveServers();
    ASSERT_TRUE(killTheServer());

    const auto answer = Client::words(a.ask("delete 200", 40'000));
    ASSERT_EQ(answer.size(), 3u);
    EXPECT_EQ(answer[1], "0");
    long long elapsed = 0;
    (void)std::from_chars(answer[2].data(), answer[2].data() + answer[2].size(), elapsed);
    EXPECT_LE(elapsed, 5'000) << "served by a fresh server within seconds";
    const auto fresh = liveServers();
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_NE(fresh[0], servers[0]);

    Client b;
    startOn(b, 1);
    EXPECT_EQ(liveServers(), fresh) << "the next client joins it";
    EXPECT_EQ(b.ask("send 401 1"), "result 0");
    EXPECT_EQ(a.askNumber("wait 1 10000"), 1);
}

// An old server on its way out still holds the single-instance lock, so the server a client starts
// quits at once: the client starts another when that one has ended, not after 20 s.
TEST_F(ServerClientE2E, ServerThatQuitsAtOnceAsAlreadyRunningIsStartedAgain) {
    auto instance = ostrel::platform::NamedMutex::open("HalvornMgrSingleRunMutex");
    ASSERT_TRUE(instance);
    ASSERT_EQ(instance->lock(0), ostrel::platform::LockResult::Acquired);
    Client a;
    ASSERT_TRUE(a.post("startup"));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    instance->unlock();
    EXPECT_EQ(a.answer(10'000), "ok");
    EXPECT_EQ(a.ask("init 1"), "result 0 ");
    EXPECT_EQ(liveServers().size(), 1u);
}

TEST_F(ServerClientE2E, KilledServerIsReplacedWhileItsClientAsksNothing) {
    Client a;
    startOn(a, 1);
    const auto servers = liveServers();
    ASSERT_TRUE(killTheServer());
    EXPECT_EQ(a.ask("majors 1 10000"), "majors 1 257") << "a new server, joined and reported once";
    const auto fresh = liveServers();
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_NE(fresh[0], servers[0]);
}

// A receiver stays attached while its server is killed; a sender starts a new one. The receiver's
// read position lies far ahead of where the new server starts writing, in a ring full of the dead
// server's marked frames: it must take every frame of the new server, in order, and none of the old.
TEST_F(ServerClientE2E, ReceiverAttachedAcrossAServerRestartGetsOnlyTheNewServersFramesInOrder) {
    Client receiver;
    startOn(receiver, 1);
    {
        Client marker;
        startOn(marker, 1);
        ASSERT_EQ(marker.ask("delay 0"), "ok");
        EXPECT_EQ(marker.ask("burst 256 1700"), "result 0");
        ASSERT_EQ(receiver.askNumber("wait 1700 30000"), 1700);
        EXPECT_EQ(marker.ask("close"), "ok");
        EXPECT_EQ(marker.ask("shutdown"), "ok");
        ASSERT_TRUE(marker.quit());
    }
    EXPECT_EQ(receiver.ask("clear"), "ok");
    // The receiver sleeps through the restart, so that it meets the new server's ring only afterwards.
    ASSERT_TRUE(stopOutsideTheRings(receiver.pid()));
    ASSERT_TRUE(killTheServer());

    Client sender;
    startOn(sender, 1);
    ASSERT_EQ(liveServers().size(), 1u);
    ASSERT_EQ(sender.ask("delay 0"), "ok");
    EXPECT_EQ(sender.ask("burst 512 300"), "result 0");
    ::kill(receiver.pid(), SIGCONT);
    EXPECT_EQ(receiver.askNumber("wait 300 30000"), 300);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(receiver.ask("sequence 512 300"), "sequence 300 1 1") << "every new frame, in order";
    EXPECT_EQ(receiver.ask("sequence 256 0"), "sequence 0 1 1") << "none of the dead server's frames";
    EXPECT_EQ(receiver.askNumber("count"), 300);
}

// A client stays attached while its server is killed and a second client starts a new one. Without a
// restart of its own it registers with the new server again, network included, exchanges frames with
// the second client, learns of the restart once, and its SDO transfer in flight fails.
TEST_F(ServerClientE2E, ClientAttachedAcrossAServerRestartRegistersAgainAndCarriesOn) {
    Client a;
    startOn(a, 1);
    EXPECT_EQ(a.ask("upload 5 60000"), "result 0") << "node 5 never answers";
    ASSERT_TRUE(killTheServer());

    Client b;
    startOn(b, 1);
    EXPECT_EQ(a.ask("clear"), "ok");
    EXPECT_EQ(a.ask("send 801 1"), "result 0");
    EXPECT_EQ(b.askNumber("wait 1 10000"), 1);
    EXPECT_EQ(b.ask("frames"), "frames 1 801:1:01");
    EXPECT_EQ(b.ask("send 802 2"), "result 0");
    EXPECT_EQ(a.askNumber("wait 2 10000"), 2);
    EXPECT_EQ(a.ask("frames"), "frames 2 801:1:01 802:1:02");
    EXPECT_EQ(a.ask("completion 10000"), "completion -5") << "the transfer fails rather than waits 60 s";

    // With b off network 1 and the bus on none, only a's entry in the new server's list holds it.
    EXPECT_EQ(b.ask("switch 0 1"), "result 0 ");
    EXPECT_EQ(Client::words(b.ask("delete 1")).at(1), "-13") << "in use, not merely built in (-14)";
    EXPECT_EQ(a.ask("majors 1 10000"), "majors 1 257") << "one notice: restarted, the first time";
    EXPECT_EQ(a.ask("majors 2 300"), "majors 1 257");
}

// Each ring header in turn is left out of range by a peer that then goes away. The server repairs it
// and logs the repair once per event; the clients' next frames and requests go through and nobody
// is dropped.
TEST_F(ServerClientE2E, RingHeadersLeftOutOfRangeAreRepairedAndEveryClientCarriesOn) {
    const pid_t server = ostrel::platform::spawnDetached(binDir() + "/halvorn", {"1"});
    ASSERT_GT(server, 0);
    auto running = ostrel::platform::NamedEvent::open(hv::kRunningEventName, ostrel::platform::EventReset::Manual);
    ASSERT_TRUE(running && running->wait(20'000));
    running.reset();
    Client a;
    Client b;
    startOn(a, 1);
    startOn(b, 1);
    ASSERT_EQ(liveServers(), std::vector<pid_t>{server});

    struct Corruption {
        const char* ring;
        bool capacity;
        uint32_t value;
    };
    std::vector<Corruption> corruptions;
    for (const char* ring : {"command", "response", "send", "receive"}) {
        for (const auto& [capacity, value] : {std::pair{false, 0xFFFFFFFFu}, std::pair{false, 1000u},
                                              std::pair{true, 0xFFFFFFFFu}, std::pair{true, 0u}}) {
            corruptions.push_back({ring, capacity, value});
        }
    }
    int frames = 0;
    for (const Corruption& c : corruptions) {
        SCOPED_TRACE(std::string(c.ring) + (c.capacity ? " capacity " : " write index ") + std::to_string(c.value));
        {
            auto peer = hv::TransportObjects::open();
            ASSERT_TRUE(peer);
            hv::ServerBlock& block = peer->block();
            const std::string ring = c.ring;
            hv::ServerRingHeader& header = ring == "command"    ? block.commandRing.header
                                           : ring == "response" ? block.responseRing.header
                                           : ring == "send"     ? block.sendRing.header
                                                                : block.receiveRing.header;
            (c.capacity ? header.capacity : header.writeIndex) = c.value;
        }
        EXPECT_EQ(a.ask("send 385 " + std::to_string(frames % 256)), "result 0");
        EXPECT_EQ(b.ask("send 386 " + std::to_string(frames % 256)), "result 0");
        frames += 2;
        EXPECT_EQ(a.askNumber("baud 3"), 500);
        EXPECT_EQ(b.askNumber("baud 4"), 250);
        EXPECT_EQ(a.askNumber("wait " + std::to_string(frames) + " 10000"), frames);
        EXPECT_EQ(b.askNumber("wait " + std::to_string(frames) + " 10000"), frames);
    }
    const std::string log =
        readText(environment_.runtimeDir() + "/halvorn_debug." + ostrel::platform::ipcNamespace() + ".txt");
    for (const char* ring : {"command", "response", "send", "receive"}) {
        // At most once for each scribble: a writer's own count may put a hint right before the server looks.
        EXPECT_LE(countOccurrences(log, std::string("Repaired the ") + ring + " ring ("), 4) << ring << "\n" << log;
    }
    EXPECT_EQ(countOccurrences(log, "Removing dead client"), 0);
    EXPECT_EQ(liveServers(), std::vector<pid_t>{server});
}

// Mode 1 finds the server beside the program first, then beside the library itself: a program in
// another folder (a tool installed elsewhere, a script through an FFI) starts it from the library's.
TEST_F(ServerClientE2E, ProgramInAnotherFolderStartsTheServerBesideTheLibrary) {
    const ScratchDir scratch;
    const std::string& folder = scratch.path();
    ASSERT_FALSE(folder.empty());
    std::filesystem::copy_file(binDir() + "/drennic_e2e_client", folder + "/client");
    const std::string libraryDir = std::filesystem::path(DRENNIC_LIBRARY_FILE).parent_path().string();
    Client a(folder + "/client", {"LD_LIBRARY_PATH=" + libraryDir});
    startOn(a, 1);
    const auto servers = liveServers();
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(std::filesystem::canonical("/proc/" + std::to_string(servers[0]) + "/exe"),
              std::filesystem::canonical(libraryDir + "/halvorn"));
    Client b;
    startOn(b, 1);
    EXPECT_EQ(a.ask("send 301 7"), "result 0");
    EXPECT_EQ(b.askNumber("wait 1 10000"), 1);
    EXPECT_EQ(b.ask("frames"), "frames 1 301:1:07");
}

// Neither folder holds the server: the failure names both (after the usual 20 s waits).
TEST_F(ServerClientE2E, ServerInNeitherFolderIsReportedWithBothFolders) {
    const ScratchDir programScratch;
    const ScratchDir libraryScratch;
    const std::string& programDir = programScratch.path();
    const std::string& libraryDir = libraryScratch.path();
    ASSERT_FALSE(programDir.empty() || libraryDir.empty());
    std::filesystem::copy_file(binDir() + "/drennic_e2e_client", programDir + "/client");
    const auto library = std::filesystem::canonical(DRENNIC_LIBRARY_FILE);
    std::filesystem::copy_file(library, libraryDir + "/libdrennic.so." + std::to_string(DRENNIC_SOVERSION));
    Client a(programDir + "/client", {"LD_LIBRARY_PATH=" + libraryDir});
    EXPECT_EQ(a.ask("startup", 90'000), "ok");
    EXPECT_EQ(a.ask("init 1", 90'000),
              "result -7 Failed to get the CAN server version. Please restart all CAN applications. The CAN server "
              "\"halvorn\" is neither in " + programDir + " nor in " + libraryDir + ".");
    EXPECT_TRUE(liveServers().empty());
}

// A stand-in for the server in this process: it answers as the test tells it, so that responses
// can be addressed to other processes or arrive late.
class ScriptedServer {
public:
    explicit ScriptedServer(std::array<uint8_t, 2> version = {hv::kServerVersionMajor, hv::kServerVersionMinor})
        : objects_(hv::TransportObjects::open()), version_(version) {
        if (!objects_) return;
        objects_->initialise();
        running_ = ostrel::platform::NamedEvent::open(hv::kRunningEventName, ostrel::platform::EventReset::Manual);
        if (running_) running_->set();
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    [[nodiscard]] bool ready() const { return objects_ && running_; }

    void respond(uint8_t code, uint32_t addressee, std::initializer_list<uint8_t> data) {
        hv::ServerCommand entry{};
        entry.code = code;
        entry.length = static_cast<int32_t>(data.size());
        std::copy(data.begin(), data.end(), entry.data);
        entry.processId = addressee;
        (void)objects_->responseRing().write(entry);
    }

private:
    void serve() {
        hv::RingReader<hv::ServerCommand> commands(objects_->commandRing());
        auto command = std::make_unique<hv::ServerCommand>();
        while (!stop_) {
            if (commands.read(*command).status != hv::RingReadStatus::Entry) {
                (void)objects_->commandEvent().wait(10);
                continue;
            }
            const uint32_t sender = command->processId;
            if (command->code == hv::ServerCmd_GetVersion) {
                respond(hv::ServerResp_GetVersion, sender, {version_[0], version_[1]});
            } else if (command->code == hv::ServerCmd_SetHardwareConfiguration) {
                respond(hv::ServerResp_SetHardwareConfiguration, sender, {0});
            } else if (command->code == hv::ServerCmd_GetBaudrate) {
                // A broadcast and an answer for somebody else come first; ours follows later.
                respond(hv::ServerResp_MajorError, 0, {9});
                respond(hv::ServerResp_GetBaudrate, sender + 1, {0x03, 0xE7});
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                respond(hv::ServerResp_GetBaudrate, sender, {0x00, static_cast<uint8_t>(command->data[1] * 10)});
            }
        }
    }

    std::unique_ptr<hv::TransportObjects> objects_;
    const std::array<uint8_t, 2> version_;
    std::unique_ptr<ostrel::platform::NamedEvent> running_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(ServerClientE2E, ResponsesForOtherProcessesAndStaleResponsesAreNeverTaken) {
    ScriptedServer server;
    ASSERT_TRUE(server.ready());
    Client a;
    ASSERT_EQ(a.ask("startup"), "ok");
    const auto pid = static_cast<uint32_t>(a.askNumber("pid"));
    ASSERT_EQ(pid, static_cast<uint32_t>(a.pid()));

    // An answer that nobody asked for is stale by the time a request comes.
    server.respond(hv::ServerResp_GetBaudrate, pid, {0x03, 0x09});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    EXPECT_EQ(a.askNumber("baud 3"), 30) << "neither the stale answer (777), the broadcast nor another's (999)";
    EXPECT_EQ(a.askNumber("baud 5"), 50);
    EXPECT_TRUE(liveServers().empty()) << "a running server is not started again";
}

// Context switches a thread made of its own accord: one each time it went to sleep.
long sleepsOf(pid_t thread) {
    std::ifstream in("/proc/" + std::to_string(thread) + "/task/" + std::to_string(thread) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(line.find(':') + 1));
    }
    return -1;
}

// A request that the server leaves unanswered sleeps on the response event between its looks for
// the server, instead of reading the response ring every millisecond for 20 s.
TEST_F(ServerClientE2E, WaitingRequestSleepsUntilItsAnswerComes) {
    ScriptedServer server;  // it never answers the time
    ASSERT_TRUE(server.ready());
    Client a;
    ASSERT_EQ(a.ask("startup"), "ok");
    ASSERT_TRUE(a.post("time"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long before = sleepsOf(a.pid());  // the thread that asks
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(sleepsOf(a.pid()) - before, 100) << "about one a look (every 200 ms), not one a millisecond";
    EXPECT_EQ(a.answer(), "time 0 0 0");
}

// A server that keeps the rings the way of 1.0 (no count of entries: its answers are never seen),
// and one that answers 1.0: the client names both versions at once instead of waiting for answers.
TEST_F(ServerClientE2E, ServerOfAnotherProtocolVersionIsNamedAtOnce) {
    const std::string refused = "result -7 The CAN server speaks protocol version 1.0, this library 3.0. Please close "
                                "all CAN applications and start them from one installation.";
    {
        auto running = ostrel::platform::NamedEvent::open(hv::kRunningEventName, ostrel::platform::EventReset::Manual);
        ASSERT_TRUE(running);
        running->set();
        Client a;
        EXPECT_EQ(a.ask("startup", 5'000), "ok");
        EXPECT_EQ(a.ask("init 1", 5'000), refused);
    }
    ScriptedServer server({1, 0});
    ASSERT_TRUE(server.ready());
    Client b;
    EXPECT_EQ(b.ask("startup", 5'000), "ok");
    EXPECT_EQ(b.ask("init 1", 5'000), refused);
}

// A program of another installation holds an object in a format of its own (here: another format
// version): the client says so at once, and a server started then says so in its debug log.
TEST_F(ServerClientE2E, ObjectsHeldInAnotherFormatAreNamedAsAnotherInstallations) {
    auto foreign = ostrel::platform::NamedMutex::open(hv::kCommandMutexName);
    ASSERT_TRUE(foreign);
    const std::string file = "/dev/shm/ostrel." + ostrel::platform::ipcNamespace() + "." + hv::kCommandMutexName;
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const uint32_t olderFormat = 1;
    EXPECT_EQ(::pwrite(fd, &olderFormat, sizeof olderFormat, 4), 4) << "the header's format version";
    ::close(fd);
    const std::string advice = "another installation. Please close all CAN applications and start them from one "
                               "installation.";

    Client a;
    EXPECT_EQ(a.ask("startup", 10'000), "ok");
    EXPECT_NE(a.ask("init 1", 10'000).find(advice), std::string::npos);
    EXPECT_TRUE(liveServers().empty()) << "no server is started that could not open the objects";
    const pid_t server = ostrel::platform::spawnDetached(binDir() + "/halvorn", {"1"});
    ASSERT_GT(server, 0);
    EXPECT_TRUE(eventually(10'000, [] { return liveServers().empty(); }));
    const std::string log =
        readText(environment_.runtimeDir() + "/halvorn_debug." + ostrel::platform::ipcNamespace() + ".txt");
    EXPECT_NE(log.find("HALVORNMEMORYCMDMUTEX is held in another format by a program of " + advice),
              std::string::npos)
        << log;
}

} // namespace
} // namespace drennic::e2e

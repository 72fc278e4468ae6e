// A CAN server killed over and over while its client asks: each request goes to the server that
// replaces the killed one. Fifty rounds of a server start each, so this test starts early.
#include "e2e_support.h"

#include <halvorn/server_block.h>
#include <halvorn/transport.h>
#include <platform/registry.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <optional>
#include <csignal>
#include <string>

namespace drennic::e2e {
namespace {

constexpr int kRounds = 50;
// A server start and a registration; a request left to its own 20 s would take longer.
constexpr long long kServedWithinMs = 10'000;

class RestartE2E : public ClientProgramTest {
protected:
    RestartE2E() : ClientProgramTest("restart") {}
};

TEST_F(RestartE2E, RequestRightAfterEachServerKillIsServedByTheNextServer) {
    Client a;
    startOn(a, 1);
    for (int round = 0; round < kRounds; ++round) {
        std::vector<pid_t> servers;
        ASSERT_TRUE(eventually(10'000, [&] { return (servers = liveServers()).size() == 1; })) << "round " << round;
        ::kill(servers[0], SIGKILL);
        const auto answer = Client::words(a.ask("baud 3", 30'000));
        ASSERT_EQ(answer.size(), 3u) << "round " << round;
        long long elapsed = -1;
        (void)std::from_chars(answer[2].data(), answer[2].data() + answer[2].size(), elapsed);
        EXPECT_EQ(answer[1], "500") << "round " << round;
        EXPECT_LT(elapsed, kServedWithinMs) << "round " << round;
    }
}

// The user networks stored: handle -> name.
std::map<int, std::string> storedByHandle() {
    const auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser,
                                                         "Software\\Ostrel\\Halvorn\\Networks");
    std::map<int, std::string> stored;
    for (const auto& value : key ? key->values() : std::vector<ostrel::platform::RegistryValue>{}) {
        const auto comma = value.text.rfind(',');
        if (value.type == ostrel::platform::RegistryType::String && comma != std::string::npos) {
            stored[std::stoi(value.name)] = value.text.substr(comma + 1);
        }
    }
    return stored;
}

// The user networks stored under `name`.
long storedNetworks(const std::string& name) {
    const auto stored = storedByHandle();
    return std::count_if(stored.begin(), stored.end(), [&](const auto& n) { return n.second == name; });
}

// A request written into a new server's command ring before that server has counted its start (its
// other rings are held by a stopped peer), and one that the killed server carried out without
// answering (a peer held its response ring): either is carried out once.
struct AcrossRestart {
    const char* name;
    bool writtenIntoTheNewRing;
};

void PrintTo(const AcrossRestart& c, std::ostream* out) { *out << c.name; }

class NetworkAddedAcrossARestart : public RestartE2E, public ::testing::WithParamInterface<AcrossRestart> {};

TEST_P(NetworkAddedAcrossARestart, IsStoredOnce) {
    const AcrossRestart& c = GetParam();
    Client a;
    startOn(a, 1);
    auto peer = ostrel::halvorn::TransportObjects::open();
    ASSERT_TRUE(peer);
    // Held by a stopped peer: the server's writes to them wait, and give up after 500 ms.
    std::vector<std::unique_ptr<ostrel::platform::NamedMutex>> held;
    const auto hold = [&](const char* name) {
        held.push_back(ostrel::platform::NamedMutex::open(name));
        return held.back() && held.back()->lock(1000) == ostrel::platform::LockResult::Acquired;
    };
    const uint32_t starts = peer->serverStarts();
    const std::string add = std::string("add ") + c.name + " 250 0";
    ASSERT_TRUE(hold(ostrel::halvorn::kResponseMutexName));
    if (c.writtenIntoTheNewRing) {
        ASSERT_TRUE(hold(ostrel::halvorn::kSendMutexName) && hold(ostrel::halvorn::kReceiveMutexName));
        const uint32_t epoch = peer->commandRing().epoch();
        ASSERT_TRUE(killTheServer());
        // The client starts a server, which starts the command ring afresh first.
        ASSERT_TRUE(eventually(20'000, [&] { return peer->commandRing().epoch() != epoch; }));
        ASSERT_TRUE(a.post(add));
    } else {
        ASSERT_TRUE(a.post(add));
        ASSERT_TRUE(eventually(20'000, [&] { return storedNetworks(c.name) == 1; }));
        ASSERT_TRUE(killTheServer());
    }
    ASSERT_TRUE(eventually(20'000, [&] { return peer->serverStarts() != starts; }));
    held.clear();
    const auto answer = Client::words(a.answer());
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_NE(answer[1], "-1") << "the network's handle";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a second writing would be done by now
    EXPECT_EQ(storedNetworks(c.name), 1);
}

INSTANTIATE_TEST_SUITE_P(Restart, NetworkAddedAcrossARestart,
                         ::testing::Values(AcrossRestart{"WrittenIntoTheNewRing", true},
                                           AcrossRestart{"CarriedOutUnanswered", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two programs add and delete networks while their server is killed between carrying a command out and
// answering it (a peer holds the answers back), or before carrying it out (the server is stopped), or
// while the command ring's epoch word is moved under a server that keeps running. The programs are held
// over the crash and go on one after the other. Every program ends up owning exactly the networks it
// added, and none of another's is deleted.
enum class Crash { AfterCarryingOut, BeforeCarryingOut, EpochWordMovedOnly };
struct NetworkOp {
    int client;             // 0 or 1
    const char* added;      // a network to add under this name, or
    const char* deleted = nullptr;  // the name of a network this client added before, to delete
};
struct RepeatCase {
    const char* name;
    std::vector<NetworkOp> before;  // answered before anything happens
    std::vector<NetworkOp> during;  // in this order, each carried out (or written) before the next
    Crash crash;
    bool laterFirst = false;  // the programs go on after the crash in the other order
};

void PrintTo(const RepeatCase& c, std::ostream* out) { *out << c.name; }

const RepeatCase kRepeatCases[] = {
    {"AddsOfBothCarriedOutUnanswered", {}, {{0, "Line"}, {1, "Line"}}, Crash::AfterCarryingOut},
    {"DeleteCarriedOutAndItsHandleGivenToAnotherAdd", {{0, "A1"}}, {{0, nullptr, "A1"}, {1, "B1"}},
     Crash::AfterCarryingOut, true},
    {"AddNotCarriedOutBesideAnotherProgramsNetworkOfTheSameName", {{1, "Same"}}, {{0, "Same"}},
     Crash::BeforeCarryingOut},
    {"DeleteNotCarriedOut", {{0, "A2"}, {1, "B2"}}, {{0, nullptr, "A2"}, {1, "B3"}}, Crash::BeforeCarryingOut},
    {"EpochWordMovedWhileAnAddWaits", {}, {{0, "Moved"}}, Crash::EpochWordMovedOnly},
};

// A command of `client` with `code` written into the command ring.
bool commandWritten(ostrel::halvorn::TransportObjects& peer, pid_t client, uint8_t code) {
    const auto& entries = peer.block().commandRing.entries;
    return std::any_of(std::begin(entries), std::end(entries), [&](const ostrel::halvorn::ServerCommand& c) {
        return c.code == code && c.processId == static_cast<uint32_t>(client);
    });
}

// The process is stopped (by a signal).
bool stopped(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T';
}

// Stops a program where it holds none of the rings' mutexes (a program stopped inside a write would hold
// every other writer up); false when that never came about.
bool stopOutsideTheRings(ostrel::halvorn::TransportObjects& peer, pid_t program) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (::kill(program, SIGSTOP) != 0 || !eventually(10'000, [&] { return stopped(program); })) return false;
        bool free = true;
        for (auto* mutex : {&peer.commandRing().mutex(), &peer.responseRing().mutex(), &peer.sendRing().mutex(),
                            &peer.receiveRing().mutex()}) {
            free = free && ostrel::platform::NamedMutexLock(*mutex, 0).held();
        }
        if (free) return true;
        ::kill(program, SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class RepeatsAcrossACrash : public RestartE2E, public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(RepeatsAcrossACrash, EveryProgramOwnsExactlyTheNetworksItAdded) {
    const RepeatCase& c = GetParam();
    Client clients[2];
    for (Client& client : clients) startOn(client, 1);
    std::map<int, std::string> owned[2];  // handle -> name, as each program was answered
    const auto post = [&](const NetworkOp& op) {
        if (op.added != nullptr) return clients[op.client].post(std::string("add ") + op.added + " 250 0");
        for (const auto& [handle, name] : owned[op.client]) {
            if (name == op.deleted) return clients[op.client].post("delete " + std::to_string(handle));
        }
        return false;
    };
    const auto settle = [&](const NetworkOp& op, const std::string& answer) {
        const auto words = Client::words(answer);
        ASSERT_GE(words.size(), 2u) << op.client << ": " << answer;
        const int value = std::stoi(words[1]);
        if (op.added != nullptr) {
            ASSERT_GT(value, 8) << "the new network's handle";
            EXPECT_TRUE(owned[op.client].emplace(value, op.added).second) << "a handle given twice: " << value;
        } else {
            ASSERT_EQ(value, 0) << "deleted";
            std::erase_if(owned[op.client], [&](const auto& n) { return n.second == op.deleted; });
        }
    };
    for (const NetworkOp& op : c.before) {
        ASSERT_TRUE(post(op));
        settle(op, clients[op.client].answer());
    }

    auto peer = ostrel::halvorn::TransportObjects::open();
    ASSERT_TRUE(peer);
    const uint32_t starts = peer->serverStarts();
    std::vector<pid_t> servers;
    ASSERT_TRUE(eventually(10'000, [&] { return (servers = liveServers()).size() == 1; }));
    std::unique_ptr<ostrel::platform::NamedMutex> answers;
    std::optional<ostrel::platform::NamedMutexLock> heldBack;
    if (c.crash == Crash::AfterCarryingOut) {
        // Held by a stopped peer: the server's answers wait for it, and are dropped after 500 ms.
        answers = ostrel::platform::NamedMutex::open(ostrel::halvorn::kResponseMutexName);
        ASSERT_TRUE(answers);
        heldBack.emplace(*answers, 1000);
        ASSERT_TRUE(heldBack->held());
    } else {
        ASSERT_TRUE(stopOutsideTheRings(*peer, servers[0]));
    }
    for (const NetworkOp& op : c.during) {
        const std::size_t stored = storedByHandle().size();
        ASSERT_TRUE(post(op));
        if (c.crash == Crash::AfterCarryingOut) {
            ASSERT_TRUE(eventually(20'000, [&] { return storedByHandle().size() != stored; })) << "carried out";
        } else {
            const uint8_t code = op.added != nullptr ? ostrel::halvorn::ServerCmd_AddNetwork
                                                     : ostrel::halvorn::ServerCmd_DeleteNetwork;
            ASSERT_TRUE(eventually(20'000, [&] { return commandWritten(*peer, clients[op.client].pid(), code); }));
        }
    }
    if (c.crash == Crash::EpochWordMovedOnly) {
        ++peer->ringState().commandRing.epoch;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the waiting request looks meanwhile
        ASSERT_EQ(::kill(servers[0], SIGCONT), 0);
    } else {
        for (const NetworkOp& op : c.during) ASSERT_TRUE(stopOutsideTheRings(*peer, clients[op.client].pid()));
        ASSERT_TRUE(killTheServer());
        heldBack.reset();
    }
    std::vector<NetworkOp> order = c.during;
    if (c.laterFirst) std::reverse(order.begin(), order.end());
    for (const NetworkOp& op : order) {
        ::kill(clients[op.client].pid(), SIGCONT);
        settle(op, clients[op.client].answer());
    }
    EXPECT_TRUE(c.crash == Crash::EpochWordMovedOnly || peer->serverStarts() != starts) << "a new server";

    std::map<int, std::string> expected = owned[0];
    for (const auto& [handle, name] : owned[1]) {
        EXPECT_TRUE(expected.emplace(handle, name).second) << "both programs were given network " << handle;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a second writing would be done by now
    EXPECT_EQ(storedByHandle(), expected);
}

INSTANTIATE_TEST_SUITE_P(Restart, RepeatsAcrossACrash, ::testing::ValuesIn(kRepeatCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace drennic::e2e

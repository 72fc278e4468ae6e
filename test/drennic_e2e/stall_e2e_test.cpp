// A CAN server, its client-receive thread alone, or a client that stops running for longer than
// the 15 s ping limit (a debugger, a frozen machine, heavy swapping, a driver that blocks) and then
// goes on: nobody is lost for good; and a client that the server cannot see as a process is kept.
// Each case waits out the real limits, so these tests start first and run beside the others.
#include "e2e_support.h"
#include "ring_pause.h"

#include <halvorn/transport.h>

#include <charconv>
#include <iostream>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

#include <sys/ptrace.h>

namespace drennic::e2e {
namespace {

class StallE2E : public ClientProgramTest {
protected:
    StallE2E() : ClientProgramTest("stall") {}
};

TEST_F(StallE2E, ServerStoppedForSeventeenSecondsKeepsItsClient) {
    Client a;
    startOn(a, 1);
    const auto servers = liveServers();
    ASSERT_EQ(servers.size(), 1u);
    // The command ring stays locked until the resumed server has judged its clients once, so that it
    // cannot read the waiting pings first.
    auto commands = ostrel::platform::NamedMutex::open(ostrel::halvorn::kCommandMutexName);
    ASSERT_TRUE(commands && stopOutsideTheRings(servers[0]));
    {
        ostrel::platform::NamedMutexLock locked(*commands, 1000);
        ASSERT_TRUE(locked.held());
        std::this_thread::sleep_for(std::chrono::seconds(17));
        ::kill(servers[0], SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));  // clean-up passes and the stop rules

    EXPECT_EQ(liveServers(), servers) << "the server carries on";
    EXPECT_EQ(a.askNumber("baud 3"), 500);
    EXPECT_EQ(a.ask("send 900 1"), "result 0");
    EXPECT_EQ(a.askNumber("wait 1 10000"), 1);
    EXPECT_EQ(a.ask("majors 1 300"), "majors 0") << "never dropped, nothing to report";
}

// The pings wait unread in the command ring while the client-receive thread stands still (in
// practice a driver that blocks while it opens an interface).
TEST_F(StallE2E, ClientReceiveThreadStoppedForSeventeenSecondsDropsNoClient) {
    Client a;
    startOn(a, 1);
    const auto servers = liveServers();
    ASSERT_EQ(servers.size(), 1u);
    const pid_t receiver = threadNamed(servers[0], "client-rx");
    // Stopped as a debugger stops one thread, and let go by the detach.
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, receiver, nullptr, nullptr), 0);
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, receiver, nullptr, nullptr), 0);
    ASSERT_TRUE(eventually(10'000, [&] { return ::waitpid(receiver, nullptr, __WALL | WNOHANG) == receiver; }));
    std::this_thread::sleep_for(std::chrono::seconds(17));
    ASSERT_EQ(::ptrace(PTRACE_DETACH, receiver, nullptr, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // clean-up passes and the stop rules

    EXPECT_EQ(liveServers(), servers) << "the server carries on";
    EXPECT_EQ(a.askNumber("baud 3"), 500);
    EXPECT_EQ(a.ask("majors 1 300"), "majors 0") << "never dropped, nothing to report";
}

// Where user namespaces are refused (most containers): a client in this process that speaks with an
// id naming no process here, as one in a namespace of its own does, pings for 10 s and is never asked
// to register again.
void clientWithAnIdNamingNoProcessIsKept(uint32_t id) {
    auto stranger = ostrel::halvorn::RingClient::connect(id);
    ASSERT_TRUE(stranger);
    ASSERT_EQ(stranger->sendCommand(ostrel::halvorn::ServerCmd_RegisterClient, nullptr, 0),
              ostrel::halvorn::RingWriteResult::Written);
    const uint8_t ticket[ostrel::halvorn::kPingTicketLength] = {0, 0, 0, 1};
    auto response = std::make_unique<ostrel::halvorn::ServerCommand>();
    int askedAgain = 0;
    for (int ping = 0; ping < 20; ++ping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        (void)stranger->sendCommand(ostrel::halvorn::ServerCmd_Ping, ticket, sizeof ticket);
        while (stranger->readResponse(*response).status == ostrel::halvorn::RingReadStatus::Entry) {
            askedAgain += response->code == ostrel::halvorn::ServerResp_NotRegistered ? 1 : 0;
        }
    }
    EXPECT_EQ(askedAgain, 0) << "never dropped";
}

// A client in a PID namespace of its own (a container sharing /dev/shm with the server) has a
// process id that names no process here, yet it pings.
TEST_F(StallE2E, ClientInItsOwnPidNamespaceRegistersOnce) {
    const std::string unshare = "unshare --user --map-root-user --pid --fork --mount-proc --kill-child";
    long long inside = 0;  // the id the client gets in its namespace
    ASSERT_TRUE(std::ifstream("/proc/sys/kernel/pid_max") >> inside);
    inside -= 100;
    ASSERT_NE(::kill(static_cast<pid_t>(inside), 0), 0) << "the id names a process here";

    Client a;
    startOn(a, 1);
    if (std::system((unshare + " true 2>/dev/null").c_str()) != 0) {
        std::cout << "[   NOTE   ] unshare --user is refused here: the client is one of this process with an id "
                     "that names no process\n";
        clientWithAnIdNamingNoProcessIsKept(static_cast<uint32_t>(inside));
        EXPECT_EQ(a.askNumber("baud 3"), 500);
        return;
    }
    Client b("/bin/sh", {},
             {"-c", unshare + " sh -c 'echo " + std::to_string(inside - 1) +
                        " >/proc/sys/kernel/ns_last_pid && \"$0\"; true' " + binDir() + "/drennic_e2e_client"});
    ASSERT_EQ(b.askNumber("pid"), inside);
    startOn(b, 1);
    std::this_thread::sleep_for(std::chrono::seconds(10));

    EXPECT_EQ(b.ask("majors 1 300"), "majors 0") << "never asked to register again";
    EXPECT_EQ(b.askNumber("baud 3"), 500);
}

// Alone, the dropped client's server ends, and its next request starts a new one; beside another
// client, the server asks it to register again. Either way it is served within seconds, with its
// network, and the program learns of it once.
class ClientStall : public StallE2E, public ::testing::WithParamInterface<bool> {};

TEST_P(ClientStall, ClientStoppedForSeventeenAndAHalfSecondsIsServedAgainWithinSeconds) {
    const bool withOther = GetParam();
    Client a;
    startOn(a, 1);
    std::optional<Client> b;
    if (withOther) {
        b.emplace();
        startOn(*b, 1);
    }
    const auto servers = liveServers();
    ASSERT_TRUE(stopOutsideTheRings(a.pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(17'500));
    if (!withOther) {
        ASSERT_TRUE(eventually(10'000, [] { return liveServers().empty(); })) << "dropped, its server ends";
    }
    ::kill(a.pid(), SIGCONT);

    const auto baud = Client::words(a.ask("baud 3"));
    ASSERT_EQ(baud.size(), 3u);
    EXPECT_EQ(baud[1], "500");
    long long elapsedMs = -1;
    (void)std::from_chars(baud[2].data(), baud[2].data() + baud[2].size(), elapsedMs);
    EXPECT_LT(elapsedMs, 5'000);
    EXPECT_EQ(a.ask("send 901 1"), "result 0");
    EXPECT_EQ(a.askNumber("wait 1 10000"), 1) << "back on its network";
    EXPECT_EQ(a.ask("majors 1 10000"), "majors 1 257");
    if (withOther) {
        EXPECT_EQ(liveServers(), servers);
        EXPECT_EQ(b->ask("switch 0 1"), "result 0 ");
        EXPECT_EQ(Client::words(b->ask("delete 1")).at(1), "-13") << "a's entry holds network 1 again";
    }
}

INSTANTIATE_TEST_SUITE_P(Alone, ClientStall, ::testing::Values(false));
INSTANTIATE_TEST_SUITE_P(WithAnotherClient, ClientStall, ::testing::Values(true));

} // namespace
} // namespace drennic::e2e

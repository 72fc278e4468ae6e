// How a client starts the CAN server: from a program folder whose `halvorn` is a script that counts
// its starts and then quits, starts slowly, or runs the real server.
#include "e2e_support.h"

#include <halvorn/server_block.h>
#include <platform/ipc.h>
#include <platform/process.h>

#include <charconv>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/ptrace.h>

namespace drennic::e2e {
namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The lines of a file that read `text`.
int linesOf(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line == text ? 1 : 0;
    return n;
}

// A copy of the client program beside a `halvorn` made of `body`, whose starts "$0.starts" counts; without
// a body, beside a copy of the library and no server at all.
class ProgramFolder {
public:
    explicit ProgramFolder(const char* body) {
        std::filesystem::copy_file(binDir() + "/drennic_e2e_client", scratch_.file("client"));
        if (body == nullptr) {
            const std::filesystem::path library = std::filesystem::canonical(DRENNIC_LIBRARY_FILE);
            std::filesystem::copy_file(library, scratch_.file("libdrennic.so." + std::to_string(DRENNIC_SOVERSION)));
            libraryDir_ = scratch_.path();
            return;
        }
        std::ofstream(scratch_.file("halvorn")) << "#!/bin/sh\necho start >>\"$0.starts\"\n" << body << "\n";
        std::filesystem::permissions(scratch_.file("halvorn"), std::filesystem::perms::owner_all);
    }
    explicit ProgramFolder(const std::string& body) : ProgramFolder(body.c_str()) {}
    Client client() const { return Client(scratch_.file("client"), {"LD_LIBRARY_PATH=" + libraryDir_}); }
    int starts() const { return linesOf(scratch_.file("halvorn.starts"), "start"); }

private:
    ScratchDir scratch_;
    std::string libraryDir_ = std::filesystem::path(DRENNIC_LIBRARY_FILE).parent_path().string();
};

long long elapsedOf(const std::string& answer) {
    const auto w = Client::words(answer);
    long long ms = -1;
    if (w.size() == 3) (void)std::from_chars(w[2].data(), w[2].data() + w[2].size(), ms);
    return ms;
}

// Takes the byte of a named object's file that an opener holds while it opens or closes the object,
// as a process stopped inside that open (in a debugger, say) does; closing the file lets it go.
int stopAnOpenerOf(const std::string& object) {
    const std::string file = "/dev/shm/ostrel." + ostrel::platform::ipcNamespace() + "." + object;
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct flock guard{};
    guard.l_type = F_WRLCK;
    guard.l_len = 1;  // byte 0
    return fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &guard) == 0 ? fd : -1;
}

class ServerStartE2E : public ClientProgramTest {
protected:
    ServerStartE2E() : ClientProgramTest("start") {}
};

// The running server is killed, and the program folder's server quits at once (a broken installation),
// or there is none to start at all: the request ends within its limit, at its next look when no server can
// be started, and the server is started a few times at most.
struct CannotStart {
    const char* name;
    const char* body;  // the program folder's server; none at all when null
    long long withinMs;
};
void PrintTo(const CannotStart& c, std::ostream* out) { *out << c.name; }

class ServerThatCannotStart : public ServerStartE2E, public ::testing::WithParamInterface<CannotStart> {};

TEST_P(ServerThatCannotStart, FailsTheRequestWithinItsLimitAndIsStartedBoundedly) {
    const pid_t real = ostrel::platform::spawnDetached(binDir() + "/halvorn", {"0"});
    ASSERT_GT(real, 0);
    ASSERT_TRUE(eventually(20'000, [] {
        return ostrel::platform::NamedEvent::peek(ostrel::halvorn::kRunningEventName) ==
               ostrel::platform::NamedEvent::Look::Set;
    }));
    const ProgramFolder folder(GetParam().body);
    Client a = folder.client();
    startOn(a, 1);
    ASSERT_TRUE(killTheServer());

    const std::string baud = a.ask("baud 3");
    EXPECT_EQ(Client::words(baud).at(1), "0");
    EXPECT_LT(elapsedOf(baud), GetParam().withinMs);
    const auto closing = Clock::now();
    EXPECT_EQ(a.ask("close"), "ok");
    EXPECT_LT(msSince(closing), 5'000) << "within a second on a quiet machine";
    EXPECT_LE(folder.starts(), 20) << "a few at once, then after growing pauses";
}

INSTANTIATE_TEST_SUITE_P(
    Start, ServerThatCannotStart,
    ::testing::Values(CannotStart{"QuitsAtOnce", "exit 1", 30'000},  // its own limit is 20 s
                      CannotStart{"NoServerAnywhere", nullptr, 5'000}),  // a look every 200 ms
    [](const auto& info) { return std::string(info.param.name); });

// With the ping thread stopped only the waiting request's own look can replace the killed server;
// it looks again and again while the replacement is slow to start, and starts it once.
TEST_F(ServerStartE2E, WaitingRequestReplacesAKilledServerItselfAndStartsItOnce) {
    const ProgramFolder folder("sleep 2; exec " + binDir() + "/halvorn 0");
    Client a = folder.client();
    startOn(a, 1);
    ASSERT_EQ(folder.starts(), 1);
    const pid_t ping = threadNamed(a.pid(), "drennic-ping");
    ASSERT_NE(ping, 0);
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, ping, nullptr, nullptr), 0);
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, ping, nullptr, nullptr), 0);
    ASSERT_TRUE(eventually(10'000, [&] { return ::waitpid(ping, nullptr, __WALL | WNOHANG) == ping; }));
    ASSERT_TRUE(killTheServer());

    const std::string baud = a.ask("baud 3");
    EXPECT_EQ(::ptrace(PTRACE_DETACH, ping, nullptr, nullptr), 0);
    EXPECT_EQ(Client::words(baud).at(1), "500");
    EXPECT_EQ(folder.starts(), 2);
}

// Other processes stopped inside the open of the running event and of a ring's mutex: the pings keep
// their pace and nobody takes that for a server gone; a client that starts meanwhile opens again
// within the time a start may take.
TEST_F(ServerStartE2E, StoppedOpenersKeepPingsAtTheirPaceStartNoServerAndHoldAStartingClientUp) {
    const ProgramFolder folder("exec " + binDir() + "/halvorn 1");
    Client a = folder.client();
    startOn(a, 1);
    const std::string log = environment_.runtimeDir() + "/halvorn_debug." + ostrel::platform::ipcNamespace() + ".txt";
    const int running = stopAnOpenerOf(ostrel::halvorn::kRunningEventName);
    const int mutex = stopAnOpenerOf(ostrel::halvorn::kCommandMutexName);
    ASSERT_TRUE(running >= 0 && mutex >= 0);
    Client b;
    ASSERT_TRUE(b.post("startup"));
    const int before = linesOf(log, "Ping");
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const int during = linesOf(log, "Ping") - before;
    ::close(running);
    ::close(mutex);

    EXPECT_GE(during, 10) << "one every 500 ms";
    EXPECT_EQ(folder.starts(), 1);
    EXPECT_EQ(b.answer(), "ok");
    EXPECT_EQ(b.ask("init 1"), "result 0 ");
}

} // namespace
} // namespace drennic::e2e

// A client process for the server's tests, writing the rings directly under its own process id.
//   halvorn_raw_client hold <pingMs>   registers, prints "registered", then pings every <pingMs>
//                                      (0: never) until it is killed, its parent ends or two
//                                      minutes have passed
#include "halvorn/server_block.h"
#include "halvorn/transport.h"
#include "platform/clock.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

using namespace ostrel::halvorn;
using ostrel::platform::sleepMs;
using ostrel::platform::tickMs;

namespace {

constexpr uint32_t kLifeMs = 120'000;  // never outlives a forgotten test by much

int hold(RingClient& client, uint32_t pingMs) {
    if (client.sendCommand(ServerCmd_RegisterClient, nullptr, 0) != RingWriteResult::Written) return 2;
    std::printf("registered\n");
    std::fflush(stdout);
    const uint32_t start = tickMs();
    while (tickMs() - start < kLifeMs) {
        if (pingMs == 0) {
            sleepMs(100);
            continue;
        }
        sleepMs(pingMs);
        (void)client.sendCommand(ServerCmd_Ping, nullptr, 0);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "hold") return 64;
    // A test that crashed must not leave its clients behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    auto client = RingClient::connect(static_cast<uint32_t>(::getpid()));
    if (!client) return 4;
    return hold(*client, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
}

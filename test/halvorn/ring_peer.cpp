// A client process for the transport tests: it opens the server's rings with its own process id
// and writes or reads them as the test asks, printing what it sees on standard output.
//   ring_peer write <count>   writes <count> commands and <count> frames, then prints "done"
//   ring_peer echo <id>       sends a frame with <id> and prints its echo from the receive ring
//   ring_peer read            prints "ready", then every response taken and every frame, until a
//                             response with code 0xEE arrives ("end")
//   ring_peer stream <count>  writes command i (0x20: i, then its low byte up to the full length) and frame
//                             i, each pair once the server has taken the events of the last (at once
//                             while the block's current network is not 0)
#include "halvorn/transport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <unistd.h>

using namespace ostrel::halvorn;

namespace {

constexpr auto kBound = std::chrono::seconds(30);

uint8_t pattern(uint32_t i, uint32_t k) { return static_cast<uint8_t>(i * 7 + k); }

bool writeWithRetry(RingClient& client, const ServerCommand& command) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (client.sendCommand(command) == RingWriteResult::Written) return true;
    }
    return false;
}

int writeEntries(RingClient& client, uint32_t count) {
    ServerCommand command{};
    for (uint32_t i = 0; i < count; ++i) {
        command.code = ServerCmd_GetVersion;
        command.length = static_cast<int32_t>(i % 64);
        for (uint32_t k = 0; k < i % 64; ++k) command.data[k] = pattern(i, k);
        if (!writeWithRetry(client, command)) return 2;
        ServerFrame frame{};
        frame.id = i;
        frame.length = static_cast<uint8_t>(i % 9);
        for (uint32_t k = 0; k < 8; ++k) frame.data[k] = pattern(i, k);
        bool written = false;
        for (int attempt = 0; attempt < 20 && !written; ++attempt) {
            written = client.sendFrame(frame) == RingWriteResult::Written;
        }
        if (!written) return 2;
    }
    std::printf("done\n");
    return 0;
}

int stream(RingClient& client, uint32_t count) {
    auto objects = TransportObjects::open();
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    auto until = [&](auto done) {
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    };
    auto taken = [&] {
        return objects->currentNetwork() != 0 || !(objects->commandEvent().isSet() || objects->sendEvent().isSet());
    };
    static uint8_t data[kCommandDataMax];
    for (ServerFrame frame{}; objects && frame.id < count; ++frame.id) {
        std::memset(data, static_cast<uint8_t>(frame.id), sizeof data);
        putBe32(data, frame.id);
        auto command = [&] { return client.sendCommand(ServerCmd_Reserved, data, sizeof data) == RingWriteResult::Written; };
        auto sent = [&] { return client.sendFrame(frame) == RingWriteResult::Written; };
        if (!until(command) || !until(sent) || !until(taken)) {
            return 2;
        }
    }
    return objects ? 0 : 4;
}

int echo(RingClient& client, uint32_t id) {
    ServerFrame frame{};
    frame.id = id;
    frame.length = 2;
    frame.data[0] = 0xAB;
    frame.data[1] = 0xCD;
    if (client.sendFrame(frame) != RingWriteResult::Written) return 2;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (std::chrono::steady_clock::now() < deadline) {
        ServerFrame in{};
        const RingRead r = client.readReceived(in);
        if (r.status == RingReadStatus::Entry && in.id == id) {
            std::printf("F %u %u %u %u %u\n", in.id, in.processId, in.timeMs, static_cast<unsigned>(in.length),
                        static_cast<unsigned>(in.data[0]));
            return 0;
        }
        if (r.status != RingReadStatus::Entry) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 3;
}

int readAll(RingClient& client) {
    std::printf("ready\n");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (std::chrono::steady_clock::now() < deadline) {
        bool any = false;
        ServerFrame frame{};
        if (client.readReceived(frame).status == RingReadStatus::Entry) {
            any = true;
            std::printf("F %u %u\n", frame.id, frame.processId);
        }
        ServerCommand response{};
        if (client.readResponse(response).status == RingReadStatus::Entry) {
            any = true;
            if (response.code == 0xEE) {
                std::printf("end\n");
                return 0;
            }
            std::printf("R %u %u %d\n", static_cast<unsigned>(response.code), response.processId,
                        static_cast<int>(response.length));
        }
        if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    auto client = RingClient::connect(static_cast<uint32_t>(::getpid()));
    if (!client) return 4;
    const std::string mode = argv[1];
    int rc = 64;
    if (mode == "write" && argc == 3) rc = writeEntries(*client, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    if (mode == "echo" && argc == 3) rc = echo(*client, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    if (mode == "read" && argc == 2) rc = readAll(*client);
    if (mode == "stream" && argc == 3) rc = stream(*client, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    std::fflush(stdout);
    return rc;
}

// A program that uses the simulated Kobalapi2 library and nothing else: it asks node 5 for its
// device type and reports by its exit code whether, and how, the answer came.
//   simbus_plugin_host <wait ms>
// 0: answered with the device type 1.5 ms after the request; 2: library problem; 3: no answer;
// 4: wrong answer or stamp.
#include "kobal_library.h"

#include <simbus/simbus_control.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    using namespace ostrel::simlibs::test;
    const int waitMs = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::unique_ptr<KobalLibrary> lib;
    try {
        lib = KobalLibrary::load("KOBALAPI2.DLL");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    uint8_t client = 0;
    uint8_t net = 0;
    const KobalMsgBound low{0, 0};
    const KobalMsgBound high{0x7FF, 0};
    if (lib->registerNet(1, "Net1", 1, 0x1C) != KOBAL_OK || lib->registerClient("Host", 0, &client) != KOBAL_OK ||
        lib->connect(client, u"Net1", &net) != KOBAL_OK || lib->registerMsg(client, net, &low, &high) != KOBAL_OK) {
        return 2;
    }
    KobalMessage request{};
    request.id = 0x605;
    request.length = 8;
    request.data[0] = 0x40;
    request.data[2] = 0x10;
    const KobalTimeStamp zero{};
    if (lib->write(client, net, &request, &zero) != KOBAL_OK || ostrel::simbus::sentFrames().size() != 1) {
        return 2;
    }
    const uint64_t requestUs = ostrel::simbus::sentFrames()[0].timeUs;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (std::chrono::steady_clock::now() < end) {
        KobalMessage answer{};
        KobalTimeStamp stamp{};
        if (lib->read(client, &answer, &net, &stamp) != KOBAL_OK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (answer.id != 0x585) {
            continue;  // the boot-up
        }
        const bool right = answer.data[0] == 0x43 && answer.data[4] == 0x91 && answer.data[6] == 0x0F &&
                           microsecondsOf(stamp) - requestUs == 1500;
        return right ? 0 : 4;
    }
    return 3;
}

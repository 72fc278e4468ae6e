// The CAN server on a CAN interface end to end: client programs linking libdrennic.so in mode 1
// name the interface library "kobalapi2.dll"; the server they start opens a network on the
// simulated Kobalapi2 interface, whose self-reception hands every frame back as a bus frame.
#include "hardware_support.h"

#include <kobalapi2/kobal_api.h>
#include <sim_od.h>

#include <csignal>

namespace hardware_e2e {
namespace {

constexpr const char* kInterfaceLibrary = "kobalapi2.dll";
constexpr uint32_t kSdoRequestNode5 = 0x605;
constexpr uint32_t kSdoResponseNode5 = 0x585;
// SDO expedited upload of 0x1000 sub-index 0.
constexpr const char* kUploadDeviceType = "0x40 0x00 0x10 0x00 0 0 0 0";

class HardwareServerE2E : public ::testing::Test {
protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    // A client that has started the library for the interface and opened `network`.
    static void join(Client& client, long long network) {
        ASSERT_EQ(client.ask(std::string("startup ") + kInterfaceLibrary), "ok");
        ASSERT_EQ(client.ask("init " + std::to_string(network)), "result 0 ");
    }
    // The first client: starts the server on the interface and adds the network it opens.
    static long long startServer(Client& client, const std::string& networkName = "E2ENet") {
        EXPECT_EQ(client.ask(std::string("startup ") + kInterfaceLibrary), "ok");
        const long long network = client.askNumber("add " + networkName + " 500 1");
        EXPECT_GE(network, 1);
        EXPECT_LE(network, 32);
        EXPECT_EQ(client.ask("init " + std::to_string(network)), "result 0 ");
        return network;
    }
    void usePlugin() {
        plugin_.emplace("OSTREL_SIMBUS_PLUGIN", binDir() + "/libhardware_e2e_plugin.so");
        deviceLog_.emplace("OSTREL_HWE2E_DEVICE_LOG", scratch_.file("device.log"));
        statusFile_.emplace("OSTREL_HWE2E_STATUS_FILE", scratch_.file("status"));
    }
    bool setInterfaceStatus(uint32_t status) { return writeFileAtomically(scratch_.file("status"), std::to_string(status)); }

    drennic::e2e::ProcessGuard guard_;
    drennic::e2e::IsolatedEnvironment environment_{"hw"};
    ScratchDir scratch_;
    std::optional<ScopedEnv> plugin_;
    std::optional<ScopedEnv> deviceLog_;
    std::optional<ScopedEnv> statusFile_;
};

TEST_F(HardwareServerE2E, FramesOfTwoClientsReturnFromTheInterfaceAndAreNotEchoedByTheServer) {
    Client a(kClientProgram);
    const long long network = startServer(a);
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(liveServers().size(), 1u);
    RingObserver observer;
    ASSERT_TRUE(observer.connect());
    Client b(kClientProgram);
    join(b, network);

    const uint64_t before = monotonicUs();
    EXPECT_EQ(a.ask("send 0x101 1 2 3"), "result 0");
    EXPECT_EQ(b.ask("send 0x202 4"), "result 0");
    for (Client* c : {&a, &b}) {
        const auto first = parseTaken(c->ask("take 0x101 30000"));
        const auto second = parseTaken(c->ask("take 0x202 30000"));
        ASSERT_TRUE(first && second) << "each client gets its own frame back from the interface";
        EXPECT_EQ(first->hex, "010203");
        EXPECT_EQ(second->hex, "04");
        // Stamped by the interface's clock, in microseconds.
        const uint64_t after = monotonicUs();
        EXPECT_TRUE(stampWithin(first->timeMs, first->timeUs, before, after));
        EXPECT_TRUE(stampWithin(second->timeMs, second->timeUs, before, after));
    }

    // A later frame of the same sender: by then any echo of the earlier ones would be in the ring.
    EXPECT_EQ(a.ask("send 0x303"), "result 0");
    ASSERT_TRUE(observer.waitForFrame(0x303));
    EXPECT_EQ(RingObserver::countOf(observer.frames(), 0x101), 1u);
    EXPECT_EQ(RingObserver::countOf(observer.frames(), 0x202), 1u);
    for (const auto& f : observer.frames()) {
        EXPECT_EQ(f.processId, 0u) << "frame " << f.id << " came from the bus, not from the server's echo";
    }

    // The clients' time base is the interface's clock.
    const uint64_t asked = monotonicUs();
    const auto time = Client::words(a.ask("time"));
    const uint64_t answered = monotonicUs();
    ASSERT_EQ(time.size(), 3u);
    EXPECT_TRUE(stampWithin(static_cast<uint32_t>(std::stoul(time[1])), static_cast<uint32_t>(std::stoul(time[2])), asked,
                            answered));

    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&a, &b}));
}

TEST_F(HardwareServerE2E, ClientOnAnotherNetworkIsRefusedWhileTheInterfaceStaysOnItsOwn) {
    Client a(kClientProgram);
    const long long network = startServer(a);
    ASSERT_FALSE(HasFailure());

    Client b(kClientProgram);
    ASSERT_EQ(b.ask(std::string("startup ") + kInterfaceLibrary), "ok");
    const long long other = b.askNumber("add Other 250 1");
    ASSERT_GE(other, 1);
    ASSERT_NE(other, network);
    EXPECT_EQ(b.ask("init " + std::to_string(other)), "result -7 Failed to configure can bus");
    EXPECT_EQ(b.askNumber("delete " + std::to_string(network)), -13) << "the interface's network is in use";

    EXPECT_EQ(a.ask("send 0x111 9"), "result 0");
    EXPECT_TRUE(parseTaken(a.ask("take 0x111 30000"))) << "the interface still works on the first network";
    EXPECT_EQ(b.askNumber("delete " + std::to_string(other)), 0);

    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&a, &b}));
}

TEST_F(HardwareServerE2E, DeviceAnswersARawSdoUploadWithItsMicrosecondStampsIntact) {
    usePlugin();
    Client a(kClientProgram);
    startServer(a);
    ASSERT_FALSE(HasFailure());

    const auto dictionary = ostrel::fixtures::SimObjectDictionary::fullProfile();
    const auto* deviceType = dictionary.find(0x1000, 0);
    ASSERT_NE(deviceType, nullptr);
    std::vector<uint8_t> expected = {0x43, 0x00, 0x10, 0x00};
    expected.insert(expected.end(), deviceType->defaultValue.begin(), deviceType->defaultValue.end());
    expected.resize(8, 0);

    constexpr int kUploads = 6;
    std::vector<TakenFrame> answers;
    for (int i = 0; i < kUploads; ++i) {
        ASSERT_EQ(a.ask("send " + std::to_string(kSdoRequestNode5) + " " + kUploadDeviceType), "result 0");
        const auto answer = parseTaken(a.ask("take " + std::to_string(kSdoResponseNode5) + " 30000"));
        ASSERT_TRUE(answer) << "upload " << i;
        EXPECT_EQ(answer->hex, hexOf(expected));
        answers.push_back(*answer);
    }

    // Every stamp is the one the device sent with, to the microsecond.
    std::vector<uint64_t> sent;
    ASSERT_TRUE(eventually(kWaitMs, [&] {
        sent = deviceStamps(scratch_.file("device.log"), kSdoResponseNode5);
        return sent.size() >= kUploads;
    }));
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(kUploads));
    bool subMillisecond = false;
    for (int i = 0; i < kUploads; ++i) {
        EXPECT_EQ(answers[i].timeMs, static_cast<uint32_t>(sent[i] / 1000)) << i;
        EXPECT_EQ(answers[i].timeUs, static_cast<uint32_t>(sent[i] % 1000)) << i;
        subMillisecond = subMillisecond || answers[i].timeUs != 0;
    }
    EXPECT_TRUE(subMillisecond) << "microseconds pass through the server";

    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&a}));
}

TEST_F(HardwareServerE2E, StatusChangesOfTheInterfaceReachEveryClientAsMajorErrors) {
    usePlugin();
    Client a(kClientProgram);
    const long long network = startServer(a);
    ASSERT_FALSE(HasFailure());
    Client b(kClientProgram);
    join(b, network);
    RingObserver observer;
    ASSERT_TRUE(observer.connect());

    auto majorErrors = [&] {
        std::vector<uint8_t> statuses;
        for (const auto& r : observer.responses()) {
            if (r.code == hv::ServerResp_MajorError) {
                EXPECT_EQ(r.processId, 0u) << "addressed to every client";
                EXPECT_EQ(r.data.size(), 1u);
                statuses.push_back(r.data.empty() ? 0 : r.data[0]);
            }
        }
        return statuses;
    };
    auto waitForMajorErrors = [&](std::size_t count) {
        return observer.waitResponses([&](const auto&) { return majorErrors().size() >= count; });
    };

    ASSERT_TRUE(setInterfaceStatus(KOBAL_STATUS_BUS_OFF));
    ASSERT_TRUE(waitForMajorErrors(1));
    EXPECT_EQ(majorErrors(), std::vector<uint8_t>({11}));
    // Nothing leaves a bus-off interface; the client cannot tell.
    EXPECT_EQ(a.ask("send 0x150 1"), "result 0");

    // A client resets the controller: it leaves bus-off.
    EXPECT_EQ(b.ask("reset"), "ok");
    ASSERT_TRUE(waitForMajorErrors(2));
    ASSERT_TRUE(setInterfaceStatus(KOBAL_STATUS_ERROR_PASSIVE));
    ASSERT_TRUE(waitForMajorErrors(3));
    EXPECT_EQ(majorErrors(), std::vector<uint8_t>({11, 9, 10}));

    EXPECT_EQ(a.ask("send 0x151 2"), "result 0");
    EXPECT_TRUE(parseTaken(b.ask("take 0x151 30000")));
    EXPECT_EQ(b.ask("count 0x150"), "count 0") << "the frame sent while bus-off never reached the bus";
    ASSERT_TRUE(observer.waitForFrame(0x151));
    EXPECT_EQ(RingObserver::countOf(observer.frames(), 0x150), 0u);

    // The clients' requests go on undisturbed by the broadcasts.
    EXPECT_GE(b.askNumber("add Later 125 1"), 1);

    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&a, &b}));
}

// Each client paces its frames (1 ms after each); the server forwards them without a pause of its
// own, or two clients together would outrun it and overrun the send ring.
TEST_F(HardwareServerE2E, TwoClientsSendingAtFullSpeedLoseNothing) {
    Client a(kClientProgram);
    const long long network = startServer(a);
    ASSERT_FALSE(HasFailure());
    Client b(kClientProgram);
    join(b, network);

    ASSERT_TRUE(a.post("burst 0x310 3000"));
    ASSERT_TRUE(b.post("burst 0x320 3000"));
    EXPECT_EQ(a.answer(), "result 0");
    EXPECT_EQ(b.answer(), "result 0");
    for (Client* c : {&a, &b}) {
        EXPECT_EQ(c->ask("sequence 0x310 3000 30000"), "sequence 3000 1");
        EXPECT_EQ(c->ask("sequence 0x320 3000 30000"), "sequence 3000 1");
    }
    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&a, &b}));
}

// Without a post-transmit pause a client is paced only by its frames coming back. On an interface
// they come back from the bus (process id 0) rather than as the server's echo, and must still count:
// the sender gets every one of them back, in order. (Another client, which nothing paces, may be
// lapped in the receive ring when a busy machine holds its reader up.)
TEST_F(HardwareServerE2E, UnpacedSenderIsHeldBackByItsFramesReturningFromTheInterface) {
    Client a(kClientProgram);
    const long long network = startServer(a);
    ASSERT_FALSE(HasFailure());
    Client b(kClientProgram);
    join(b, network);

    ASSERT_EQ(a.ask("delay 0"), "ok");
    ASSERT_TRUE(a.post("burst 0x330 20000"));
    EXPECT_EQ(a.answer(), "result 0");
    EXPECT_EQ(a.ask("sequence 0x330 20000 60000"), "sequence 20000 1");
    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&a, &b}));
}

} // namespace
} // namespace hardware_e2e

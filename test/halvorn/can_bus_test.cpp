// The CAN bus owner: the simulated bus, the network table behind it, and the library in hardware
// mode as far as a driver library that cannot be loaded lets it go.
#include "can_bus.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel::halvorn {
namespace {

constexpr uint32_t kPollMs = 100;
constexpr int kBoundMs = 30'000;
constexpr const char* kUnloadableDriver = "missing_wince_driver.dll";

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ServerFrame clientFrame(uint32_t id) {
    ServerFrame f{};
    f.id = id;
    f.length = 3;
    f.data[0] = 0x11;
    f.data[1] = 0x22;
    f.data[2] = 0x33;
    return f;
}

// The server around one bus: log, transport, network table and the client list's answers.
class Server {
public:
    explicit Server(bool logEnabled) {
        if (logEnabled) logOpened_ = log_.Open();
        shm_ = SharedMem::Construct(log_);
        if (!shm_) return;
        CanBusPeers peers;
        peers.isNetworkUsedByClient = [this](uint32_t h) { return clientNetworks.count(h) != 0; };
        peers.updateErrorFrames = [this] { ++errorFrameUpdates; };
        peers.broadcastMajorError = [this](uint32_t status) { majorErrors.push_back(status); };
        bus_ = std::make_unique<CanBus>(log_, *shm_, table_, std::move(peers));
        shm_->SetFrameCallback([](const ServerFrame& f, void* user) { static_cast<CanBus*>(user)->OnClientFrame(f); },
                               bus_.get());
    }
    [[nodiscard]] bool ready() const { return shm_ && bus_; }
    [[nodiscard]] bool logOpened() const { return logOpened_; }
    CanBus& bus() { return *bus_; }
    SharedMem& shm() { return *shm_; }
    ServerLog& log() { return log_; }
    void destroyBus() { bus_.reset(); }

    // Polls until `done` holds or the bound runs out.
    template <typename Done>
    bool pollUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            (void)shm_->Poll(kPollMs);
        }
        return true;
    }

    std::set<uint32_t> clientNetworks;
    int errorFrameUpdates = 0;
    std::vector<uint32_t> majorErrors;

private:
    ServerLog log_;
    bool logOpened_ = false;
    std::unique_ptr<SharedMem> shm_;
    NetTable table_;
    std::unique_ptr<CanBus> bus_;
};

class CanBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::isolateIpcNames();
        ASSERT_FALSE(dir_.path().empty());
        server_ = std::make_unique<Server>(true);
        ASSERT_TRUE(server_->ready());
        ASSERT_TRUE(server_->logOpened());
    }
    void TearDown() override { server_.reset(); }

    std::string logText() { return readFile(ServerLog::defaultPath()); }

    test::TempDir dir_;
    test::ScopedEnv registry_{"OSTREL_REGISTRY_DIR", dir_.path()};
    test::ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
    std::unique_ptr<Server> server_;
};

TEST_F(CanBusTest, EmptyDriverNameSelectsTheSimulatedBusOnce) {
    CanBus& bus = server_->bus();
    EXPECT_EQ(bus.state(), CanBusState::NotStarted);
    EXPECT_FALSE(bus.IsDriverStarted());
    EXPECT_TRUE(bus.StartDriver(""));
    EXPECT_EQ(bus.state(), CanBusState::Simulated);
    EXPECT_TRUE(bus.IsDriverStarted());
    EXPECT_TRUE(bus.IsSimulatedOrDown());
    EXPECT_FALSE(bus.StartDriver(kUnloadableDriver));
    EXPECT_EQ(bus.state(), CanBusState::Simulated);
}

TEST_F(CanBusTest, SimulatedBusListsInternalHardwareAndTheBuiltInNetworks) {
    CanBus& bus = server_->bus();
    ASSERT_TRUE(bus.StartDriver(""));
    HardwareRecord hardware[40] = {};
    ASSERT_EQ(bus.EnumerateHardware(hardware, 40), 1);
    EXPECT_STREQ(hardware[0].name, "Internal");
    EXPECT_EQ(hardware[0].handle, 0u);

    NetworkRecord nets[32] = {};
    ASSERT_EQ(bus.EnumerateNetworks(nets, 32, 0), 8);
    const char* names[] = {"CANopen_1000", "CANopen_800", "CANopen_500", "CANopen_250",
                           "CANopen_125",  "CANopen_50",  "CANopen_20",  "CANopen_10"};
    const uint32_t handles[] = {1, 2, 3, 4, 32, 6, 7, 8};
    const uint32_t rates[] = {1000, 800, 500, 250, 125, 50, 20, 10};
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(nets[i].name, names[i]) << i;
        EXPECT_EQ(nets[i].handle, handles[i]) << i;
        EXPECT_EQ(nets[i].baudKbit, rates[i]) << i;
    }
}

TEST_F(CanBusTest, SimulatedBusEchoesAClientFrameToEveryClientWithSenderAndStamp) {
    CanBus& bus = server_->bus();
    ASSERT_TRUE(bus.StartDriver(""));
    ASSERT_EQ(bus.Initialize(4, 0), CanBusResult::Done);
    auto watcher = RingClient::connect(5151);
    ASSERT_TRUE(watcher);

    const uint32_t before = platform::tickMs();
    test::ChildProcess sender(platform::executableDir() + "/halvorn_ring_peer", {"echo", "801"});
    ASSERT_TRUE(sender.started());
    ServerFrame seen{};
    ASSERT_TRUE(server_->pollUntil([&] { return watcher->readReceived(seen).status == RingReadStatus::Entry; }));
    const uint32_t after = platform::tickMs();
    const auto pid = static_cast<uint32_t>(sender.pid());
    EXPECT_EQ(seen.id, 801u);
    EXPECT_EQ(seen.processId, pid);
    EXPECT_GE(seen.timeMs, before);
    EXPECT_LE(seen.timeMs, after);
    EXPECT_EQ(seen.timeMsOverflow, 0u);
    EXPECT_EQ(seen.timeUs, 0u);
    EXPECT_EQ(seen.length, 2);
    EXPECT_EQ(seen.data[0], 0xAB);

    // The sender gets its own frame back, with its own id and the same stamp.
    const auto line = sender.readLine(kBoundMs);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "F 801 " + std::to_string(pid) + " " + std::to_string(seen.timeMs) + " 2 171");
    EXPECT_EQ(sender.waitExit(kBoundMs), 0);
}

TEST_F(CanBusTest, SimulatedBusRecordsTheNetworkOfInitializeAndSwitch) {
    CanBus& bus = server_->bus();
    auto client = RingClient::connect(61);
    ASSERT_TRUE(client);
    ASSERT_TRUE(bus.StartDriver(""));
    EXPECT_EQ(bus.Initialize(4, 0x55), CanBusResult::Done);
    EXPECT_EQ(client->currentNetwork(), 4u);
    EXPECT_EQ(bus.GetCurrentNetwork().handle, 4u);
    EXPECT_EQ(bus.GetCurrentNetwork().options, 0x55u);
    EXPECT_EQ(bus.Initialize(7, 0), CanBusResult::Done);
    EXPECT_EQ(client->currentNetwork(), 7u);
    EXPECT_EQ(bus.SwitchNetworks(0, 2), CanBusResult::Done);
    EXPECT_EQ(client->currentNetwork(), 2u);
    EXPECT_EQ(bus.SwitchNetworks(1, 2), CanBusResult::Done);
    EXPECT_EQ(client->currentNetwork(), 0u);
    EXPECT_EQ(server_->errorFrameUpdates, 0);  // nothing to switch on a simulated bus
}

TEST_F(CanBusTest, BeforeAnyDriverTheBusRefusesAndTheTableAnswers) {
    CanBus& bus = server_->bus();
    EXPECT_EQ(bus.Initialize(1, 0), CanBusResult::NotStarted);
    EXPECT_EQ(bus.SwitchNetworks(0, 1), CanBusResult::NotStarted);
    NetworkRecord nets[32] = {};
    EXPECT_EQ(bus.EnumerateNetworks(nets, 32, 0), 8);
    EXPECT_EQ(bus.GetBaudrate(32), 125u);
    EXPECT_FALSE(bus.Transmit(clientFrame(1)));
    EXPECT_EQ(bus.GetCurrentTime().ms, 0u);
}

TEST_F(CanBusTest, DeleteRefusesNetworksInUseAndBuiltInOnes) {
    CanBus& bus = server_->bus();
    ASSERT_TRUE(bus.StartDriver(""));
    NetworkRecord record{};
    copyUtf8Field(record.name, sizeof record.name, "Bench");
    record.baudKbit = 250;
    ASSERT_EQ(bus.AddNetwork(record, 0), 9u);
    ASSERT_EQ(bus.AddNetwork(record, 0), 10u);
    ASSERT_EQ(bus.AddNetwork(record, 0), 11u);
    ASSERT_EQ(bus.Initialize(9, 0), CanBusResult::Done);
    server_->clientNetworks.insert(10);

    EXPECT_EQ(bus.DeleteNetwork(9), CanBusResult::NetworkInUse);   // the bus's own network
    EXPECT_EQ(bus.DeleteNetwork(10), CanBusResult::NetworkInUse);  // a client's network
    EXPECT_EQ(bus.GetBaudrate(9), 250u);
    EXPECT_EQ(bus.GetBaudrate(10), 250u);
    EXPECT_EQ(bus.DeleteNetwork(3), CanBusResult::BuiltInNetwork);
    EXPECT_EQ(bus.DeleteNetwork(32), CanBusResult::Done);
    EXPECT_EQ(bus.GetBaudrate(32), 125u);
    EXPECT_EQ(bus.DeleteNetwork(11), CanBusResult::Done);
    EXPECT_EQ(bus.GetBaudrate(11), 0u);
}

TEST_F(CanBusTest, ServerTimeIsTheMillisecondClockWithoutSelfReception) {
    CanBus& bus = server_->bus();
    ASSERT_TRUE(bus.StartDriver(""));
    EXPECT_FALSE(bus.IsSelfReceiveOn());
    const uint32_t before = platform::tickMs();
    const BusTime t = bus.GetServerTime();
    EXPECT_GE(t.ms, before);
    EXPECT_LE(t.ms, platform::tickMs());
    EXPECT_EQ(t.us, 0u);
    EXPECT_EQ(bus.GetCurrentTime().ms, 0u);  // no interface clock on the simulated bus
}

TEST_F(CanBusTest, BusFramesAndStatusChangesReachTheClients) {
    auto client = RingClient::connect(62);
    ASSERT_TRUE(client);
    CANFrame frame{};
    frame.id = 0x701;
    frame.length = 1;
    frame.data[0] = 0x05;
    frame.timeMs = 777;
    frame.timeUs = 12;
    CanBus::OnReceive(&frame, 0, &server_->bus());
    ServerFrame in{};
    ASSERT_EQ(client->readReceived(in).status, RingReadStatus::Entry);
    EXPECT_EQ(in.id, 0x701u);
    EXPECT_EQ(in.processId, 0u);
    EXPECT_EQ(in.timeMs, 777u);
    EXPECT_EQ(in.timeUs, 12u);
    CanBus::OnMajorError(3, &server_->bus());
    EXPECT_EQ(server_->majorErrors, std::vector<uint32_t>{3});
}

TEST_F(CanBusTest, UnloadableDriverLibraryLeavesTheLibraryStartedButUnusable) {
    CanBus& bus = server_->bus();
    auto client = RingClient::connect(63);
    ASSERT_TRUE(client);
    ASSERT_TRUE(bus.StartDriver(kUnloadableDriver));
    EXPECT_EQ(bus.state(), CanBusState::DriverStarted);
    EXPECT_FALSE(bus.StartDriver(""));

    EXPECT_EQ(bus.Initialize(1, 0), CanBusResult::LibraryNotInitialized);
    EXPECT_EQ(bus.state(), CanBusState::DriverStarted);
    EXPECT_EQ(client->currentNetwork(), 0u);
    EXPECT_EQ(bus.SwitchNetworks(0, 2), CanBusResult::Done);  // nothing is open to switch
    HardwareRecord hardware[40] = {};
    EXPECT_EQ(bus.EnumerateHardware(hardware, 40), 0);
    NetworkRecord nets[32] = {};
    EXPECT_EQ(bus.EnumerateNetworks(nets, 32, 0), 0);
    EXPECT_EQ(bus.GetBaudrate(1), 0u);
    NetworkRecord record{};
    copyUtf8Field(record.name, sizeof record.name, "x");
    EXPECT_EQ(bus.AddNetwork(record, 0), 0u);
    EXPECT_EQ(bus.DeleteNetwork(9), CanBusResult::Done);
    EXPECT_TRUE(bus.IsSimulatedOrDown());

    const std::string log = logText();
    EXPECT_NE(log.find(std::string("Starting CANopen DLL with ") + kUnloadableDriver + "\n"), std::string::npos);
    EXPECT_NE(log.find("Initializing hardware with network handle 1\n"), std::string::npos);
    EXPECT_NE(log.find("Failed to initialize hardware - -7\n"), std::string::npos);
}

TEST_F(CanBusTest, FrameThatCannotBeSentIsNotEchoed) {
    CanBus& bus = server_->bus();
    ASSERT_TRUE(bus.StartDriver(kUnloadableDriver));
    auto sender = RingClient::connect(64);
    auto watcher = RingClient::connect(65);
    ASSERT_TRUE(sender && watcher);
    ASSERT_EQ(sender->sendFrame(clientFrame(0x123)), RingWriteResult::Written);
    ASSERT_TRUE(server_->pollUntil([&] { return logText().find("not echoed") != std::string::npos; }));
    ServerFrame in{};
    EXPECT_EQ(watcher->readReceived(in).status, RingReadStatus::Empty);
    EXPECT_EQ(sender->readReceived(in).status, RingReadStatus::Empty);
    EXPECT_NE(logText().find("Frame 123 from client 64 not sent - not echoed\n"), std::string::npos);
}

TEST_F(CanBusTest, DestroyShutsTheLibraryDownAndLogsEachStep) {
    ASSERT_TRUE(server_->bus().StartDriver(kUnloadableDriver));
    server_->destroyBus();
    const std::string log = logText();
    const auto shutting = log.find("Shutting down DLL\n");
    const auto shut = log.find("DLL has been shut down\n");
    const auto mutex = log.find("Closing can mutex handle\n");
    const auto done = log.find("CAN Bus shutdown complete\n");
    ASSERT_NE(shutting, std::string::npos);
    ASSERT_NE(done, std::string::npos);
    EXPECT_LT(shutting, shut);
    EXPECT_LT(shut, mutex);
    EXPECT_LT(mutex, done);
    EXPECT_EQ(log.find("Closing hardware"), std::string::npos);  // no network was open
}

// Every line the transport and the bus write appears only when the log was opened.
class CanBusLogTest : public ::testing::TestWithParam<bool> {};

TEST_P(CanBusLogTest, LinesAppearOnlyWhenTheLogIsEnabled) {
    const bool enabled = GetParam();
    test::isolateIpcNames();
    test::TempDir dir;
    test::ScopedEnv registry("OSTREL_REGISTRY_DIR", dir.path());
    test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
    {
        Server server(enabled);
        ASSERT_TRUE(server.ready());
        ASSERT_EQ(server.logOpened(), enabled);
        auto client = RingClient::connect(66);
        ASSERT_TRUE(client);
        ServerCommand response{};
        response.code = ServerResp_GetBaudrate;
        response.length = 2;
        ASSERT_TRUE(server.shm().SendResponse(response));
        response.length = 6000;
        EXPECT_FALSE(server.shm().SendResponse(response));
        ASSERT_TRUE(server.bus().StartDriver(kUnloadableDriver));
        EXPECT_NE(server.bus().Initialize(2, 0), CanBusResult::Done);
        ASSERT_EQ(client->sendFrame(clientFrame(0x456)), RingWriteResult::Written);
        bool drained = false;
        for (int i = 0; i < 300 && !drained; ++i) {
            drained = server.shm().Poll(kPollMs) == SharedMem::PollResult::SendRingDrained;
        }
        ASSERT_TRUE(drained);
    }
    const std::string path = ServerLog::defaultPath();
    if (!enabled) {
        EXPECT_FALSE(std::filesystem::exists(path));
        return;
    }
    const std::string log = readFile(path);
    const std::vector<std::string> lines = {
        "Sending response 1E at ",
        "Response 1E not sent - length 6000\n",
        std::string("Starting CANopen DLL with ") + kUnloadableDriver + "\n",
        "Initializing hardware with network handle 2\n",
        "Failed to initialize hardware - -7\n",
        "Frame 456 from client 66 not sent - not echoed\n",
        "Shutting down DLL\n",
        "DLL has been shut down\n",
        "Closing can mutex handle\n",
        "CAN Bus shutdown complete\n",
    };
    for (const auto& line : lines) EXPECT_NE(log.find(line), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(LogSwitch, CanBusLogTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Enabled" : "Disabled"; });

} // namespace
} // namespace ostrel::halvorn

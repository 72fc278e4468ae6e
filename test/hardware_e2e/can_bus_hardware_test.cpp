// The server's CAN bus owner with the library in hardware mode, in this process: the simulated
// Kobalapi2 interface (self-reception on) and the simulated PCI card with its self-reception
// switch failing (self-reception off), with devices on the simulated wire.
#include "can_bus.h"
#include "platform/clock.h"
#include "test_support.h"

#include <hicanpci/hicanpci_api.h>
#include <kobalapi2/kobal_api.h>
#include <simbus/simbus_control.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel::halvorn {
namespace {

constexpr uint32_t kPollMs = 20;
constexpr int kBoundMs = 30'000;
constexpr const char* kKobal = "KOBALAPI2.DLL";
constexpr uint32_t kKobalHardware = 1;
// The PCI card's first channel at 125 kbit/s: hardware 1 in the high byte, rate index 3.
constexpr uint32_t kPciNetwork = 0x103;
constexpr uint32_t kSenderPid = 4242;
constexpr uint32_t kWatcherPid = 4343;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ServerFrame clientFrame(uint32_t id, uint8_t first = 0x11) {
    ServerFrame f{};
    f.id = id;
    f.length = 3;
    f.data[0] = first;
    f.data[1] = 0x22;
    f.data[2] = 0x33;
    return f;
}

NetworkRecord networkRecord(const char* name, uint32_t kbit) {
    NetworkRecord record{};
    copyUtf8Field(record.name, sizeof record.name, name);
    record.baudKbit = kbit;
    return record;
}

// What a device on the wire heard.
class Listener {
public:
    Listener() : device_([this](const simbus::Frame& frame, uint64_t) { hear(frame); }) {}
    [[nodiscard]] std::vector<uint32_t> heard() const {
        std::lock_guard lock(mutex_);
        return heard_;
    }
    // Answers a frame of `id` with a frame of `answer` (same data).
    void answer(uint32_t id, uint32_t answer) {
        std::lock_guard lock(mutex_);
        answers_.emplace_back(id, answer);
    }
    uint64_t inject(const simbus::Frame& frame, std::optional<uint64_t> timeUs = std::nullopt) const {
        return device_.inject(frame, timeUs);
    }

private:
    void hear(const simbus::Frame& frame) {
        std::optional<uint32_t> reply;
        {
            std::lock_guard lock(mutex_);
            heard_.push_back(frame.id);
            for (const auto& [id, answer] : answers_) {
                if (id == frame.id) reply = answer;
            }
        }
        if (reply) {
            simbus::Frame out = frame;
            out.id = *reply;
            (void)device_.inject(out);
        }
    }

    mutable std::mutex mutex_;
    std::vector<uint32_t> heard_;
    std::vector<std::pair<uint32_t, uint32_t>> answers_;
    simbus::AttachedDevice device_;
};

class HardwareBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::isolateIpcNames();
        ASSERT_FALSE(dir_.path().empty());
        simbus::reset();
        ASSERT_TRUE(log_.Open());
        shm_ = SharedMem::Construct(log_);
        ASSERT_TRUE(shm_);
        CanBusPeers peers;
        peers.isNetworkUsedByClient = [this](uint32_t handle) {
            std::lock_guard lock(peersMutex_);
            return clientNetwork_ == handle;
        };
        peers.updateErrorFrames = [this] {
            std::lock_guard lock(peersMutex_);
            ++errorFrameUpdates_;
        };
        peers.broadcastMajorError = [this](uint32_t status) {
            std::lock_guard lock(peersMutex_);
            majorErrors_.push_back(status);
        };
        bus_ = std::make_unique<CanBus>(log_, *shm_, table_, std::move(peers));
        shm_->SetFrameCallback([](const ServerFrame& f, void* user) { static_cast<CanBus*>(user)->OnClientFrame(f); },
                               bus_.get());
        sender_ = RingClient::connect(kSenderPid);
        watcher_ = RingClient::connect(kWatcherPid);
        ASSERT_TRUE(sender_ && watcher_);
    }
    void TearDown() override {
        if (shm_) shm_->SetFrameCallback(nullptr, nullptr);
        bus_.reset();
        shm_.reset();
        simbus::reset();
    }

    // The library started with the Kobalapi2 interface and a network of its own added and opened.
    uint32_t openKobalNetwork() {
        EXPECT_TRUE(bus_->StartDriver(kKobal));
        const uint32_t handle = bus_->AddNetwork(networkRecord("Bench", 500), kKobalHardware);
        EXPECT_NE(handle, 0u);
        EXPECT_EQ(bus_->Initialize(handle, 0), CanBusResult::Done);
        return handle;
    }

    // Serves the send ring and collects what the clients get, until `done` holds.
    template <typename Done>
    bool serveUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        for (;;) {
            ServerFrame frame{};
            while (watcher_->readReceived(frame).status == RingReadStatus::Entry) received_.push_back(frame);
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            (void)shm_->Poll(kPollMs);
        }
    }
    bool serveUntilReceived(uint32_t id) {
        return serveUntil([&] { return countReceived(id) > 0; });
    }
    [[nodiscard]] std::size_t countReceived(uint32_t id, std::optional<uint32_t> processId = std::nullopt) const {
        std::size_t n = 0;
        for (const auto& f : received_) n += f.id == id && (!processId || f.processId == *processId) ? 1 : 0;
        return n;
    }
    [[nodiscard]] std::vector<uint32_t> majorErrors() {
        std::lock_guard lock(peersMutex_);
        return majorErrors_;
    }
    std::string logText() { return readFile(ServerLog::defaultPath()); }

    test::TempDir dir_;
    test::ScopedEnv registry_{"OSTREL_REGISTRY_DIR", dir_.path()};
    test::ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
    ServerLog log_;
    NetTable table_;
    std::unique_ptr<SharedMem> shm_;
    std::unique_ptr<CanBus> bus_;
    std::unique_ptr<RingClient> sender_;
    std::unique_ptr<RingClient> watcher_;
    std::vector<ServerFrame> received_;

    std::mutex peersMutex_;
    uint32_t clientNetwork_ = 0;
    int errorFrameUpdates_ = 0;
    std::vector<uint32_t> majorErrors_;
};

TEST_F(HardwareBusTest, OpensOneNetworkOnTheInterfaceWithSelfReception) {
    ASSERT_TRUE(bus_->StartDriver(kKobal));
    EXPECT_EQ(bus_->state(), CanBusState::DriverStarted);
    HardwareRecord hardware[40] = {};
    ASSERT_GE(bus_->EnumerateHardware(hardware, 40), 2);
    EXPECT_STREQ(hardware[1].name, "Sim CAN 1");
    EXPECT_EQ(hardware[1].handle, kKobalHardware);

    const uint32_t handle = bus_->AddNetwork(networkRecord("Bench", 500), kKobalHardware);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(bus_->GetBaudrate(handle), 500u);
    NetworkRecord networks[32] = {};
    ASSERT_EQ(bus_->EnumerateNetworks(networks, 32, kKobalHardware), 1);
    EXPECT_STREQ(networks[0].name, "Bench");
    EXPECT_EQ(networks[0].handle, handle);

    ASSERT_EQ(bus_->Initialize(handle, 0x77), CanBusResult::Done);
    EXPECT_EQ(bus_->state(), CanBusState::NetworkOpen);
    EXPECT_TRUE(bus_->IsSelfReceiveOn());
    EXPECT_FALSE(bus_->IsSimulatedOrDown());
    EXPECT_EQ(bus_->GetCurrentNetwork().handle, handle);
    EXPECT_EQ(bus_->GetCurrentNetwork().options, 0x77u);
    EXPECT_EQ(watcher_->currentNetwork(), handle);
    EXPECT_EQ(simbus::openPortCount(), 1u);
    {
        std::lock_guard lock(peersMutex_);
        EXPECT_EQ(errorFrameUpdates_, 1) << "the clients' error-frame wish goes to the interface";
    }

    // Again on the open network: nothing changes. On another network: refused.
    EXPECT_EQ(bus_->Initialize(handle, 0), CanBusResult::Done);
    EXPECT_EQ(bus_->GetCurrentNetwork().options, 0x77u);
    const uint32_t other = bus_->AddNetwork(networkRecord("Other", 250), kKobalHardware);
    ASSERT_NE(other, 0u);
    EXPECT_EQ(bus_->Initialize(other, 0), CanBusResult::OtherNetworkOpen);
    EXPECT_EQ(bus_->GetCurrentNetwork().handle, handle);
    EXPECT_EQ(watcher_->currentNetwork(), handle);

    const std::string log = logText();
    EXPECT_NE(log.find("Starting CANopen DLL with KOBALAPI2.DLL\n"), std::string::npos);
    EXPECT_NE(log.find("Initializing hardware with network handle " + std::to_string(handle) + "\n"), std::string::npos);
    EXPECT_NE(log.find("Hardware initialization complete\n"), std::string::npos);
}

TEST_F(HardwareBusTest, ClientFrameReturnsFromTheInterfaceAndIsNotEchoedByTheServer) {
    Listener device;
    device.answer(0x321, 0x322);
    openKobalNetwork();
    ASSERT_FALSE(HasFailure());

    const uint64_t before = simbus::nowUs();
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x321)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntil([&] { return countReceived(0x321) > 0 && countReceived(0x322) > 0; }));
    // A second frame of the sender: by then an echo of the first would be in the ring.
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x323)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntilReceived(0x323));
    const uint64_t after = simbus::nowUs();

    EXPECT_EQ(countReceived(0x321), 1u);
    EXPECT_EQ(countReceived(0x321, kSenderPid), 0u) << "no echo from the server";
    for (const auto& f : received_) {
        EXPECT_EQ(f.processId, 0u) << f.id;
        EXPECT_GE(uint64_t{f.timeMs} * 1000 + f.timeUs, before / 1000 * 1000) << f.id;
        EXPECT_LE(uint64_t{f.timeMs} * 1000 + f.timeUs, after) << f.id;
    }
    const auto& first = received_.front();
    EXPECT_EQ(first.id, 0x321u);
    EXPECT_EQ(first.length, 3);
    EXPECT_EQ(first.data[0], 0x11);
    EXPECT_EQ(device.heard(), std::vector<uint32_t>({0x321, 0x323})) << "each frame once on the wire";
}

TEST_F(HardwareBusTest, BusFramesKeepTheInterfacesMicrosecondStamps) {
    Listener device;
    openKobalNetwork();
    ASSERT_FALSE(HasFailure());

    const uint64_t stampUs = simbus::nowUs() / 1000 * 1000 + 321;
    simbus::Frame frame;
    frame.id = 0x1A5;
    frame.length = 2;
    frame.data[0] = 0xAB;
    ASSERT_EQ(device.inject(frame, stampUs), stampUs);
    ASSERT_TRUE(serveUntilReceived(0x1A5));
    EXPECT_EQ(received_.front().timeMs, static_cast<uint32_t>(stampUs / 1000));
    EXPECT_EQ(received_.front().timeUs, 321u);
    EXPECT_EQ(received_.front().processId, 0u);

    // The clients' time base is then the interface's clock, to the microsecond.
    const uint64_t before = simbus::nowUs();
    const BusTime now = bus_->GetServerTime();
    const uint64_t after = simbus::nowUs();
    const uint64_t nowUs = uint64_t{now.ms} * 1000 + now.us;
    EXPECT_GE(nowUs, before);
    EXPECT_LE(nowUs, after);
}

TEST_F(HardwareBusTest, StatusChangesAreBroadcastAndNothingLeavesABusOffInterface) {
    Listener device;
    openKobalNetwork();
    ASSERT_FALSE(HasFailure());

    simbus::setHardwareStatus("kobalapi2", kKobalHardware, KOBAL_STATUS_BUS_OFF);
    ASSERT_TRUE(serveUntil([&] { return majorErrors().size() >= 1; }));
    EXPECT_EQ(majorErrors(), std::vector<uint32_t>({3}));
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x150)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntil([&] { return logText().find("Frame 150 from client 4242 not sent\n") != std::string::npos; }));

    // A controller reset leaves bus-off.
    bus_->Reset();
    ASSERT_TRUE(serveUntil([&] { return majorErrors().size() >= 2; }));
    simbus::setHardwareStatus("kobalapi2", kKobalHardware, KOBAL_STATUS_ERROR_PASSIVE);
    ASSERT_TRUE(serveUntil([&] { return majorErrors().size() >= 3; }));
    EXPECT_EQ(majorErrors(), std::vector<uint32_t>({3, 0, 1}));

    ASSERT_EQ(sender_->sendFrame(clientFrame(0x151)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntilReceived(0x151));
    EXPECT_EQ(countReceived(0x150), 0u);
    EXPECT_EQ(device.heard(), std::vector<uint32_t>({0x151}));
}

TEST_F(HardwareBusTest, ErrorFramesOfTheBusReachTheClientsOnlyWhileSwitchedOn) {
    Listener device;
    openKobalNetwork();
    ASSERT_FALSE(HasFailure());
    simbus::Frame error;
    error.id = 0x80;
    error.length = 8;
    error.error = true;
    error.data[0] = 0xE1;
    simbus::Frame sentinel;
    sentinel.id = 0x2F0;

    (void)device.inject(error);
    (void)device.inject(sentinel);
    ASSERT_TRUE(serveUntilReceived(0x2F0));
    EXPECT_EQ(countReceived(0x80), 0u) << "the interface keeps error frames back unless asked";

    bus_->SetErrorFrames(true);
    (void)device.inject(error);
    ASSERT_TRUE(serveUntilReceived(0x80));
    const auto frame = std::find_if(received_.begin(), received_.end(), [](const ServerFrame& f) { return f.id == 0x80; });
    EXPECT_EQ(frame->flags, kFrameFlagError);
    EXPECT_EQ(frame->data[0], 0xE1);
    EXPECT_EQ(frame->processId, 0u);

    bus_->SetErrorFrames(false);
    received_.clear();
    (void)device.inject(error);
    (void)device.inject(sentinel);
    ASSERT_TRUE(serveUntilReceived(0x2F0));
    EXPECT_EQ(countReceived(0x80), 0u);
}

TEST_F(HardwareBusTest, SwitchingNetworksMovesTheInterfaceAndTheBlockWord) {
    Listener device;
    const uint32_t first = openKobalNetwork();
    ASSERT_FALSE(HasFailure());
    const uint32_t second = bus_->AddNetwork(networkRecord("Second", 125), kKobalHardware);
    ASSERT_NE(second, 0u);

    EXPECT_EQ(bus_->SwitchNetworks(0, second), CanBusResult::Done);
    EXPECT_EQ(bus_->GetCurrentNetwork().handle, second);
    EXPECT_EQ(watcher_->currentNetwork(), second);
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x401)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntilReceived(0x401));

    EXPECT_EQ(bus_->SwitchNetworks(1, first), CanBusResult::Done);
    EXPECT_EQ(bus_->GetCurrentNetwork().handle, 0u);
    EXPECT_EQ(watcher_->currentNetwork(), 0u);
    EXPECT_TRUE(bus_->IsSimulatedOrDown()) << "the interface left its network";
    EXPECT_FALSE(bus_->Transmit(clientFrame(0x402)));

    EXPECT_EQ(bus_->SwitchNetworks(0, first), CanBusResult::Done);
    EXPECT_EQ(watcher_->currentNetwork(), first);
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x403)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntilReceived(0x403));
    EXPECT_EQ(device.heard(), std::vector<uint32_t>({0x401, 0x403}));

    // A network the library does not know: the interface stays where it is.
    EXPECT_EQ(bus_->SwitchNetworks(0, 31), CanBusResult::LibraryNotInitialized);
    EXPECT_EQ(bus_->GetCurrentNetwork().handle, first);
}

TEST_F(HardwareBusTest, DeleteRefusesNetworksInUseAndPassesOthersToTheLibrary) {
    const uint32_t open = openKobalNetwork();
    ASSERT_FALSE(HasFailure());
    const uint32_t spare = bus_->AddNetwork(networkRecord("Spare", 250), kKobalHardware);
    ASSERT_NE(spare, 0u);
    {
        std::lock_guard lock(peersMutex_);
        clientNetwork_ = spare;
    }
    EXPECT_EQ(bus_->DeleteNetwork(open), CanBusResult::NetworkInUse);
    EXPECT_EQ(bus_->DeleteNetwork(spare), CanBusResult::NetworkInUse);
    EXPECT_EQ(bus_->GetBaudrate(spare), 250u);
    {
        std::lock_guard lock(peersMutex_);
        clientNetwork_ = 0;
    }
    EXPECT_EQ(bus_->DeleteNetwork(spare), CanBusResult::Done);
    EXPECT_EQ(bus_->GetBaudrate(spare), 0u) << "gone from the library";
    EXPECT_EQ(bus_->GetBaudrate(open), 500u);
}

TEST_F(HardwareBusTest, DestroyClosesTheInterfaceAndShutsTheLibraryDown) {
    openKobalNetwork();
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(simbus::openPortCount(), 1u);
    bus_.reset();
    EXPECT_EQ(simbus::openPortCount(), 0u) << "the interface left the wire";
    const std::string log = logText();
    const auto closing = log.find("Closing hardware\n");
    const auto closed = log.find("Hardware has been closed\n");
    const auto shutting = log.find("Shutting down DLL\n");
    const auto shut = log.find("DLL has been shut down\n");
    ASSERT_NE(closing, std::string::npos);
    ASSERT_NE(shut, std::string::npos);
    EXPECT_LT(closing, closed);
    EXPECT_LT(closed, shutting);
    EXPECT_LT(shutting, shut);
}

// The receive callback yields after every 1000 frames so that the clients' readers keep up.
TEST_F(HardwareBusTest, EveryThousandthReceivedFramePausesTheReceiveCallback) {
    CANFrame frame{};
    frame.id = 0x181;
    frame.length = 1;
    ServerFrame taken{};
    for (uint32_t n = 1; n <= 2000; ++n) {
        frame.data[0] = static_cast<uint8_t>(n);
        const auto start = std::chrono::steady_clock::now();
        CanBus::OnReceive(&frame, 0, bus_.get());
        const auto took = std::chrono::steady_clock::now() - start;
        if (n % 1000 == 0) {
            EXPECT_GE(took, std::chrono::milliseconds(1)) << n;
        }
        ASSERT_EQ(watcher_->readReceived(taken).status, RingReadStatus::Entry) << n;
        EXPECT_EQ(taken.data[0], static_cast<uint8_t>(n));
    }
}

// The PCI card whose self-reception switch fails: the server stamps and echoes a client's frame
// itself, but only a frame that went to the bus.
TEST_F(HardwareBusTest, WithoutSelfReceptionOnlyFramesThatWereSentAreEchoed) {
    Listener device;
    ASSERT_TRUE(bus_->StartDriver("HICANPCI.DLL"));
    simbus::Fault selfReceptionFails;
    selfReceptionFails.library = "hicanpci";
    selfReceptionFails.function = "HiCOCANCanCtrl";
    selfReceptionFails.result = HICO_ERR_PARAMETER;
    selfReceptionFails.skip = 1;  // opening the channel switches it on once; the server's own switch fails
    selfReceptionFails.detail = HICO_CTRL_SELF_RECEPTION_ON;
    simbus::addFault(selfReceptionFails);
    ASSERT_EQ(bus_->Initialize(kPciNetwork, 0), CanBusResult::Done);
    EXPECT_FALSE(bus_->IsSelfReceiveOn());
    EXPECT_FALSE(bus_->IsSimulatedOrDown());

    const uint32_t before = platform::tickMs();
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x111)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntil([&] { return countReceived(0x111, kSenderPid) > 0; }));
    const uint32_t after = platform::tickMs();

    simbus::Fault writeFails;
    writeFails.library = "hicanpci";
    writeFails.function = "HiCOCANWrite";
    writeFails.result = HICO_ERR_BUS_OFF;
    simbus::addFault(writeFails);
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x112)), RingWriteResult::Written);
    ASSERT_EQ(sender_->sendFrame(clientFrame(0x113)), RingWriteResult::Written);
    ASSERT_TRUE(serveUntil([&] { return countReceived(0x113, kSenderPid) > 0; }));

    EXPECT_EQ(countReceived(0x112), 0u) << "a frame that did not go out is not echoed";
    EXPECT_EQ(countReceived(0x111, kSenderPid), 1u);
    for (const auto& f : received_) {
        if (f.processId != kSenderPid) continue;
        EXPECT_EQ(f.timeUs, 0u) << "stamped with the millisecond clock";
        EXPECT_EQ(f.timeMsOverflow, 0u);
    }
    const auto echo = std::find_if(received_.begin(), received_.end(),
                                   [](const ServerFrame& f) { return f.processId == kSenderPid; });
    ASSERT_NE(echo, received_.end());
    EXPECT_GE(echo->timeMs, before);
    EXPECT_LE(echo->timeMs, after);
    EXPECT_EQ(device.heard(), std::vector<uint32_t>({0x111, 0x113}));
    EXPECT_NE(logText().find("Frame 112 from client 4242 not sent - not echoed\n"), std::string::npos);

    const uint32_t clockBefore = platform::tickMs();
    const BusTime now = bus_->GetServerTime();
    EXPECT_GE(now.ms, clockBefore);
    EXPECT_LE(now.ms, platform::tickMs());
    EXPECT_EQ(now.us, 0u) << "the clients' time base is the server's millisecond clock";
}

} // namespace
} // namespace ostrel::halvorn

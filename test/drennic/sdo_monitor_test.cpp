// The SDO monitor watching uploads that another client performs: the test plays that client with raw
// frames (echoed back as the CAN server echoes every frame), a simulated device serves them.
#include "nmt_scene.h"

#include "sdo_monitor.h"

#include <array>
#include <atomic>
#include <string>
#include <thread>

namespace drennic::test {
namespace {

using namespace std::chrono_literals;
using ostrel::fixtures::SimObjectDictionary;

constexpr uint8_t kNode = 10;
constexpr uint32_t kRequestId = 0x600 + kNode;
constexpr uint32_t kResponseId = 0x580 + kNode;
constexpr uint16_t kLabel = 0x2001;  // a visible string of the full profile

// What MonitorDataCallback reported, with a copy of the slot's data at the time.
struct Captures {
    struct Capture {
        MonitorSlot* slot = nullptr;
        uint32_t length = 0;
        std::vector<uint8_t> data;
    };

    static void onData(MonitorSlot* slot, uint32_t length, void* user) {
        auto* self = static_cast<Captures*>(user);
        Capture c{slot, length, std::vector<uint8_t>(slot->buffer, slot->buffer + std::min(length, slot->bufferSize))};
        std::lock_guard lock(self->mutex);
        self->captures.push_back(std::move(c));
        self->changed.notify_all();
    }
    [[nodiscard]] bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 20s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return captures.size() >= count; });
    }
    [[nodiscard]] std::vector<Capture> all() {
        std::lock_guard lock(mutex);
        return captures;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Capture> captures;
};

class SdoMonitor : public NmtScene {
protected:
    void SetUp() override {
        NmtScene::SetUp();
        resetSdoMonitor();
        CANopenMonitor_EventHaveData(&Captures::onData, &captures_);
    }
    void TearDown() override {
        NmtScene::TearDown();
        resetSdoMonitor();
    }

    void startWithDevice() {
        node_ = &addNode(kNode, SimObjectDictionary::fullProfile());
        testBus().setSelfReceive(true);
        startBus({kNode});
    }

    // Sends one client frame and waits for the device's answer to it.
    CANFrame exchange(std::initializer_list<uint8_t> bytes) {
        const std::size_t before = responsesSeen();
        CANFrame request = makeFrame(kRequestId, bytes);
        request.length = 8;
        ResultBlock result{};
        CAN_Transmit(&request, &result);
        EXPECT_EQ(result.code, DRN_OK);
        CANFrame answer{};
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto received = recorder().received();
            std::size_t count = 0;
            for (const auto& r : received) {
                if (r.frame.id == kResponseId && ++count > before) {
                    return r.frame;
                }
            }
            std::this_thread::sleep_for(1ms);
        }
        ADD_FAILURE() << "no answer";
        return answer;
    }
    [[nodiscard]] std::size_t responsesSeen() {
        std::size_t count = 0;
        for (const auto& r : recorder().received()) {
            count += r.frame.id == kResponseId ? 1 : 0;
        }
        return count;
    }

    // A complete upload as another master would run it: initiate, then segments until the last.
    std::vector<uint8_t> clientUpload(uint16_t index, uint8_t subIndex) {
        const auto lo = static_cast<uint8_t>(index & 0xFF);
        const auto hi = static_cast<uint8_t>(index >> 8);
        const CANFrame initiate = exchange({0x40, lo, hi, subIndex, 0, 0, 0, 0});
        std::vector<uint8_t> data;
        if ((initiate.data[0] & 0xE0) != 0x40) {
            ADD_FAILURE() << "no upload response";
            return data;
        }
        if ((initiate.data[0] & 0x02) != 0) {
            const int n = (initiate.data[0] & 0x01) != 0 ? 4 - ((initiate.data[0] >> 2) & 3) : 4;
            return {initiate.data + 4, initiate.data + 4 + n};
        }
        uint8_t toggle = 0;
        for (int segment = 0; segment < 1000; ++segment) {
            const CANFrame answer = exchange({static_cast<uint8_t>(0x60 | (toggle << 4)), 0, 0, 0, 0, 0, 0, 0});
            const int n = 7 - ((answer.data[0] >> 1) & 7);
            data.insert(data.end(), answer.data + 1, answer.data + 1 + n);
            if ((answer.data[0] & 0x01) != 0) {
                break;
            }
            toggle ^= 1;
        }
        return data;
    }

    // The engine hands the monitor each frame after the receive callback: wait until it is quiet.
    void letTheEngineCatchUp() {
        for (int i = 0; i < 2000 && testBus().pendingReceive() != 0; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(50ms);
    }

    ostrel::fixtures::SimNode* node_ = nullptr;
    Captures captures_;
};

TEST_F(SdoMonitor, ExpeditedOneByteUploadIsCapturedWithLengthOne) {
    startWithDevice();
    std::array<uint8_t, 16> buffer{};
    MonitorSlot* slot = CANopenMonitor_SDO(kRequestId, kResponseId, 0x1001, 0, buffer.data(), buffer.size());
    ASSERT_NE(slot, nullptr);
    CANopenMonitor_Start(slot);
    ASSERT_TRUE(node_->writeUnsigned(0x1001, 0, 0xA5));

    const auto seen = clientUpload(0x1001, 0);
    ASSERT_EQ(seen, (std::vector<uint8_t>{0xA5}));
    ASSERT_TRUE(captures_.waitFor(1));
    const auto capture = captures_.all().at(0);
    EXPECT_EQ(capture.slot, slot);
    EXPECT_EQ(capture.length, 1u);
    EXPECT_EQ(capture.data, seen);
    EXPECT_EQ(slot->runState, 1u) << "a completed upload stops the slot";
}

TEST_F(SdoMonitor, SegmentedUploadOfTenBytesIsCapturedOnceWhole) {
    startWithDevice();
    const std::string text = "0123456789";
    ASSERT_TRUE(node_->write(kLabel, 0, std::vector<uint8_t>(text.begin(), text.end())));
    std::array<uint8_t, 64> buffer{};
    MonitorSlot* slot = CANopenMonitor_SDO(kRequestId, kResponseId, kLabel, 0, buffer.data(), buffer.size());
    CANopenMonitor_Start(slot);

    const auto seen = clientUpload(kLabel, 0);
    ASSERT_EQ(std::string(seen.begin(), seen.end()), text);
    ASSERT_TRUE(captures_.waitFor(1));
    letTheEngineCatchUp();
    const auto all = captures_.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].length, 10u);
    EXPECT_EQ(std::string(all[0].data.begin(), all[0].data.end()), text);
    EXPECT_EQ(slot->received, 10u);
}

TEST_F(SdoMonitor, OnlyTheWatchedObjectIsCapturedAndAStoppedSlotWaitsForItsRestart) {
    startWithDevice();
    std::array<uint8_t, 64> buffer{};
    MonitorSlot* slot = CANopenMonitor_SDO(kRequestId, kResponseId, kLabel, 0, buffer.data(), buffer.size());
    CANopenMonitor_Start(slot);
    (void)clientUpload(0x1000, 0);  // another object
    (void)clientUpload(kLabel, 0);
    ASSERT_TRUE(captures_.waitFor(1));
    (void)clientUpload(kLabel, 0);  // the slot stopped itself after the first
    letTheEngineCatchUp();
    EXPECT_EQ(captures_.all().size(), 1u);
    EXPECT_EQ(captures_.all().at(0).length, 6u) << "\"Ostrel\"";

    CANopenMonitor_Start(slot);
    (void)clientUpload(kLabel, 0);
    EXPECT_TRUE(captures_.waitFor(2));
}

TEST_F(SdoMonitor, AbortedUploadLeavesTheSlotInItsPhaseUntilTheCallerRestartsIt) {
    startWithDevice();
    const std::string text = "abcdefghijklmnopqrst";  // three segments
    ASSERT_TRUE(node_->write(kLabel, 0, std::vector<uint8_t>(text.begin(), text.end())));
    std::array<uint8_t, 64> buffer{};
    MonitorSlot* slot = CANopenMonitor_SDO(kRequestId, kResponseId, kLabel, 0, buffer.data(), buffer.size());
    CANopenMonitor_Start(slot);

    (void)exchange({0x40, 0x01, 0x20, 0x00, 0, 0, 0, 0});
    (void)exchange({0x60, 0, 0, 0, 0, 0, 0, 0});
    // The client gives up with an abort; the device does not answer it.
    CANFrame abort = makeFrame(kRequestId, {0x80, 0x01, 0x20, 0x00, 0x00, 0x00, 0x00, 0x08});
    ResultBlock result{};
    CAN_Transmit(&abort, &result);
    letTheEngineCatchUp();
    EXPECT_TRUE(captures_.all().empty());
    EXPECT_EQ(slot->runState, 2u);
    EXPECT_EQ(slot->phase, 3u) << "still waiting for the second segment";
    EXPECT_EQ(slot->received, 7u);

    // The next upload passes the stuck slot by: none of its segments is appended to the aborted
    // upload's bytes, though their toggle bits would fit.
    const std::string next = "ABCDEFGHIJKLMNOPQRSTU";  // three segments
    ASSERT_TRUE(node_->write(kLabel, 0, std::vector<uint8_t>(next.begin(), next.end())));
    (void)clientUpload(kLabel, 0);
    letTheEngineCatchUp();
    EXPECT_TRUE(captures_.all().empty());
    EXPECT_EQ(slot->phase, 3u);
    EXPECT_EQ(slot->received, 7u);

    CANopenMonitor_Start(slot);
    const auto seen = clientUpload(kLabel, 0);
    ASSERT_TRUE(captures_.waitFor(1));
    EXPECT_EQ(captures_.all().at(0).length, next.size());
    EXPECT_EQ(captures_.all().at(0).data, seen);
}

// Another master leaves a segmented upload of the watched object after two segments, without an
// abort; what it does next on the channel ends that upload, and the next upload of the object is
// captured whole, alone. The test plays both master and device on identifiers nobody else answers.
TEST_F(SdoMonitor, UploadLeftWithoutAnAbortIsDroppedAndTheNextOneCapturedFromItsStart) {
    startWithDevice();
    constexpr uint32_t kRequest = 0x2F0;
    constexpr uint32_t kResponse = 0x2F1;
    using Frames = std::vector<CANFrame>;
    const auto frame = [](uint32_t id, std::array<uint8_t, 8> d) {
        CANFrame f = makeFrame(id, {});
        f.length = 8;
        std::copy(d.begin(), d.end(), f.data);
        return f;
    };
    const auto upload = [&](uint16_t index, const std::string& text) {
        const auto lo = static_cast<uint8_t>(index), hi = static_cast<uint8_t>(index >> 8);
        Frames out{frame(kRequest, {0x40, lo, hi, 0}),
                   frame(kResponse, {0x41, lo, hi, 0, static_cast<uint8_t>(text.size())})};
        for (std::size_t at = 0, toggle = 0; at < text.size(); at += 7, toggle ^= 1) {
            const std::size_t n = std::min<std::size_t>(7, text.size() - at);
            const bool last = at + n == text.size();
            std::array<uint8_t, 8> d{static_cast<uint8_t>((toggle << 4) | ((7 - n) << 1) | (last ? 1 : 0))};
            std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(at), n, d.begin() + 1);
            out.push_back(frame(kRequest, {static_cast<uint8_t>(0x60 | (toggle << 4))}));
            out.push_back(frame(kResponse, d));
        }
        return out;
    };
    const std::string first = "abcdefghijklmnopqrstuvwxyz0123";   // 30 bytes
    const std::string second = "ABCDEFGHIJKLMNOPQRSTUVWXYZ4567";  // 30 bytes
    Frames abandoned = upload(kLabel, first);
    abandoned.resize(6);  // initiate and two segments
    const Frames download{frame(kRequest, {0x21, 0x01, 0x20, 0, 10}), frame(kResponse, {0x60, 0x01, 0x20, 0}),
                          frame(kRequest, {0x00, 1, 2, 3, 4, 5, 6, 7}), frame(kResponse, {0x20}),
                          frame(kRequest, {0x19, 8, 9, 10}), frame(kResponse, {0x30})};
    struct Case { const char* name; Frames between; };
    const Case cases[] = {{"started again", {}},
                          {"download of the object in between", download},
                          {"upload of another object in between", upload(0x1008, "Ostrel device")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(captures_.mutex);
            captures_.captures.clear();
        }
        std::array<uint8_t, 64> buffer{};
        MonitorSlot* slot = CANopenMonitor_SDO(kRequest, kResponse, kLabel, 0, buffer.data(), buffer.size());
        CANopenMonitor_Start(slot);
        Frames frames = abandoned;
        frames.insert(frames.end(), c.between.begin(), c.between.end());
        const Frames again = upload(kLabel, second);
        frames.insert(frames.end(), again.begin(), again.end());
        for (CANFrame f : frames) {
            ResultBlock result{};
            CAN_Transmit(&f, &result);
            ASSERT_EQ(result.code, DRN_OK);
        }
        ASSERT_TRUE(captures_.waitFor(1));
        letTheEngineCatchUp();
        const auto all = captures_.all();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].length, second.size());
        EXPECT_EQ(std::string(all[0].data.begin(), all[0].data.end()), second);
    }
}

TEST_F(SdoMonitor, SlotWhoseRequestAndResponseShareOneIdentifierCompletes) {
    startWithDevice();
    constexpr uint32_t kShared = 0x2F0;  // no device answers here: the test plays both sides
    std::array<uint8_t, 8> buffer{};
    MonitorSlot* slot = CANopenMonitor_SDO(kShared, kShared, 0x1001, 0, buffer.data(), buffer.size());
    CANopenMonitor_Start(slot);

    for (const CANFrame& frame : {makeFrame(kShared, {0x40, 0x01, 0x10, 0x00, 0, 0, 0, 0}),
                                  makeFrame(kShared, {0x4F, 0x01, 0x10, 0x00, 0x5A, 0, 0, 0})}) {
        CANFrame copy = frame;
        copy.length = 8;
        ResultBlock result{};
        CAN_Transmit(&copy, &result);
        ASSERT_EQ(result.code, DRN_OK);
    }
    ASSERT_TRUE(captures_.waitFor(1, 5s));
    const auto capture = captures_.all().at(0);
    EXPECT_EQ(capture.slot, slot);
    EXPECT_EQ(capture.length, 1u);
    EXPECT_EQ(capture.data, (std::vector<uint8_t>{0x5A}));
    EXPECT_EQ(slot->runState, 1u);
}

TEST_F(SdoMonitor, UploadLongerThanTheBufferWritesNothingPastItAndIsNotReported) {
    startWithDevice();
    const std::string text = "0123456789";
    ASSERT_TRUE(node_->write(kLabel, 0, std::vector<uint8_t>(text.begin(), text.end())));
    std::array<uint8_t, 16> backing{};
    backing.fill(0xEE);
    constexpr uint32_t kSize = 8;  // the first segment fits, the second does not
    MonitorSlot* slot = CANopenMonitor_SDO(kRequestId, kResponseId, kLabel, 0, backing.data(), kSize);
    CANopenMonitor_Start(slot);

    (void)clientUpload(kLabel, 0);
    letTheEngineCatchUp();
    EXPECT_TRUE(captures_.all().empty());
    for (std::size_t i = kSize; i < backing.size(); ++i) {
        EXPECT_EQ(backing[i], 0xEE) << "byte " << i << " behind the buffer";
    }
    EXPECT_EQ(slot->runState, 2u);
    EXPECT_EQ(slot->phase, 0u);

    // An upload that fits is still captured by the same slot.
    ASSERT_TRUE(node_->write(kLabel, 0, std::vector<uint8_t>{'o', 'k'}));
    (void)clientUpload(kLabel, 0);
    ASSERT_TRUE(captures_.waitFor(1));
    EXPECT_EQ(captures_.all().at(0).length, 2u);
}

TEST_F(SdoMonitor, ExpeditedAnswerLargerThanTheBufferIsNotReported) {
    startWithDevice();
    std::array<uint8_t, 4> backing{};
    backing.fill(0xEE);
    MonitorSlot* slot = CANopenMonitor_SDO(kRequestId, kResponseId, 0x1000, 0, backing.data(), 2);
    CANopenMonitor_Start(slot);
    (void)clientUpload(0x1000, 0);
    letTheEngineCatchUp();
    EXPECT_TRUE(captures_.all().empty());
    EXPECT_EQ(backing[2], 0xEE);
    EXPECT_EQ(backing[3], 0xEE);
}

// Restarts every slot it reports, from inside the callback, as a caller that captures every upload.
struct RestartingCaptures : Captures {
    static void onData(MonitorSlot* slot, uint32_t length, void* user) {
        Captures::onData(slot, length, user);
        CANopenMonitor_Start(slot);
    }
};

TEST_F(SdoMonitor, CallerStartsAndStopsSlotsWhileTheEngineStepsThem) {
    startWithDevice();
    RestartingCaptures captures;
    CANopenMonitor_EventHaveData(&RestartingCaptures::onData, &captures);
    std::array<std::array<uint8_t, 64>, 4> buffers{};
    std::array<MonitorSlot*, 4> slots{};
    for (std::size_t i = 0; i < slots.size(); ++i) {
        slots[i] = CANopenMonitor_SDO(kRequestId, kResponseId, kLabel, 0, buffers[i].data(), buffers[i].size());
        CANopenMonitor_Start(slots[i]);
    }
    // Slot 0 is started and stopped all the time by another thread; slots 1..3 are left alone.
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        while (!stop.load()) {
            CANopenMonitor_Stop(slots[0]);
            std::this_thread::yield();
            CANopenMonitor_Start(slots[0]);
        }
    });
    constexpr int kUploads = 10;
    for (int i = 0; i < kUploads; ++i) {
        (void)clientUpload(kLabel, 0);
    }
    letTheEngineCatchUp();
    stop.store(true);
    caller.join();
    CANopenMonitor_EventHaveData(nullptr, nullptr);

    const auto all = captures.all();
    int steadySlots = 0;
    for (const auto& c : all) {
        EXPECT_EQ(c.length, 6u);
        EXPECT_EQ(std::string(c.data.begin(), c.data.end()), "Ostrel");
        steadySlots += c.slot != slots[0] ? 1 : 0;
    }
    EXPECT_EQ(steadySlots, 3 * kUploads);
}

using SdoMonitorSlots = NmtScene;

TEST_F(SdoMonitorSlots, TheTwoHundredFirstSlotIsRefused) {
    resetSdoMonitor();
    uint8_t byte = 0;
    for (std::size_t i = 0; i < kMonitorSlotCount; ++i) {
        MonitorSlot* slot = CANopenMonitor_SDO(0x601, 0x581, 0x1000, 0, &byte, 1);
        ASSERT_NE(slot, nullptr) << i;
        EXPECT_EQ(slot->inUse, 1u);
        EXPECT_EQ(slot->runState, 1u);
    }
    EXPECT_EQ(CANopenMonitor_SDO(0x601, 0x581, 0x1000, 0, &byte, 1), nullptr);
    resetSdoMonitor();
}

TEST_F(SdoMonitorSlots, SlotWithoutBufferOrSizeStaysStopped) {
    resetSdoMonitor();
    uint8_t byte = 0;
    MonitorSlot* noBuffer = CANopenMonitor_SDO(0x601, 0x581, 0x1000, 0, nullptr, 4);
    MonitorSlot* noSize = CANopenMonitor_SDO(0x601, 0x581, 0x1000, 0, &byte, 0);
    CANopenMonitor_Start(noBuffer);
    CANopenMonitor_Start(noSize);
    EXPECT_EQ(noBuffer->runState, 1u);
    EXPECT_EQ(noSize->runState, 1u);
    MonitorSlot foreign{};
    foreign.inUse = 1;
    CANopenMonitor_Start(&foreign);  // not one of ours: ignored
    EXPECT_EQ(foreign.runState, 0u);
    CANopenMonitor_Start(nullptr);
    CANopenMonitor_Stop(nullptr);
    resetSdoMonitor();
}

} // namespace
} // namespace drennic::test

// The receive path with the real library: frames from simulated devices through the engine thread,
// the fan-out, the transmission table and the trace.
#include <gtest/gtest.h>

#include <platform/clock.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "drennic_test_bus.h"
#include "services/log.h"
#include "services/trace_buffer.h"
#include "services/transmit_table.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

constexpr uint32_t kWaitMs = 10'000;

// Stands in for the software support module's stage.
struct CountingStage : ReceiveStage {
    std::atomic<int> frames{0};
    std::atomic<uint32_t> lastId{0};
    void onReceive(const CANFrame& frame, bool) override {
        lastId = frame.id;
        ++frames;
    }
};

[[nodiscard]] bool waitUntil(const std::function<bool()>& done, uint32_t timeoutMs = kWaitMs) {
    const uint32_t start = ostrel::platform::tickMs();
    while (!done()) {
        if (ostrel::platform::tickMs() - start > timeoutMs)
            return false;
        ostrel::platform::sleepMs(1);
    }
    return true;
}

TraceFilter idFilter(uint32_t id) {
    TraceFilter f{};
    f.idMask = 0x1FFFFFFF;
    f.idValue = id;
    return f;
}

class ReceivePath : public ::testing::Test {
protected:
    ~ReceivePath() override {
        drennic.close();  // no receive call after this
        fanout.detach(ReceiveStageSlot::SoftwareSupport);
    }

    test::DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    CountingStage support;
};

struct Completion {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    int32_t code = 1;
    static void onComplete(ResultBlock* result, void* user) {
        auto* self = static_cast<Completion*>(user);
        std::lock_guard lock(self->mutex);
        self->done = true;
        self->code = result->code;
        self->changed.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return done; });
    }
};

} // namespace

TEST_F(ReceivePath, CaptureOffStoresNothingOthersStillReceiveAndKindsMarkAnswers) {
    drennic.addNode(5);
    TTraceBuffer trace(drennic.api(), fanout, log, prompt);
    fanout.attach(ReceiveStageSlot::SoftwareSupport, support);
    ASSERT_TRUE(drennic.open());
    ASSERT_TRUE(waitUntil([&] { return support.lastId == 0x705u; })) << "no boot-up";
    EXPECT_EQ(trace.GetStoredCount(), 0u);

    trace.Start(500);
    ResultBlock result{};
    drennic.api().nmt(5, 3, &result);  // reset node: it boots again
    ASSERT_EQ(result.code, DRN_OK);
    const TraceFilter bootUp = idFilter(0x705);
    ASSERT_TRUE(waitUntil([&] { return trace.FindFirst(&bootUp, 1).has_value(); }));
    std::optional<TraceMessage> m = trace.FindFirst(&bootUp, 1);
    EXPECT_EQ(m->kind, kTraceKindOther);
    EXPECT_EQ(m->dlc, 1);
    EXPECT_EQ(m->data[0], 0x00);

    uint8_t buffer[8] = {};
    uint32_t size = sizeof buffer;
    Completion completion;
    int32_t out = -1;
    drennic.api().sdoUpload(5, 0x1000, 0, buffer, &size, nullptr, &Completion::onComplete, &completion, &out);
    ASSERT_EQ(out, 0);
    ASSERT_TRUE(completion.wait());
    ASSERT_EQ(completion.code, DRN_OK);
    const TraceFilter answer = idFilter(0x585);
    m = trace.FindFirst(&answer, 1);
    ASSERT_TRUE(m) << "the answer is traced before the completion";
    EXPECT_EQ(m->kind, kTraceKindAnswer);
    EXPECT_EQ(m->data[0] & 0xE0, 0x40);  // upload response

    // Capture off again: the trace keeps what it has, the other stages go on receiving.
    trace.Stop();
    const size_t stored = trace.GetStoredCount();
    const int before = support.frames;
    drennic.inject(0x181, {1, 2});
    ASSERT_TRUE(waitUntil([&] { return support.frames > before; }));
    EXPECT_EQ(trace.GetStoredCount(), stored);
    const CANTimeStamp start = trace.GetCaptureStartTime();
    EXPECT_GT(uint64_t{start.timeMs} * 1000 + start.timeUs, 0u);
}

TEST_F(ReceivePath, TriggeredEntryGoesOutBeforeTheTraceHoldsItsTrigger) {
    TTraceBuffer trace(drennic.api(), fanout, log, prompt);
    TTransmit table(20, drennic.api(), fanout, prompt);
    ASSERT_TRUE(drennic.open());
    trace.Start(500);

    struct Seen {
        uint32_t id;
        bool triggerTraced;
    };
    std::mutex seenMutex;
    std::vector<Seen> seen;
    const TraceFilter trigger = idFilter(0x181);
    const auto listener = drennic.bus().attach([&](const CANFrame& frame) {
        // Runs on the engine thread, inside the transmission.
        const bool traced = trace.FindFirst(&trigger, 1).has_value();
        std::lock_guard lock(seenMutex);
        seen.push_back({frame.id, traced});
    });

    // No entry is in use after construction: 0x80 sends nothing.
    drennic.inject(0x80, {});
    const TraceFilter sync = idFilter(0x80);
    ASSERT_TRUE(waitUntil([&] { return trace.FindFirst(&sync, 1).has_value(); }));
    EXPECT_TRUE(drennic.bus().sent().empty());

    TransmitEntry entry;
    entry.inUse = 1;
    entry.identifier = 0x201;
    entry.triggerOnReceive = 1;
    entry.triggerIdentifier = 0x181;
    entry.dlc = 2;
    entry.data[0] = 0xAB;
    ASSERT_TRUE(table.SetEntry(3, entry));
    drennic.inject(0x181, {1});
    drennic.inject(0x182, {1});
    drennic.inject(0x181, {2});
    ASSERT_TRUE(drennic.bus().waitForSent(2, kWaitMs));
    ASSERT_TRUE(waitUntil([&] { return trace.GetStoredCount() == 4; }));
    drennic.bus().detach(listener);

    const std::vector<CANFrame> sent = drennic.bus().sent();
    ASSERT_EQ(sent.size(), 2u);
    for (const CANFrame& f : sent) {
        EXPECT_EQ(f.id, 0x201u);
        EXPECT_EQ(f.length, 2);
        EXPECT_EQ(f.data[0], 0xAB);
        EXPECT_EQ(f.flags, 0);
    }
    std::lock_guard lock(seenMutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].triggerTraced) << "the table sends before the trace records";
    EXPECT_TRUE(seen[1].triggerTraced);  // the first 0x181 was traced by then
}

// Services go away while the engine delivers frames as fast as they come: each stage's detach waits
// for its running call, and the stages left keep receiving.
TEST_F(ReceivePath, DestroyingTraceAndTableWhileFramesPourInIsClean) {
    drennic.bus().setSelfReceive(true);  // the table's own frames come back as well
    fanout.attach(ReceiveStageSlot::SoftwareSupport, support);
    ASSERT_TRUE(drennic.open());
    std::atomic<bool> pouring{true};
    std::thread source([&] {
        uint8_t n = 0;
        while (pouring) {
            drennic.inject(0x181, {n++});
            drennic.inject(0x1000 + n, {n}, DRN_FLAG_EXTENDED);
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 5; ++round) {
        auto trace = std::make_unique<TTraceBuffer>(drennic.api(), fanout, log, prompt);
        auto table = std::make_unique<TTransmit>(20, drennic.api(), fanout, prompt);
        trace->Start(500);
        TransmitEntry entry;
        entry.inUse = 1;
        entry.identifier = 0x301;
        entry.triggerOnReceive = 1;
        entry.triggerIdentifier = 0x181;
        ASSERT_TRUE(table->SetEntry(0, entry));
        entry.identifier = 0x302;
        entry.triggerOnReceive = 0;
        entry.periodic = 1;
        entry.period = 1;
        ASSERT_TRUE(table->SetEntry(1, entry));
        table->Start();
        ASSERT_TRUE(waitUntil([&] { return trace->GetStoredCount() > 200; }));
        const TraceFilter all{};
        EXPECT_TRUE(trace->FindFirst(&all, 1));
        table.reset();
        trace.reset();
        const int before = support.frames;
        ASSERT_TRUE(waitUntil([&] { return support.frames > before + 100; })) << "the last stage goes on";
    }
    pouring = false;
    source.join();
    EXPECT_TRUE(prompt.asked().empty());
}

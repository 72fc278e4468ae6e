#include "services/trace_buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <atomic>
#include <thread>
#include <vector>

#include "drennic_test_bus.h"
#include "services/log.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

// The trace fed through Add, as the receive path feeds it.
class TraceBufferTest : public ::testing::Test {
protected:
    void SetUp() override { trace.Start(250); }
    ~TraceBufferTest() override { drennic.close(); }

    void add(uint32_t id, std::vector<uint8_t> data, uint32_t ms = 0, uint32_t us = 0, uint8_t dlc = 0xFF,
             bool remote = false, bool extended = false) {
        if (dlc == 0xFF)
            dlc = static_cast<uint8_t>(data.size());
        data.resize(8);
        trace.Add(id, dlc, kTraceKindOther, ms, 0, us, remote, extended, data.data());
    }

    static TraceFilter idFilter(uint32_t mask, uint32_t value) {
        TraceFilter f{};
        f.idMask = mask;
        f.idValue = value;
        return f;
    }

    test::DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
};

uint32_t dataAsNumber(const TraceMessage& m) {
    return uint32_t{m.data[0]} | uint32_t{m.data[1]} << 8 | uint32_t{m.data[2]} << 16 | uint32_t{m.data[3]} << 24;
}

} // namespace

TEST_F(TraceBufferTest, OverrunWarnsOnceAndTheRecordingStartsAtTheOldestSurvivor) {
    constexpr uint32_t kFrames = TTraceBuffer::kRingCapacity + 1;
    for (uint32_t i = 0; i < kFrames; ++i) {
        const uint8_t bytes[8] = {uint8_t(i), uint8_t(i >> 8), uint8_t(i >> 16), uint8_t(i >> 24)};
        trace.Add(0x180 + (i & 0x7F), 4, kTraceKindOther, i, 0, 0, false, false, bytes);
    }
    trace.Stop();
    ASSERT_EQ(log.GetLineCount(), 1);
    EXPECT_EQ(log.GetLine(0), "Warning: receive buffer overrun!");
    EXPECT_EQ(trace.GetStoredCount(), TTraceBuffer::kRingCapacity);

    const TraceFilter all{};
    std::optional<TraceMessage> m = trace.FindFirst(&all, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(dataAsNumber(*m), 1u);  // the first frame was overwritten
    uint32_t expected = 1;
    size_t walked = 0;
    for (; m; m = trace.FindNext(&all, 1)) {
        ASSERT_EQ(dataAsNumber(*m), expected);
        ASSERT_EQ(m->time.timeMs, expected);
        ASSERT_EQ(m->valid, 1u);
        ++expected;
        ++walked;
    }
    EXPECT_EQ(walked, TTraceBuffer::kRingCapacity);
    EXPECT_FALSE(trace.FindNext(&all, 1));

    // A reset forgets the warning: the next overrun warns again.
    trace.Reset();
    trace.Start(250);
    for (uint32_t i = 0; i < kFrames; ++i)
        add(0x181, {1});
    EXPECT_EQ(log.GetLineCount(), 2);
    EXPECT_EQ(trace.GetDroppedCount(), 0u);
}

TEST_F(TraceBufferTest, FiltersMatchMaskedFieldsAndTheCursorWalksOn) {
    const TraceFilter all{};
    EXPECT_FALSE(trace.FindFirst(&all, 1)) << "nothing stored";
    add(0x701, {0x00});
    add(0x702, {0x00});
    add(0x701, {0x05});
    add(0x181, {0x11, 0x22, 0x05}, 0, 0, 1);  // bytes past the length are not kept
    add(0x18123456, {1, 2}, 0, 0, 0xFF, false, true);
    add(0x285, {}, 0, 0, 12, true);           // a length above 8 counts as 8

    EXPECT_FALSE(trace.FindFirst(&all, 0));
    EXPECT_FALSE(trace.FindFirst(nullptr, 3));
    EXPECT_EQ(trace.FindFirst(&all, 1)->identifier, 0x701u);

    const TraceFilter node1 = idFilter(0x7FF, 0x701);
    std::optional<TraceMessage> m = trace.FindFirst(&node1, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->data[0], 0x00);
    m = trace.FindNext(&node1, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->identifier, 0x701u);
    EXPECT_EQ(m->data[0], 0x05);
    EXPECT_FALSE(trace.FindNext(&node1, 1));

    TraceFilter byte2 = idFilter(0x7FF, 0x181);
    byte2.dataMask[2] = 0xFF;
    byte2.dataValue[2] = 0x05;
    EXPECT_FALSE(trace.FindFirst(&byte2, 1));
    byte2.dataValue[2] = 0x00;
    m = trace.FindFirst(&byte2, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->dlc, 1);
    EXPECT_EQ(m->data[0], 0x11);
    EXPECT_EQ(m->data[1], 0x00);

    TraceFilter extended{};
    extended.flagsMask = kTraceFlagExtended;
    extended.flagsValue = kTraceFlagExtended;
    m = trace.FindFirst(&extended, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->identifier, 0x18123456u);

    TraceFilter eight{};
    eight.dlcMask = 0x0F;
    eight.dlcValue = 8;
    m = trace.FindFirst(&eight, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->identifier, 0x285u);
    EXPECT_EQ(m->flags, kTraceFlagRemote);

    // An array matches a frame that matches any of its filters, oldest frame first.
    const std::array<TraceFilter, 2> either = {idFilter(0x7FF, 0x285), idFilter(0x7FF, 0x702)};
    EXPECT_EQ(trace.FindFirst(either.data(), 2)->identifier, 0x702u);
    EXPECT_EQ(trace.FindNext(either.data(), 2)->identifier, 0x285u);

    // After a failed search the cursor rests on the next slot: the next frame is skipped by FindNext,
    // found by FindFirst.
    const TraceFilter absent = idFilter(0x7FF, 0x123);
    EXPECT_FALSE(trace.FindFirst(&absent, 1));
    add(0x123, {});
    EXPECT_FALSE(trace.FindNext(&absent, 1));
    EXPECT_EQ(trace.FindFirst(&absent, 1)->identifier, 0x123u);

    // Without a FindFirst since the reset, FindNext starts at the oldest frame.
    trace.Reset();
    add(0x123, {7});
    add(0x124, {8});
    EXPECT_EQ(trace.FindNext(&all, 1)->identifier, 0x123u);
    EXPECT_EQ(trace.FindNext(&all, 1)->identifier, 0x124u);
    EXPECT_FALSE(trace.FindNext(&all, 1));

    TraceFilter cleared = byte2;
    TTraceBuffer::ClearFilter(cleared);
    EXPECT_EQ(trace.FindFirst(&cleared, 1)->identifier, 0x123u);
}

TEST_F(TraceBufferTest, CaptureOffStoresNothingAndStopKeepsTheRecording) {
    add(0x181, {1});
    trace.Stop();
    add(0x182, {2});
    EXPECT_FALSE(trace.IsCapturing());
    EXPECT_EQ(trace.GetStoredCount(), 1u);
    const TraceFilter all{};
    EXPECT_EQ(trace.FindFirst(&all, 1)->identifier, 0x181u);
    EXPECT_FALSE(trace.FindNext(&all, 1));
}

TEST(TraceTimestampDiff, WholeMicrosecondsNeverNegative) {
    auto diff = [](CANTimeStamp a, CANTimeStamp b) {
        const CANTimeStamp d = TTraceBuffer::TimestampDiff(a, b);
        return std::array<uint32_t, 3>{d.timeMs, d.timeMsOverflow, d.timeUs};
    };
    EXPECT_EQ(diff({1000, 0, 250}, {998, 0, 500}), (std::array<uint32_t, 3>{1, 0, 750}));
    EXPECT_EQ(diff({998, 0, 500}, {1000, 0, 250}), (std::array<uint32_t, 3>{0, 0, 0}));
    EXPECT_EQ(diff({1000, 0, 1}, {999, 0, 999}), (std::array<uint32_t, 3>{0, 0, 2}));
    EXPECT_EQ(diff({5, 0, 0}, {5, 0, 0}), (std::array<uint32_t, 3>{0, 0, 0}));
}

struct BusLoadCase {
    bool remote;
    bool extended;
    uint32_t spacingUs;
    float load;
};

class TraceBusLoad : public TraceBufferTest, public ::testing::WithParamInterface<BusLoadCase> {};

// At 250 kbit/s an 8-byte frame takes 444 µs (111 bits), a remote frame 188 µs (47 bits), an extended
// 8-byte frame 524 µs (131 bits).
TEST_P(TraceBusLoad, NineFrameTimesOverTheSpanOfTen) {
    const BusLoadCase c = GetParam();
    for (uint32_t i = 0; i < 10; ++i) {
        const uint32_t at = 1'000'000 + i * c.spacingUs;
        EXPECT_EQ(trace.GetBusLoad(), 0.0f) << "before the tenth frame";
        add(c.extended ? 0x1000 : 0x100, {1, 2, 3, 4, 5, 6, 7, 8}, at / 1000, at % 1000, 8, c.remote, c.extended);
    }
    EXPECT_FLOAT_EQ(trace.GetBusLoad(), c.load);
    EXPECT_FLOAT_EQ(trace.GetMaxBusLoad(), c.load);
    trace.ClearBusLoad();
    EXPECT_EQ(trace.GetMaxBusLoad(), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(Frames, TraceBusLoad,
                         ::testing::Values(BusLoadCase{false, false, 888, 50.0f}, BusLoadCase{true, false, 376, 50.0f},
                                           BusLoadCase{false, true, 1048, 50.0f},
                                           BusLoadCase{false, false, 320, 100.0f}));

TEST_F(TraceBufferTest, MessageRateCountsNineteenIntervalsAndSkipsZeroSpans) {
    for (uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(trace.GetMessageRate(), 0.0f);
        add(0x181, {1}, 500 + i);
    }
    EXPECT_FLOAT_EQ(trace.GetMessageRate(), 1000.0f);
    EXPECT_FLOAT_EQ(trace.GetPeakMessageRate(), 1000.0f);

    // Frames stamped in the same millisecond leave the figures as they were: no infinity.
    trace.Reset();
    trace.Start(250);
    for (uint32_t i = 0; i < 30; ++i)
        add(0x181, {1, 2, 3, 4, 5, 6, 7, 8}, 700);
    EXPECT_EQ(trace.GetMessageRate(), 0.0f);
    EXPECT_EQ(trace.GetPeakMessageRate(), 0.0f);
    EXPECT_EQ(trace.GetBusLoad(), 0.0f);
    EXPECT_EQ(trace.GetMaxBusLoad(), 0.0f);
}

// A search holds the ring for a whole chunk of records; a frame that cannot get in within the receive
// path's 100 ms is dropped, counted and warned about once, never written unlocked.
TEST_F(TraceBufferTest, FramesThatCannotGetTheLockInTimeAreCountedAndWarnedOnce) {
    for (uint32_t i = 0; i < 5000; ++i)
        add(0x181, {1}, i);
    // Enough filters that one chunk of the search takes far longer than 100 ms.
    std::vector<TraceFilter> never(200'000, idFilter(0x7FF, 0x7FE));
    std::atomic<bool> searching{true};
    std::thread searcher([&] {
        EXPECT_FALSE(trace.FindFirst(never.data(), static_cast<int>(never.size())));
        searching = false;
    });
    while (searching && trace.GetDroppedCount() < 3) {
        add(0x182, {2});
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // frames as a busy bus brings them
    }
    searcher.join();
    EXPECT_GE(trace.GetDroppedCount(), 1u);
    ASSERT_EQ(log.GetLineCount(), 1);
    EXPECT_EQ(log.GetLine(0), "Warning: receive buffer busy, frames dropped!");

    trace.Reset();
    EXPECT_EQ(trace.GetDroppedCount(), 0u);
}

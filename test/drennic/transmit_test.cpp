// CAN_Transmit, the post-transmit delay and the event registrations.
#include "library_fixture.h"

#include "testbus.h"

#include <chrono>
#include <vector>

namespace drennic::test {
namespace {

using Clock = std::chrono::steady_clock;

class DrennicTransmit : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        bus_ = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
    }
    void TearDown() override {
        bus_.reset();
        DrennicLibrary::TearDown();
    }
    TestBus& bus() { return *bus_; }

private:
    std::unique_ptr<TestBus> bus_;
};

TEST_F(DrennicTransmit, FrameReachesTheBusWithItsIdentifierLengthFlagsAndBytes) {
    std::vector<CANFrame> heard;
    const auto id = bus().attach([&](const CANFrame& f) { heard.push_back(f); });

    ResultBlock result = patternedResult();
    const CANFrame sdo = makeFrame(0x605, {0x40, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00});
    CAN_Transmit(&sdo, &result);
    EXPECT_EQ(result.code, DRN_OK);

    CANFrame extendedError = makeFrame(0x1ABCDEF0, {0xDE, 0xAD, 0xBE}, DRN_FLAG_EXTENDED | DRN_FLAG_ERROR);
    CAN_Transmit(&extendedError, &result);
    const CANFrame remote = makeFrame(0x705, {}, DRN_FLAG_REMOTE);
    CAN_Transmit(&remote, &result);
    bus().detach(id);

    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].id, 0x605u);
    EXPECT_EQ(heard[0].length, 8);
    EXPECT_EQ(heard[0].flags, 0);
    EXPECT_EQ(std::memcmp(heard[0].data, sdo.data, 8), 0);
    EXPECT_EQ(heard[1].id, 0x1ABCDEF0u);
    EXPECT_EQ(heard[1].flags, DRN_FLAG_EXTENDED | DRN_FLAG_ERROR);
    EXPECT_EQ(heard[1].length, 3);
    EXPECT_EQ(heard[1].data[2], 0xBE);
    EXPECT_EQ(heard[2].flags, DRN_FLAG_REMOTE);
    EXPECT_EQ(heard[2].length, 0);
    EXPECT_EQ(bus().sent().size(), 3u);
}

TEST_F(DrennicTransmit, SuccessWritesOnlyTheCode) {
    ResultBlock result = patternedResult();
    const CANFrame frame = makeFrame(0x80, {});
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_OK);
    const ResultBlock pattern = patternedResult();
    EXPECT_EQ(std::memcmp(result.message, pattern.message, sizeof result.message), 0);
}

TEST_F(DrennicTransmit, TransmitErrorPassesTheDriversMessageOn) {
    bus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error");
    ResultBlock result = patternedResult();
    const CANFrame frame = makeFrame(0x181, {1, 2});
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Transmit error");
    EXPECT_TRUE(bus().sent().empty());
}

TEST_F(DrennicTransmit, OtherDriverFailuresReportHardwareNotInitialized) {
    bus().setTransmitFailure(DRN_NOT_INITIALIZED, u"driver text that is not passed on");
    ResultBlock result = patternedResult();
    const CANFrame frame = makeFrame(0x181, {1, 2});
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Hardware not initialized");
}

TEST_F(DrennicTransmit, FrameLongerThanEightIsRefusedAndNotSent) {
    CANFrame frame = makeFrame(0x181, {1, 2, 3, 4, 5, 6, 7, 8});
    frame.length = 9;
    ResultBlock result = patternedResult();
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Invalid frame length 9: a CAN frame carries at most 8 data bytes");
    EXPECT_TRUE(bus().sent().empty());
}

TEST_F(DrennicTransmit, NullFrameIsRefused) {
    ResultBlock result = patternedResult();
    CAN_Transmit(nullptr, &result);
    EXPECT_EQ(result.code, DRN_BAD_PARAMETERS);
    EXPECT_TRUE(bus().sent().empty());
    CAN_Transmit(nullptr, nullptr);
}

TEST_F(DrennicTransmit, NullResultBlockStillTransmits) {
    const CANFrame frame = makeFrame(0x80, {});
    CAN_Transmit(&frame, nullptr);
    EXPECT_EQ(bus().sent().size(), 1u);
}

TEST_F(DrennicTransmit, PostTransmitDelayFollowsEverySuccessfulTransmission) {
    CANopen_SetPostTransmitDelay(40);
    const CANFrame frame = makeFrame(0x80, {});
    ResultBlock result{};
    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        CAN_Transmit(&frame, &result);
        ASSERT_EQ(result.code, DRN_OK);
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));
}

TEST_F(DrennicTransmit, DefaultDelayIsOneMillisecondPerTransmission) {
    const CANFrame frame = makeFrame(0x80, {});
    ResultBlock result{};
    const auto start = Clock::now();
    for (int i = 0; i < 50; ++i) {
        CAN_Transmit(&frame, &result);
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
}

// Without a delay no transmission sleeps: 2,000 of them take far less than the 2 s that even the
// shortest sleep per frame would add up to.
TEST_F(DrennicTransmit, ZeroDelayDoesNotSleep) {
    CANopen_SetPostTransmitDelay(0);
    const CANFrame frame = makeFrame(0x80, {});
    ResultBlock result{};
    const auto start = Clock::now();
    for (int i = 0; i < 2000; ++i) {
        CAN_Transmit(&frame, &result);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(bus().sent().size(), 2000u);
}

TEST_F(DrennicTransmit, FailedTransmissionDoesNotSleep) {
    CANopen_SetPostTransmitDelay(100);
    bus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error");
    const CANFrame frame = makeFrame(0x80, {});
    ResultBlock result{};
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        CAN_Transmit(&frame, &result);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
}

TEST_F(DrennicLibrary, TransmitWithoutDriverReportsHardwareNotInitialized) {
    ResultBlock result = patternedResult();
    const CANFrame frame = makeFrame(0x80, {});
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Hardware not initialized");

    CANopenDLL_Startup(0, u"unknown.dll");
    result = patternedResult();
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Hardware not initialized");
}

// ---- Events ----

struct TransmitRecord {
    std::vector<CANFrame> frames;
    static void callback(const CANFrame* frame, void* user) {
        static_cast<TransmitRecord*>(user)->frames.push_back(*frame);
    }
};

TEST_F(DrennicTransmit, TransmitCallbackSeesEachSuccessfulFrameWithoutTimeFields) {
    TransmitRecord record;
    Event_Transmit(TransmitRecord::callback, &record);

    const CANFrame frame = makeFrame(0x201, {9, 8, 7});
    ResultBlock result{};
    CAN_Transmit(&frame, &result);
    bus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 1);
    CAN_Transmit(&frame, &result);
    ASSERT_EQ(result.code, DRN_REQUEST_FAILED);

    ASSERT_EQ(record.frames.size(), 1u);
    EXPECT_EQ(record.frames[0].id, 0x201u);
    EXPECT_EQ(record.frames[0].length, 3);
    EXPECT_EQ(record.frames[0].data[2], 7);
    EXPECT_EQ(record.frames[0].timeMs, 0u);
    EXPECT_EQ(record.frames[0].timeUs, 0u);

    Event_Transmit(nullptr, nullptr);  // switched off
    CAN_Transmit(&frame, &result);
    EXPECT_EQ(record.frames.size(), 1u);
}

void receiveA(const CANFrame*, int32_t, void*) {}
void receiveB(const CANFrame*, int32_t, void*) {}
void majorA(uint32_t, void*) {}

TEST_F(DrennicLibrary, EventRegistrationsAreKeptForTheEngineAndReplaced) {
    int userA = 0;
    int userB = 0;
    Event_Receive(receiveA, &userA);
    EXPECT_EQ(receiveHandler(), std::make_pair(ReceiveCallback{receiveA}, static_cast<void*>(&userA)));
    Event_Receive(receiveB, &userB);
    EXPECT_EQ(receiveHandler(), std::make_pair(ReceiveCallback{receiveB}, static_cast<void*>(&userB)));
    Event_Receive(nullptr, &userB);
    EXPECT_EQ(receiveHandler().first, nullptr);

    Event_MajorError(majorA, &userA);
    EXPECT_EQ(majorErrorHandler(), std::make_pair(MajorErrorCallback{majorA}, static_cast<void*>(&userA)));
    Event_MajorError(nullptr, nullptr);
    EXPECT_EQ(majorErrorHandler().first, nullptr);
}

TEST_F(DrennicLibrary, EventRegistrationsSurviveARestartOfTheLibrary) {
    int user = 0;
    Event_Receive(receiveA, &user);
    CANopenDLL_Startup(0, u"unknown.dll");
    CANopenDLL_Shutdown();
    EXPECT_EQ(receiveHandler().first, receiveA);
}

TEST_F(DrennicLibrary, TransmitRegistrationWithoutDriverIsIgnored) {
    TransmitRecord record;
    Event_Transmit(TransmitRecord::callback, &record);  // nothing to pass it to
    TestBus bus;
    CANopenDLL_Startup(1, u"");
    const CANFrame frame = makeFrame(0x80, {});
    ResultBlock result{};
    CAN_Transmit(&frame, &result);
    ASSERT_EQ(result.code, DRN_OK);
    EXPECT_TRUE(record.frames.empty());
}

} // namespace
} // namespace drennic::test

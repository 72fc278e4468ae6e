// CANopen_NMT: the command frame for one node and for all, its result, and what the nodes do.
#include "nmt_scene.h"

#include <thread>

namespace drennic::test {
namespace {

using ostrel::fixtures::NmtState;

struct CommandCase {
    uint32_t type;
    uint8_t commandByte;
};

void PrintTo(const CommandCase& c, std::ostream* out) {
    *out << "type " << c.type << " -> 0x" << std::hex << int{c.commandByte};
}

class NmtCommandFrame : public NmtScene, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(NmtCommandFrame, GoesOutOnIdentifierZeroForOneNodeAndForAll) {
    startBus({});
    const CommandCase c = GetParam();
    for (uint8_t node : {uint8_t{0}, uint8_t{5}, uint8_t{127}}) {
        testBus().clearSent();
        ResultBlock result = patternedResult();
        CANopen_NMT(node, c.type, &result);
        EXPECT_EQ(result.code, DRN_OK);
        // Success writes the code alone.
        const ResultBlock pattern = patternedResult();
        EXPECT_EQ(std::memcmp(result.message, pattern.message, sizeof result.message), 0);
        const std::vector<CANFrame> sent = testBus().sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].id, 0x000u);
        EXPECT_EQ(sent[0].flags, 0);
        ASSERT_EQ(sent[0].length, 2);
        EXPECT_EQ(sent[0].data[0], c.commandByte) << "type " << c.type;
        EXPECT_EQ(sent[0].data[1], node);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryType, NmtCommandFrame,
                         ::testing::Values(CommandCase{0, 0x01}, CommandCase{1, 0x02}, CommandCase{2, 0x80},
                                           CommandCase{3, 0x81}, CommandCase{4, 0x81}, CommandCase{5, 0x82},
                                           CommandCase{6, 0x02}, CommandCase{0xFFFFFFFF, 0x02}),
                         [](const auto& info) { return "Type" + std::to_string(info.index); });

using NmtCommand = NmtScene;

bool waitForState(ostrel::fixtures::SimNode& node, NmtState state) {
    for (int i = 0; i < 2000; ++i) {
        if (node.nmtState() == state) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST_F(NmtCommand, NodeZeroAddressesEveryNode) {
    auto& node3 = addNode(3);
    auto& node10 = addNode(10);
    startBus({3, 10});
    ASSERT_EQ(node3.nmtState(), NmtState::PreOperational);
    ResultBlock result{};
    CANopen_NMT(0, 0, &result);
    ASSERT_EQ(result.code, DRN_OK);
    EXPECT_TRUE(waitForState(node3, NmtState::Operational));
    EXPECT_TRUE(waitForState(node10, NmtState::Operational));
    CANopen_NMT(0, 1, &result);
    EXPECT_TRUE(waitForState(node3, NmtState::Stopped));
    EXPECT_TRUE(waitForState(node10, NmtState::Stopped));
    CANopen_NMT(0, 2, &result);
    EXPECT_TRUE(waitForState(node3, NmtState::PreOperational));
    EXPECT_TRUE(waitForState(node10, NmtState::PreOperational));
}

TEST_F(NmtCommand, StartOfOneNodeLeavesTheOthersPreOperational) {
    auto& node3 = addNode(3);
    auto& node10 = addNode(10);
    startBus({3, 10});
    ResultBlock result{};
    CANopen_NMT(10, 0, &result);
    ASSERT_EQ(result.code, DRN_OK);
    ASSERT_TRUE(waitForState(node10, NmtState::Operational));
    EXPECT_EQ(node3.nmtState(), NmtState::PreOperational);
}

TEST_F(NmtCommand, ResetNodeAndResetCommunicationBootTheNodeAgain) {
    addNode(3);
    addNode(10);
    startBus({3, 10});
    for (uint32_t type : {3u, 4u, 5u}) {
        recorder().clearReceived();
        ResultBlock result{};
        CANopen_NMT(10, type, &result);
        ASSERT_EQ(result.code, DRN_OK);
        EXPECT_TRUE(recorder().waitForReceived([](const CANFrame& f) { return f.id == 0x70A; }, kGenerousWait))
            << "type " << type;
        // Node 3 was not addressed and stays silent.
        EXPECT_FALSE(recorder().waitForReceived([](const CANFrame& f) { return f.id == 0x703; },
                                                std::chrono::milliseconds(50)));
    }
}

TEST_F(NmtCommand, IsSentWhileAnEngineRequestRuns) {
    addNode(3);
    startBus({3});
    CANopen_SetSDOTimeout(2000);
    ScanResult results[DRN_NODE_COUNT]{};
    int32_t out = -99;
    CANopen_ScanNetwork(results, &CallbackRecorder::onCompletion, &recorder(), &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(testBus().waitForSent(DRN_NODE_COUNT, 10000));
    testBus().clearSent();
    ResultBlock result{};
    CANopen_NMT(0, 0, &result);
    EXPECT_EQ(result.code, DRN_OK);
    EXPECT_TRUE(recorder().completions().empty());  // the scan still collects
    const auto sent = testBus().sent();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front().id, 0x000u);
    CANopen_Cancel();
    EXPECT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
}

TEST_F(NmtCommand, TransmitErrorReportsTheDriversMessage) {
    startBus({});
    testBus().setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error");
    ResultBlock result = patternedResult();
    CANopen_NMT(1, 0, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Transmit error");
}

TEST_F(NmtCommand, OtherDriverFailureReportsHardwareNotInitialized) {
    startBus({});
    testBus().setTransmitFailure(DRN_NOT_INITIALIZED, u"not passed on");
    ResultBlock result = patternedResult();
    CANopen_NMT(1, 0, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Hardware not initialized");
}

TEST(NmtCommandWithoutLibrary, ReportsHardwareNotInitialized) {
    resetLibraryState();
    ResultBlock result = patternedResult();
    CANopen_NMT(1, 0, &result);
    EXPECT_EQ(result.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(messageOf(result), u"Hardware not initialized");
}

} // namespace
} // namespace drennic::test

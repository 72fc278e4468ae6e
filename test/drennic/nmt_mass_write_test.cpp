// CANopen_MassExpeditedWrite against simulated devices: the frames, which nodes acknowledge, the
// refusal of values that need a segmented transfer, and the COB-ID rule afterwards.
#include "nmt_scene.h"

#include "engine_settings.h"

#include <thread>

namespace drennic::test {
namespace {

using namespace std::chrono_literals;
using ostrel::fixtures::SdoFault;
using ostrel::fixtures::SimObjectDictionary;

constexpr uint16_t kIndex = 0x2004;  // "Test values" of the full profile
constexpr uint8_t kInteger32 = 4;

class NmtMassWrite : public NmtScene {
protected:
    void SetUp() override {
        NmtScene::SetUp();
        CANopen_SetSDOTimeout(200);
        for (MassWriteResult& r : results_) {
            r.acknowledged = 0xEE;  // cleared when the write is posted
            r.unused = 0xCAFEF00D;
        }
    }

    void massWrite(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value) {
        value_ = std::move(value);
        int32_t out = -99;
        CANopen_MassExpeditedWrite(index, subIndex, value_.data(), static_cast<uint32_t>(value_.size()), results_,
                                   &CallbackRecorder::onCompletion, &recorder(), &out);
        ASSERT_EQ(out, DRN_OK);
    }

    [[nodiscard]] std::vector<CANFrame> requestsSent() {
        std::vector<CANFrame> requests;
        for (const CANFrame& f : testBus().sent()) {
            if (f.id > 0x600 && f.id < 0x680 && f.data[0] != 0x80) {
                requests.push_back(f);
            }
        }
        return requests;
    }

    std::vector<uint8_t> value_;
    MassWriteResult results_[DRN_NODE_COUNT]{};
};

TEST_F(NmtMassWrite, FiveNodesOneOfWhichAbortsGiveExactlyTheOtherFourAcknowledged) {
    const std::vector<uint8_t> nodeIds = {2, 7, 20, 64, 127};
    std::vector<ostrel::fixtures::SimNode*> nodes;
    for (uint8_t id : nodeIds) {
        nodes.push_back(&addNode(id, SimObjectDictionary::fullProfile()));
    }
    nodes[2]->addSdoFault(SdoFault::abortWrite(kIndex, kInteger32, 0x08000022));  // node 20
    startBus({2, 7, 20, 64, 127});

    massWrite(kIndex, kInteger32, {0x11, 0x22, 0x33, 0x44});
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    EXPECT_EQ(recorder().completions().at(0).code, DRN_OK) << "a node's abort is not the request's failure";

    for (int node = 1; node <= DRN_NODE_COUNT; ++node) {
        const bool acknowledges = node == 2 || node == 7 || node == 64 || node == 127;
        EXPECT_EQ(results_[node - 1].acknowledged, acknowledges ? 1 : 0) << "node " << node;
        EXPECT_EQ(results_[node - 1].unused, 0xCAFEF00Du);
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const auto value = nodes[i]->readUnsigned(kIndex, kInteger32);
        ASSERT_TRUE(value.has_value());
        if (nodeIds[i] == 20) {
            EXPECT_EQ(*value, 0x12345678u) << "node 20 refused the write and kept its value";
        } else {
            EXPECT_EQ(*value, 0x44332211u) << "node " << int{nodeIds[i]};
        }
    }
    // Node 20's log shows the abort; the others' the written bytes.
    const auto log20 = nodes[2]->writeLog();
    ASSERT_EQ(log20.size(), 1u);
    EXPECT_EQ(log20[0].abortCode, 0x08000022u);
    const auto log64 = nodes[3]->writeLog();
    ASSERT_EQ(log64.size(), 1u);
    EXPECT_EQ(log64[0].abortCode, 0u);
    EXPECT_EQ(log64[0].data, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
}

struct SizeCase {
    std::vector<uint8_t> value;
    uint8_t commandByte;
};

void PrintTo(const SizeCase& c, std::ostream* out) {
    *out << c.value.size() << " bytes -> 0x" << std::hex << int{c.commandByte};
}

class NmtMassWriteFrames : public NmtMassWrite, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(NmtMassWriteFrames, EveryNodeGetsTheExpeditedInitiateDownload) {
    startBus({});
    const SizeCase c = GetParam();
    massWrite(0x2004, 3, c.value);
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    const auto requests = requestsSent();
    ASSERT_EQ(requests.size(), std::size_t{DRN_NODE_COUNT});
    for (int node = 1; node <= DRN_NODE_COUNT; ++node) {
        const CANFrame& f = requests[node - 1];
        EXPECT_EQ(f.id, 0x600u + node);
        ASSERT_EQ(f.length, 8);
        EXPECT_EQ(f.data[0], c.commandByte);
        EXPECT_EQ(f.data[1], 0x04);
        EXPECT_EQ(f.data[2], 0x20);
        EXPECT_EQ(f.data[3], 0x03);
        for (std::size_t i = 0; i < c.value.size(); ++i) {
            EXPECT_EQ(f.data[4 + i], c.value[i]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, NmtMassWriteFrames,
                         ::testing::Values(SizeCase{{0xAA}, 0x2F}, SizeCase{{0xAA, 0xBB}, 0x2B},
                                           SizeCase{{0xAA, 0xBB, 0xCC}, 0x27},
                                           SizeCase{{0xAA, 0xBB, 0xCC, 0xDD}, 0x23}),
                         [](const auto& info) { return std::to_string(info.param.value.size()) + "Bytes"; });

// No expedited frame carries 0 bytes or more than 4.
class NmtMassWriteRefused : public NmtMassWrite, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(NmtMassWriteRefused, ValueOfNoneOrMoreThanFourBytesIsRefusedWithoutSendingAnything) {
    auto& node4 = addNode(4, SimObjectDictionary::fullProfile());
    startBus({4});
    const auto before = node4.readUnsigned(kIndex, kInteger32);
    SdoChannelRule rule;
    rule.mode = 2;
    rule.channel = 5;
    setSdoChannelRule(rule);
    testBus().clearSent();
    massWrite(kIndex, kInteger32, std::vector<uint8_t>(GetParam(), 0xAB));
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    const auto completion = recorder().completions().at(0);
    EXPECT_EQ(completion.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completion.message, u"Mass write takes 1 to 4 bytes (expedited transfer)");
    EXPECT_TRUE(testBus().sent().empty());
    EXPECT_TRUE(node4.writeLog().empty());
    EXPECT_EQ(node4.readUnsigned(kIndex, kInteger32), before);
    for (const MassWriteResult& r : results_) {
        EXPECT_EQ(r.acknowledged, 0);
    }
    EXPECT_EQ(sdoChannelRule(), rule);
}

INSTANTIATE_TEST_SUITE_P(Sizes, NmtMassWriteRefused, ::testing::Values(std::size_t{0}, std::size_t{8}),
                         [](const auto& info) { return std::to_string(info.param) + "Bytes"; });

TEST_F(NmtMassWrite, ChannelRuleOfTheCallerComesBackAfterTheWrite) {
    auto& node6 = addNode(6, SimObjectDictionary::fullProfile());
    startBus({6});
    SdoChannelRule rule;
    rule.mode = 2;
    rule.channel = 16;
    setSdoChannelRule(rule);
    massWrite(kIndex, kInteger32, {9, 9, 9, 9});
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    EXPECT_EQ(results_[5].acknowledged, 1);
    EXPECT_EQ(node6.readUnsigned(kIndex, kInteger32), 0x09090909u);
    EXPECT_EQ(sdoChannelRule(), rule);
}

TEST_F(NmtMassWrite, UnexpectedAnswerFailsTheRequestButOtherNodesStillAcknowledge) {
    auto& node6 = addNode(6, SimObjectDictionary::fullProfile());
    node6.setResponseLatencyUs(1'000'000);
    startBus({6});
    CANopen_SetSDOTimeout(3000);
    massWrite(kIndex, kInteger32, {1, 0, 0, 0});
    ASSERT_TRUE(testBus().waitForSent(DRN_NODE_COUNT, 20000));
    testBus().inject(makeFrame(0x581, {0x41, 0x04, 0x20, 0x04, 4, 0, 0, 0}));  // 0x581: an upload answer
    testBus().inject(makeFrame(0x582, {0x20, 0x04, 0x20, 0x04, 0, 0, 0, 0}));         // a download segment answer
    ASSERT_TRUE(recorder().waitForCompletions(1, kGenerousWait));
    const auto completion = recorder().completions().at(0);
    EXPECT_EQ(completion.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completion.message, u"Client aborted - 0x05040001");
    int aborts = 0;
    for (const CANFrame& f : testBus().sent()) {
        if (f.data[0] == 0x80) {
            ++aborts;
            EXPECT_EQ(f.id, 0x602u) << "only the node with the download segment answer is aborted";
        }
    }
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(results_[0].acknowledged, 0);
    EXPECT_EQ(results_[5].acknowledged, 1);
}

} // namespace
} // namespace drennic::test

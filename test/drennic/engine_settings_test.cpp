// The engine's settings exports, the SDO COB-ID rules and which identifiers answer a request.
#include "library_fixture.h"

#include "engine_context.h"
#include "engine_settings.h"

namespace drennic::test {
namespace {

using EngineSettings = DrennicLibrary;

TEST_F(EngineSettings, DefaultsBeforeAnySetter) {
    EXPECT_EQ(sdoTimeoutMs(), 300u);
    EXPECT_EQ(scanMassOperationDelayMs(), 0u);
    EXPECT_EQ(blockSegmentWriteDelayMs(), 0u);
    EXPECT_EQ(postTransmitDelayMs(), 1u);
    const SdoBlockConfig block = sdoBlockConfig();
    EXPECT_EQ(block.enableBlock, 0u);
    EXPECT_EQ(block.protocolSwitchThreshold, 28);
    EXPECT_EQ(block.crcSupported, 1u);
    EXPECT_EQ(block.blockSize, 127);
    const LssTimings lss = lssTimings();
    EXPECT_EQ(lss.responseTimeoutMs, 300u);
    EXPECT_EQ(lss.stepDelayMs, 30u);
    EXPECT_EQ(lss.switchDelayMs, 100u);
    EXPECT_FALSE(sdoChannelsEnabled());
    EXPECT_EQ(sdoChannelsTimeoutMs(), 2000u);
    EXPECT_EQ(sdoChannelRule(), SdoChannelRule{});
    EXPECT_EQ(SDO_RequestCobId(5), 0x605u);
    EXPECT_EQ(SDO_ResponseCobId(5), 0x585u);
}

TEST_F(EngineSettings, SettersStoreWhatTheyAreGiven) {
    CANopen_SetSDOTimeout(1234);
    CANopen_SetScanMassOperationDelay(7);
    CANopen_SetBlockSegmentWriteDelay(3);
    EXPECT_EQ(CANopen_SetSDOConfig(1, 40, 0, 16), DRN_OK);
    CANopen_SetLSSTimings(500, 20, 250);
    CANopen_SetSDOChannelsTimeout(900);
    CANopen_SetSDOChannel(3, 0x640, 0x5C0, 5);

    EXPECT_EQ(sdoTimeoutMs(), 1234u);
    EXPECT_EQ(scanMassOperationDelayMs(), 7u);
    EXPECT_EQ(blockSegmentWriteDelayMs(), 3u);
    const SdoBlockConfig block = sdoBlockConfig();
    EXPECT_EQ(block.enableBlock, 1u);
    EXPECT_EQ(block.protocolSwitchThreshold, 40);
    EXPECT_EQ(block.crcSupported, 0u);
    EXPECT_EQ(block.blockSize, 16);
    for (uint8_t refused : {uint8_t{0}, uint8_t{128}, uint8_t{255}}) {
        EXPECT_EQ(CANopen_SetSDOConfig(0, 28, 1, refused), DRN_BAD_PARAMETERS) << int{refused};
    }
    EXPECT_EQ(sdoBlockConfig().enableBlock, 1u) << "a refused block size changes no setting";
    EXPECT_EQ(sdoBlockConfig().blockSize, 16);
    const LssTimings lss = lssTimings();
    EXPECT_EQ(lss.responseTimeoutMs, 500u);
    EXPECT_EQ(lss.stepDelayMs, 20u);
    EXPECT_EQ(lss.switchDelayMs, 250u);
    EXPECT_EQ(sdoChannelsTimeoutMs(), 900u);
    EXPECT_EQ(sdoChannelRule(), (SdoChannelRule{3, 0x640, 0x5C0, 5}));

    resetEngineSettings();
    EXPECT_EQ(sdoTimeoutMs(), 300u);
    EXPECT_EQ(sdoChannelRule(), SdoChannelRule{});
}

TEST_F(EngineSettings, SdoChannelsSwitchesOnlyOnOneAndAnswersEnableMinusOne) {
    EXPECT_EQ(CANopen_SDOChannels(1), 0);
    EXPECT_TRUE(sdoChannelsEnabled());
    EXPECT_EQ(CANopen_SDOChannels(2), 1);
    EXPECT_FALSE(sdoChannelsEnabled());
    EXPECT_EQ(CANopen_SDOChannels(1), 0);
    EXPECT_EQ(CANopen_SDOChannels(0), -1);
    EXPECT_FALSE(sdoChannelsEnabled());
    EXPECT_EQ(CANopen_SDOChannels(INT32_MIN), INT32_MAX);
}

TEST(SdoChannelRule, ChannelRuleSixteenPutsNodeOneOn0x570And0x4F0) {
    const SdoChannelRule rule{2, 0, 0, 16};
    EXPECT_EQ(rule.requestCobIdFor(1), 0x570u);
    EXPECT_EQ(rule.responseCobIdFor(1), 0x4F0u);
}

TEST(SdoChannelRule, FixedRuleUsesTheConfiguredIdentifiersForEveryNode) {
    const SdoChannelRule rule{3, 0x640, 0x5C0, 16};
    for (uint8_t node : {uint8_t{1}, uint8_t{64}, uint8_t{127}}) {
        EXPECT_EQ(rule.requestCobIdFor(node), 0x640u);
        EXPECT_EQ(rule.responseCobIdFor(node), 0x5C0u);
    }
}

TEST(SdoChannelRule, UnknownModeGivesZero) {
    const SdoChannelRule rule{7, 0x640, 0x5C0, 16};
    EXPECT_EQ(rule.requestCobIdFor(3), 0u);
    EXPECT_EQ(rule.responseCobIdFor(3), 0u);
    EXPECT_FALSE(rule.isAnySdoResponse(0x583));
}

TEST(SdoChannelRule, AnySdoResponseByRule) {
    const SdoChannelRule byNode{1, 0, 0, 16};
    EXPECT_FALSE(byNode.isAnySdoResponse(0x580));
    EXPECT_TRUE(byNode.isAnySdoResponse(0x581));
    EXPECT_TRUE(byNode.isAnySdoResponse(0x5FF));
    EXPECT_FALSE(byNode.isAnySdoResponse(0x600));
    const SdoChannelRule byChannel{2, 0, 0, 16};
    EXPECT_TRUE(byChannel.isAnySdoResponse(0x4F0));
    EXPECT_FALSE(byChannel.isAnySdoResponse(0x470));
    const SdoChannelRule fixed{3, 0x640, 0x5C0, 16};
    EXPECT_TRUE(fixed.isAnySdoResponse(0x5C0));
    EXPECT_FALSE(fixed.isAnySdoResponse(0x5C1));
}

TEST_F(EngineSettings, RequestResponseDependsOnTheProtocolState) {
    EngineContext context;
    context.request.node = 5;

    context.protocolState = 7;  // an SDO state: the node's response COB-ID only
    EXPECT_TRUE(Engine_IsRequestResponse(context, 0x585));
    EXPECT_FALSE(Engine_IsRequestResponse(context, 0x586));
    EXPECT_FALSE(Engine_IsRequestResponse(context, 0x7E4));

    for (int32_t collect : {kStateScanCollect, kStateMassWriteCollect}) {
        context.protocolState = collect;  // every node may answer
        EXPECT_TRUE(Engine_IsRequestResponse(context, 0x581));
        EXPECT_TRUE(Engine_IsRequestResponse(context, 0x5FF));
        EXPECT_FALSE(Engine_IsRequestResponse(context, 0x580));
        EXPECT_FALSE(Engine_IsRequestResponse(context, 0x600));
    }

    for (int32_t lss : {10, 16, 17, 18, 22, 23}) {
        context.protocolState = lss;
        EXPECT_TRUE(Engine_IsRequestResponse(context, 0x7E4)) << "state " << lss;
        EXPECT_FALSE(Engine_IsRequestResponse(context, 0x585)) << "state " << lss;
    }

    // Waits for a channel, LSS steps and activation waits, scan and mass write sending: no answer.
    for (int32_t waiting : {1, 6, 12, 13, 14, 15, 19, 20, 21, 24, 25, 26, 27, 28, 29}) {
        context.protocolState = waiting;
        EXPECT_FALSE(Engine_IsRequestResponse(context, 0x585)) << "state " << waiting;
    }

    CANopen_SetSDOChannel(3, 0x640, 0x5C0, 16);
    context.protocolState = 7;
    EXPECT_TRUE(Engine_IsRequestResponse(context, 0x5C0));
    EXPECT_FALSE(Engine_IsRequestResponse(context, 0x585));
    context.protocolState = kStateScanCollect;
    EXPECT_TRUE(Engine_IsRequestResponse(context, 0x5C0));
    EXPECT_FALSE(Engine_IsRequestResponse(context, 0x585));
}

} // namespace
} // namespace drennic::test

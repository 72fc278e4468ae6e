// The SDO client against the fixture's simulated node: every transfer type in both directions, the
// frames it puts on the bus, aborts, time-outs, cancel, retransmission in block transfer, and the
// buffer bounds of uploads. Answers no well-behaved node gives come from a scripted peer.
#include "sdo_test_support.h"

#include "engine_settings.h"
#include "sdo_client.h"
#include "sim_sdo_server.h"

#include <atomic>
#include <cmath>
#include <stop_token>
#include <thread>
#include <tuple>

namespace drennic::test {
namespace {

using ostrel::fixtures::SdoFault;
using ostrel::fixtures::SdoServerSettings;

constexpr uint32_t kRequestId = 0x600 + 5;
constexpr uint32_t kResponseId = 0x580 + 5;

// ---- Byte-exact transfers ------------------------------------------------------------------------

enum class Transfer {
    Segmented,     // block transfer off: expedited up to 4 bytes, else segmented
    Block,         // block transfer for every size (switch threshold 0)
    BlockSwitched, // block transfer above the default threshold of 28 bytes
};
enum class Direction { Upload, Download };

struct TransferCase {
    Transfer transfer;
    Direction direction;
    uint32_t size;
};

std::string caseName(const ::testing::TestParamInfo<TransferCase>& info) {
    static constexpr const char* kTransfer[] = {"Segmented", "Block", "BlockSwitched"};
    return std::string(kTransfer[static_cast<int>(info.param.transfer)]) +
           (info.param.direction == Direction::Upload ? "Upload" : "Download") + std::to_string(info.param.size);
}

void PrintTo(const TransferCase& c, std::ostream* out) {
    *out << static_cast<int>(c.transfer) << (c.direction == Direction::Upload ? " up " : " down ") << c.size;
}

std::vector<TransferCase> allCases() {
    std::vector<TransferCase> cases;
    for (Transfer t : {Transfer::Segmented, Transfer::Block, Transfer::BlockSwitched}) {
        for (Direction d : {Direction::Upload, Direction::Download}) {
            for (uint32_t size : {0u, 1u, 4u, 7u, 8u, 28u, 29u, 127u * 7u, 10'000u, 100'000u}) {
                cases.push_back({t, d, size});
            }
        }
    }
    return cases;
}

class SdoRoundTrip : public SdoWithNode, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(SdoRoundTrip, ArrivesByteExact) {
    const TransferCase c = GetParam();
    switch (c.transfer) {
    case Transfer::Segmented: CANopen_SetSDOConfig(0, 28, 1, 127); break;
    case Transfer::Block: CANopen_SetSDOConfig(1, 0, 1, 127); break;
    case Transfer::BlockSwitched: CANopen_SetSDOConfig(1, 28, 1, 127); break;
    }
    const std::vector<uint8_t> data = pattern(c.size, c.size + 7);
    if (c.direction == Direction::Download) {
        const Outcome outcome = downloadBlocking(kNode, kBigObject, 0, data);
        ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
        EXPECT_TRUE(outcome.message.empty());
        EXPECT_EQ(node->read(kBigObject, 0), data);
        const auto log = node->writeLog();
        ASSERT_EQ(log.size(), 1u) << "written once";
        EXPECT_EQ(log[0].abortCode, 0u);
    } else {
        ASSERT_TRUE(node->write(kBigObject, 0, data));
        // Block transfer needs two bytes of room beyond the data.
        const uint32_t capacity = c.transfer == Transfer::Segmented ? c.size : c.size + 2;
        const Outcome outcome = uploadBlocking(kNode, kBigObject, 0, capacity);
        ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
        EXPECT_EQ(outcome.sizeWord, c.size);
        EXPECT_EQ(outcome.data, data);
    }
    EXPECT_TRUE(abortsSentTo(*bus, kRequestId).empty());
    // The transfer type the settings ask for is the one on the bus.
    const auto frames = sentTo(*bus, kRequestId);
    ASSERT_FALSE(frames.empty());
    const uint8_t first = frames.front().data[0];
    const bool block = c.transfer == Transfer::Block || (c.transfer == Transfer::BlockSwitched && c.size > 28) ||
                       (c.transfer == Transfer::BlockSwitched && c.direction == Direction::Upload);
    const bool blockAllowed = c.direction == Direction::Upload || c.size > 0;
    if (block && blockAllowed) {
        EXPECT_EQ(first & 0xE0, c.direction == Direction::Upload ? 0xA0 : 0xC0);
    } else {
        EXPECT_EQ(first & 0xE0, c.direction == Direction::Upload ? 0x40 : 0x20);
    }
}

INSTANTIATE_TEST_SUITE_P(AllSizes, SdoRoundTrip, ::testing::ValuesIn(allCases()), caseName);

// ---- Frames on the bus ---------------------------------------------------------------------------

using SdoClient = SdoWithNode;

TEST_F(SdoClient, DownloadCommandBytesFollowTheSize) {
    ASSERT_EQ(downloadBlocking(kNode, 0x2004, 4, {1, 2, 3, 4}).code, DRN_OK);
    ASSERT_EQ(downloadBlocking(kNode, 0x2004, 2, {9}).code, DRN_OK);
    ASSERT_EQ(downloadBlocking(kNode, kBigObject, 0, {1, 2, 3, 4, 5}).code, DRN_OK);
    const auto frames = sentTo(*bus, kRequestId);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].data[0], 0x23);
    EXPECT_EQ(frames[0].data[4], 1);
    EXPECT_EQ(frames[0].data[7], 4);
    EXPECT_EQ(frames[1].data[0], 0x2F);
    EXPECT_EQ(frames[2].data[0], 0x21);
    EXPECT_EQ(le32(frames[2].data + 4), 5u);
    EXPECT_EQ(frames[3].data[0], 0x05) << "toggle 0, 2 bytes unused, last";
    for (const CANFrame& f : frames) EXPECT_EQ(f.length, 8);
}

TEST_F(SdoClient, EmptyDownloadGoesSegmentedWithSizeZero) {
    ASSERT_TRUE(node->write(0x2005, 0, {'x'}));
    const Outcome outcome = downloadBlocking(kNode, 0x2005, 0, {});
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(node->read(0x2005, 0), std::vector<uint8_t>{});
    const auto frames = sentTo(*bus, kRequestId);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data[0], 0x21) << "never the reserved command 0x33";
    EXPECT_EQ(le32(frames[0].data + 4), 0u);
    EXPECT_EQ(frames[1].data[0], 0x0F) << "one segment without data, last";
}

TEST_F(SdoClient, BlockDownloadUsesBlockTransferOnlyAboveTheThreshold) {
    CANopen_SetSDOConfig(1, 28, 1, 127);
    ASSERT_EQ(downloadBlocking(kNode, kBigObject, 0, pattern(28)).code, DRN_OK);
    ASSERT_EQ(sentTo(*bus, kRequestId).front().data[0], 0x21) << "28 bytes go segmented";
    bus->clearSent();
    ASSERT_EQ(downloadBlocking(kNode, kBigObject, 0, pattern(29)).code, DRN_OK);
    const auto frames = sentTo(*bus, kRequestId);
    EXPECT_EQ(frames.front().data[0], 0xC6) << "block initiate with CRC and size";
    EXPECT_EQ(le32(frames.front().data + 4), 29u);
    const CANFrame& end = frames.back();
    EXPECT_EQ(end.data[0], 0xC1 | (6 << 2)) << "29 bytes leave 6 unused in the last segment";
    const auto data = pattern(29);
    EXPECT_EQ(end.data[1] | (end.data[2] << 8), sdoCrc16(data.data(), data.size()));
}

TEST_F(SdoClient, DeviceTypeIsNeverReadByBlockTransfer) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const Outcome outcome = uploadBlocking(kNode, 0x1000, 0, 4);
    ASSERT_EQ(outcome.code, DRN_OK);
    EXPECT_EQ(le32(outcome.data.data()), 0x000F0191u);
    EXPECT_EQ(sentTo(*bus, kRequestId).front().data[0], 0x40);
}

TEST_F(SdoClient, BlockUploadSwitchedToSegmentedBySmallObjectCompletes) {
    CANopen_SetSDOConfig(1, 28, 1, 127);
    const Outcome outcome = uploadBlocking(kNode, 0x2001, 0, 64);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(std::string(outcome.data.begin(), outcome.data.end()), "Ostrel");
    const auto frames = sentTo(*bus, kRequestId);
    EXPECT_EQ(frames.front().data[0], 0xA4) << "block initiate with CRC";
    EXPECT_EQ(frames.front().data[4], 127);
    EXPECT_EQ(frames.front().data[5], 28);
    EXPECT_EQ(frames[1].data[0], 0x60) << "then the ordinary segment request";
}

// ---- Aborts and time-outs ------------------------------------------------------------------------

TEST_F(SdoClient, SegmentedUploadAbortsOnToggleError) {
    node->addSdoFault(SdoFault::wrongUploadToggle(0x2000, 0, 2));
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 4096);
    EXPECT_EQ(outcome.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05030000");
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x05030000});
    EXPECT_EQ(outcome.sizeWord, 7u) << "the first segment was stored";
}

TEST_F(SdoClient, SegmentedUploadTimesOutWhenTheNodeFallsSilent) {
    CANopen_SetSDOTimeout(200);
    node->addSdoFault(SdoFault::dropResponse(3));  // the second segment never comes
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 4096);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(outcome.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05040000");
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x05040000});
    EXPECT_GE(elapsed, std::chrono::milliseconds(199)) << "not before the SDO time-out";
}

TEST_F(SdoClient, UnansweredInitiateTimesOut) {
    CANopen_SetSDOTimeout(100);
    node->addSdoFault(SdoFault::noAnswer(0x1018, 1, 1));
    const Outcome outcome = uploadBlocking(kNode, 0x1018, 1, 4);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05040000");
    EXPECT_EQ(outcome.sizeWord, 0u);
    EXPECT_EQ(uploadBlocking(kNode, 0x1018, 1, 4).code, DRN_OK) << "the next request runs normally";
}

TEST_F(SdoClient, ServerAbortIsReportedWithItsCode) {
    const Outcome upload = uploadBlocking(kNode, 0x3000, 0, 16);
    EXPECT_EQ(upload.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(narrow(upload.message), "Server aborted - 0x06020000");
    const Outcome download = downloadBlocking(kNode, 0x1000, 0, {1, 2, 3, 4});
    EXPECT_EQ(narrow(download.message), "Server aborted - 0x06010002");
    EXPECT_TRUE(abortsSentTo(*bus, kRequestId).empty()) << "a server abort is not answered";
}

TEST_F(SdoClient, UnexpectedAnswerAbortsWithCommandSpecifierError) {
    node->addSdoFault(SdoFault::wrongCommandByte(0x2000, 0, 0x60, 2));  // a download answer during an upload
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 4096);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05040001");
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x05040001});
}

TEST_F(SdoClient, CancelEndsWithMinusOneAndOneAbortFrame) {
    CANopen_SetSDOTimeout(60'000);
    node->addSdoFault(SdoFault::delay(0x2000, 0, 30'000'000, 1));  // the node takes 30 s to answer
    std::vector<uint8_t> buffer(4096);
    uint32_t size = 4096;
    Completion completion;
    int32_t out = -99;
    CANopen_SDOUpload(kNode, 0x2000, 0, buffer.data(), &size, nullptr, Completion::onComplete, &completion, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(bus->waitForSent(1, 10'000));
    CANopen_Cancel();
    ASSERT_TRUE(completion.wait());
    EXPECT_EQ(completion.result.code, DRN_CANCELLED);
    EXPECT_TRUE(messageOf(completion.result).empty());
    EXPECT_EQ(size, 0u);
    node->clearSdoFaults();
    ASSERT_EQ(uploadBlocking(kNode, 0x1018, 1, 4).code, DRN_OK);
    EXPECT_EQ(completion.completions, 1);
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x08000021});
}

// ---- Buffer bounds ---------------------------------------------------------------------------------

TEST_F(SdoClient, ExpeditedAnswerLargerThanTheBufferIsRefused) {
    node->addSdoFault(SdoFault::expeditedExtraBytes(0x2004, 3, 2));  // a 2-byte value claimed as 4 bytes
    const Outcome outcome = uploadBlocking(kNode, 0x2004, 3, 2);
    EXPECT_EQ(outcome.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x06070012");
    EXPECT_EQ(outcome.sizeWord, 0u);
    EXPECT_EQ(outcome.data, (std::vector<uint8_t>{}));
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x06070012});
}

TEST_F(SdoClient, SegmentedUploadLargerThanTheBufferIsRefusedAtTheStart) {
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 1999);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x06070012");
    EXPECT_EQ(outcome.sizeWord, 0u);
}

TEST_F(SdoClient, UnsizedSegmentedUploadStopsAtTheBufferEnd) {
    node->setSdoSettings(SdoServerSettings{.uploadSizeIndicated = false});
    const Outcome tooSmall = uploadBlocking(kNode, 0x2000, 0, 100);
    EXPECT_EQ(narrow(tooSmall.message), "Client aborted - 0x08000020");
    EXPECT_LE(tooSmall.sizeWord, 100u);
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x08000020});

    const Outcome fits = uploadBlocking(kNode, 0x2000, 0, 5000);
    ASSERT_EQ(fits.code, DRN_OK) << narrow(fits.message);
    EXPECT_EQ(fits.sizeWord, 2000u) << "the bytes received, not the capacity";
    EXPECT_EQ(fits.data, *node->read(0x2000, 0));
}

TEST_F(SdoClient, BlockUploadAcceptsSizeUpToCapacityLessTwo) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const Outcome fits = uploadBlocking(kNode, 0x2000, 0, 2002);
    ASSERT_EQ(fits.code, DRN_OK) << narrow(fits.message);
    EXPECT_EQ(fits.data, *node->read(0x2000, 0));
    const Outcome tooSmall = uploadBlocking(kNode, 0x2000, 0, 2001);
    EXPECT_EQ(tooSmall.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(narrow(tooSmall.message),
              "Client Aborted - data type does not match, length of service parameter too high");
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x06070012});
}

TEST_F(SdoClient, BlockUploadOfMoreDataThanAnnouncedStopsWhereTheAnnouncedSizeEnds) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    node->addSdoFault(SdoFault::wrongSizeIndication(0x2000, 0, -1500));  // announces 500 of 2000 bytes
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 502);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x06070012");
    EXPECT_LE(outcome.sizeWord, 500u);
}

// ---- Block transfer: retransmission and CRC ------------------------------------------------------

TEST_F(SdoClient, BlockDownloadResendsALostSegment) {
    CANopen_SetSDOConfig(1, 28, 1, 127);
    std::atomic<bool> lost{false};
    devices->setFilter([&](const CANFrame& f) {
        return f.id == kRequestId && (f.data[0] & 0x7F) == 10 && (f.data[0] & 0x80) == 0 && !lost.exchange(true);
    });
    const auto data = pattern(10'000, 3);
    const Outcome outcome = downloadBlocking(kNode, kBigObject, 0, data);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_TRUE(lost.load());
    const auto log = node->writeLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].abortCode, 0u) << "the CRC was accepted";
    EXPECT_EQ(node->read(kBigObject, 0), data);
    // The segment carrying bytes 63..69 went out twice; the one before it once.
    int tenth = 0;
    int ninth = 0;
    for (const CANFrame& f : sentTo(*bus, kRequestId)) {
        if (std::equal(f.data + 1, f.data + 8, data.begin() + 63)) ++tenth;
        if (std::equal(f.data + 1, f.data + 8, data.begin() + 56)) ++ninth;
    }
    EXPECT_EQ(tenth, 2);
    EXPECT_EQ(ninth, 1);
}

TEST_F(SdoClient, BlockDownloadKeepsToTheServersBlockSize) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    node->setSdoSettings(SdoServerSettings{.blockSize = 5});
    const auto data = pattern(1000, 4);
    ASSERT_EQ(downloadBlocking(kNode, kBigObject, 0, data).code, DRN_OK);
    EXPECT_EQ(node->read(kBigObject, 0), data);
    for (const CANFrame& f : sentTo(*bus, kRequestId)) {
        if (f.data[0] != 0xC6 && (f.data[0] & 0xE0) != 0xC0) {
            EXPECT_LE(f.data[0] & 0x7F, 5);
        }
    }
}

TEST_F(SdoClient, BlockUploadRecoversFromASkippedSegment) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const auto data = pattern(10'000, 5);
    ASSERT_TRUE(node->write(kBigObject, 0, data));
    node->addSdoFault(SdoFault::skipBlockSegment(kBigObject, 0, 5));
    const Outcome outcome = uploadBlocking(kNode, kBigObject, 0, 10'002);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(outcome.data, data) << "nothing lost, nothing stored twice";
    // The first acknowledgement confirms the four segments before the gap.
    for (const CANFrame& f : sentTo(*bus, kRequestId)) {
        if (f.data[0] == 0xA2) {
            EXPECT_EQ(f.data[1], 4);
            break;
        }
    }
}

TEST_F(SdoClient, BlockUploadWithBadCrcAborts) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    node->addSdoFault(SdoFault::badBlockCrc(0x2000, 0));
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 4096);
    EXPECT_EQ(outcome.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - crc error");
    EXPECT_EQ(abortsSentTo(*bus, kRequestId), std::vector<uint32_t>{0x05040004});
}

TEST_F(SdoClient, BlockUploadWithoutCrcOnEitherSideIgnoresTheCrcField) {
    CANopen_SetSDOConfig(1, 0, 0, 127);
    node->addSdoFault(SdoFault::badBlockCrc(0x2000, 0));
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 4096);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(sentTo(*bus, kRequestId).front().data[0], 0xA0);
}

TEST_F(SdoClient, LargeTransfersReportSaneProgress) {
    CANopen_SetSDOTimeout(10'000);  // some 15,000 answers: one held up on a busy machine must not end it
    CANopen_SetSDOConfig(1, 28, 1, 127);
    const auto data = pattern(100'000, 6);
    for (const Outcome& outcome : {downloadBlocking(kNode, kBigObject, 0, data),
                                   uploadBlocking(kNode, kBigObject, 0, 100'002)}) {
        ASSERT_EQ(outcome.code, DRN_OK);
        ASSERT_FALSE(outcome.progress.empty());
        float previous = 0;
        for (float p : outcome.progress) {
            EXPECT_TRUE(std::isfinite(p));
            EXPECT_GE(p, previous);
            EXPECT_LE(p, 100.0f);
            previous = p;
        }
        EXPECT_GT(previous, 90.0f);
    }
    CANopen_SetSDOConfig(0, 28, 1, 127);
    const Outcome segmented = uploadBlocking(kNode, kBigObject, 0, 100'000);
    ASSERT_EQ(segmented.code, DRN_OK);
    EXPECT_GE(segmented.progress.size(), 100'000u / 7 / 4 - 1) << "every fourth segment";
}

TEST_F(SdoClient, BlockDownloadReportsProgressOnlyBeforeFurtherSubBlocks) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    node->setSdoSettings(SdoServerSettings{.blockSize = 5});
    const Outcome two = downloadBlocking(kNode, kBigObject, 0, pattern(70, 16));  // two sub-blocks of 5
    ASSERT_EQ(two.code, DRN_OK) << narrow(two.message);
    EXPECT_EQ(two.progress, std::vector<float>{50.0f}) << "none for the acknowledgement of the last one";
    const Outcome one = downloadBlocking(kNode, kBigObject, 0, pattern(30, 17));
    ASSERT_EQ(one.code, DRN_OK) << narrow(one.message);
    EXPECT_TRUE(one.progress.empty());
}

TEST_F(SdoClient, BlockUploadReportsTheLastSubBlock) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const Outcome outcome = uploadBlocking(kNode, 0x2000, 0, 2002);  // 2000 bytes: 889, 889, 222
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    ASSERT_EQ(outcome.progress.size(), 3u);
    EXPECT_LT(outcome.progress[1], 100.0f);
    EXPECT_EQ(outcome.progress.back(), 100.0f);
}

// ---- CRC ---------------------------------------------------------------------------------------------

TEST(SdoCrc, MatchesTheCheckValueAndTheFixture) {
    const std::string text = "123456789";
    EXPECT_EQ(sdoCrc16(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0x31C3);
    EXPECT_EQ(sdoCrc16(nullptr, 0), 0);
    const auto data = pattern(1000, 9);
    EXPECT_EQ(sdoCrc16(data.data(), data.size()), ostrel::fixtures::sdoBlockCrc(data.data(), data.size()));
    // Continuing from a partial CRC gives the CRC of the whole.
    EXPECT_EQ(sdoCrc16(data.data() + 400, 600, sdoCrc16(data.data(), 400)), sdoCrc16(data.data(), data.size()));
}

TEST(SdoFrames, InitiateDownloadFrame) {
    const uint8_t value[4] = {0xA1, 0xB2, 0xC3, 0xD4};
    auto d = sdoInitiateDownloadFrame(0x1234, 0x56, value, 3);
    EXPECT_EQ(d, (std::array<uint8_t, 8>{0x27, 0x34, 0x12, 0x56, 0xA1, 0xB2, 0xC3, 0}));
    d = sdoInitiateDownloadFrame(0x1234, 0x56, nullptr, 0);
    EXPECT_EQ(d, (std::array<uint8_t, 8>{0x21, 0x34, 0x12, 0x56, 0, 0, 0, 0}));
    d = sdoInitiateDownloadFrame(0x1234, 0x56, value, 70'000);
    EXPECT_EQ(d, (std::array<uint8_t, 8>{0x21, 0x34, 0x12, 0x56, 0x70, 0x11, 0x01, 0}));
}

// ---- Answers of a scripted peer --------------------------------------------------------------------

class SdoClientScripted : public EngineOnTestBus {
protected:
    static constexpr uint8_t kPeer = 9;
    static constexpr uint32_t kPeerRequest = 0x609;
    static constexpr uint32_t kPeerResponse = 0x589;

    void SetUp() override {
        EngineOnTestBus::SetUp();
        initialize();
    }
    CANFrame answer(std::array<uint8_t, 8> d) const { return sdoFrame(kPeerResponse, d); }
};

// A block upload server of `data`, announcing its size or not, ending with `unused` as told.
std::vector<CANFrame> blockUploadScript(const CANFrame& request, const std::vector<uint8_t>& data, bool sized,
                                        int unusedOverride, uint32_t response) {
    const uint8_t c = request.data[0];
    if ((c & 0xE3) == 0xA0) {  // initiate
        std::array<uint8_t, 8> d{static_cast<uint8_t>(0xC4 | (sized ? 2 : 0)), request.data[1], request.data[2],
                                 request.data[3]};
        const auto size = static_cast<uint32_t>(data.size());
        for (int i = 0; i < 4 && sized; ++i) d[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        return {sdoFrame(response, d)};
    }
    if (c == 0xA3) {  // start: everything in one sub-block
        std::vector<CANFrame> out;
        std::size_t at = 0;
        uint8_t sequence = 1;
        do {
            std::array<uint8_t, 8> d{0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};  // padding is not data
            const std::size_t n = std::min<std::size_t>(7, data.size() - at);
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), n, d.begin() + 1);
            at += n;
            d[0] = static_cast<uint8_t>(sequence++ | (at >= data.size() ? 0x80 : 0));
            out.push_back(sdoFrame(response, d));
        } while (at < data.size());
        return out;
    }
    if (c == 0xA2) {  // acknowledged: end
        const int unused = unusedOverride >= 0 ? unusedOverride : static_cast<int>((7 - data.size() % 7) % 7);
        const uint16_t crc = sdoCrc16(data.data(), data.size());
        return {sdoFrame(response, {static_cast<uint8_t>(0xC1 | (unused << 2)), static_cast<uint8_t>(crc),
                                    static_cast<uint8_t>(crc >> 8)})};
    }
    return {};
}

TEST_F(SdoClientScripted, UnsizedBlockUploadReportsTheBytesReceived) {
    CANopen_SetSDOConfig(1, 0, 1, 10);
    const auto data = pattern(40, 11);
    ScriptedPeer peer(*bus, kPeerRequest,
                      [&](const CANFrame& r) { return blockUploadScript(r, data, false, -1, kPeerResponse); });
    const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 1000);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(outcome.sizeWord, 40u) << "not the capacity less two";
    EXPECT_EQ(outcome.data, data);
    EXPECT_EQ(sentTo(*bus, kPeerRequest).back().data[0], 0xA1);
}

TEST_F(SdoClientScripted, BlockUploadCrcCoversOnlyTheDataBytesOfTheLastSegment) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const auto data = pattern(17, 14);  // the last segment holds 3 data bytes and 4 of padding
    ScriptedPeer peer(*bus, kPeerRequest,
                      [&](const CANFrame& r) { return blockUploadScript(r, data, true, -1, kPeerResponse); });
    const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 19);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(outcome.data, data);
}

TEST_F(SdoClientScripted, BlockUploadInOneSubBlockReportsProgressOnce) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const auto data = pattern(40, 15);
    ScriptedPeer peer(*bus, kPeerRequest,
                      [&](const CANFrame& r) { return blockUploadScript(r, data, true, -1, kPeerResponse); });
    const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 42);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(outcome.progress, std::vector<float>{100.0f});
}

TEST_F(SdoClientScripted, BlockEndWithSevenUnusedBytesAfterDataAborts) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const auto data = pattern(14, 12);
    ScriptedPeer peer(*bus, kPeerRequest,
                      [&](const CANFrame& r) { return blockUploadScript(r, data, true, 7, kPeerResponse); });
    const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 100);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05040001");
    EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{0x05040001});
}

TEST_F(SdoClientScripted, EmptyBlockUploadEndsWithSevenUnusedBytes) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    const std::vector<uint8_t> data;
    ScriptedPeer peer(*bus, kPeerRequest,
                      [&](const CANFrame& r) { return blockUploadScript(r, data, true, 7, kPeerResponse); });
    const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 2);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(outcome.sizeWord, 0u);
}

TEST_F(SdoClientScripted, ServerBlockSizeOutOfRangeAborts) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    for (uint8_t blockSize : {uint8_t{0}, uint8_t{128}}) {
        bus->clearSent();
        ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
            if (r.data[0] == 0xC6) return {answer({0xA4, r.data[1], r.data[2], r.data[3], blockSize})};
            return {};
        });
        const Outcome outcome = downloadBlocking(kPeer, 0x2000, 0, pattern(100));
        EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05040002") << int{blockSize};
        EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{0x05040002});
        EXPECT_EQ(sentTo(*bus, kPeerRequest).size(), 2u) << "no segment was sent";
    }
}

// A block download server that loses segment 3 of the first sub-block and grants 4 segments at first,
// 3 after every acknowledgement.
struct LossyBlockDownloadServer {
    explicit LossyBlockDownloadServer(uint32_t responseId) : response(responseId) {}

    uint32_t response;
    std::vector<uint8_t> received;
    uint8_t blockSize = 4;
    uint8_t inSequence = 0;
    bool lostOne = false;
    bool ended = false;
    uint16_t crc = 0;
    std::vector<std::pair<uint8_t, uint8_t>> acks;  // (acknowledged, new block size)

    std::vector<CANFrame> operator()(const CANFrame& r) {
        const uint8_t c = r.data[0];
        if (!ended && received.empty() && inSequence == 0 && c == 0xC6) {
            return {sdoFrame(response, {0xA4, r.data[1], r.data[2], r.data[3], blockSize})};
        }
        if (ended) {
            if ((c & 0xE3) == 0xC1) {
                received.resize(received.size() - ((c >> 2) & 7));
                crc = static_cast<uint16_t>(r.data[1] | (r.data[2] << 8));
                return {sdoFrame(response, {0xA1})};
            }
            return {};
        }
        const uint8_t sequence = c & 0x7F;
        const bool last = (c & 0x80) != 0;
        if (sequence == 3 && !lostOne) {
            lostOne = true;  // never arrived
        } else if (sequence == inSequence + 1) {
            ++inSequence;
            received.insert(received.end(), r.data + 1, r.data + 8);
            ended = last;
        }
        if (sequence != blockSize && !last) return {};
        const uint8_t acknowledged = inSequence;
        blockSize = 3;
        inSequence = 0;
        acks.emplace_back(acknowledged, blockSize);
        return {sdoFrame(response, {0xA2, acknowledged, blockSize})};
    }
};

TEST_F(SdoClientScripted, BlockDownloadRepeatsFromTheAcknowledgedSegmentInTheNewBlockSize) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    LossyBlockDownloadServer server{kPeerResponse};
    ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) { return server(r); });
    const auto data = pattern(60, 13);
    const Outcome outcome = downloadBlocking(kPeer, 0x2000, 0, data);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(server.received, data) << "nothing lost, nothing twice";
    EXPECT_EQ(server.crc, sdoCrc16(data.data(), data.size()));
    ASSERT_FALSE(server.acks.empty());
    EXPECT_EQ(server.acks.front().first, 2);
    // After the first acknowledgement: sub-blocks of 3 segments from byte 14 on.
    const auto frames = sentTo(*bus, kPeerRequest);
    ASSERT_EQ(frames.size(), 1u + 4u + 3u + 3u + 1u + 1u);
    for (int i = 0; i < 6; ++i) {
        const CANFrame& f = frames[5 + static_cast<std::size_t>(i)];
        EXPECT_EQ(f.data[0] & 0x7F, i % 3 + 1);
        EXPECT_TRUE(std::equal(f.data + 1, f.data + 8, data.begin() + 14 + 7 * i));
    }
}

TEST_F(SdoClientScripted, BlockDownloadAnsweredWithSomethingElseIsAnInvalidCommand) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
        if (r.data[0] == 0xC6) return {answer({0x60, r.data[1], r.data[2], r.data[3]})};
        return {};
    });
    const Outcome outcome = downloadBlocking(kPeer, 0x2000, 0, pattern(100));
    EXPECT_EQ(narrow(outcome.message), "Client aborted - invalid command");
    EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{0x05040001});
}

TEST_F(SdoClientScripted, InitiateAnswerForAnotherObjectIsNotTheAnswer) {
    ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
        if (r.data[0] != 0x40) return {};
        // A late answer for 0x1017 first, then the answer for the object asked for.
        return {answer({0x4B, 0x17, 0x10, 0x00, 0xE8, 0x03}), answer({0x43, r.data[1], r.data[2], r.data[3], 1, 2, 3, 4})};
    });
    const Outcome outcome = uploadBlocking(kPeer, 0x1018, 2, 4);
    ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
    EXPECT_EQ(outcome.data, (std::vector<uint8_t>{1, 2, 3, 4}));
}

// ---- The SDO client against a table of device behaviours -----------------------------------------
//
// A device answers the running transfer (0x2000, 10 bytes) with an abort at the initiate or at the
// first answer past it, followed by the answer it should have given. Its refusal ends the transfer
// with its own code at once, whatever object it names; only an abort for the object of the transfer
// before, which ended unanswered (time-out, cancel), may be that transfer's late answer and is passed.

enum class Service { Upload, Download, BlockUpload, BlockDownload };
enum class Before { Nothing, Answered, TimedOut, Cancelled };  // the upload of 0x2005 just before
enum class Names { Running, Previous, Third, NoObject };        // the object the device's abort names

struct DeviceBehaviour {
    const char* name;
    Before before;
    Names names;
    bool pastInitiate;
    bool refusal;  // else the abort is passed and the transfer completes
};

const DeviceBehaviour kDeviceBehaviours[] = {
    {"RefusesTheRunningObject", Before::Nothing, Names::Running, false, true},
    {"RefusesTheRunningObjectLater", Before::Nothing, Names::Running, true, true},
    {"RefusesNamingItsAnsweredTransfer", Before::Answered, Names::Previous, false, true},
    {"RefusesNamingItsAnsweredTransferLater", Before::Answered, Names::Previous, true, true},
    {"LateAbortAfterATimeOut", Before::TimedOut, Names::Previous, false, false},
    {"LateAbortAfterATimeOutLater", Before::TimedOut, Names::Previous, true, false},
    {"LateAbortAfterACancel", Before::Cancelled, Names::Previous, false, false},
    {"LateAbortAfterACancelLater", Before::Cancelled, Names::Previous, true, false},
    {"RefusesNamingAThirdObjectAfterATimeOut", Before::TimedOut, Names::Third, false, true},
    {"RefusesNamingIndexZero", Before::Nothing, Names::NoObject, false, true},
    {"RefusesNamingIndexZeroAfterATimeOutLater", Before::TimedOut, Names::NoObject, true, true},
};

using DeviceCase = std::tuple<Service, DeviceBehaviour>;

void PrintTo(const DeviceBehaviour& b, std::ostream* out) { *out << b.name; }

class SdoClientAgainstDevices : public SdoClientScripted, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(SdoClientAgainstDevices, RefusalEndsAtOnceAndOnlyALateAnswerIsPassed) {
    const auto [service, row] = GetParam();
    constexpr uint16_t kRunning = 0x2000;
    const uint16_t named[] = {kRunning, 0x2005, 0x2007, 0x0000};

    CANopen_SetSDOTimeout(row.before == Before::TimedOut ? 100 : 10'000);
    if (row.before != Before::Nothing) {
        ScriptedPeer before(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
            if (row.before != Before::Answered) return {};
            return {answer({0x4F, r.data[1], r.data[2], r.data[3], 1})};
        });
        uint8_t value[4] = {};
        uint32_t size = 4;
        Completion completion;
        int32_t out = -99;
        CANopen_SDOUpload(kPeer, 0x2005, 0, value, &size, nullptr, Completion::onComplete, &completion, &out);
        ASSERT_EQ(out, DRN_OK);
        if (row.before == Before::Cancelled) {
            ASSERT_TRUE(bus->waitForSent(1, 10'000));
            CANopen_Cancel();
        }
        ASSERT_TRUE(completion.wait());
        ASSERT_EQ(completion.result.code, row.before == Before::Answered    ? DRN_OK
                                          : row.before == Before::Cancelled ? DRN_CANCELLED
                                                                            : DRN_REQUEST_FAILED);
    }
    CANopen_SetSDOTimeout(10'000);  // a transfer that waited for anything would end with a time-out
    const bool block = service == Service::BlockUpload || service == Service::BlockDownload;
    CANopen_SetSDOConfig(block ? 1 : 0, 0, 1, 127);
    bus->clearSent();

    const auto data = pattern(10, 21);
    int answered = 0;
    int segments = 0;
    ScriptedPeer device(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
        const uint8_t c = r.data[0];
        std::vector<CANFrame> out;
        switch (service) {
        case Service::Upload:
            if (c == 0x40) out = {answer({0x41, r.data[1], r.data[2], r.data[3], 10})};
            if ((c & 0xEF) == 0x60 && segments++ == 0) out = {answer({uint8_t(c & 0x10), 0, 1, 2, 3, 4, 5, 6})};
            else if ((c & 0xEF) == 0x60) out = {answer({uint8_t((c & 0x10) | 0x09), 7, 8, 9})};
            break;
        case Service::Download:
            if (c == 0x21) out = {answer({0x60, r.data[1], r.data[2], r.data[3]})};
            if ((c & 0xE0) == 0x00) out = {answer({uint8_t(0x20 | (c & 0x10))})};
            break;
        case Service::BlockUpload: out = blockUploadScript(r, data, true, -1, kPeerResponse); break;
        case Service::BlockDownload:
            if (c == 0xC6) out = {answer({0xA4, r.data[1], r.data[2], r.data[3], 127})};
            if (c == 0x82) out = {answer({0xA2, 2, 127})};
            if ((c & 0xE3) == 0xC1) out = {answer({0xA1})};
            break;
        }
        if (!out.empty() && answered++ == (row.pastInitiate ? 1 : 0)) {
            const uint16_t index = named[static_cast<int>(row.names)];
            // abort 0x05040001 in front of the answer
            out.insert(out.begin(), answer({0x80, uint8_t(index), uint8_t(index >> 8), 0, 0x01, 0x00, 0x04, 0x05}));
        }
        return out;
    });
    std::vector<uint8_t> sent(data.size());
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i);
    const bool upload = service == Service::Upload || service == Service::BlockUpload;
    const Outcome outcome =
        upload ? uploadBlocking(kPeer, kRunning, 0, 12) : downloadBlocking(kPeer, kRunning, 0, sent);
    if (row.refusal) {
        EXPECT_EQ(outcome.code, DRN_REQUEST_FAILED);
        EXPECT_EQ(narrow(outcome.message), "Server aborted - 0x05040001");
    } else {
        EXPECT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
        if (upload) {
            EXPECT_EQ(outcome.data, service == Service::BlockUpload ? data : sent);
        }
    }
    EXPECT_TRUE(abortsSentTo(*bus, kPeerRequest).empty()) << "the client sends no abort of its own";
}

std::string deviceCaseName(const ::testing::TestParamInfo<DeviceCase>& info) {
    static constexpr const char* kService[] = {"Upload", "Download", "BlockUpload", "BlockDownload"};
    return std::string(kService[static_cast<int>(std::get<0>(info.param))]) + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(EveryService, SdoClientAgainstDevices,
                         ::testing::Combine(::testing::Values(Service::Upload, Service::Download, Service::BlockUpload,
                                                              Service::BlockDownload),
                                            ::testing::ValuesIn(kDeviceBehaviours)),
                         deviceCaseName);

// ---- Requests that await no answer -------------------------------------------------------------------
//
// Frames on the SDO response identifier of the request's node (a PDO there under rule 2, another
// master's transfer under rule 3) are no answer while a request waits for a dynamic channel, takes
// an LSS step or waits out a bit timing switch: it ends at its own time-out, long before they stop.

enum class Waiting { SdoChannelDownload, SdoChannelUpload, LssFind, LssSetNodeId, LssBitTiming, LssActivate };

struct FloodCase {
    const char* name;
    Waiting request;
    uint32_t rule;     // rule 3 uses 0x640/0x5C0
    uint32_t floodId;  // the response identifier of node 9 (SDO) or node 0 (LSS) under the rule
    int32_t code;
};

void PrintTo(const FloodCase& c, std::ostream* out) { *out << c.name; }

const FloodCase kFloodCases[] = {
    {"DownloadWaitingForAChannel", Waiting::SdoChannelDownload, 1, 0x589, DRN_REQUEST_FAILED},
    {"UploadWaitingForAChannelUnderRuleThree", Waiting::SdoChannelUpload, 3, 0x5C0, DRN_REQUEST_FAILED},
    {"LssFindSteps", Waiting::LssFind, 1, 0x580, DRN_OK},
    {"LssSetNodeIdStepsUnderRuleTwo", Waiting::LssSetNodeId, 2, 0x4EF, DRN_REQUEST_FAILED},
    {"LssBitTimingStepsUnderRuleThree", Waiting::LssBitTiming, 3, 0x5C0, DRN_REQUEST_FAILED},
    {"LssActivationWaitsUnderRuleTwo", Waiting::LssActivate, 2, 0x4EF, DRN_OK},
};

class RequestAwaitingNoAnswer : public SdoClientScripted, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(RequestAwaitingNoAnswer, EndsAtItsOwnTimeOutWhileFramesFlowOnTheResponseIdentifier) {
    const FloodCase c = GetParam();
    CANopen_SetSDOChannel(c.rule, 0x640, 0x5C0, 16);
    const bool sdo = c.request == Waiting::SdoChannelDownload || c.request == Waiting::SdoChannelUpload;
    if (sdo) {  // nobody grants the channel: the wait is given up after its time-out
        int32_t out = -99;
        CANopenServer_Startup(100, 0, 0, 0, 0, 0, &out);
        ASSERT_EQ(out, DRN_OK);
        EXPECT_EQ(CANopen_SDOChannels(1), 0);
        CANopen_SetSDOChannelsTimeout(300);
    }
    std::atomic<bool> floodEnded{false};
    std::jthread flood([&](std::stop_token stop) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (!stop.stop_requested() && std::chrono::steady_clock::now() < end) {
            bus->inject(sdoFrame(c.floodId, {0x43, 0x17, 0x10, 0x00, 0xE8, 0x03}));  // another object's answer
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        floodEnded = true;
    });
    LSSIdentity identity{1, 2, 3, 4, 5, 0, {}, 0};
    uint8_t buffer[4] = {1, 2, 3, 4};
    uint32_t size = 4;
    Completion completion;
    int32_t out = -99;
    switch (c.request) {
    case Waiting::SdoChannelDownload:
        CANopen_SDODownload(kPeer, 0x2000, 0, buffer, 4, nullptr, Completion::onComplete, &completion, &out);
        break;
    case Waiting::SdoChannelUpload:
        CANopen_SDOUpload(kPeer, 0x2000, 0, buffer, &size, nullptr, Completion::onComplete, &completion, &out);
        break;
    case Waiting::LssFind: CANopen_FindLSSSlave(&identity, Completion::onComplete, &completion, &out); break;
    case Waiting::LssSetNodeId: CANopen_SetLSSSlaveConfig(&identity, Completion::onComplete, &completion, &out); break;
    case Waiting::LssBitTiming:
        CANopen_SetLSSSlaveBitTiming(&identity, 0, 4, Completion::onComplete, &completion, &out);
        break;
    case Waiting::LssActivate:
        CANopen_UseLSSSlaveBitTiming(4, nullptr, Completion::onComplete, &completion, &out);
        break;
    }
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(completion.wait());
    EXPECT_FALSE(floodEnded.load()) << "held by the frames until they stopped";
    EXPECT_EQ(completion.result.code, c.code) << narrow(messageOf(completion.result));
    if (sdo) {
        EXPECT_EQ(narrow(messageOf(completion.result)), "Client aborted - 0x05040000");
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWait, RequestAwaitingNoAnswer, ::testing::ValuesIn(kFloodCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A sub-block of more segments than the block size without the block's last segment (the first one
// sent again and again), and a block upload beyond the size it announced (10 bytes, 30 sent).
TEST_F(SdoClientScripted, BlockUploadBeyondItsBlockOrItsAnnouncedSizeAborts) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    struct Case { const char* name; std::vector<uint8_t> segments; uint32_t abort; };
    const Case cases[] = {{"repeated", std::vector<uint8_t>(200, 0x01), 0x05040003},
                          {"beyond size", {0x01, 0x02, 0x03, 0x04, 0x85}, 0x06070012}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus->clearSent();
        ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
            if ((r.data[0] & 0xE3) == 0xA0) return {answer({0xC2, r.data[1], r.data[2], r.data[3], 10})};  // no CRC
            if (r.data[0] == 0xA2) return {answer({0xD5})};  // end: 5 bytes of the last segment unused
            if (r.data[0] != 0xA3) return {};
            std::vector<CANFrame> segments;
            for (uint8_t command : c.segments) segments.push_back(answer({command, 1, 2, 3, 4, 5, 6, 7}));
            return segments;
        });
        const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 100);
        EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{c.abort});
        EXPECT_LE(outcome.sizeWord, 10u);
    }
}

// Under rules 1 and 2 a node id outside 1..127 would send on and listen to another node's or
// service's identifiers (rule 3 names its own, whatever the node: below). The configuration
// writer's NMT command and $NODEID take the node id itself under every rule.
TEST_F(SdoClientScripted, NodeIdsWithoutIdentifiersOfTheirOwnAreRefusedBeforeAnythingIsSent) {
    for (const uint32_t rule : {1u, 2u, 3u}) {
        CANopen_SetSDOChannel(rule, 0x640, 0x5C0, 16);
        for (const uint8_t node : {uint8_t{0}, uint8_t{128}, uint8_t{255}}) {
            uint8_t buffer[4] = {};
            uint32_t size = 4;
            std::array<int32_t, 3> out{DRN_BAD_PARAMETERS, DRN_BAD_PARAMETERS, 99};
            if (rule != 3) {
                CANopen_SDOUpload(node, 0x1000, 0, buffer, &size, nullptr, nullptr, nullptr, &out[0]);
                CANopen_SDODownload(node, 0x2000, 0, buffer, 4, nullptr, nullptr, nullptr, &out[1]);
            }
            CANopenConfig_WriteDCF(node, u"node.dcf", nullptr, nullptr, nullptr, nullptr, &out[2]);
            EXPECT_EQ(out, (std::array<int32_t, 3>{DRN_BAD_PARAMETERS, DRN_BAD_PARAMETERS, DRN_BAD_PARAMETERS}))
                << "rule " << rule << " node " << int{node};
        }
    }
    EXPECT_TRUE(bus->sent().empty());
}

// Segments that are not the last and bring no data, or more than the size announced, abort the
// upload; the peer falls silent after 20 segments, so that a client that goes on times out instead.
TEST_F(SdoClientScripted, SegmentsWithoutDataOrBeyondTheAnnouncedSizeAbortTheUpload) {
    struct Case { bool sized; uint8_t unused; uint32_t abort; uint32_t stored; };  // sized: 10 bytes
    for (const Case c : {Case{true, 7, 0x05040001, 0}, Case{false, 7, 0x05040001, 0}, Case{true, 0, 0x06070012, 7}}) {
        bus->clearSent();
        int segments = 0;
        ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
            if (r.data[0] == 0x40) return {answer({uint8_t(c.sized ? 0x41 : 0x40), r.data[1], r.data[2], r.data[3], 10})};
            if ((r.data[0] & 0xEF) != 0x60 || ++segments > 20) return {};
            return {answer({uint8_t((r.data[0] & 0x10) | (c.unused << 1)), 1, 2, 3, 4, 5, 6, 7})};
        });
        const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 100);
        EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{c.abort}) << c.sized << int{c.unused};
        EXPECT_EQ(outcome.sizeWord, c.stored);
    }
}

TEST_F(SdoClientScripted, OnlyAnswersForAnotherObjectRunIntoTheTimeOut) {
    CANopen_SetSDOTimeout(100);
    ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
        if (r.data[0] != 0x23) return {};
        return {answer({0x60, 0x00, 0x20, 0x01})};
    });
    const Outcome outcome = downloadBlocking(kPeer, 0x2000, 0, {1, 2, 3, 4});
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05040000");
}

CANFrame shortFrame(uint32_t id, std::vector<uint8_t> bytes) {
    CANFrame f{};
    f.id = id;
    f.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data);
    return f;
}

// SDO frames always carry 8 data bytes. An answer with fewer is a protocol error: the transfer
// ends with abort 0x05040001, and the caller's buffer holds what arrived in whole frames and
// nothing else (no byte taken from the short frame, none made up).
TEST_F(SdoClientScripted, AnswersShorterThanEightBytesAbortAndStoreNothingThatDidNotArrive) {
    struct Case {
        const char* name;
        std::vector<CANFrame> (*script)(const CANFrame& request, uint32_t response);
        uint32_t stored;
    };
    const Case cases[] = {
        {"one-byte last segment after a whole one",
         [](const CANFrame& r, uint32_t id) -> std::vector<CANFrame> {
             if (r.data[0] == 0x40) return {sdoFrame(id, {0x40, r.data[1], r.data[2], r.data[3]})};
             if (r.data[0] == 0x60) return {sdoFrame(id, {0x00, 1, 2, 3, 4, 5, 6, 7})};
             if (r.data[0] == 0x70) return {shortFrame(id, {0x11})};
             return {};
         },
         7},
        {"five-byte expedited answer",
         [](const CANFrame& r, uint32_t id) -> std::vector<CANFrame> {
             if (r.data[0] == 0x40) return {shortFrame(id, {0x43, r.data[1], r.data[2], r.data[3], 0xAA})};
             return {};
         },
         0},
        {"frame without data",
         [](const CANFrame& r, uint32_t id) -> std::vector<CANFrame> {
             if (r.data[0] == 0x40) return {shortFrame(id, {})};
             return {};
         },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus->clearSent();
        ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) { return c.script(r, kPeerResponse); });
        std::vector<uint8_t> buffer(16, 0xCC);
        uint32_t size = static_cast<uint32_t>(buffer.size());
        Completion completion;
        int32_t out = -99;
        CANopen_SDOUpload(kPeer, 0x2000, 1, buffer.data(), &size, nullptr, Completion::onComplete, &completion, &out);
        ASSERT_EQ(out, DRN_OK);
        ASSERT_TRUE(completion.wait());
        EXPECT_EQ(completion.result.code, DRN_REQUEST_FAILED);
        EXPECT_EQ(narrow(messageOf(completion.result)), "Client aborted - 0x05040001");
        EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{0x05040001});
        EXPECT_EQ(size, c.stored);
        for (uint32_t i = 0; i < buffer.size(); ++i) {
            EXPECT_EQ(buffer[i], i < c.stored ? i + 1 : 0xCC) << "byte " << i;
        }
    }
}

TEST_F(SdoClientScripted, SegmentedDownloadAbortsOnToggleError) {
    ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
        if (r.data[0] == 0x21) return {answer({0x60, r.data[1], r.data[2], r.data[3]})};
        if ((r.data[0] & 0xE0) == 0x00) return {answer({0x30})};  // toggle 1 for the first segment
        return {};
    });
    const Outcome outcome = downloadBlocking(kPeer, 0x2000, 0, pattern(20));
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05030000");
    EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{0x05030000});
}

TEST_F(SdoClientScripted, BlockUploadSegmentNumberZeroAborts) {
    CANopen_SetSDOConfig(1, 0, 1, 127);
    ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
        if ((r.data[0] & 0xE3) == 0xA0) return {answer({0xC6, r.data[1], r.data[2], r.data[3], 20})};
        if (r.data[0] == 0xA3) return {answer({0x01, 1, 2, 3, 4, 5, 6, 7}), answer({0x00, 8, 9})};
        return {};
    });
    const Outcome outcome = uploadBlocking(kPeer, 0x2000, 0, 100);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - 0x05040003");
    EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{0x05040003});
}

// Peers that keep a block transfer going without ever moving it on: the download's sub-blocks are
// all acknowledged with ackseq 0, the upload's sub-blocks all start at segment 2.
TEST_F(SdoClientScripted, BlockTransferWithoutProgressIsAbortedAfterAFewSubBlocks) {
    CANopen_SetSDOConfig(1, 0, 1, 10);
    CANopen_SetSDOTimeout(2000);
    for (const auto& [direction, abortCode] : {std::pair{Direction::Download, 0x05040000u},
                                               std::pair{Direction::Upload, 0x05040003u}}) {
        bus->clearSent();
        ScriptedPeer peer(*bus, kPeerRequest, [&, direction = direction](const CANFrame& r) -> std::vector<CANFrame> {
            const uint8_t cmd = r.data[0];
            if (cmd == 0xC6) return {answer({0xA4, r.data[1], r.data[2], r.data[3], 10})};
            if ((cmd & 0xE3) == 0xA0) return {answer({0xC4, r.data[1], r.data[2], r.data[3]})};
            if (direction == Direction::Download && (cmd & 0x7F) == 10) return {answer({0xA2, 0, 10})};
            if (direction == Direction::Upload && (cmd == 0xA3 || cmd == 0xA2)) {
                std::vector<CANFrame> segments;
                for (uint8_t sequence = 2; sequence <= 10; ++sequence) segments.push_back(answer({sequence}));
                return segments;
            }
            return {};
        });
        const auto started = std::chrono::steady_clock::now();
        const Outcome outcome = direction == Direction::Download ? downloadBlocking(kPeer, 0x2000, 0, pattern(1000))
                                                                 : uploadBlocking(kPeer, 0x2000, 0, 1000);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(outcome.code, DRN_REQUEST_FAILED);
        EXPECT_EQ(abortsSentTo(*bus, kPeerRequest), std::vector<uint32_t>{abortCode});
        EXPECT_LT(sentTo(*bus, kPeerRequest).size(), 100u) << "a handful of sub-blocks";
    }
}

TEST_F(SdoClientScripted, ProgressOfAVeryLargeTransferDoesNotOverflow) {
    CANopen_SetSDOConfig(1, 28, 1, 127);
    int acks = 0;
    ScriptedPeer peer(*bus, kPeerRequest, [&](const CANFrame& r) -> std::vector<CANFrame> {
        if (r.data[0] == 0xC6) return {answer({0xA4, r.data[1], r.data[2], r.data[3], 127})};
        if ((r.data[0] & 0x7F) != 127) return {};
        if (++acks == 1) return {answer({0xA2, 127, 127})};
        return {answer({0x80, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x08})};  // then the node gives up
    });
    const std::vector<uint8_t> data(50'000'000, 0x11);  // 100 x remaining no longer fits 32 bits
    const Outcome outcome = downloadBlocking(kPeer, 0x2000, 0, data);
    EXPECT_EQ(narrow(outcome.message), "Server aborted - 0x08000000");
    ASSERT_EQ(outcome.progress.size(), 1u);
    EXPECT_GT(outcome.progress[0], 0.0f);
    EXPECT_LT(outcome.progress[0], 0.01f) << "889 of 50,000,000 bytes";
}

TEST_F(SdoClientScripted, RuleWithoutIdentifiersSendsNothing) {
    CANopen_SetSDOChannel(7, 0, 0, 16);
    const Outcome outcome = uploadBlocking(kPeer, 0x1000, 0, 4);
    EXPECT_EQ(outcome.code, DRN_REQUEST_FAILED);
    EXPECT_EQ(narrow(outcome.message), "Client aborted - invalid COB-ID");
    EXPECT_TRUE(bus->sent().empty()) << "nothing on the NMT identifier";
}

TEST_F(SdoClientScripted, FailedTransmissionAtTheStartEndsWithTheDriversResult) {
    bus->setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 1);
    const Outcome outcome = uploadBlocking(kPeer, 0x1000, 0, 4);
    EXPECT_EQ(outcome.code, DRN_TRANSMIT_ERROR);
    EXPECT_EQ(narrow(outcome.message), "Transmit error");
}

TEST_F(SdoClientScripted, RuleThreeSendsToTheConfiguredIdentifiers) {
    CANopen_SetSDOChannel(3, 0x640, 0x5C0, 16);
    ScriptedPeer peer(*bus, 0x640, [&](const CANFrame& r) -> std::vector<CANFrame> {
        return {sdoFrame(0x5C0, {0x4F, r.data[1], r.data[2], r.data[3], 0x77})};
    });
    for (const uint8_t node : {uint8_t{33}, uint8_t{0}}) {
        const Outcome outcome = uploadBlocking(node, 0x1001, 0, 1);
        ASSERT_EQ(outcome.code, DRN_OK) << narrow(outcome.message);
        EXPECT_EQ(outcome.data, std::vector<uint8_t>{0x77});
    }
}

} // namespace
} // namespace drennic::test

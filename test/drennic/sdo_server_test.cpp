// The PC's own SDO server: boot-up, the identity objects, NMT resets, the COB-ID rules it accepts,
// and the dynamic SDO channel that the client waits for.
#include "sdo_test_support.h"

#include "engine_settings.h"

#include <thread>

namespace drennic::test {
namespace {

constexpr uint8_t kServerNode = 0x20;
constexpr uint32_t kServerRequest = 0x600 + kServerNode;
constexpr uint32_t kServerResponse = 0x580 + kServerNode;

class SdoServer : public EngineOnTestBus {
protected:
    void SetUp() override {
        EngineOnTestBus::SetUp();
        initialize();
    }
    void TearDown() override {
        CANopenServer_Shutdown();
        EngineOnTestBus::TearDown();
    }

    int32_t start(uint8_t node = kServerNode, uint32_t deviceType = 0x00010191) {
        int32_t out = -99;
        CANopenServer_Startup(node, deviceType, 0x000001AB, 0x00C0FFEE, 0x00020003, 0x12345678, &out);
        return out;
    }

    // Sends `request` to the server and returns the frames sent in answer (the engine handles frames
    // in order: once a marker request has been answered, everything before it has been too).
    std::vector<CANFrame> exchange(uint32_t id, std::array<uint8_t, 8> request, uint32_t responseId = kServerResponse,
                                   uint32_t markerRequestId = kServerRequest) {
        const std::array<uint8_t, 8> marker{0x40, 0x18, 0x10, 0x00};  // identity object, sub-index 0
        // A request that is itself the marker is answered like it: wait for both answers then.
        const size_t markerAnswers = (id == markerRequestId && request == marker) ? 2 : 1;
        bus->clearSent();
        bus->inject(sdoFrame(id, request));
        bus->inject(sdoFrame(markerRequestId, marker));
        EXPECT_TRUE(eventuallySent([&] {
            size_t seen = 0;
            for (const CANFrame& f : bus->sent()) {
                if (f.id == responseId && f.data[0] == 0x4F && f.data[1] == 0x18 && f.data[3] == 0x00) ++seen;
            }
            return seen >= markerAnswers;
        }));
        std::vector<CANFrame> answers = bus->sent();
        answers.pop_back();  // the marker's answer
        return answers;
    }

    template <typename Condition>
    static bool eventuallySent(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    bool bootUpSeen(uint8_t node) {
        return eventuallySent([&] {
            bool bootUp = false;
            bool emcy = false;
            for (const CANFrame& f : bus->sent()) {
                bootUp |= f.id == 0x700u + node && f.length == 1 && f.data[0] == 0;
                emcy |= f.id == 0x80u + node && f.length == 8;
            }
            return bootUp && emcy;
        });
    }

    static std::array<uint8_t, 8> bytes(const CANFrame& f) {
        std::array<uint8_t, 8> d{};
        std::copy(f.data, f.data + 8, d.begin());
        return d;
    }
};

TEST_F(SdoServer, StartupSendsBootUpAndAnEmptyEmergency) {
    EXPECT_EQ(start(), DRN_OK);
    const auto sent = bus->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].id, 0x720u);
    EXPECT_EQ(sent[0].length, 1);
    EXPECT_EQ(sent[0].data[0], 0);
    EXPECT_EQ(sent[1].id, 0xA0u);
    EXPECT_EQ(sent[1].length, 8);
    EXPECT_EQ(bytes(sent[1]), (std::array<uint8_t, 8>{}));
}

TEST_F(SdoServer, SecondStartupBootsOnlyWhenAValueChanged) {
    ASSERT_EQ(start(), DRN_OK);
    ASSERT_EQ(start(), DRN_OK);
    EXPECT_EQ(bus->sent().size(), 2u) << "same values: no second boot-up";
    ASSERT_EQ(start(kServerNode, 0x00020192), DRN_OK);
    EXPECT_EQ(bus->sent().size(), 4u);
    const auto answers = exchange(kServerRequest, {0x40, 0x00, 0x10, 0x00});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(le32(answers[0].data + 4), 0x00020192u) << "the new values are served";
}

struct RequestCase {
    const char* name;
    std::array<uint8_t, 8> request;
    std::vector<uint8_t> answer;  // none: no answer; else padded with zeros to 8 bytes
};

void PrintTo(const RequestCase& c, std::ostream* out) { *out << c.name; }

class SdoServerObjects : public SdoServer, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(SdoServerObjects, AnswersAsTheObjectAllows) {
    ASSERT_EQ(start(), DRN_OK);
    const RequestCase& c = GetParam();
    const auto answers = exchange(kServerRequest, c.request);
    if (c.answer.empty()) {
        EXPECT_TRUE(answers.empty());
        return;
    }
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].id, kServerResponse);
    EXPECT_EQ(answers[0].length, 8);
    std::array<uint8_t, 8> expected{};
    std::copy(c.answer.begin(), c.answer.end(), expected.begin());
    EXPECT_EQ(bytes(answers[0]), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, SdoServerObjects,
    ::testing::Values(
        RequestCase{"DeviceType", {0x40, 0x00, 0x10, 0x00}, {0x43, 0x00, 0x10, 0x00, 0x91, 0x01, 0x01, 0x00}},
        RequestCase{"ErrorRegister", {0x40, 0x01, 0x10, 0x00}, {0x4F, 0x01, 0x10, 0x00, 0x00}},
        RequestCase{"IdentityCount", {0x40, 0x18, 0x10, 0x00}, {0x4F, 0x18, 0x10, 0x00, 0x04}},
        RequestCase{"VendorId", {0x40, 0x18, 0x10, 0x01}, {0x43, 0x18, 0x10, 0x01, 0xAB, 0x01, 0x00, 0x00}},
        RequestCase{"ProductCode", {0x40, 0x18, 0x10, 0x02}, {0x43, 0x18, 0x10, 0x02, 0xEE, 0xFF, 0xC0, 0x00}},
        RequestCase{"Revision", {0x40, 0x18, 0x10, 0x03}, {0x43, 0x18, 0x10, 0x03, 0x03, 0x00, 0x02, 0x00}},
        RequestCase{"Serial", {0x40, 0x18, 0x10, 0x04}, {0x43, 0x18, 0x10, 0x04, 0x78, 0x56, 0x34, 0x12}},
        RequestCase{"DeviceTypeIsReadOnly", {0x23, 0x00, 0x10, 0x00, 1}, {0x80, 0x00, 0x10, 0x00, 0x02, 0x00, 0x01, 0x06}},
        RequestCase{"ErrorRegisterIsReadOnly", {0x2F, 0x01, 0x10, 0x00, 1}, {0x80, 0x01, 0x10, 0x00, 0x02, 0x00, 0x01, 0x06}},
        RequestCase{"SegmentRequestIsNoCommandHere", {0x60, 0x00, 0x10, 0x00}, {0x80, 0x00, 0x10, 0x00, 0x01, 0x00, 0x04, 0x05}},
        RequestCase{"AbortIsNotAnswered", {0x80, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04, 0x05}, {}},
        RequestCase{"AbortOfAnObjectNotServedIsNotAnswered", {0x80, 0x00, 0x20, 0x00, 0x00, 0x00, 0x04, 0x05}, {}},
        RequestCase{"AbortNamingNoObjectIsNotAnswered", {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x05}, {}},
        RequestCase{"UnknownObject", {0x40, 0x00, 0x20, 0x00}, {0x80, 0x00, 0x20, 0x00, 0x00, 0x00, 0x02, 0x06}},
        RequestCase{"UnknownIdentitySubIndex", {0x40, 0x18, 0x10, 0x05}, {0x80, 0x18, 0x10, 0x05, 0x00, 0x00, 0x02, 0x06}},
        RequestCase{"ChannelObjectReadsZeroAfterBoot", {0x40, 0x10, 0x1F, 0x00}, {0x43, 0x10, 0x1F, 0x00}},
        RequestCase{"ChannelGrant", {0x23, 0x10, 0x1F, 0x00, 0x01}, {0x60, 0x10, 0x1F, 0x00}},
        RequestCase{"ChannelGrantTooShort", {0x2F, 0x10, 0x1F, 0x00, 0x01}, {0x80, 0x10, 0x1F, 0x00, 0x10, 0x00, 0x07, 0x06}},
        RequestCase{"ChannelGrantSegmented", {0x21, 0x10, 0x1F, 0x00, 0x04}, {0x80, 0x10, 0x1F, 0x00, 0x00, 0x00, 0x01, 0x06}}),
    [](const ::testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

// Requests shorter than 8 bytes change nothing and are refused with 0x05040001; a short abort
// is not answered. The engine handles frames in order, so a read of the channel object sent right
// after each one shows both the refusal and that nothing was written.
TEST_F(SdoServer, ShortRequestsAreAbortedAndWriteNothing) {
    ASSERT_EQ(start(), DRN_OK);
    struct Case {
        std::vector<uint8_t> request;
        std::vector<uint8_t> abort;  // empty: no answer
    };
    const Case cases[] = {
        {{0x23, 0x10, 0x1F, 0x00, 0x11}, {0x80, 0x10, 0x1F, 0x00, 0x01, 0x00, 0x04, 0x05}},
        {{0x2F, 0x10, 0x1F, 0x00, 0x05, 0x00, 0x00}, {0x80, 0x10, 0x1F, 0x00, 0x01, 0x00, 0x04, 0x05}},
        {{0x40, 0x00, 0x10}, {0x80, 0x00, 0x10, 0x00, 0x01, 0x00, 0x04, 0x05}},
        {{}, {0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x05}},
        {{0x80, 0x10, 0x1F, 0x00}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.size());
        bus->clearSent();
        CANFrame f{};
        f.id = kServerRequest;
        f.length = static_cast<uint8_t>(c.request.size());
        std::copy(c.request.begin(), c.request.end(), f.data);
        bus->inject(f);
        bus->inject(sdoFrame(kServerRequest, {0x40, 0x10, 0x1F, 0x00}));
        std::vector<CANFrame> answers;
        ASSERT_TRUE(eventuallySent([&] {
            answers.clear();
            for (const CANFrame& a : bus->sent()) {
                if (a.id == kServerResponse) answers.push_back(a);
            }
            return !answers.empty() && answers.back().data[0] == 0x43;
        }));
        ASSERT_EQ(answers.size(), c.abort.empty() ? 1u : 2u);
        if (!c.abort.empty()) {
            EXPECT_EQ(answers[0].length, 8);
            EXPECT_TRUE(std::equal(c.abort.begin(), c.abort.end(), answers[0].data));
        }
        EXPECT_EQ(le32(answers.back().data + 4), 0u) << "the channel object was not written";
    }
}

TEST_F(SdoServer, ChannelGrantIsReadBack) {
    ASSERT_EQ(start(), DRN_OK);
    ASSERT_EQ(exchange(kServerRequest, {0x23, 0x10, 0x1F, 0x00, 0x11, 0x22, 0x33, 0x44}).size(), 1u);
    const auto answers = exchange(kServerRequest, {0x40, 0x10, 0x1F, 0x00});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(le32(answers[0].data + 4), 0x44332211u);
}

TEST_F(SdoServer, BootsAgainOnAResetForItOrForAll) {
    ASSERT_EQ(start(), DRN_OK);
    for (const auto& nmt : {std::array<uint8_t, 2>{0x82, 0x00}, std::array<uint8_t, 2>{0x81, kServerNode}}) {
        bus->clearSent();
        bus->inject(makeFrame(0, {nmt[0], nmt[1]}));
        EXPECT_TRUE(bootUpSeen(kServerNode)) << int{nmt[0]} << " " << int{nmt[1]};
    }
    // A reset for another node and other NMT commands do not; the last reset marks the end.
    bus->clearSent();
    bus->inject(makeFrame(0, {0x81, 0x21}));
    bus->inject(makeFrame(0, {0x01, 0x00}));
    bus->inject(makeFrame(0, {0x81, 0x00}));
    ASSERT_TRUE(bootUpSeen(kServerNode));
    EXPECT_EQ(sentTo(*bus, 0x700 + kServerNode).size(), 1u);
}

TEST_F(SdoServer, AfterShutdownNothingIsAnswered) {
    ASSERT_EQ(start(), DRN_OK);
    CANopenServer_Shutdown();
    bus->clearSent();
    bus->inject(sdoFrame(kServerRequest, {0x40, 0x00, 0x10, 0x00}));
    bus->inject(makeFrame(0, {0x82, 0x00}));
    // A frame the engine answers itself marks the point up to which the injected frames were handled.
    ScriptedPeer peer(*bus, 0x609, [](const CANFrame& r) { return std::vector<CANFrame>{sdoFrame(0x589, {0x4F, r.data[1], r.data[2], r.data[3]})}; });
    const Outcome marker = uploadBlocking(9, 0x1001, 0, 1);
    ASSERT_EQ(marker.code, DRN_OK);
    EXPECT_TRUE(sentTo(*bus, kServerResponse).empty());
    EXPECT_TRUE(sentTo(*bus, 0x700 + kServerNode).empty());
}

// The client's COB-ID rule is how the PC reaches other nodes: the server stays on its own node's
// default channel, and another master asking on the rule's identifiers gets no answer from the PC.
TEST_F(SdoServer, ServesOnItsDefaultChannelWhateverTheClientsRule) {
    ASSERT_EQ(start(1), DRN_OK);
    struct Rule {
        uint32_t mode, request, response;
        uint32_t ruleRequest;  // where the rule puts node 1's requests
    };
    for (const Rule rule : {Rule{2, 0, 0, 0x570}, Rule{3, 0x605, 0x585, 0x605}}) {
        CANopen_SetSDOChannel(rule.mode, rule.request, rule.response, 16);
        const auto answers = exchange(rule.ruleRequest, {0x40, 0x00, 0x10, 0x00}, 0x581, 0x601);
        EXPECT_TRUE(answers.empty()) << "rule " << rule.mode;
    }
    const auto answers = exchange(0x601, {0x40, 0x00, 0x10, 0x00}, 0x581, 0x601);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].data[0], 0x43);
}

TEST_F(SdoServer, RefusesNodeIdsWhoseIdentifiersWouldBeMisused) {
    EXPECT_EQ(start(0), DRN_BAD_PARAMETERS) << "its EMCY would be the SYNC identifier";
    EXPECT_EQ(start(128), DRN_BAD_PARAMETERS);
    EXPECT_TRUE(bus->sent().empty());
    CANopen_SetSDOChannel(0, 0, 0, 16);  // no identifiers for the client: none the server needs
    EXPECT_EQ(start(), DRN_OK);
}

TEST_F(SdoServer, KeepsAnsweringWhenTheClientsRuleLosesItsIdentifiers) {
    ASSERT_EQ(start(), DRN_OK);
    CANopen_SetSDOChannel(3, kServerRequest, 0, 16);  // the client's answers would be on identifier 0
    const auto answers = exchange(kServerRequest, {0x40, 0x00, 0x10, 0x00});
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].id, kServerResponse);
    EXPECT_EQ(answers[0].data[0], 0x43);
}

// The CAN server hands the PC's frames back to it. The server answers for the PC's node only to
// other masters: the PC's own requests, to its node or by a rule-3 pair, stay unanswered.
TEST_F(SdoServer, ClientGetsNoAnswerFromThePcsOwnServer) {
    bus->setSelfReceive(true);
    CANopen_SetSDOTimeout(200);
    struct Case {
        uint8_t serverNode;
        uint32_t ruleMode, request, response;
    };
    for (const Case c : {Case{5, 1, 0, 0}, Case{kServerNode, 3, 0x605, 0x585}}) {
        ASSERT_EQ(start(c.serverNode), DRN_OK);
        CANopen_SetSDOChannel(c.ruleMode, c.request, c.response, 16);
        const Outcome deviceType = uploadBlocking(5, 0x1000, 0, 4);
        EXPECT_EQ(narrow(deviceType.message), "Client aborted - 0x05040000") << "server node " << int{c.serverNode};
        const Outcome refused = downloadBlocking(5, 0x1018, 1, {1, 2, 3, 4});
        EXPECT_EQ(narrow(refused.message), "Client aborted - 0x05040000");
    }
}

// A request of the PC's that the driver refused leaves no echo to wait for: another master's identical
// request right after it is answered.
TEST_F(SdoServer, RequestTheDriverRefusedDoesNotSwallowAnotherMastersLikeIt) {
    bus->setSelfReceive(true);
    ASSERT_EQ(start(), DRN_OK);
    const std::array<uint8_t, 8> deviceType{0x40, 0x00, 0x10, 0x00};
    bus->setTransmitFailure(DRN_TRANSMIT_ERROR, u"Transmit error", 1);
    const CANFrame own = sdoFrame(kServerRequest, deviceType);
    ResultBlock result{};
    CAN_Transmit(&own, &result);
    ASSERT_EQ(result.code, DRN_REQUEST_FAILED);
    const auto answers = exchange(kServerRequest, deviceType);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].data[0], 0x43);
}

// ---- Dynamic SDO channel ---------------------------------------------------------------------------

class SdoChannel : public SdoServer {
protected:
    void SetUp() override {
        SdoServer::SetUp();
        bus->setSelfReceive(true);  // the server sees its own grant answer go out
        ASSERT_EQ(start(), DRN_OK);
        CANopen_SetSDOTimeout(2000);
        EXPECT_EQ(CANopen_SDOChannels(1), 0);
        node9 = std::make_unique<ScriptedPeer>(*bus, 0x609, [](const CANFrame& r) -> std::vector<CANFrame> {
            if (r.data[0] != 0x40) return {};
            return {sdoFrame(0x589, {0x43, r.data[1], r.data[2], r.data[3], 0x91, 0x01})};
        });
    }
    void TearDown() override {
        node9.reset();
        SdoServer::TearDown();
    }
    // A node 9 that answers every upload of 0x1000.
    std::unique_ptr<ScriptedPeer> node9 = nullptr;
};

TEST_F(SdoChannel, RequestWaitsForTheGrantAndGoesOnOnceTheAnswerIsOnTheBus) {
    bus->clearSent();
    std::vector<uint8_t> buffer(4);
    uint32_t size = 4;
    Completion completion;
    int32_t out = -99;
    CANopen_SDOUpload(9, 0x1000, 0, buffer.data(), &size, nullptr, Completion::onComplete, &completion, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(eventuallySent([&] { return !sentTo(*bus, 0x6E0).empty(); }));
    const CANFrame request = sentTo(*bus, 0x6E0).front();
    EXPECT_EQ(request.length, 0);
    EXPECT_FALSE(completion.wait(std::chrono::milliseconds(300))) << "no transfer before the grant";
    EXPECT_TRUE(sentTo(*bus, 0x609).empty());

    // The manager's grant: a write of 0x1F10.
    bus->inject(sdoFrame(kServerRequest, {0x23, 0x10, 0x1F, 0x00, 0x01}));
    ASSERT_TRUE(completion.wait());
    EXPECT_EQ(completion.result.code, DRN_OK);
    EXPECT_EQ(le32(buffer.data()), 0x0191u);

    // Granted for good: the next request goes at once.
    ASSERT_EQ(uploadBlocking(9, 0x1000, 0, 4).code, DRN_OK);
    EXPECT_EQ(sentTo(*bus, 0x6E0).size(), 1u);
}

TEST_F(SdoChannel, WhileRequestedTheChannelObjectReadsThree) {
    bus->clearSent();
    std::vector<uint8_t> buffer(4);
    uint32_t size = 4;
    Completion completion;
    int32_t out = -99;
    CANopen_SDOUpload(9, 0x1000, 0, buffer.data(), &size, nullptr, Completion::onComplete, &completion, &out);
    ASSERT_TRUE(eventuallySent([&] { return !sentTo(*bus, 0x6E0).empty(); }));
    bus->inject(sdoFrame(kServerRequest, {0x40, 0x10, 0x1F, 0x00}));
    ASSERT_TRUE(eventuallySent([&] { return !sentTo(*bus, kServerResponse).empty(); }));
    EXPECT_EQ(le32(sentTo(*bus, kServerResponse).front().data + 4), 3u);
    bus->inject(sdoFrame(kServerRequest, {0x23, 0x10, 0x1F, 0x00, 0x01}));
    ASSERT_TRUE(completion.wait());
}

TEST_F(SdoChannel, WaitIsGivenUpAfterTheChannelTimeOutUntilTheNextBootUp) {
    CANopen_SetSDOChannelsTimeout(100);
    bus->clearSent();
    const auto started = std::chrono::steady_clock::now();
    const Outcome first = uploadBlocking(9, 0x1000, 0, 4);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(99));
    ASSERT_EQ(first.code, DRN_OK) << "the request goes on without a channel";
    ASSERT_EQ(uploadBlocking(9, 0x1000, 0, 4).code, DRN_OK);
    EXPECT_EQ(sentTo(*bus, 0x6E0).size(), 1u) << "no second request";

    // A boot-up asks again.
    bus->inject(makeFrame(0, {0x82, 0x00}));
    ASSERT_TRUE(bootUpSeen(kServerNode));
    ASSERT_EQ(uploadBlocking(9, 0x1000, 0, 4).code, DRN_OK);
    EXPECT_EQ(sentTo(*bus, 0x6E0).size(), 2u);
}

TEST_F(SdoChannel, LibraryStartSwitchesChannelsAndTheServerOff) {
    Hardware_Close();
    CANopenDLL_Shutdown();
    CANopenDLL_Startup(1, u"");
    CANopen_SetPostTransmitDelay(0);
    initialize();
    bus->setSelfReceive(true);
    bus->clearSent();
    ASSERT_EQ(uploadBlocking(9, 0x1000, 0, 4).code, DRN_OK);
    EXPECT_TRUE(sentTo(*bus, 0x6E0).empty());
    bus->inject(sdoFrame(kServerRequest, {0x40, 0x00, 0x10, 0x00}));
    ASSERT_EQ(uploadBlocking(9, 0x1000, 0, 4).code, DRN_OK);
    EXPECT_TRUE(sentTo(*bus, kServerResponse).empty());
}

} // namespace
} // namespace drennic::test

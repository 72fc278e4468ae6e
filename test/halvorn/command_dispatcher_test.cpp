// Every command code against the running server program: response code, length and payload
// (big-endian numbers, UTF-16 names), addressed to the sender; no response where none is due.
#include "server_harness.h"

#include "net_table.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <future>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace ostrel::halvorn {
namespace {

using test::RawClient;
using test::utf16Bytes;
using test::utf16Field;

uint32_t ownId() { return static_cast<uint32_t>(::getpid()); }
// A second client: a live process, since the server drops the entries of processes that have ended.
uint32_t otherId() { return static_cast<uint32_t>(::getppid()); }

std::vector<uint8_t> be16(uint16_t value) {
    std::vector<uint8_t> out(2);
    putBe16(out.data(), value);
    return out;
}

std::vector<uint8_t> busConfig(uint16_t handle, uint32_t options) {
    std::vector<uint8_t> out(6);
    putBe16(out.data(), handle);
    putBe32(out.data() + 2, options);
    return out;
}

std::vector<uint8_t> switchNetworks(uint8_t mode, uint16_t handle) {
    std::vector<uint8_t> out(3);
    out[0] = mode;
    putBe16(out.data() + 1, handle);
    return out;
}

std::vector<uint8_t> addNetwork(std::u16string_view name, uint16_t baudKbit, uint16_t hardware) {
    std::vector<uint8_t> out(kAddNetworkPayload, 0);
    const auto text = utf16Bytes(name, false);
    std::copy(text.begin(), text.end(), out.begin());
    putBe16(out.data() + kNetworkNameField, baudKbit);
    putBe16(out.data() + kNetworkNameField + 2, hardware);
    return out;
}

struct ListedNetwork {
    std::u16string name;
    uint16_t handle;
    uint16_t baudKbit;
    bool operator==(const ListedNetwork&) const = default;
};

std::vector<ListedNetwork> networksOf(const ServerCommand& response) {
    std::vector<ListedNetwork> out;
    const uint16_t count = getBe16(response.data);
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* entry = response.data + 2 + i * kNetworkEntrySize;
        out.push_back({utf16Field(entry, kNetworkNameChars), getBe16(entry + kNetworkNameField),
                       getBe16(entry + kNetworkNameField + 2)});
    }
    return out;
}

const std::vector<ListedNetwork> kBuiltIn = {
    {u"CANopen_1000", 1, 1000}, {u"CANopen_800", 2, 800}, {u"CANopen_500", 3, 500}, {u"CANopen_250", 4, 250},
    {u"CANopen_125", 32, 125},  {u"CANopen_50", 6, 50},   {u"CANopen_20", 7, 20},   {u"CANopen_10", 8, 10},
};

class CommandDispatch : public test::RunningServerTest {
protected:
    void SetUp() override {
        startServer();
        client_ = std::make_unique<RawClient>(ownId());
        ASSERT_TRUE(client_->connected());
        ASSERT_TRUE(client_->send(ServerCmd_RegisterClient));
    }
    void TearDown() override {
        client_.reset();
        RunningServerTest::TearDown();
    }

    // The next response for our client, which must carry `code` and `length` and be addressed to us.
    ServerCommand expect(uint8_t code, int32_t length) {
        const auto r = client_->nextResponse();
        if (!r) {
            ADD_FAILURE() << "no response " << std::hex << int{code};
            return ServerCommand{};
        }
        EXPECT_EQ(r->code, code);
        EXPECT_EQ(r->length, length);
        EXPECT_EQ(r->processId, ownId());
        return *r;
    }
    ServerCommand call(uint8_t cmd, std::vector<uint8_t> payload, uint8_t code, int32_t length) {
        EXPECT_TRUE(client_->send(cmd, std::move(payload)));
        return expect(code, length);
    }
    void selectSimulatedBus() {
        const ServerCommand r = call(ServerCmd_SetHardwareConfiguration, utf16Bytes(u"", true),
                                     ServerResp_SetHardwareConfiguration, 1);
        ASSERT_EQ(r.data[0], 0);
    }
    std::vector<ListedNetwork> listNetworks(uint16_t hardware) {
        const ServerCommand r = client_->request(ServerCmd_EnumerateNetworks, be16(hardware)).value_or(ServerCommand{});
        EXPECT_EQ(r.code, ServerResp_EnumerateNetworks);
        EXPECT_EQ(r.length, static_cast<int32_t>(2 + getBe16(r.data) * kNetworkEntrySize));
        return networksOf(r);
    }

    std::unique_ptr<RawClient> client_;
};

// Clients of 2.0 and later say their own version; one of another major version is named in the log.
TEST_F(CommandDispatch, VersionIsThreeZeroAndAClientOfAnotherMajorVersionIsLogged) {
    for (const std::vector<uint8_t>& said : {std::vector<uint8_t>{}, {3, 0}, {2, 1}, {1, 0}}) {
        const ServerCommand r = call(ServerCmd_GetVersion, said, ServerResp_GetVersion, 2);
        EXPECT_EQ(r.data[0], 3);
        EXPECT_EQ(r.data[1], 0);
    }
    const std::string log = scene_.logText();
    const std::string client = "Client " + std::to_string(ownId()) + " speaks protocol version ";
    EXPECT_EQ(test::countOccurrences(log, client), 2) << log;
    EXPECT_NE(log.find(client + "2.1, this server 3.0 - it cannot work with this server\n"), std::string::npos);
}

TEST_F(CommandDispatch, CurrentTimeIsTheMillisecondClockOfTheEchoedFrames) {
    const uint32_t before = platform::tickMs();
    const ServerCommand r = call(ServerCmd_GetCurrentTime, {}, ServerResp_GetCurrentTime, 6);
    const uint32_t after = platform::tickMs();
    const uint32_t ms = getBe32(r.data);
    EXPECT_LE(ms - before, after - before);  // within [before, after], wrap-safe
    EXPECT_EQ(getBe16(r.data + 4), 0);
}

TEST_F(CommandDispatch, EmptyDriverNameSelectsTheSimulatedBusOnceForAllClients) {
    selectSimulatedBus();
    RawClient other(otherId());
    ASSERT_TRUE(other.connected());
    const auto again = other.request(ServerCmd_SetHardwareConfiguration, utf16Bytes(u"KOBALAPI2.DLL", true));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code, ServerResp_SetHardwareConfiguration);
    EXPECT_EQ(again->processId, otherId());
    EXPECT_EQ(again->data[0], 7);
    EXPECT_NE(scene_.logText().find("Setting hardware configuration to: KOBALAPI2.DLL\nResult = 4\n"),
              std::string::npos);
}

TEST_F(CommandDispatch, HardwareListIsInternalWithHandleZero) {
    selectSimulatedBus();
    const ServerCommand r = call(ServerCmd_EnumerateHardware, {}, ServerResp_EnumerateHardware, 2 + 130);
    ASSERT_EQ(getBe16(r.data), 1);
    const uint8_t* entry = r.data + 2;
    EXPECT_EQ(utf16Field(entry, kHardwareNameChars), u"Internal");
    // Little-endian code units, padded with zero characters over the whole name field.
    EXPECT_EQ(entry[0], 'I');
    EXPECT_EQ(entry[1], 0);
    for (std::size_t i = 2 * 8; i < kHardwareNameField; ++i) EXPECT_EQ(entry[i], 0) << i;
    EXPECT_EQ(getBe16(entry + kHardwareNameField), 0);
    EXPECT_NE(scene_.logText().find("Found CAN interface Internal with handle 0\n"), std::string::npos);
}

TEST_F(CommandDispatch, NetworkListHoldsTheBuiltInNetworksThenTheUserNetworksOfTheHardware) {
    selectSimulatedBus();
    EXPECT_EQ(listNetworks(0), kBuiltIn);

    const ServerCommand added =
        call(ServerCmd_AddNetwork, addNetwork(u"Line A", 250, 0), ServerResp_AddNetwork, 3);
    EXPECT_EQ(added.data[0], 0);
    EXPECT_EQ(getBe16(added.data + 1), 9);
    const ServerCommand second =
        call(ServerCmd_AddNetwork, addNetwork(u"Line B", 0x01F4, 1), ServerResp_AddNetwork, 3);
    EXPECT_EQ(second.data[0], 0);
    EXPECT_EQ(getBe16(second.data + 1), 10);

    auto expected = kBuiltIn;
    expected.push_back({u"Line A", 9, 250});
    EXPECT_EQ(listNetworks(0), expected);
    expected = kBuiltIn;
    expected.push_back({u"Line B", 10, 500});
    EXPECT_EQ(listNetworks(1), expected);
    EXPECT_NE(scene_.logText().find("Adding network Line A (250) for hardware 0\nNew network handle = 9\n"),
              std::string::npos);
}

TEST_F(CommandDispatch, NetworkNameOfFortyCharactersIsCutToWhatTheServerKeeps) {
    selectSimulatedBus();
    const std::u16string forty(40, u'N');
    const ServerCommand added = call(ServerCmd_AddNetwork, addNetwork(forty, 125, 0), ServerResp_AddNetwork, 3);
    ASSERT_EQ(added.data[0], 0);
    const auto listed = listNetworks(0);
    ASSERT_EQ(listed.size(), kBuiltIn.size() + 1);
    EXPECT_EQ(listed.back().name, std::u16string(39, u'N'));
    EXPECT_EQ(listed.back().baudKbit, 125);
}

TEST_F(CommandDispatch, BaudrateOfBuiltInUserAndUnknownNetworks) {
    selectSimulatedBus();
    (void)call(ServerCmd_AddNetwork, addNetwork(u"Slow", 20, 0), ServerResp_AddNetwork, 3);
    for (const auto& [handle, kbit] : std::vector<std::pair<uint16_t, uint16_t>>{{32, 125}, {1, 1000}, {9, 20}, {5, 0}}) {
        const ServerCommand r = call(ServerCmd_GetBaudrate, be16(handle), ServerResp_GetBaudrate, 2);
        EXPECT_EQ(getBe16(r.data), kbit) << handle;
    }
    EXPECT_NE(scene_.logText().find("Baudrate of network 32 is 125\n"), std::string::npos);
}

TEST_F(CommandDispatch, BusConfigurationNeedsAStartedBusAndThenOpensAnyNetwork) {
    const ServerCommand refused =
        call(ServerCmd_SetBusConfiguration, busConfig(3, 0), ServerResp_SetBusConfiguration, 7);
    EXPECT_EQ(refused.data[0], 8);
    EXPECT_EQ(client_->currentNetwork(), 0u);

    selectSimulatedBus();
    const ServerCommand r =
        call(ServerCmd_SetBusConfiguration, busConfig(3, 0x01020304), ServerResp_SetBusConfiguration, 7);
    const std::array<uint8_t, 7> expected{0, 0, 3, 1, 2, 3, 4};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r.data));
    EXPECT_EQ(client_->currentNetwork(), 3u);

    const ServerCommand current = call(ServerCmd_GetBusConfiguration, {}, ServerResp_GetBusConfiguration, 6);
    EXPECT_EQ(getBe16(current.data), 3);
    EXPECT_EQ(getBe32(current.data + 2), 0x01020304u);

    // On the simulated bus every configuration succeeds and moves the bus.
    EXPECT_EQ(call(ServerCmd_SetBusConfiguration, busConfig(32, 0), ServerResp_SetBusConfiguration, 7).data[0], 0);
    EXPECT_EQ(client_->currentNetwork(), 32u);
    const std::string log = scene_.logText();
    EXPECT_NE(log.find("Setting bus configuration, nethandle = 3, options = 0x01020304\nSetBusConfiguration result = 0\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("SetBusConfiguration result = 6\n"), std::string::npos) << log;
}

TEST_F(CommandDispatch, DriverLibraryThatCannotBeLoadedLeavesTheBusUnopened) {
    const ServerCommand started = call(ServerCmd_SetHardwareConfiguration, utf16Bytes(u"MISSING_WINCE_DRIVER.DLL", true),
                                       ServerResp_SetHardwareConfiguration, 1);
    EXPECT_EQ(started.data[0], 0);  // the library's own start result is not looked at
    // The library answers "not initialised": status 4, and nothing of the handle or options.
    const ServerCommand r = call(ServerCmd_SetBusConfiguration, busConfig(1, 7), ServerResp_SetBusConfiguration, 7);
    const std::array<uint8_t, 7> expected{4, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r.data));
    EXPECT_EQ(client_->currentNetwork(), 0u);
    // The hardware now comes from the library, which has none.
    EXPECT_EQ(getBe16(call(ServerCmd_EnumerateHardware, {}, ServerResp_EnumerateHardware, 2).data), 0);
    const std::string log = scene_.logText();
    EXPECT_NE(log.find("Starting CANopen DLL with MISSING_WINCE_DRIVER.DLL\n"), std::string::npos) << log;
    EXPECT_NE(log.find("SetBusConfiguration result = 7\n"), std::string::npos) << log;
}

TEST_F(CommandDispatch, DeleteNetworkAnswersBuiltInInUseAndDeleted) {
    selectSimulatedBus();
    const uint16_t user = getBe16(call(ServerCmd_AddNetwork, addNetwork(u"Temp", 500, 0), ServerResp_AddNetwork, 3).data + 1);
    ASSERT_EQ(call(ServerCmd_SetBusConfiguration, busConfig(4, 0), ServerResp_SetBusConfiguration, 7).data[0], 0);

    EXPECT_EQ(call(ServerCmd_DeleteNetwork, be16(3), ServerResp_DeleteNetwork, 1).data[0], 13);
    EXPECT_EQ(call(ServerCmd_DeleteNetwork, be16(4), ServerResp_DeleteNetwork, 1).data[0], 12);
    EXPECT_EQ(call(ServerCmd_DeleteNetwork, be16(user), ServerResp_DeleteNetwork, 1).data[0], 0);
    EXPECT_EQ(listNetworks(0), kBuiltIn);
    EXPECT_EQ(call(ServerCmd_DeleteNetwork, be16(user), ServerResp_DeleteNetwork, 1).data[0], 0);
    EXPECT_NE(scene_.logText().find("Deleting network 3\n"), std::string::npos);
}

// Written again, adding and deleting a network find only what their own first writing did, named by the
// client and the request's tag, across a server restart: never another program's network.
TEST_F(CommandDispatch, RepeatedAddAndDeleteFindOnlyWhatTheirOwnFirstWritingDid) {
    selectSimulatedBus();
    RawClient other(otherId());
    ASSERT_TRUE(other.connected());
    const auto ask = [](RawClient& c, uint8_t code, std::vector<uint8_t> payload, uint32_t tag, bool repeat) {
        if (repeat) payload.push_back(kRequestRepeated);
        ServerCommand command = test::makeCommand(code, std::move(payload));
        putRequestTag(command, tag);
        EXPECT_TRUE(c.send(command));
        const auto r = c.nextResponse();
        EXPECT_TRUE(r && requestTagOf(*r) == tag);
        return r ? *r : ServerCommand{};
    };
    const auto add = [&](RawClient& c, std::u16string_view name, uint32_t tag, bool repeat) {
        return getBe16(ask(c, ServerCmd_AddNetwork, addNetwork(name, 250, 0), tag, repeat).data + 1);
    };
    const auto remove = [&](RawClient& c, uint16_t handle, uint32_t tag, bool repeat) {
        return ask(c, ServerCmd_DeleteNetwork, be16(handle), tag, repeat).data[0];
    };
    const uint16_t theirs = add(other, u"Same", 7, false);
    const uint16_t mine = add(*client_, u"Mine", 8, false);
    EXPECT_EQ(remove(*client_, mine, 9, false), 0);
    const uint16_t since = add(other, u"Since", 10, false);  // given the handle just freed
    ASSERT_EQ(since, mine);

    server_.reset();  // a new server on the same table
    startServer();
    ASSERT_TRUE(client_->send(ServerCmd_RegisterClient));
    selectSimulatedBus();
    EXPECT_EQ(remove(*client_, mine, 9, true), 0) << "the delete that was carried out is not carried out again";
    EXPECT_EQ(add(other, u"Since", 10, true), since) << "the add that was carried out is answered with its network";
    const uint16_t unanswered = add(*client_, u"Same", 11, true);  // never carried out before
    EXPECT_NE(unanswered, theirs) << "another program's network of the same name and speed is not ours";
    EXPECT_NE(add(*client_, u"Since", 10, true), since) << "the same tag of another client names another request";

    auto expected = kBuiltIn;
    expected.push_back({u"Same", theirs, 250});
    expected.push_back({u"Since", since, 250});
    expected.push_back({u"Same", unanswered, 250});
    const auto listed = listNetworks(0);
    ASSERT_EQ(listed.size(), expected.size() + 1);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), listed.begin()));
    const std::string log = scene_.logText();
    EXPECT_NE(log.find("Network " + std::to_string(mine) + " was deleted for this request before\n"), std::string::npos);
    EXPECT_NE(log.find("Network Since was added for this request before: handle " + std::to_string(since)),
              std::string::npos);
}

TEST_F(CommandDispatch, SwitchNetworksConnectsDisconnectsAndIgnoresOtherModes) {
    EXPECT_EQ(call(ServerCmd_SwitchNetworks, switchNetworks(0, 4), ServerResp_SwitchNetworks, 1).data[0], 8);
    selectSimulatedBus();
    EXPECT_EQ(call(ServerCmd_SwitchNetworks, switchNetworks(0, 4), ServerResp_SwitchNetworks, 1).data[0], 0);
    EXPECT_EQ(client_->currentNetwork(), 4u);
    EXPECT_EQ(call(ServerCmd_SwitchNetworks, switchNetworks(2, 6), ServerResp_SwitchNetworks, 1).data[0], 0);
    EXPECT_EQ(client_->currentNetwork(), 4u);
    EXPECT_EQ(call(ServerCmd_SwitchNetworks, switchNetworks(1, 4), ServerResp_SwitchNetworks, 1).data[0], 0);
    EXPECT_EQ(client_->currentNetwork(), 0u);
    EXPECT_NE(scene_.logText().find("Switching networks to 6\n"), std::string::npos);
}

TEST_F(CommandDispatch, SwitchedNetworkCountsAsTheClientsOwn) {
    selectSimulatedBus();
    const uint16_t user = getBe16(call(ServerCmd_AddNetwork, addNetwork(u"Mine", 500, 0), ServerResp_AddNetwork, 3).data + 1);
    ASSERT_EQ(call(ServerCmd_SwitchNetworks, switchNetworks(0, user), ServerResp_SwitchNetworks, 1).data[0], 0);
    RawClient other(otherId());
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(other.send(ServerCmd_RegisterClient));
    ASSERT_EQ(other.request(ServerCmd_SwitchNetworks, switchNetworks(0, 3))->data[0], 0);
    // The bus has moved on to 3; the network stays in use by our client until it disconnects.
    EXPECT_EQ(other.request(ServerCmd_DeleteNetwork, be16(user))->data[0], 12);
    ASSERT_EQ(call(ServerCmd_SwitchNetworks, switchNetworks(1, user), ServerResp_SwitchNetworks, 1).data[0], 0);
    EXPECT_EQ(other.request(ServerCmd_DeleteNetwork, be16(user))->data[0], 0);
}

TEST_F(CommandDispatch, CommandsWithoutAnswerAreFollowedDirectlyByTheNextAnswer) {
    selectSimulatedBus();
    ASSERT_TRUE(client_->send(ServerCmd_SetErrorFrames, {1}));
    ASSERT_TRUE(client_->send(ServerCmd_ResetHardware));
    ASSERT_TRUE(client_->send(ServerCmd_Reserved, {1, 2, 3}));
    ASSERT_TRUE(client_->send(ServerCmd_Ping));
    ASSERT_TRUE(client_->send(ServerCmd_RegisterClient));
    const ServerCommand r = call(ServerCmd_GetVersion, {}, ServerResp_GetVersion, 2);
    EXPECT_EQ(r.data[0], kServerVersionMajor);
    const std::string log = scene_.logText();
    EXPECT_NE(log.find("Ping\n"), std::string::npos);
    EXPECT_EQ(log.find("Unknown command received"), std::string::npos) << log;
}

TEST_F(CommandDispatch, UnknownAndTooShortCommandsGetNoAnswerAndALogLine) {
    selectSimulatedBus();
    const std::vector<ServerCommand> rejected = {
        test::makeCommand(0x77),
        test::makeCommand(0x40, {1}),  // only the server sends 0x40
        test::makeCommand(ServerCmd_SetBusConfiguration, {0, 3}),
        test::makeCommand(ServerCmd_SetErrorFrames),
        test::makeCommand(ServerCmd_EnumerateNetworks, {0}),
        test::makeCommand(ServerCmd_AddNetwork, std::vector<uint8_t>(kAddNetworkPayload - 1, 0x41)),
        test::makeCommand(ServerCmd_DeleteNetwork, {9}),
        test::makeCommand(ServerCmd_GetBaudrate, {0}),
        test::makeCommand(ServerCmd_SetHardwareConfiguration),
        test::makeCommand(ServerCmd_SwitchNetworks, {0, 0}),
    };
    for (const ServerCommand& c : rejected) ASSERT_TRUE(client_->send(c));
    (void)call(ServerCmd_GetVersion, {}, ServerResp_GetVersion, 2);
    EXPECT_EQ(test::countOccurrences(scene_.logText(), "Unknown command received\n"),
              static_cast<int>(rejected.size()));
    // Nothing of the short configuration was acted on.
    EXPECT_EQ(getBe16(call(ServerCmd_GetBusConfiguration, {}, ServerResp_GetBusConfiguration, 6).data), 0);
    EXPECT_EQ(client_->currentNetwork(), 0u);
}

// Only a ping with a ticket from a process the server does not know is answered, with its ticket.
TEST_F(CommandDispatch, PingWithATicketFromAnUnknownClientAsksItToRegisterAgain) {
    RawClient other(otherId());
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(client_->send(ServerCmd_Ping, {0, 0, 0, 7}));
    ASSERT_TRUE(other.send(ServerCmd_Ping));
    ASSERT_TRUE(other.send(ServerCmd_Ping, {0x12, 0x34, 0x56, 0x78}));
    const auto answer = other.nextResponse();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->code, ServerResp_NotRegistered);
    EXPECT_EQ(answer->processId, otherId());
    ASSERT_EQ(answer->length, kPingTicketLength);
    EXPECT_EQ(getBe32(answer->data), 0x12345678u);
    EXPECT_FALSE(other.nextResponse(300)) << "the ping without a ticket is not answered";
    EXPECT_FALSE(client_->nextResponse(300)) << "a registered client is not asked";
}

// Id 0 names no process: an answer to it would reach every client and make each register again.
TEST_F(CommandDispatch, PingWithATicketFromProcessIdZeroIsNeverAnswered) {
    RawClient nobody(0);
    ASSERT_TRUE(nobody.connected());
    ASSERT_TRUE(nobody.send(ServerCmd_Ping, {0, 0, 0, 0}));
    // Commands are handled in ring order: an answer to the ping would come first.
    EXPECT_EQ(call(ServerCmd_GetVersion, {}, ServerResp_GetVersion, 2).data[0], kServerVersionMajor);
}

TEST_F(CommandDispatch, ResponsesAreAddressedToTheirSenderOnly) {
    auto objects = TransportObjects::open();
    ASSERT_TRUE(objects);
    RingReader<ServerCommand> spy(objects->responseRing());
    ASSERT_TRUE(spy.startAtWriteIndex());
    RawClient other(otherId());
    ASSERT_TRUE(other.connected());

    ServerCommand tagged = test::makeCommand(ServerCmd_GetVersion);
    putRequestTag(tagged, 0xABCDEF);
    ASSERT_TRUE(client_->send(tagged));
    ASSERT_TRUE(other.send(ServerCmd_GetCurrentTime));
    const auto mine = client_->nextResponse();
    const auto theirs = other.nextResponse();
    ASSERT_TRUE(mine && theirs);
    EXPECT_EQ(mine->code, ServerResp_GetVersion);
    EXPECT_EQ(requestTagOf(*mine), 0xABCDEFu) << "an answer carries its request's tag";
    EXPECT_EQ(theirs->code, ServerResp_GetCurrentTime);
    EXPECT_EQ(requestTagOf(*theirs), 0u);

    // In the ring itself each answer carries its addressee.
    std::vector<std::pair<uint8_t, uint32_t>> seen;
    ServerCommand entry{};
    while (spy.read(entry).status == RingReadStatus::Entry) seen.emplace_back(entry.code, entry.processId);
    const std::vector<std::pair<uint8_t, uint32_t>> expected = {{ServerResp_GetVersion, ownId()},
                                                                {ServerResp_GetCurrentTime, otherId()}};
    EXPECT_EQ(seen, expected);
    // Neither client took the other's answer.
    EXPECT_FALSE(client_->nextResponse(300));
    EXPECT_FALSE(other.nextResponse(300));
}

TEST_F(CommandDispatch, ClientFrameOnTheSimulatedBusReachesEveryClientWithItsSender) {
    selectSimulatedBus();
    ASSERT_EQ(call(ServerCmd_SetBusConfiguration, busConfig(3, 0), ServerResp_SetBusConfiguration, 7).data[0], 0);
    RawClient other(otherId());
    ASSERT_TRUE(other.connected());
    ServerFrame frame{};
    frame.id = 0x181;
    frame.length = 2;
    frame.data[0] = 0x5A;
    frame.data[1] = 0xA5;
    const uint32_t before = platform::tickMs();
    ASSERT_TRUE(client_->sendFrame(frame));
    for (RawClient* c : {client_.get(), &other}) {
        const auto echo = c->nextFrame();
        ASSERT_TRUE(echo);
        EXPECT_EQ(echo->id, 0x181u);
        EXPECT_EQ(echo->processId, ownId());
        EXPECT_EQ(echo->length, 2);
        EXPECT_EQ(echo->data[1], 0xA5);
        EXPECT_LE(echo->timeMs - before, platform::tickMs() - before);
    }
}

// A peer scribbles on the receive ring's header and writes the old values back 1-3 ms later, again
// and again, while frames flow. No client ever reads a frame twice, and every frame a client did not
// get is counted as lost (one reader sleeps now and then, so that the server laps it).
TEST_F(CommandDispatch, ScribbledReceiveRingHeaderNeverMakesAClientReadAFrameTwice) {
    constexpr uint32_t kFrames = 12'000;
    selectSimulatedBus();
    ASSERT_EQ(call(ServerCmd_SetBusConfiguration, busConfig(3, 0), ServerResp_SetBusConfiguration, 7).data[0], 0);
    struct Tally {
        uint64_t delivered = 0, duplicates = 0, lost = 0;
    };
    std::atomic<bool> sending{true};
    // Reads until the last frame came, or all is sent and every frame is accounted for.
    auto readAll = [&sending](std::unique_ptr<RingClient> reader, bool slow) {
        Tally t;
        int64_t last = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kBoundMs);
        for (ServerFrame f{}; last + 1 < kFrames && std::chrono::steady_clock::now() < deadline;) {
            if (reader->readReceived(f).status != RingReadStatus::Entry) {
                if (!sending && t.delivered + reader->lostFrames() >= kFrames) break;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            t.duplicates += static_cast<int64_t>(f.id) <= last ? 1 : 0;
            last = std::max<int64_t>(last, f.id);
            if (++t.delivered % 2000 == 0 && slow) std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        t.lost = reader->lostFrames();
        return t;
    };
    std::vector<std::future<Tally>> readers;
    for (const bool slow : {false, true}) {
        auto reader = RingClient::connect(otherId() + (slow ? 1 : 0));
        ASSERT_TRUE(reader);
        readers.push_back(std::async(std::launch::async, readAll, std::move(reader), slow));
    }
    auto scribbler = std::async(std::launch::async, [&] {
        auto peer = TransportObjects::open();
        ServerRingHeader& header = peer->block().receiveRing.header;
        std::atomic_ref<uint32_t> capacity(header.capacity), writeIndex(header.writeIndex);
        int rounds = 0;
        for (; sending; ++rounds) {
            const uint32_t oldCapacity = capacity.load(), oldWriteIndex = writeIndex.load();
            (rounds % 2 == 0 ? capacity : writeIndex).store(0xFFFF0000u + static_cast<uint32_t>(rounds));
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + rounds % 3));
            capacity.store(oldCapacity);
            writeIndex.store(oldWriteIndex);
        }
        return rounds;
    });
    uint32_t sent = 0;
    for (ServerFrame frame{}; sent < kFrames && client_->sendFrame(frame); frame.id = ++sent) {
        if (sent % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sending = false;
    EXPECT_EQ(sent, kFrames);
    EXPECT_GT(scribbler.get(), 0);
    for (auto& reader : readers) {
        const Tally t = reader.get();
        EXPECT_EQ(t.duplicates, 0u);
        EXPECT_EQ(t.delivered + t.lost, kFrames) << t.delivered << " delivered, " << t.lost << " lost";
    }
    EXPECT_GT(test::countOccurrences(scene_.logText(), "Repaired the receive ring ("), 0);
}

// The same peer works on the rings the clients write: the send and the command ring, 300 times,
// a header out of range or a write index moved within range. The server takes every frame and every
// command it was given once (each frame comes back once as an echo, each command is answered once),
// and the repairs count the stale slots they kept it from taking again.
TEST_F(CommandDispatch, ScribbledSendAndCommandRingHeadersNeverMakeTheServerTakeAnEntryTwice) {
    constexpr uint32_t kFrames = 12'000, kCycles = 300, kCommandEvery = 40;
    selectSimulatedBus();
    ASSERT_EQ(call(ServerCmd_SetBusConfiguration, busConfig(3, 0), ServerResp_SetBusConfiguration, 7).data[0], 0);
    auto echoes = RingClient::connect(otherId());
    auto answers = RingClient::connect(ownId());  // a second reader of the answers addressed to us
    ASSERT_TRUE(echoes && answers);
    std::atomic<bool> sending{true};
    std::atomic<uint32_t> written{0}, commands{0}, accounted{0};
    auto tally = std::async(std::launch::async, [&] {
        std::vector<uint32_t> seen(kFrames, 0);
        uint64_t duplicates = 0, unique = 0, answered = 0;
        auto drain = [&] {
            bool any = false;
            for (ServerCommand r{}; answers->readResponse(r).status == RingReadStatus::Entry;) ++answered;
            for (ServerFrame f{}; echoes->readReceived(f).status == RingReadStatus::Entry; any = true)
                if (f.processId == ownId() && f.id < kFrames) (++seen[f.id] == 1 ? unique : duplicates) += 1;
            accounted = static_cast<uint32_t>(unique + echoes->lostFrames());
            return any;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kBoundMs);
        while ((sending || accounted < written || answered < commands) && std::chrono::steady_clock::now() < deadline)
            if (!drain()) std::this_thread::sleep_for(std::chrono::microseconds(100));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a late replay would show now
        (void)drain();
        return std::array<uint64_t, 3>{duplicates, accounted, answered};
    });
    auto scribbler = std::async(std::launch::async, [&] {
        auto peer = TransportObjects::open();
        for (uint32_t cycle = 0; cycle < kCycles; ++cycle) {
            ServerBlock& block = peer->block();
            ServerRingHeader& header = cycle % 2 == 0 ? block.sendRing.header : block.commandRing.header;
            std::atomic_ref<uint32_t> capacity(header.capacity), writeIndex(header.writeIndex);
            const uint32_t oldCapacity = capacity.load(), oldWriteIndex = writeIndex.load();
            const bool outOfRange = cycle % 4 < 2;
            (outOfRange ? capacity : writeIndex).store(outOfRange ? 0xFFFF0000u : (oldWriteIndex + 500) % kRingCapacity);
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + cycle % 3));
            capacity.store(oldCapacity);
            writeIndex.store(oldWriteIndex);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kBoundMs);
    for (ServerFrame frame{}; frame.id < kFrames; ++frame.id) {
        // Never more than half a ring ahead of the echoes: a loaded machine must not let us lap the server.
        while (written - accounted > kRingCapacity / 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        written += client_->sendFrame(frame) ? 1 : 0;
        if (frame.id % kCommandEvery == 0) commands += client_->send(ServerCmd_GetBaudrate, be16(3)) ? 1 : 0;
        if (frame.id % 20 == 19) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    scribbler.get();
    sending = false;
    const auto [duplicates, accountedFor, answered] = tally.get();
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(accountedFor, written.load()) << "every frame written came back or was counted as lost";
    EXPECT_EQ(answered, commands.load()) << "each command answered once";
    EXPECT_GT(written.load(), kFrames * 9 / 10);
    const std::string log = scene_.logText();
    const std::regex repair("Repaired the (send|command) ring \\(");
    std::set<std::string> rings;
    for (std::sregex_iterator it(log.begin(), log.end(), repair), end; it != end; ++it) rings.insert((*it)[1]);
    EXPECT_EQ(rings.size(), 2u) << "both rings' headers written back";
}

} // namespace
} // namespace ostrel::halvorn

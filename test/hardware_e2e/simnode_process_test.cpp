// The simulated device as a process of its own on the CAN server: another client sees its
// boot-up and gets its SDO answers, on the server's simulated bus and on a CAN interface.
#include "hardware_support.h"

#include "../halvorn/test_support.h"

#include <sim_od.h>

#include <csignal>

namespace hardware_e2e {
namespace {

using NodeProcess = ostrel::halvorn::test::ChildProcess;

constexpr int kReadyWaitMs = 60'000;

// The expedited upload answer of 0x1000 sub-index 0 with the dictionary's value.
std::string deviceTypeAnswer(const ostrel::fixtures::SimObjectDictionary& dictionary, uint8_t nodeId) {
    const auto* object = dictionary.find(0x1000, 0);
    if (object == nullptr) return "no 0x1000";
    std::vector<uint8_t> answer = {0x43, 0x00, 0x10, 0x00};
    const auto value = ostrel::fixtures::effectiveDefault(*object, nodeId);
    answer.insert(answer.end(), value.begin(), value.end());
    answer.resize(8, 0);
    return hexOf(answer);
}

std::string uploadRequest(uint8_t nodeId) { return "send " + std::to_string(0x600 + nodeId) + " 0x40 0x00 0x10 0x00 0 0 0 0"; }

class SimNodeProcessE2E : public ::testing::Test {
protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    static std::unique_ptr<NodeProcess> startNode(std::vector<std::string> args) {
        return std::make_unique<NodeProcess>(binDir() + "/simnode_process", std::move(args));
    }
    // Stops a node process the way a user does and returns its exit code.
    static std::optional<int> stopNode(NodeProcess& node) {
        ::kill(node.pid(), SIGTERM);
        return node.waitExit(kWaitMs);
    }
    // The boot-up message of a node, as another client receives it.
    static void expectBootUp(Client& observer, uint8_t nodeId) {
        const auto bootUp = parseTaken(observer.ask("take " + std::to_string(0x700 + nodeId) + " 30000"));
        ASSERT_TRUE(bootUp) << "boot-up of node " << int{nodeId};
        EXPECT_EQ(bootUp->hex, "00");
    }

    drennic::e2e::ProcessGuard guard_;
    drennic::e2e::IsolatedEnvironment environment_{"simnode"};
};

TEST_F(SimNodeProcessE2E, NodeOnTheSimulatedBusBootsAnswersAndLeavesOnSigterm) {
    Client observer(kClientProgram);
    ASSERT_EQ(observer.ask("startup"), "ok");
    ASSERT_EQ(observer.ask("init 1"), "result 0 ");

    auto node = startNode({"--network", "1", "--node", "5"});
    ASSERT_TRUE(node->started());
    ASSERT_EQ(node->readLine(kReadyWaitMs), std::optional<std::string>("ready"));
    expectBootUp(observer, 5);

    ASSERT_EQ(observer.ask(uploadRequest(5)), "result 0");
    const auto answer = parseTaken(observer.ask("take 0x585 30000"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->hex, deviceTypeAnswer(ostrel::fixtures::SimObjectDictionary::fullProfile(), 5));
    EXPECT_EQ(observer.ask("count 0x585"), "count 0") << "one request, one answer";

    EXPECT_EQ(stopNode(*node), std::optional<int>(0));
    // The node left: nobody answers any more.
    ASSERT_EQ(observer.ask(uploadRequest(5)), "result 0");
    EXPECT_EQ(observer.ask("take 0x585 1000"), "none");
    EXPECT_EQ(liveServers().size(), 1u) << "the observer still holds the server";
    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&observer}));
}

TEST_F(SimNodeProcessE2E, NodesFromAnEdsFileAnswerWithTheFilesValues) {
    const std::string eds = std::string(OSTREL_FIXTURE_EDS_DIR) + "/sim_io.eds";
    const auto loaded = ostrel::fixtures::loadEdsFile(eds);
    ASSERT_TRUE(loaded.dictionary) << loaded.error;

    Client observer(kClientProgram);
    ASSERT_EQ(observer.ask("startup"), "ok");
    ASSERT_EQ(observer.ask("init 3"), "result 0 ");
    auto node = startNode({"--network", "3", "--eds", eds, "--node", "7", "--node", "8"});
    ASSERT_EQ(node->readLine(kReadyWaitMs), std::optional<std::string>("ready"));
    expectBootUp(observer, 7);
    expectBootUp(observer, 8);

    for (uint8_t id : {uint8_t{8}, uint8_t{7}}) {
        ASSERT_EQ(observer.ask(uploadRequest(id)), "result 0");
        const auto answer = parseTaken(observer.ask("take " + std::to_string(0x580 + id) + " 30000"));
        ASSERT_TRUE(answer) << int{id};
        EXPECT_EQ(answer->hex, deviceTypeAnswer(*loaded.dictionary, id));
    }
    EXPECT_EQ(stopNode(*node), std::optional<int>(0));
    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&observer}));
}

// The library's own SDO client, in a client process, against the node in another.
TEST_F(SimNodeProcessE2E, SdoUploadOfTheLibraryIsAnsweredByTheNodeProcess) {
    Client observer(kClientProgram);
    ASSERT_EQ(observer.ask("startup"), "ok");
    ASSERT_EQ(observer.ask("init 1"), "result 0 ");
    auto node = startNode({"--network", "1", "--node", "12", "--profile", "minimal"});
    ASSERT_EQ(node->readLine(kReadyWaitMs), std::optional<std::string>("ready"));
    expectBootUp(observer, 12);

    const auto minimal = ostrel::fixtures::SimObjectDictionary::minimalProfile();
    const auto* identity = minimal.find(0x1018, 1);
    ASSERT_NE(identity, nullptr);
    EXPECT_EQ(observer.ask("upload 12 0x1018 1"), "upload 0 4 " + hexOf(ostrel::fixtures::effectiveDefault(*identity, 12)));
    EXPECT_EQ(stopNode(*node), std::optional<int>(0));
    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&observer}));
}

TEST_F(SimNodeProcessE2E, NodeOnTheInterfaceOfAHardwareServer) {
    Client observer(kClientProgram);
    ASSERT_EQ(observer.ask("startup kobalapi2.dll"), "ok");
    const long long network = observer.askNumber("add NodeNet 250 1");
    ASSERT_GE(network, 1);
    ASSERT_EQ(observer.ask("init " + std::to_string(network)), "result 0 ");

    const uint64_t before = monotonicUs();
    auto node = startNode({"--network", std::to_string(network), "--driver", "kobalapi2.dll", "--node", "9"});
    ASSERT_EQ(node->readLine(kReadyWaitMs), std::optional<std::string>("ready"));
    const auto bootUp = parseTaken(observer.ask("take 0x709 30000"));
    ASSERT_TRUE(bootUp);
    EXPECT_EQ(bootUp->hex, "00");
    EXPECT_TRUE(stampWithin(bootUp->timeMs, bootUp->timeUs, before, monotonicUs())) << "the interface's clock";

    ASSERT_EQ(observer.ask(uploadRequest(9)), "result 0");
    const auto answer = parseTaken(observer.ask("take 0x589 30000"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->hex, deviceTypeAnswer(ostrel::fixtures::SimObjectDictionary::fullProfile(), 9));

    // A second node process for a network the interface is not on cannot join.
    auto stray = startNode({"--network", std::to_string(network == 1 ? 2 : 1), "--driver", "kobalapi2.dll"});
    EXPECT_EQ(stray->waitExit(kWaitMs), std::optional<int>(1));

    EXPECT_EQ(stopNode(*node), std::optional<int>(0));
    EXPECT_TRUE(closeClientsAndWaitForServerEnd({&observer}));
}

TEST_F(SimNodeProcessE2E, BadArgumentsEndTheProgramWithTwoBeforeItTouchesTheServer) {
    const std::vector<std::vector<std::string>> cases = {
        {"--node", "5"},                                    // no network
        {"--network", "1", "--node", "0"},                  // node-id out of range
        {"--network", "1", "--profile", "unknown"},         // no such profile
        {"--network", "1", "--eds", "/nonexistent.eds"},    // unreadable file
        {"--network", "1", "--profile", "full", "--eds", "x.eds"},
        {"--network"},
    };
    for (const auto& args : cases) {
        auto node = startNode(args);
        EXPECT_EQ(node->waitExit(kWaitMs), std::optional<int>(2)) << args.size();
    }
    EXPECT_TRUE(liveServers().empty());
}

} // namespace
} // namespace hardware_e2e

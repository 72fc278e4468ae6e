// SDO end to end through the CAN server: one client process hosts the PC's SDO server, another reads
// and writes its objects with the SDO client; every frame passes both libraries, the shared memory
// and the server's simulated bus.
#include "e2e_support.h"

#include <csignal>
#include <string>

namespace drennic::e2e {
namespace {

constexpr const char* kPeer = "drennic_sdo_e2e_peer";

class SdoE2E : public ::testing::Test {
protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }

    static void startOn(Client& client) {
        ASSERT_EQ(client.ask("startup"), "ok");
        ASSERT_EQ(client.ask("init 1"), "result 0 ");
        ASSERT_EQ(client.ask("delay 0"), "ok");
    }
    static void stop(Client& client) {
        EXPECT_EQ(client.ask("close"), "ok");
        EXPECT_EQ(client.ask("shutdown"), "ok");
        EXPECT_TRUE(client.quit());
    }

    ProcessGuard guard_;
    IsolatedEnvironment environment_{"sdo"};
};

TEST_F(SdoE2E, ClientReadsAndWritesThePcServerOfAnotherProcess) {
    Client host(kPeer);
    startOn(host);
    ASSERT_EQ(host.ask("server 66 0x00020191 0x000001AB 0x00C0FFEE 0x00020003 0x12345678"), "out 0");

    Client client(kPeer);
    startOn(client);
    ASSERT_EQ(client.ask("timeout 2000"), "ok");  // generous: both processes share a loaded machine

    EXPECT_EQ(client.ask("upload 66 0x1000 0 4"), "upload 0 4 91010200 ");
    EXPECT_EQ(client.ask("upload 66 0x1001 0 4"), "upload 0 1 00 ");
    EXPECT_EQ(client.ask("upload 66 0x1018 0 4"), "upload 0 1 04 ");
    EXPECT_EQ(client.ask("upload 66 0x1018 1 4"), "upload 0 4 ab010000 ");
    EXPECT_EQ(client.ask("upload 66 0x1018 2 4"), "upload 0 4 eeffc000 ");
    EXPECT_EQ(client.ask("upload 66 0x1018 3 4"), "upload 0 4 03000200 ");
    EXPECT_EQ(client.ask("upload 66 0x1018 4 4"), "upload 0 4 78563412 ");
    EXPECT_EQ(client.ask("upload 66 0x1018 4 2"), "upload -5 0 - Client aborted - 0x06070012")
        << "a value larger than the buffer is refused";
    EXPECT_EQ(client.ask("upload 66 0x2000 0 16"), "upload -5 0 - Server aborted - 0x06020000");

    EXPECT_EQ(client.ask("download 66 0x1000 0 01020304"), "download -5 Server aborted - 0x06010002");
    EXPECT_EQ(client.ask("download 66 0x1F10 0 01000000"), "download 0 ");
    EXPECT_EQ(client.ask("upload 66 0x1F10 0 4"), "upload 0 4 01000000 ");

    // Block transfer asked for: the server answers as for an ordinary upload request it does not
    // know, and the client reports the abort.
    ASSERT_EQ(client.ask("block 1 0"), "ok");
    EXPECT_EQ(client.ask("upload 66 0x1018 1 8"), "upload -5 0 - Server aborted - 0x05040001");
    ASSERT_EQ(client.ask("block 0 28"), "ok");

    // A reset of all nodes makes the server boot again; the client sees its boot-up.
    const long long before = client.askNumber("seen 0x742");
    EXPECT_EQ(client.ask("nmt 0 5"), "result 0");
    EXPECT_TRUE(eventually(20'000, [&] { return client.askNumber("seen 0x742") == before + 1; }));

    // The host's own request comes back from the server as its own frame: its node does not answer it.
    ASSERT_EQ(host.ask("timeout 300"), "ok");
    EXPECT_EQ(host.ask("upload 66 0x1000 0 4"), "upload -5 0 - Client aborted - 0x05040000");

    // Switched off, it answers nothing more.
    ASSERT_EQ(host.ask("serveroff"), "ok");
    ASSERT_EQ(client.ask("timeout 300"), "ok");
    EXPECT_EQ(client.ask("upload 66 0x1000 0 4"), "upload -5 0 - Client aborted - 0x05040000");

    stop(client);
    stop(host);
    EXPECT_TRUE(eventually(10'000, [] { return liveServers().empty(); })) << "the server ends after its last client";
}

} // namespace
} // namespace drennic::e2e

// The network table against the real registry store in a folder of its own.
#include "net_table.h"
#include "platform/registry.h"
#include "platform/utf16.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace ostrel::halvorn {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

std::u16string nameOf(const NetworkInfo& n) {
    std::u16string s(n.name, DRN_NETWORK_NAME_CHARS);
    return s.substr(0, s.find(u'\0'));
}

class NetTableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(registry_.path().empty()); }

    std::vector<NetworkInfo> enumerate(uint32_t hardware, int32_t capacity = 32) {
        std::vector<NetworkInfo> records(static_cast<std::size_t>(capacity));
        const int32_t n = table_.Enumerate(records.data(), capacity, hardware);
        records.resize(static_cast<std::size_t>(n));
        return records;
    }

    std::unique_ptr<RegistryKey> key() { return RegistryKey::open(RegistryRoot::CurrentUser, NetTable::kRegistryKey); }

    test::TempDir registry_;
    test::ScopedEnv env_{"OSTREL_REGISTRY_DIR", registry_.path()};
    NetTable table_;
};

TEST_F(NetTableTest, ConstructCreatesTheKey) { EXPECT_TRUE(key()); }

TEST_F(NetTableTest, HardwareListIsInternalWithHandleZero) {
    HardwareInfo info{};
    info.hardwareHandle = 99;
    EXPECT_EQ(table_.GetHardware(&info), 1);
    EXPECT_EQ(platform::toUtf8(info.name), "Internal");
    EXPECT_EQ(info.hardwareHandle, 0u);
}

TEST_F(NetTableTest, EmptyKeyListsExactlyTheEightBuiltInNetworksInOrder) {
    const auto nets = enumerate(0);
    struct Expected {
        const char16_t* name;
        uint32_t handle;
        uint32_t kbit;
    };
    const std::array<Expected, 8> expected = {{
        {u"CANopen_1000", 1, 1000}, {u"CANopen_800", 2, 800}, {u"CANopen_500", 3, 500}, {u"CANopen_250", 4, 250},
        {u"CANopen_125", 32, 125}, {u"CANopen_50", 6, 50},   {u"CANopen_20", 7, 20},   {u"CANopen_10", 8, 10},
    }};
    ASSERT_EQ(nets.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(nameOf(nets[i]), expected[i].name) << i;
        EXPECT_EQ(nets[i].networkHandle, expected[i].handle) << i;
        EXPECT_EQ(nets[i].baudKbit, expected[i].kbit) << i;
    }
    EXPECT_EQ(table_.GetBaudrate(5), 0u);  // handle 5 belongs to no network
}

TEST_F(NetTableTest, FirstUserNetworkGetsNineAndIsStoredAsText) {
    EXPECT_EQ(table_.Add("Lab bench", 250, 0), 9u);
    EXPECT_EQ(key()->readString("9"), "0,250,Lab bench");
    const auto nets = enumerate(0);
    ASSERT_EQ(nets.size(), 9u);
    EXPECT_EQ(nameOf(nets[8]), u"Lab bench");
    EXPECT_EQ(nets[8].networkHandle, 9u);
    EXPECT_EQ(nets[8].baudKbit, 250u);
    EXPECT_EQ(table_.GetBaudrate(9), 250u);
}

TEST_F(NetTableTest, DeletedHandleIsGivenAgainToTheNextNetwork) {
    EXPECT_EQ(table_.Add("first", 125, 0), 9u);
    EXPECT_EQ(table_.Add("second", 500, 0), 10u);
    EXPECT_EQ(table_.Delete(9), NetTable::kDeleted);
    EXPECT_TRUE(table_.ReadRegistry(9));
    EXPECT_FALSE(table_.ReadRegistry(10));
    EXPECT_EQ(table_.Add("third", 50, 0), 9u);
    EXPECT_EQ(table_.GetBaudrate(9), 50u);
    EXPECT_EQ(table_.GetBaudrate(10), 500u);
}

// What was added or deleted for a request stays beside the networks for the next table (a new server),
// unseen by the network list; the latest kKeptRequests are kept.
TEST_F(NetTableTest, RequestsAreKeptBesideTheNetworksAndOnlyTheLatestOnes) {
    EXPECT_EQ(table_.Add("kept", 125, 0, {77, 1}), 9u);
    EXPECT_EQ(table_.Delete(9, {78, 1}), NetTable::kDeleted);
    for (uint32_t tag = 2; tag < 1 + NetTable::kKeptRequests; ++tag) table_.RecordRequest({79, tag}, {});
    const NetTable next;
    EXPECT_FALSE(next.FindRequest({77, 1})) << "the oldest went";
    const auto deleted = next.FindRequest({78, 1});
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->kind, RequestRecord::Kind::Deleted);
    EXPECT_EQ(deleted->handle, 9u);
    EXPECT_FALSE(next.FindRequest({79, 1}));
    EXPECT_FALSE(next.FindRequest({78, 0})) << "a request without a tag leaves no trace";
    EXPECT_EQ(enumerate(0).size(), 8u);
    EXPECT_TRUE(next.ReadRegistry(9));
}

TEST_F(NetTableTest, NetworkOfAnotherHardwareIsNotListed) {
    EXPECT_EQ(table_.Add("other", 250, 3), 9u);
    EXPECT_EQ(table_.Add("mine", 125, 0), 10u);
    const auto forZero = enumerate(0);
    ASSERT_EQ(forZero.size(), 9u);
    EXPECT_EQ(nameOf(forZero[8]), u"mine");
    const auto forThree = enumerate(3);
    ASSERT_EQ(forThree.size(), 9u);
    EXPECT_EQ(nameOf(forThree[8]), u"other");
}

TEST_F(NetTableTest, NameWithACommaKeepsOnlyTheTextAfterTheLastComma) {
    ASSERT_TRUE(key()->writeString("12", "0,250,Line A, east side"));
    ASSERT_TRUE(key()->writeString("13", "0,no second comma"));
    ASSERT_TRUE(key()->writeInteger("14", 7));
    const auto nets = enumerate(0);
    ASSERT_EQ(nets.size(), 9u);
    EXPECT_EQ(nameOf(nets[8]), u" east side");
    EXPECT_EQ(nets[8].networkHandle, 12u);
    EXPECT_EQ(nets[8].baudKbit, 250u);
    EXPECT_EQ(table_.GetBaudrate(13), 0u);
    // Stored values of any well-formed kind still hold their handles.
    EXPECT_FALSE(table_.ReadRegistry(12));
    EXPECT_FALSE(table_.ReadRegistry(13));
}

TEST_F(NetTableTest, BuiltInNetworksAreNeitherDeletedNorReused) {
    EXPECT_EQ(table_.Delete(3), NetTable::kDeleteRefused);
    EXPECT_EQ(table_.Delete(8), NetTable::kDeleteRefused);
    EXPECT_EQ(table_.Delete(32), NetTable::kDeleted);
    EXPECT_EQ(enumerate(0).size(), 8u);
    EXPECT_EQ(table_.GetBaudrate(32), 125u);
    for (uint32_t h = 0; h <= 8; ++h) EXPECT_FALSE(table_.ReadRegistry(h)) << h;
    EXPECT_FALSE(table_.ReadRegistry(32));
}

TEST_F(NetTableTest, AllocationSkipsTheHandleOfThe125KbitNetwork) {
    for (uint32_t h = 9; h < 32; ++h) ASSERT_TRUE(key()->writeString(std::to_string(h), "0,10,n"));
    EXPECT_EQ(table_.Add("after the gap", 1000, 0), 33u);
    EXPECT_EQ(table_.GetBaudrate(32), 125u);
    EXPECT_EQ(table_.GetBaudrate(33), 1000u);
    EXPECT_FALSE(key()->valueExists("32"));
}

TEST_F(NetTableTest, EnumerationStopsAtTheCapacity) {
    for (int i = 0; i < 5; ++i) ASSERT_NE(table_.Add("n" + std::to_string(i), 125, 0), 0u);
    EXPECT_EQ(enumerate(0, 10).size(), 10u);
    EXPECT_EQ(enumerate(0, 32).size(), 13u);
    EXPECT_EQ(enumerate(0, 4).size(), 4u);
}

TEST_F(NetTableTest, LongNameIsCutToFortyCharacters) {
    const std::string name(50, 'q');
    EXPECT_EQ(table_.Add(name, 20, 0), 9u);
    const auto nets = enumerate(0);
    ASSERT_EQ(nets.size(), 9u);
    EXPECT_EQ(nameOf(nets[8]), std::u16string(40, u'q'));
}

TEST_F(NetTableTest, MissingKeyGivesBuiltInsOnlyAndStoresNothing) {
    ASSERT_TRUE(RegistryKey::remove(RegistryRoot::CurrentUser, NetTable::kRegistryKey));
    EXPECT_EQ(enumerate(0).size(), 8u);
    EXPECT_EQ(table_.Add("lost", 125, 0), 0u) << "no handle for a network that is not stored";
    EXPECT_FALSE(key());
    EXPECT_EQ(table_.GetBaudrate(9), 0u);
    EXPECT_EQ(table_.Delete(9), NetTable::kDeleted);
}

// A store that takes no writes: its lock file is a folder, which stops root as well.
TEST_F(NetTableTest, NetworkThatCannotBeStoredGetsNoHandle) {
    const std::filesystem::path lock = std::filesystem::path(registry_.path()) / ".lock";
    std::filesystem::remove(lock);
    ASSERT_TRUE(std::filesystem::create_directory(lock));
    EXPECT_EQ(table_.Add("lost", 125, 0), 0u);
    EXPECT_EQ(enumerate(0).size(), 8u);
}

} // namespace
} // namespace ostrel::halvorn

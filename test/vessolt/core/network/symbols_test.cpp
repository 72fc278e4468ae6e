// The name store: replacing adds, the choice of list, display texts cut to their buffers, callbacks.
#include "network/symbols.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

class SymbolsStore : public ::testing::Test {
protected:
    RecordingPrompt prompt;
    TSymbols symbols{prompt};
};

TEST_F(SymbolsStore, RepeatedIndexAndSubIndexTakeTheSecondNamesAndTypeEvenUnknown) {
    symbols.AddEntry(5, {0x2000, 1, "First", "one", ODT_UNSIGNED8});
    symbols.AddEntry(5, {0x2000, 1, "Second", "", ODT_UNKNOWN});
    const auto entry = symbols.FindNodeEntry(0x2000, 1, 5);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->entryName, "Second");
    EXPECT_EQ(entry->subEntryName, "");
    EXPECT_EQ(entry->dataType, ODT_UNKNOWN);
    EXPECT_EQ(symbols.GetEntryName(0x2000, 1, 5), "Second");
    // Indices that share their low 24 bits stay apart.
    symbols.AddEntry(5, {0x01002000, 1, "Wide", "", ODT_UNSIGNED8});
    EXPECT_EQ(symbols.FindNodeEntry(0x2000, 1, 5)->entryName, "Second");
    EXPECT_EQ(symbols.FindNodeEntry(0x01002000, 1, 5)->entryName, "Wide");
}

TEST_F(SymbolsStore, GeneralListAnswersOnlyForANodeWithAnEmptyList) {
    symbols.AddEntry(0, {0x1000, 0, "Device type", "", ODT_UNSIGNED32});
    symbols.AddEntry(0, {0x1018, 1, "Identity object", "Vendor-ID", ODT_UNSIGNED32});
    symbols.AddEntry(7, {0x6000, 1, "Read inputs", "Input 1", ODT_UNSIGNED8});

    // Node 3 has no list of its own: list 0 answers.
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 3), "Identity object - Vendor-ID");
    EXPECT_EQ(symbols.FindEntry(0x1000, 0, 3)->dataType, ODT_UNSIGNED32);
    EXPECT_FALSE(symbols.FindNodeEntry(0x1000, 0, 3));
    // Node 7 has one: what it lacks is unknown, list 0 notwithstanding.
    EXPECT_EQ(symbols.GetEntryName(0x1000, 0, 7), "<unknown>");
    EXPECT_FALSE(symbols.FindEntry(0x1000, 0, 7));
    EXPECT_EQ(symbols.GetEntryName(0x6000, 1, 7), "Read inputs - Input 1");
    // Ids above 127 have no list: nothing is added, list 0 answers.
    symbols.AddEntry(200, {0x1000, 0, "Dropped", "", ODT_UNSIGNED8});
    EXPECT_EQ(symbols.GetEntryName(0x1000, 0, 200), "Device type");
}

TEST_F(SymbolsStore, EntryNameCutToItsBufferKeepsTheSeparatorAndTheWholeSubEntryName) {
    symbols.AddEntry(0, {0x1018, 1, "Identity object", "Vendor-ID", ODT_UNSIGNED32});
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 0, 20), "Identit - Vendor-ID");  // 19 bytes and a terminator
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 0, 13), " - Vendor-ID");
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 0, 6), " - Ve");
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 0, 0), "");
    EXPECT_EQ(symbols.GetEntryName(0x1018, 2, 0, 5), "<unk");
    // A cut never splits a character: "Größe" is cut before the two bytes of "ö" when they do not fit.
    symbols.AddEntry(0, {0x2000, 0, "Gr\xC3\xB6\xC3\x9F" "e", "", ODT_UNSIGNED8});
    EXPECT_EQ(symbols.GetEntryName(0x2000, 0, 0, 4), "Gr");
}

TEST_F(SymbolsStore, NamesKeepNinetyNineBytesCutOnACharacterBoundary) {
    std::string name(98, 'x');
    name += "\xE2\x82\xAC";  // a three-byte character across the 99-byte limit
    symbols.AddMessage({0x181, name});
    EXPECT_EQ(*symbols.GetMessageName(0x181), std::string(98, 'x'));
    symbols.AddEntry(1, {0x2000, 0, std::string(150, 'a'), std::string(120, 'b'), ODT_UNSIGNED8});
    const auto entry = symbols.FindEntry(0x2000, 0, 1);
    EXPECT_EQ(entry->entryName.size(), 99u);
    EXPECT_EQ(entry->subEntryName.size(), 99u);
    // Paths are not names: a node's EDS path stays whole, however long.
    const std::string longPath = "/" + std::string(400, 'p') + ".eds";
    symbols.AddNode(9, "Node", longPath, "", "", "", "", 0);
    EXPECT_EQ(symbols.FindNode(9)->edsPath, longPath);
}

TEST_F(SymbolsStore, EmptyNamesAnswerAsEachQuerySays) {
    symbols.AddErrorCode({0x8130, ""});
    symbols.AddMessage({0x080, ""});
    symbols.AddNode(4, "", "", "", "", "", "", 0);
    EXPECT_EQ(symbols.GetErrorCodeName(0x8130), std::optional<std::string>(""));
    EXPECT_EQ(symbols.GetErrorCodeName(0x8140), std::nullopt);
    EXPECT_EQ(symbols.GetMessageName(0x080), std::nullopt);
    EXPECT_EQ(symbols.GetNodeName(4), std::nullopt);
    EXPECT_TRUE(symbols.FindNode(4));
    EXPECT_EQ(symbols.GetNodeName(5), std::nullopt);
    symbols.AddErrorCode({0x8130, "Heartbeat"});
    symbols.AddAbortCode({0x05040000, "Timed out"});
    symbols.AddAbortCode({0x05040000, "SDO protocol timed out"});
    EXPECT_EQ(symbols.GetErrorCodeName(0x8130), "Heartbeat");
    EXPECT_EQ(symbols.FindAbortCode(0x05040000)->name, "SDO protocol timed out");
    EXPECT_FALSE(symbols.FindAbortCode(0x05040001));
}

TEST_F(SymbolsStore, DeviceTypeTextNamesTheProfileAndTheUpperBits) {
    DeviceTypeEntry io;
    io.profile = 401;
    io.name = "Generic I/O";
    io.bits[16] = {"Digital inputs", "No digital inputs"};
    io.bits[17] = {"Digital outputs", ""};
    io.bits[18] = {"", "No analogue inputs"};
    io.bits[3] = {"Never shown", "Never shown"};
    symbols.AddDeviceType(io);

    auto text = symbols.GetDeviceTypeText(0x00030191);
    EXPECT_EQ(text.profile, "Generic I/O");
    EXPECT_EQ(text.bits, "Digital inputs, Digital outputs, No analogue inputs");
    text = symbols.GetDeviceTypeText(0x00000191);
    EXPECT_EQ(text.bits, "No digital inputs, No analogue inputs");
    text = symbols.GetDeviceTypeText(0xFFFF0191);
    EXPECT_EQ(text.bits, "Mutliple Device Profiles");
    text = symbols.GetDeviceTypeText(0x00030192);
    EXPECT_EQ(text.profile, "<unknown>");
    EXPECT_EQ(text.bits, "");
    text = symbols.GetDeviceTypeText(0x00030191, 5, 10);
    EXPECT_EQ(text.profile, "Gene");
    EXPECT_EQ(text.bits, "Digital i");
}

TEST_F(SymbolsStore, VendorTextNamesTheVendorAndTheDepartmentOfTheTopByte) {
    const uint32_t id = symbols.AddVendor({0x12000319, "Ostrel", {}});
    EXPECT_EQ(id, 0x319u);
    symbols.AddDepartment({2, "Test systems"}, id);
    symbols.AddDepartment({2, "Test benches"}, id);
    symbols.AddDepartment({3, "Orphan"}, 0x777);  // no such vendor

    EXPECT_EQ(symbols.GetVendorText(0x02000319).vendor, "Ostrel");
    EXPECT_EQ(symbols.GetVendorText(0x02000319).department, "Test benches");
    EXPECT_EQ(symbols.GetVendorText(0x05000319).department, "");
    EXPECT_EQ(symbols.GetVendorText(0x00000777).vendor, "<unknown>");
    const auto vendor = symbols.FindVendor(0x319);
    ASSERT_TRUE(vendor);
    EXPECT_EQ(TSymbols::GetDepartment(2, &*vendor)->name, "Test benches");
    EXPECT_FALSE(TSymbols::GetDepartment(2, nullptr));
    // A vendor added again takes the new record's departments: none.
    symbols.AddVendor({0x319, "Ostrel GmbH", {}});
    EXPECT_EQ(symbols.GetVendorText(0x02000319).department, "");
    EXPECT_EQ(symbols.GetVendorText(0x02000319).vendor, "Ostrel GmbH");
}

TEST_F(SymbolsStore, ProcessDataAndLssSlavesReplaceByTheirKeys) {
    symbols.AddProcessData({"Speed", 0x181, 0, 15, ODT_INTEGER16, 0.5, 0.0, "rpm"});
    symbols.AddProcessData({"Speed x", 0x181, 0, 7, ODT_INTEGER16, 2.0, 1.0, "rps"});
    symbols.AddProcessData({"Other type", 0x181, 0, 7, ODT_UNSIGNED8, 1.0, 0.0, ""});
    const auto speed = symbols.FindProcessData(0x181, 0, ODT_INTEGER16);
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->name, "Speed x");
    EXPECT_EQ(speed->endBit, 7);
    EXPECT_EQ(speed->units, "rps");
    EXPECT_EQ(symbols.FindProcessData(0x181, 0, ODT_UNSIGNED8)->name, "Other type");

    symbols.AddLSSSlave({0x319, 0x1234, 0x10002, 0xA001, 5});
    symbols.AddLSSSlave({0x319, 0x1234, 0x10002, 0xA001, 6});
    EXPECT_EQ(symbols.FindLSSSlave(0x319, 0x1234, 0x10002, 0xA001)->nodeId, 6);
    EXPECT_FALSE(symbols.FindLSSSlave(0x319, 0x1234, 0x10002, 0xA002));
}

TEST_F(SymbolsStore, TheFirstTwoHundredLoadCallbacksRunInOrderOfRegistration) {
    std::vector<int> calls;
    for (int i = 0; i < 201; ++i) symbols.AddLoadCallback([&calls, i] { calls.push_back(i); });
    symbols.AddNode(1, "Node", "", "", "", "", "", 0);
    ASSERT_EQ(calls.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(calls[static_cast<std::size_t>(i)], i);
    // Clearing the store keeps the callbacks.
    symbols.ClearAll();
    EXPECT_FALSE(symbols.FindNode(1));
    symbols.RunLoadCallbacks();
    EXPECT_EQ(calls.size(), 400u);
}

TEST_F(SymbolsStore, AddNodeSetsTheSimulationAndConfiguredFlags) {
    symbols.AddNode(3, "Sim", "", "libsim.so", "setup.ini", "io", "", 0);
    auto node = symbols.FindNode(3);
    EXPECT_EQ(node->simulation, 1u);
    EXPECT_EQ(node->configured, 1u);
    EXPECT_EQ(node->simLibrary, "libsim.so");
    EXPECT_EQ(node->simSetupFile, "setup.ini");
    symbols.AddNode(3, "Plain", "", "", "", "", "", 0);
    node = symbols.FindNode(3);
    EXPECT_EQ(node->simulation, 0u);
    EXPECT_EQ(node->name, "Plain");
    symbols.AddNode(3, "Product", "", "", "", "", "Product X", 1);
    EXPECT_EQ(symbols.FindNode(3)->simulation, 1u);
    EXPECT_EQ(symbols.FindNode(3)->useSimProduct, 1u);
}

} // namespace
} // namespace ostrel::vessolt

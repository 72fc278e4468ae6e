// The network description reader on real files through expat, the shipped default description, and
// the layering of default, user file and configured nodes.
#include "network/symbols.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "platform/process.h"
#include "temp_folder.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

using test::TempFolder;

class SymbolsReader : public ::testing::Test {
protected:
    SymbolsReader() { symbols.AddLoadCallback([this] { ++loads; }); }

    RecordingPrompt prompt;
    TSymbols symbols{prompt};
    TempFolder folder;
    int loads = 0;
};

constexpr const char* kEveryKind = R"(<?xml version="1.0"?>
<cxl>
  <objectdictionary>
    <nodeid>5</nodeid>
    <entry>
      <index>0x1018</index>
      <name>  Device
  type  </name>
      <subentry><subindex>010</subindex><name>Eight</name><type> UNSIGNED16 </type></subentry>
      <subentry><subindex>1</subindex><name>Vendor</name><type>uint16</type></subentry>
    </entry>
    <entry><index>4120</index><name>Same index</name>
      <subentry><subindex>2</subindex><name>Product</name><type>Real64</type></subentry>
    </entry>
    <Entry><index>0x2000</index><name>Capital</name><subentry><subindex>0</subindex><name>x</name></subentry></Entry>
    <entry><index>0x2001</index><name>No subentry</name></entry>
  </objectdictionary>
  <network>
    <message><name>SYNC</name><id>0x80</id></message>
    <abortcode><code>0x05040000</code><name>Timed out</name></abortcode>
    <errorcode><code>0x8130</code><name>Heartbeat</name></errorcode>
    <node><id>7</id><name>Drive</name><simdll>libsim.so</simdll></node>
    <devicetype>
      <profile>401</profile><name>I/O</name>
      <bit><position>16</position><set>In</set><unset>No in</unset></bit>
      <bit><set>Lost</set><position>17</position></bit>
      <bit><position>40</position><set>Outside</set></bit>
    </devicetype>
    <vendor>
      <department><id>1</id><name>Too early</name></department>
      <id>0x12345678</id><name>Vendor A</name>
      <department><id>2</id><name>Sales</name></department>
    </vendor>
    <lssslave><vendorid>0x319</vendorid><productcode>2</productcode><revisionnumber>3</revisionnumber>
      <serialnumber>4</serialnumber></lssslave>
  </network>
  <processdata>
    <data><name>Speed</name><id>0x181</id><startbit>8</startbit><endbit>23</endbit><type>INTEGER16</type>
      <units>rpm</units><factor>+0.5</factor><offset>-1e1</offset></data>
  </processdata>
  <extra><network><message><id>0x99</id><name>Nested in unknown</name></message></network></extra>
</cxl>
)";

TEST_F(SymbolsReader, ReadsEveryRecordKindAsItsElementsEnd) {
    ASSERT_TRUE(symbols.LoadFile(folder.write("every.cxl", kEveryKind)));
    EXPECT_TRUE(prompt.asked().empty());
    EXPECT_EQ(loads, 1);

    const auto eight = symbols.FindNodeEntry(0x1018, 8, 5);
    ASSERT_TRUE(eight);
    EXPECT_EQ(eight->entryName, "Device   type");  // line break and two blanks: three blanks
    EXPECT_EQ(eight->dataType, ODT_UNSIGNED16);
    EXPECT_EQ(symbols.FindNodeEntry(0x1018, 1, 5)->dataType, ODT_UNKNOWN);
    EXPECT_EQ(symbols.GetEntryName(0x1018, 2, 5), "Same index - Product");
    EXPECT_EQ(symbols.FindNodeEntry(0x1018, 2, 5)->dataType, ODT_REAL64);
    EXPECT_FALSE(symbols.FindNodeEntry(0x2000, 0, 5));
    EXPECT_FALSE(symbols.FindNodeEntry(0x2001, 0, 5));

    EXPECT_EQ(symbols.GetMessageName(0x80), "SYNC");
    EXPECT_FALSE(symbols.FindMessage(0x99));
    EXPECT_EQ(symbols.FindAbortCode(0x05040000)->name, "Timed out");
    EXPECT_EQ(symbols.GetErrorCodeName(0x8130), "Heartbeat");
    const auto node = symbols.FindNode(7);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->name, "Drive");
    EXPECT_EQ(node->simulation, 1u);
    EXPECT_EQ(node->configured, 0u);

    const auto io = symbols.FindDeviceType(401);
    ASSERT_TRUE(io);
    EXPECT_EQ(io->bits[16].setName, "In");
    EXPECT_EQ(io->bits[16].unsetName, "No in");
    EXPECT_EQ(io->bits[17].setName, "");  // set came before position
    EXPECT_EQ(symbols.GetDeviceTypeText(0x00010191).bits, "In");

    const auto vendor = symbols.FindVendor(0x345678);
    ASSERT_TRUE(vendor);
    EXPECT_EQ(vendor->name, "Vendor A");
    EXPECT_EQ(symbols.GetVendorText(0x02345678).department, "Sales");
    EXPECT_EQ(symbols.GetVendorText(0x01345678).department, "");

    EXPECT_EQ(symbols.FindLSSSlave(0x319, 2, 3, 4)->nodeId, 0xFF);
    const auto speed = symbols.FindProcessData(0x181, 8, ODT_INTEGER16);
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->endBit, 23);
    EXPECT_DOUBLE_EQ(speed->factor, 0.5);
    EXPECT_DOUBLE_EQ(speed->offset, -10.0);
    EXPECT_EQ(speed->units, "rpm");
}

TEST_F(SymbolsReader, AVendorDefinedTwiceKeepsOnlyTheDepartmentsAfterTheSecond) {
    ASSERT_TRUE(symbols.LoadFile(folder.write("v.cxl", R"(<cxl><network>
      <vendor><id>0x319</id><name>First</name><department><id>1</id><name>One</name></department></vendor>
      <vendor><id>0x319</id><name>Second</name><department><id>2</id><name>Two</name></department></vendor>
      </network></cxl>)")));
    EXPECT_EQ(symbols.GetVendorText(0x01000319).vendor, "Second");
    EXPECT_EQ(symbols.GetVendorText(0x01000319).department, "");
    EXPECT_EQ(symbols.GetVendorText(0x02000319).department, "Two");
}

TEST_F(SymbolsReader, ADeepSubtreeShiftsNothingAfterIt) {
    ASSERT_TRUE(symbols.LoadFile(folder.write("deep.cxl", R"(<cxl><network>
      <message><a><b><c><d><e><f><g>deep</g></f></e></d></c></b></a><id>0x181</id><name>Seven</name></message>
      <message><id>0x182</id><name>After</name></message>
      </network><objectdictionary><entry><index>0x3000</index><name>Later</name>
      <subentry><subindex>1</subindex><name>Sub</name></subentry></entry></objectdictionary></cxl>)")));
    EXPECT_EQ(symbols.GetMessageName(0x181), "Seven");
    EXPECT_EQ(symbols.GetMessageName(0x182), "After");
    EXPECT_EQ(symbols.GetEntryName(0x3000, 1, 0), "Later - Sub");
}

TEST_F(SymbolsReader, ARootOtherThanCxlStoresNothingWithoutAMessage) {
    ASSERT_TRUE(symbols.LoadFile(folder.write("r.cxl", "<network><message><id>1</id><name>x</name></message></network>")));
    EXPECT_FALSE(symbols.FindMessage(1));
    EXPECT_TRUE(prompt.asked().empty());
}

std::string messagesOnLines(int count) {
    std::string text = "<?xml version=\"1.0\"?>\n<cxl><network>\n";  // lines 1 and 2
    for (int id = 1; id <= count; ++id) {
        text += "<message><id>" + std::to_string(id) + "</id><name>M" + std::to_string(id) + "</name></message>\n";
    }
    return text;
}

TEST_F(SymbolsReader, MalformedAtLineFortyKeepsEarlierRecordsAndNamesLineAndFile) {
    std::string text = messagesOnLines(37);  // lines 3 to 39
    text += "<message><id>40</id><name>Broken</name></mesage>\n";
    text += "<message><id>41</id><name>Never</name></message>\n</network></cxl>\n";
    const std::string path = folder.write("broken.cxl", text);
    EXPECT_FALSE(symbols.LoadFile(path));

    EXPECT_EQ(symbols.GetMessageName(37), "M37");
    EXPECT_FALSE(symbols.FindMessage(40));
    EXPECT_FALSE(symbols.FindMessage(41));
    EXPECT_EQ(loads, 0);
    const auto asked = prompt.asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].caption, kProductName);
    EXPECT_EQ(asked[0].icon, PromptIcon::Warning);
    EXPECT_EQ(asked[0].text.rfind("Error loading symbols file at line 40: mismatched tag", 0), 0u) << asked[0].text;
    EXPECT_NE(asked[0].text.find(path), std::string::npos);
}

TEST_F(SymbolsReader, AFileCutOffIsReportedNotLoadedSilently) {
    std::string text = messagesOnLines(39);
    text += "<message><id>40</id><na";  // cut off on line 42
    EXPECT_FALSE(symbols.LoadFile(folder.write("cut.cxl", text)));
    EXPECT_EQ(symbols.GetMessageName(39), "M39");
    EXPECT_EQ(loads, 0);
    ASSERT_EQ(prompt.asked().size(), 1u);
    EXPECT_EQ(prompt.asked()[0].text.rfind("Error loading symbols file at line 42: ", 0), 0u) << prompt.asked()[0].text;
}

TEST_F(SymbolsReader, AMissingOrForeignEncodedFileGivesItsMessage) {
    const std::string missing = (folder.path() / "none.cxl").string();
    EXPECT_FALSE(symbols.LoadFile(missing));
    EXPECT_FALSE(symbols.LoadFile(folder.write("w.cxl", "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<cxl/>")));
    EXPECT_FALSE(symbols.LoadFile(folder.path().string()));  // a folder opens but cannot be read
    const std::string fifo = (folder.path() / "fifo.cxl").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(symbols.LoadFile(fifo));  // at once, without waiting for a writer
    const auto asked = prompt.asked();
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[0].text, "Failed to open the Network Description file\n" + missing + ": No such file or directory");
    EXPECT_EQ(asked[1].text.rfind("Error loading symbols file at line 1: unknown encoding", 0), 0u) << asked[1].text;
    EXPECT_EQ(asked[2].text.rfind("Failed to open the Network Description file\n", 0), 0u) << asked[2].text;
    EXPECT_EQ(asked[3].text, "Failed to open the Network Description file\n" + fifo + ": not a regular file");
    EXPECT_EQ(loads, 0);
}

TEST_F(SymbolsReader, LongElementTextKeepsItsFirstBytesOnACharacterBoundary) {
    std::string text = "<cxl><network><node><id>3</id><name>N</name><simio>";
    text += std::string(5998, 'a') + "\xC3\xA4" + std::string(100, 'b');
    text += "</simio><eds>/" + std::string(7000, 'e') + "</eds></node></network></cxl>";
    ASSERT_TRUE(symbols.LoadFile(folder.write("long.cxl", text)));
    const auto node = symbols.FindNode(3);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->simIO, std::string(254, 'a'));
    EXPECT_EQ(node->edsPath.size(), 5999u);  // the element text holds 5999 bytes, the path all of them
}

TEST_F(SymbolsReader, TheShippedDefaultLoadsSilentlyAndNamesTheCommunicationProfile) {
    ASSERT_TRUE(symbols.LoadDefault());
    EXPECT_TRUE(prompt.asked().empty());
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 0), "Identity object - Vendor-ID");
    EXPECT_EQ(symbols.FindEntry(0x1018, 1, 0)->dataType, ODT_UNSIGNED32);
    EXPECT_EQ(symbols.FindEntry(0x1A03, 2, 12)->dataType, ODT_UNSIGNED32);
    EXPECT_EQ(symbols.GetEntryName(0x1F80, 0, 0), "NMT startup");
    EXPECT_EQ(symbols.GetEntryName(0x1F81, 5, 0), "NMT slave assignment - Node 5");
    EXPECT_EQ(symbols.FindAbortCode(0x05040000)->name, "SDO protocol timed out");
    EXPECT_EQ(symbols.GetErrorCodeName(0x8130), "Life guard error or heartbeat error");
    EXPECT_EQ(symbols.GetMessageName(0x080), "SYNC");
    EXPECT_EQ(symbols.GetDeviceTypeText(0x00030191).bits, "Digital input(s), Digital output(s)");
    EXPECT_EQ(symbols.GetVendorText(0x00000319).vendor, "Ostrel");
}

TEST_F(SymbolsReader, AUserFileOverridesTheDefaultUntilReloadAndConfiguredNodesMerge) {
    ASSERT_TRUE(symbols.LoadDefault());
    const std::string eds = folder.write("eds/node.eds", R"([MandatoryObjects]
SupportedObjects=1
1=0x2100
[2100]
ParameterName=From data sheet
DataType=0x0005
)");
    const std::string eds2 = folder.write("eds/other.eds", R"([OptionalObjects]
SupportedObjects=1
1=0x2200
[2200]
ParameterName=Second sheet
DataType=0x0006
)");
    ASSERT_TRUE(symbols.LoadFile(folder.write("user.cxl", R"(<cxl>
      <objectdictionary><nodeid>0</nodeid><entry><index>0x1018</index><name>Identity</name>
        <subentry><subindex>1</subindex><name>Maker</name><type>unsigned32</type></subentry></entry></objectdictionary>
      <network><node><id>9</id><name>From file</name><eds>eds/node.eds</eds></node></network></cxl>)")));
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 0), "Identity - Maker");
    EXPECT_EQ(symbols.GetEntryName(0x1018, 2, 0), "Identity object - Product code");
    EXPECT_EQ(symbols.GetEntryName(0x2100, 0, 9), "From data sheet");
    EXPECT_EQ(symbols.FindNode(9)->edsPath, (folder.path() / "eds/node.eds").string());

    // The network configuration's node on the same id replaces the record and merges the entries.
    symbols.AddNode(9, "Configured", eds2, "", "", "", "", 0);
    const auto node = symbols.FindNode(9);
    EXPECT_EQ(node->name, "Configured");
    EXPECT_EQ(node->configured, 1u);
    EXPECT_EQ(node->edsPath, eds2);
    EXPECT_EQ(symbols.GetEntryName(0x2100, 0, 9), "From data sheet");
    EXPECT_EQ(symbols.GetEntryName(0x2200, 0, 9), "Second sheet");
    EXPECT_EQ(loads, 3);

    ASSERT_TRUE(symbols.Reload());
    EXPECT_EQ(symbols.GetEntryName(0x1018, 1, 0), "Identity object - Vendor-ID");
    EXPECT_FALSE(symbols.FindNode(9));
    EXPECT_FALSE(symbols.FindNodeEntry(0x2100, 0, 9));
    EXPECT_TRUE(prompt.asked().empty());
}

TEST_F(SymbolsReader, RelativeDataSheetPathsLandUnderTheDescriptionsFolder) {
    const std::string sheet = "[MandatoryObjects]\nSupportedObjects=1\n1=0x1000\n[1000]\nParameterName=Here\nDataType=7\n";
    folder.write("eds/a.eds", sheet);
    folder.write("net/a.eds", sheet);
    ASSERT_TRUE(symbols.LoadFile(folder.write("net/n.cxl", R"(<cxl><network>
      <node><id>1</id><eds>..\eds\a.eds</eds></node>
      <node><id>2</id><eds>\a.eds</eds></node>
      <node><id>3</id><eds>C:\eds\a.eds</eds></node></network></cxl>)")));
    const std::string base = folder.path().string();
    EXPECT_EQ(symbols.FindNode(1)->edsPath, base + "/net/../eds/a.eds");
    EXPECT_EQ(symbols.FindNode(2)->edsPath, base + "/net/a.eds");
    EXPECT_EQ(symbols.FindNode(3)->edsPath, "C:\\eds\\a.eds");
    EXPECT_EQ(symbols.GetEntryName(0x1000, 0, 1), "Here");
    EXPECT_EQ(symbols.GetEntryName(0x1000, 0, 2), "Here");
    EXPECT_EQ(symbols.FindNode(3)->name, "");

    EXPECT_EQ(MakeAbsolutePath("a.eds", "/opt/eds"), "/opt/eds/a.eds");
    EXPECT_EQ(MakeAbsolutePath("sub\\a.eds", "/opt/eds/"), "/opt/eds/sub/a.eds");
    EXPECT_EQ(MakeAbsolutePath("a.eds", ""), platform::executableDir() + "/a.eds");
    EXPECT_EQ(MakeAbsolutePath("/abs/a.eds", "/opt"), "/abs/a.eds");
    EXPECT_EQ(MakeAbsolutePath("D:\\x.eds", "/opt"), "D:\\x.eds");
}

TEST_F(SymbolsReader, AWorkerQueriesSafelyWhileTheStoreReloads) {
    std::atomic<bool> stop{false};
    std::atomic<long> answers{0};
    std::thread worker([&] {
        while (!stop.load()) {
            const std::string name = symbols.GetEntryName(0x1018, 1, 0);
            if (name != "Identity object - Vendor-ID" && name != "<unknown>") ADD_FAILURE() << name;
            (void)symbols.GetErrorCodeName(0x8130);
            (void)symbols.GetVendorText(0x319);
            (void)symbols.FindEntry(0x1800, 1, 3);
            answers.fetch_add(1);
        }
    });
    for (int i = 0; i < 25; ++i) ASSERT_TRUE(symbols.Reload());
    stop = true;
    worker.join();
    EXPECT_GT(answers.load(), 0);
    EXPECT_EQ(loads, 25);
}

} // namespace
} // namespace ostrel::vessolt

// Damaged description files and data sheets: every cut of a valid file and seeded mutations of it.
// A description either loads or gives one message naming the file and the line; an import ends with
// its diagnostics; the store answers queries afterwards. Run in the sanitizer build as well.
#include "network/symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "services/log.h"
#include "temp_folder.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

using test::TempFolder;

std::string baseDescription() {
    std::string text = "<?xml version=\"1.0\"?>\n<cxl>\n<objectdictionary><nodeid>0</nodeid>\n";
    for (int i = 0; i < 12; ++i) {
        text += "<entry><index>0x" + std::to_string(2000 + i) + "</index><name>Object " + std::to_string(i) + "</name>\n";
        for (int sub = 0; sub < 3; ++sub) {
            text += "  <subentry><subindex>" + std::to_string(sub) + "</subindex><name>Sub " + std::to_string(sub) +
                    "</name><type>unsigned16</type></subentry>\n";
        }
        text += "</entry>\n";
    }
    text += "</objectdictionary>\n<network>\n"
            "<message><id>0x181</id><name>TPDO1</name></message>\n"
            "<abortcode><code>0x05040000</code><name>Timed out</name></abortcode>\n"
            "<errorcode><code>0x8130</code><name>Heartbeat</name></errorcode>\n"
            "<node><id>5</id><name>Device</name><eds>fuzz.eds</eds><simdll>lib.so</simdll></node>\n"
            "<devicetype><profile>401</profile><name>I/O</name>\n"
            "  <bit><position>16</position><set>In</set><unset>No in</unset></bit></devicetype>\n"
            "<vendor><id>0x319</id><name>Ostrel</name><department><id>1</id><name>Lab</name></department></vendor>\n"
            "<lssslave><vendorid>0x319</vendorid><productcode>1</productcode><nodeid>5</nodeid></lssslave>\n"
            "</network>\n<processdata><data><name>Speed</name><id>0x181</id><startbit>0</startbit>"
            "<endbit>15</endbit><type>integer16</type><factor>0.5</factor><offset>-3</offset><units>rpm</units></data>"
            "</processdata>\n</cxl>\n";
    return text;
}

std::string baseDataSheet() {
    std::string text = "[DummyUsage]\nDummy0002=1\nDummy0007=1\n[MandatoryObjects]\nSupportedObjects=3\n1=0x1000\n"
                       "2=0x1018\n3=0x2000\n[OptionalObjects]\nSupportedObjects=4\n1=0x1400\n2=0x1600\n3=0x1800\n"
                       "4=0x1A00\n[ManufacturerObjects]\nSupportedObjects=2\n1=0x2001\n2=0x2002\n"
                       "[1000]\nParameterName=Device type\nDataType=0x0007\n"
                       "[2000]\nParameterName=Compact\nDataType=0x0006\nCompactSubObj=5\n[2000Name]\n2=Two\n4=Four\n"
                       "[2001]\nParameterName=Plain\nDataType=0x0005\n[2002]\nParameterName=Reserved\nDataType=0x0017\n";
    for (const char* index : {"1018", "1400", "1600", "1800", "1A00"}) {
        text += std::string("[") + index + "]\nParameterName=Record " + index + "\nSubNumber=5\n";
        for (int sub = 0; sub < 5; ++sub) {
            text += std::string("[") + index + "sub" + std::to_string(sub) + "]\nParameterName=Entry " +
                    std::to_string(sub) + "\nDataType=0x000" + std::to_string(5 + sub % 3) + "\n";
        }
    }
    return text;
}

enum class Kind { Description, DataSheet };

std::string mutate(std::string text, std::mt19937& random, int round, Kind kind) {
    auto position = [&](std::size_t size) { return std::uniform_int_distribution<std::size_t>(0, size)(random); };
    auto byte = [&](int low, int high) {
        return static_cast<char>(std::uniform_int_distribution<int>(low, high)(random));
    };
    // A megabyte of text now and then: enough to cross every buffer, rare enough to stay fast.
    if (round % 100 == 99) {
        text.insert(position(text.size()), std::string(1 << 20, kind == Kind::Description ? 'x' : 'y'));
        return text;
    }
    switch (std::uniform_int_distribution<int>(0, 5)(random)) {
    case 0:  // byte flips
        for (int i = 0, n = std::uniform_int_distribution<int>(1, 8)(random); i < n && !text.empty(); ++i) {
            text[position(text.size() - 1)] = byte(0, 255);
        }
        break;
    case 1: {  // deep nesting
        std::string open, close;
        for (int i = 0; i < 50; ++i) {
            open += "<n" + std::to_string(i % 7) + ">";
            close = "</n" + std::to_string(i % 7) + ">" + close;
        }
        const std::size_t at = text.find('<', position(text.size()));
        text.insert(at == std::string::npos ? text.size() : at, kind == Kind::Description ? open + "t" + close : open);
        break;
    }
    case 2:  // entity expansion
        if (kind == Kind::Description) {
            // Mostly a modest expansion; now and then one that expat must refuse as an attack.
            const int levels = round % 100 == 49 ? 10 : 4;
            std::string doctype = "<!DOCTYPE cxl [<!ENTITY a0 \"ha\">";
            for (int i = 1; i < levels; ++i) {
                doctype += "<!ENTITY a" + std::to_string(i) + " \"";
                for (int k = 0; k < 10; ++k) doctype += "&a" + std::to_string(i - 1) + ";";
                doctype += "\">";
            }
            doctype += "]>\n";
            const std::size_t root = text.find("<cxl>");
            text.insert(root, doctype);
            const std::size_t name = text.find("<name>", position(text.size()));
            if (name != std::string::npos) text.insert(name + 6, "&a" + std::to_string(levels - 1) + ";");
        } else {
            text.insert(position(text.size()), "&a9;%x;$(y)");
        }
        break;
    case 3:  // bad UTF-8
        for (int i = 0, n = std::uniform_int_distribution<int>(1, 6)(random); i < n; ++i) {
            text.insert(position(text.size()), 1, byte(0x80, 0xFF));
        }
        break;
    case 4: {  // huge counts and numbers
        const char* keys[] = {"SupportedObjects=", "SubNumber=", "CompactSubObj=", "<subindex>", "<id>", "<position>"};
        for (const char* key : keys) {
            const std::size_t at = text.find(key, position(text.size() / 2));
            if (at == std::string::npos) continue;
            const std::size_t value = at + std::char_traits<char>::length(key);
            const std::size_t end = text.find_first_of("\n<", value);
            text.replace(value, end == std::string::npos ? 0 : end - value,
                         std::uniform_int_distribution<int>(0, 1)(random) ? "1000000000" : "-99999999999");
        }
        break;
    }
    default:  // a slice moved elsewhere
        if (text.size() > 10) {
            const std::size_t from = position(text.size() - 10);
            const std::string slice = text.substr(from, std::uniform_int_distribution<std::size_t>(1, 200)(random));
            text.insert(position(text.size()), slice);
        }
        break;
    }
    return text;
}

// Thousands of loads: keeps the count and the last message, not every message.
class CountingPrompt : public UserPrompt {
public:
    PromptAnswer ask(PromptIcon, const std::string& text, const std::string&, PromptButtons buttons) override {
        ++count;
        last = text;
        return defaultAnswer(buttons);
    }
    int count = 0;
    std::string last;
};

class SymbolsFuzz : public ::testing::Test {
protected:
    void SetUp() override {
        symbols.AddLoadCallback([this] { ++loads; });
        folder.write("fuzz.eds", baseDataSheet());
        ::testing::internal::CaptureStderr();  // the imports' diagnostics
    }
    void TearDown() override { (void)::testing::internal::GetCapturedStderr(); }

    void queriesAnswer() {
        (void)symbols.GetEntryName(0x2000, 1, 0);
        (void)symbols.GetEntryName(0x1018, 2, 5, 16);
        (void)symbols.FindEntry(0x2000, 3, 5);
        (void)symbols.GetErrorCodeName(0x8130);
        (void)symbols.GetNodeName(5);
        (void)symbols.GetDeviceTypeText(0x00010191, 8, 8);
        (void)symbols.GetVendorText(0x01000319, 4, 4);
        (void)symbols.FindProcessData(0x181, 0, ODT_INTEGER16);
        (void)symbols.GetMessageName(0x181);
    }

    void loadDescription(const std::string& text) {
        const std::string path = folder.write("fuzz.cxl", text);
        const int askedBefore = prompt.count;
        const int loadsBefore = loads;
        symbols.ClearAll();
        const bool loaded = symbols.LoadFile(path);
        if (loaded) {
            EXPECT_EQ(prompt.count, askedBefore);
            EXPECT_EQ(loads, loadsBefore + 1);
        } else {
            ASSERT_EQ(prompt.count, askedBefore + 1);
            const std::string& message = prompt.last;
            EXPECT_EQ(message.rfind("Error loading symbols file at line ", 0), 0u) << message;
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_EQ(loads, loadsBefore);
        }
        queriesAnswer();
    }

    void importDataSheet(const std::string& text) {
        symbols.ClearAll();
        symbols.ImportEDS(9, folder.write("mutated.eds", text));
        queriesAnswer();
    }

    CountingPrompt prompt;
    TLog log;
    TSymbols symbols{prompt, &log};
    TempFolder folder;
    int loads = 0;
};

TEST_F(SymbolsFuzz, EveryCutOfADescriptionLoadsOrNamesItsLine) {
    const std::string text = baseDescription();
    ASSERT_GT(text.size(), 3500u);
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        loadDescription(text.substr(0, cut));
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(symbols.GetEntryName(0x2011, 2, 0), "Object 11 - Sub 2");  // the whole file, last
    EXPECT_EQ(symbols.GetEntryName(0x1018, 3, 5), "Record 1018 - Entry 3");
}

TEST_F(SymbolsFuzz, MutatedDescriptionsLoadOrNameTheirLine) {
    const std::string text = baseDescription();
    std::mt19937 random(20261209);
    for (int round = 0; round < 2000; ++round) {
        loadDescription(mutate(text, random, round, Kind::Description));
        if (HasFatalFailure()) return;
    }
}

TEST_F(SymbolsFuzz, EveryCutAndMutationOfADataSheetEndsItsImport) {
    const std::string text = baseDataSheet();
    for (std::size_t cut = 0; cut <= text.size(); ++cut) importDataSheet(text.substr(0, cut));
    std::mt19937 random(1209);
    for (int round = 0; round < 2000; ++round) importDataSheet(mutate(text, random, round, Kind::DataSheet));
    importDataSheet(text);
    EXPECT_EQ(symbols.GetEntryName(0x2000, 4, 9), "Compact - Four");
    EXPECT_EQ(symbols.GetEntryName(2, 0, 9), "INTEGER8");
}

} // namespace
} // namespace ostrel::vessolt

// EDS and DCF import from real data sheets: sub-object scans, compact objects, data-type mapping, the
// two number rules, Windows-made files, and the diagnostics of what could not be read.
#include "network/symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>

#include <sys/stat.h>

#include "services/log.h"
#include "platform/ini.h"
#include "temp_folder.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

using test::TempFolder;

const std::string kDataDir = OSTREL_VESSOLT_TEST_DATA;

class EdsImport : public ::testing::Test {
protected:
    EdsImport() { symbols.SetLog(&log); }  // as at start-up, where the store comes before the log

    RecordingPrompt prompt;
    TLog log;
    TSymbols symbols{prompt};
    TempFolder folder;

    int32_t type(uint32_t index, uint8_t sub, uint8_t node = 4) const {
        const auto entry = symbols.FindNodeEntry(index, sub, node);
        return entry ? entry->dataType : -99;
    }
};

TEST_F(EdsImport, ReadsObjectsSubObjectsAndTypesAsTheSheetDescribesThem) {
    const std::string path = kDataDir + "/import_cases.eds";
    ::testing::internal::CaptureStderr();
    symbols.ImportEDS(4, path);
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();

    // Dummy entries: unsigned32 whatever their name says.
    EXPECT_EQ(symbols.GetEntryName(4, 0, 4), "INTEGER32");
    EXPECT_EQ(type(4, 0), ODT_UNSIGNED32);
    EXPECT_FALSE(symbols.FindNodeEntry(1, 0, 4));

    // SupportedObjects 0x2 is 2, 010 is 10; an object-list value 010 is index 8.
    EXPECT_EQ(type(0x1000, 0), ODT_UNSIGNED32);
    EXPECT_EQ(symbols.GetEntryName(0x0008, 0, 4), "Listed as octal 010");

    // SubNumber 3 with sections 0, 1, 4, 5: the first three found.
    EXPECT_EQ(symbols.GetEntryName(0x2000, 0, 4), "Sparse record - Highest sub-index supported");
    EXPECT_EQ(type(0x2000, 1), ODT_UNSIGNED32);
    EXPECT_EQ(symbols.GetEntryName(0x2000, 4, 4), "Sparse record - Fourth");
    EXPECT_FALSE(symbols.FindNodeEntry(0x2000, 5, 4));

    // CompactSubObj 3, only sub-object 2 named.
    EXPECT_EQ(symbols.GetEntryName(0x2001, 0, 4), "Compact - NrOfObjects");
    EXPECT_EQ(type(0x2001, 0), ODT_UNSIGNED8);
    EXPECT_EQ(symbols.GetEntryName(0x2001, 1, 4), "Compact - Compact1");
    EXPECT_EQ(symbols.GetEntryName(0x2001, 2, 4), "Compact - Named two");
    EXPECT_EQ(symbols.GetEntryName(0x2001, 3, 4), "Compact - Compact3");
    for (uint8_t sub = 1; sub <= 3; ++sub) EXPECT_EQ(type(0x2001, sub), ODT_UNSIGNED16);
    EXPECT_FALSE(symbols.FindNodeEntry(0x2001, 4, 4));

    EXPECT_EQ(type(0x2002, 0), ODT_INTEGER24);
    EXPECT_EQ(type(0x2003, 0), ODT_UNKNOWN);
    EXPECT_EQ(type(0x2004, 0), ODT_UNKNOWN);
    EXPECT_EQ(type(0x2005, 0), ODT_REAL32);  // "010" in a data type is octal: 8
    EXPECT_EQ(type(0x2006, 0), ODT_REAL64);
    EXPECT_EQ(type(0x2007, 0), ODT_UNSIGNED64);

    EXPECT_EQ(symbols.GetEntryName(0x200F, 0, 4), "Upper case - Only entry");

    // CompactSubObj 255 (more than sub-indices 1 to 254 hold) and a negative SubNumber: skipped.
    EXPECT_FALSE(symbols.FindNodeEntry(0x3000, 0, 4));
    EXPECT_FALSE(symbols.FindNodeEntry(0x3001, 0, 4));

    EXPECT_NE(diagnostics.find(path + ":112: [3000] CompactSubObj=255 is not a number from 0 to 254; the object is "
                                      "skipped"), std::string::npos) << diagnostics;
    EXPECT_NE(diagnostics.find(path + ":116: [3001] SubNumber=-4 is not a number from 0 to 255; the object is skipped"),
              std::string::npos) << diagnostics;
    EXPECT_NE(diagnostics.find(path + ":32: object 3002 is listed but has no section [3002]"), std::string::npos)
        << diagnostics;
    ASSERT_EQ(log.GetLineCount(), 1);
    EXPECT_EQ(log.GetLine(0), "EDS import for node 4 incomplete: 3 problem(s) in " + path);
    EXPECT_TRUE(prompt.asked().empty());
}

// Each count, index and code the import reads, missing (its default applies) or present and not a
// number within its limit (named with what it leaves out): the type of the entry it decides about
// (-99: no entry) either way.
using NumberKey = std::tuple<std::string, std::string, std::string, std::string, uint32_t, uint8_t, int32_t, int32_t>;
class EdsNumber : public EdsImport,
                  public ::testing::WithParamInterface<std::tuple<NumberKey, std::optional<std::string>>> {};

TEST_P(EdsNumber, PresentButUnusableIsNamedAndLeftOut) {
    const auto& [row, value] = GetParam();
    const auto& [section, key, limit, leftOut, index, sub, typeWhenMissing, typeWhenRefused] = row;
    std::ifstream in(kDataDir + "/import_cases.eds");
    std::string sheet{std::istreambuf_iterator<char>(in), {}}, line = "\n" + key + "=";
    const std::size_t at = sheet.find(line, sheet.find("[" + section + "]\n")) + 1;
    sheet.replace(at, sheet.find('\n', at) + 1 - at, value ? line.substr(1) + *value + "\n" : "");
    const std::string path = folder.write("sheet.eds", sheet);
    ::testing::internal::CaptureStderr();
    symbols.ImportEDS(4, path);
    const std::string refusal = "[" + section + "] " + key + "=" + value.value_or("") + " is not a number from 0 to ";
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(diagnostics.find(refusal + limit + "; " + leftOut + "\n") != std::string::npos, value.has_value());
    EXPECT_EQ(type(index, sub), value ? typeWhenRefused : typeWhenMissing);
    const std::string problems = std::to_string(value ? 4 : 3);  // the sheet's own three, and this one
    EXPECT_EQ(log.GetLine(0), "EDS import for node 4 incomplete: " + problems + " problem(s) in " + path);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKeyAndValue, EdsNumber,
    ::testing::Combine(
        ::testing::Values(
            NumberKey{"DummyUsage", "Dummy0004", "2147483647", "no dummy entry", 4, 0, -99, -99},
            NumberKey{"MandatoryObjects", "SupportedObjects", "65535", "the list is skipped", 0x1000, 0, -99, -99},
            NumberKey{"OptionalObjects", "2", "65535", "the entry is skipped", 0x2002, 0, -99, -99},
            NumberKey{"2000", "SubNumber", "255", "the object is skipped", 0x2000, 0, ODT_UNKNOWN, -99},
            NumberKey{"2001", "CompactSubObj", "254", "the object is skipped", 0x2001, 0, ODT_UNSIGNED16, -99},
            NumberKey{"2002", "DataType", "65535", "its type is unknown", 0x2002, 0, ODT_UNKNOWN, ODT_UNKNOWN},
            NumberKey{"2000sub1", "DataType", "65535", "its type is unknown", 0x2000, 1, ODT_UNKNOWN, ODT_UNKNOWN}),
        ::testing::Values(std::nullopt, "", "abc", "-1", "99999999999")));

TEST_F(EdsImport, WindowsMadeSheetsAreReadAsWindows1252) {
    symbols.ImportEDS(4, kDataDir + "/latin1_crlf.eds");
    EXPECT_EQ(symbols.GetEntryName(0x6000, 0, 4), "Gr\xC3\xB6\xC3\x9F" "e in \xC2\xB5m");
    EXPECT_EQ(type(0x6000, 0), ODT_REAL32);
    EXPECT_EQ(symbols.GetEntryName(0x6001, 1, 4), "Temp \xE2\x82\xAC \xE2\x80\x93 range - \xC2\xB0" "C value");
    EXPECT_EQ(type(0x6001, 1), ODT_INTEGER16);
    EXPECT_EQ(type(0x6001, 0), ODT_UNSIGNED8);
    EXPECT_EQ(log.GetLineCount(), 0);  // a list longer than its keys is no problem
}

TEST_F(EdsImport, NodeZeroImportsIntoTheGeneralListAndEarlierEntriesTakeTheSheetsNames) {
    symbols.AddEntry(0, {0x1000, 0, "From the description", "", ODT_UNKNOWN});
    symbols.AddEntry(0, {0x1001, 0, "Untouched", "", ODT_UNSIGNED8});
    symbols.ImportEDS(0, kDataDir + "/import_cases.eds");
    EXPECT_EQ(symbols.GetEntryName(0x1000, 0, 0), "Device type");
    EXPECT_EQ(symbols.FindEntry(0x1000, 0, 0)->dataType, ODT_UNSIGNED32);
    EXPECT_EQ(symbols.GetEntryName(0x1001, 0, 0), "Untouched");
    EXPECT_EQ(symbols.GetEntryName(0x2001, 2, 77), "Compact - Named two");  // node 77 has no list
}

TEST_F(EdsImport, AnUnreadableSheetAddsNothingAndSaysSoInTheLog) {
    const std::string missing = (folder.path() / "missing.eds").string();
    ::testing::internal::CaptureStderr();
    symbols.ImportEDS(3, missing);
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(diagnostics, missing + ":0: cannot be read: No such file or directory\n");
    ASSERT_EQ(log.GetLineCount(), 1);
    EXPECT_EQ(log.GetLine(0), "EDS import for node 3 failed: " + missing + " cannot be read (No such file or directory)");
    EXPECT_FALSE(symbols.FindNodeEntry(0x1000, 0, 3));
    EXPECT_TRUE(prompt.asked().empty());
}

TEST_F(EdsImport, AFifoOrADeviceIsNotReadAndSaysSo) {
    const std::string fifo = (folder.path() / "fifo.eds").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        log.Clear();
        ::testing::internal::CaptureStderr();
        symbols.ImportEDS(3, path);  // at once: neither waits for a writer nor reads without end
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), path + ":0: cannot be read: not a regular file\n");
        ASSERT_EQ(log.GetLineCount(), 1);
        EXPECT_EQ(log.GetLine(0), "EDS import for node 3 failed: " + path + " cannot be read (not a regular file)");
    }
}

TEST_F(EdsImport, ASheetThatYieldsNoObjectSaysSo) {
    std::string utf16 = "\xFF\xFE";  // "[MandatoryObjects]..." saved as UTF-16
    for (char c : std::string("[MandatoryObjects]\r\nSupportedObjects=1\r\n1=0x1000\r\n"))
        utf16 += {c, '\0'};
    for (const std::string& content : {utf16, std::string("\x7F" "ELF\2\1\0\xFF", 8)}) {
        log.Clear();
        const std::string path = folder.write("sheet.eds", content);
        symbols.ImportEDS(6, path);
        ASSERT_EQ(log.GetLineCount(), 1);
        EXPECT_EQ(log.GetLine(0), "EDS import for node 6: no objects found in " + path + " (not a text EDS file?)");
    }
}

TEST_F(EdsImport, DiagnosticsStopAtTwoHundred) {
    std::string sheet = "[MandatoryObjects]\nSupportedObjects=300\n";
    for (int i = 1; i <= 300; ++i) sheet += std::to_string(i) + "=0x" + std::to_string(5000 + i) + "\n";
    sheet += "[OptionalObjects]\nSupportedObjects=many\n";
    const std::string path = folder.write("huge.eds", sheet);
    ::testing::internal::CaptureStderr();
    symbols.ImportEDS(2, path);
    const std::string diagnostics = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(diagnostics.rfind(path + ":3: object 5001 is listed but has no section [5001]\n", 0), 0u);
    EXPECT_EQ(std::count(diagnostics.begin(), diagnostics.end(), '\n'), 201);
    EXPECT_NE(diagnostics.find(path + ": further problems not shown\n"), std::string::npos);
    ASSERT_EQ(log.GetLineCount(), 1);
    EXPECT_EQ(log.GetLine(0), "EDS import for node 2 incomplete: 301 problem(s) in " + path);
    // A listed object without a section still stands for an object: a plain variable without names.
    EXPECT_TRUE(symbols.FindNodeEntry(0x5001, 0, 2));
}

TEST_F(EdsImport, ImportOfOneObjectFromAnOpenedSheet) {
    platform::IniFile file(kDataDir + "/import_cases.eds");
    ASSERT_TRUE(file.load());
    symbols.ImportEDSObject(6, file, 0x2000);
    EXPECT_EQ(symbols.GetEntryName(0x2000, 1, 6), "Sparse record - First");
    EXPECT_FALSE(symbols.FindNodeEntry(0x1000, 0, 6));
}

} // namespace
} // namespace ostrel::vessolt

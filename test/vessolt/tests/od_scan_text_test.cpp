// Texts of the scan's results, its report section and the helpers the device tests share.
#include <cstdio>
#include <cstring>
#include <string>

#include "od_scan_fixture.h"
#include "test_common.h"

namespace ostrel::vessolt::test {
namespace {

ODScanResult result(uint32_t index, uint8_t sub, std::initializer_list<uint8_t> bytes, uint32_t size = 0) {
    ODScanResult r;
    r.index = index;
    r.subindex = sub;
    r.size = size ? size : static_cast<uint32_t>(bytes.size());
    r.valueLength = std::min<uint32_t>(r.size, 16);
    uint32_t i = 0;
    for (uint8_t b : bytes)
        if (i < 16)
            r.value[i++] = b;
    return r;
}

TEST(ODScanTexts, TextsShowInStoredOrderAndNumbersFromTheLastByte) {
    struct Case {
        uint32_t index;
        int32_t type;  // from the data sheet; 0 without one
        const char* hex;
        const char* ascii;
        std::initializer_list<uint8_t> bytes = {'1', '.', '0'};
    } cases[] = {
        {0x1009, 0, "31 2E 30 ", "1.0"},   // the hardware version, with no data sheet
        {0x2000, 20, "31 2E 30 ", "1.0"},  // VISIBLE_STRING
        {0x1009, 13, "302E31", "0.1"},     // the data sheet says UNSIGNED32
        {0x2000, 21, "AB ", ".", {0xAB}},  // OCTET_STRING, 1 to 4 bytes
        {0x2000, 21, "01 02 ", "..", {0x01, 0x02}},
        {0x2000, 21, "31 2E 30 ", "1.0"},
        {0x2000, 21, "01 02 03 04 ", "....", {0x01, 0x02, 0x03, 0x04}},
        {0x2000, 22, "41 00 ", "A.", {'A', 0}},  // UNICODE_STRING: "A", then "AB"
        {0x2000, 22, "41 00 42 00 ", "A.B.", {'A', 0, 'B', 0}},
        {0x2000, 25, "01 02 03 ", "...", {0x01, 0x02, 0x03}},  // DOMAIN
        {0x2000, 5, "04030201", "....", {0x01, 0x02, 0x03, 0x04}},  // INTEGER32: a number
    };
    for (const Case& c : cases) {
        const ODScanResult r = result(c.index, 0, c.bytes);
        const ODScanRowTexts t = ResultTexts(r, StoredAsText(r.index, r.subindex, c.type));
        EXPECT_EQ(t.hex, c.hex) << std::hex << c.index << " " << c.type;
        EXPECT_EQ(t.ascii, c.ascii) << std::hex << c.index << " " << c.type;
    }
}

TEST(ODScanTexts, ValuesAndColumns) {
    ODScanRowTexts t = ResultTexts(result(0x1000, 0, {0x91, 0x01, 0x0F, 0x00}));
    EXPECT_EQ(t.index, "0x1000");
    EXPECT_EQ(t.subindex, "0x00");
    EXPECT_EQ(t.size, "4");
    EXPECT_EQ(t.accessTime, "");
    EXPECT_EQ(t.hex, "000F0191");
    EXPECT_EQ(t.ascii, "....");
    EXPECT_EQ(t.decimal, "S:983441 U:983441");
    EXPECT_EQ(ResultNumber(result(0x1000, 0, {0x91, 0x01, 0x0F, 0x00})), 0x000F0191u);

    t = ResultTexts(result(0x2000, 3, {0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(t.index, "^");
    EXPECT_EQ(t.subindex, "0x03");
    EXPECT_EQ(t.decimal, "S:-1 U:16777215");
    EXPECT_EQ(ResultTexts(result(0x2000, 3, {0x05, 0x00, 0x00})).decimal, "S:5 U:5");
    EXPECT_EQ(ResultTexts(result(0x2000, 1, {0x80})).decimal, "S:-128 U:128");
    EXPECT_EQ(ResultTexts(result(0x2000, 1, {0x41, 0x20})).ascii, " A");

    const std::string name = "Ostrel simulated node";
    ODScanResult text;
    text.index = 0x1008;
    text.size = static_cast<uint32_t>(name.size());
    text.valueLength = 16;
    std::memcpy(text.value, name.data(), 16);
    text.accessTime = 0.0f;  // a measured 0 is a time
    t = ResultTexts(text);
    EXPECT_EQ(t.hex, "4F 73 74 72 65 6C 20 73 69 6D 75 6C 61 74 65 64  ...");
    EXPECT_EQ(t.ascii, "Ostrel simulated ...");
    EXPECT_EQ(t.decimal, "S: U:");
    EXPECT_EQ(t.accessTime, "0.00");

    EXPECT_EQ(ResultTexts(result(0x1001, 0, {}, 0)).hex, "");
    EXPECT_STREQ(TypeCodeName(4), "INTEGER24");
    EXPECT_STREQ(TypeCodeName(1), "BOOLEAN");
    EXPECT_STREQ(TypeCodeName(25), "DOMAIN");
    EXPECT_STREQ(TypeCodeName(0), "<unknown>");
    EXPECT_STREQ(TypeCodeName(26), "<unknown>");
    EXPECT_STREQ(TypeCodeName(-1), "<unknown>");
}

TEST(DeviceTestHelpers, StatisticsStatusAndElision) {
    const uint8_t frame[8] = {0xD2, 0x04, 0x39, 0x00};
    const BusStatistics s = DecodeBusStatistics(frame);
    EXPECT_FLOAT_EQ(s.busLoadPercent, 12.34f);
    EXPECT_FLOAT_EQ(s.burstLengthMs, 5.7f);
    EXPECT_EQ(BusStatisticsLine(s), "Bus Statistics: maximum bus load was 12.34%, maximum burst length was 5.7ms");

    EXPECT_EQ(ReportHeading("PDO Analysis", PASSED, true), "\n\nPDO Analysis - Passed\n------------\n\n");
    EXPECT_EQ(ReportHeading("TPDO Sync", 9, false), "\n\nTPDO Sync - Unknown\n---------\n");
    EXPECT_STREQ(ReportStatusWord(NOTSTARTED), "Not Started");
    EXPECT_STREQ(StatusLabelText(NOTSTARTED), "Not started");
    EXPECT_STREQ(StatusLabelText(CANCELLED), "Cancelled");
    EXPECT_EQ(StatusColour(PASSED), 0x008000u);
    EXPECT_EQ(StatusColour(WARNING), 0x008080u);
    EXPECT_EQ(StatusColour(FAILED), 0x0000FFu);
    EXPECT_EQ(StatusColour(RUNNING), 0u);

    auto chars = [](const std::string& t) { return static_cast<int>(t.size()); };
    EXPECT_EQ(ElideCellText("Device Type", 11, chars), "Device Type");
    EXPECT_EQ(ElideCellText("Device Type", 10, chars), "Device...");
    EXPECT_EQ(ElideCellText("Device Type", 2, chars), "...");
}

using ODScanReport = ODScanFixture;

std::string report(const TODScan& scan, int layout) {
    std::FILE* file = std::tmpfile();
    scan.WriteReport(file, layout);
    std::string text(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

TEST_F(ODScanReport, BothLayouts) {
    EXPECT_EQ(report(scan, 0), "\n\nObject Dictionary Scan - Not Started\n----------------------\n\n"
                               "--- Test Results --->\n"
                               "   Index   Subindex             Type   Size   Acc.Time   Hex Value   ASCII Value"
                               "               Decimal Value Name\n");
    scan.AddResult(result(0x1000, 0, {0x91, 0x01, 0x0F, 0x00}));
    scan.AddResult(result(0x1018, 0, {0x04}));
    scan.AddResult(result(0x1018, 1, {0x19, 0x03, 0x00, 0x00}));
    scan.SetAccessTime(0x1018, 1, 1.5f);
    manager.SetTestStatus(TODScan::kTestId, WARNING);

    EXPECT_EQ(report(scan, 0),
              "\n\nObject Dictionary Scan - Warning\n----------------------\n\n"
              "--- Test Results --->\n"
              "   Index   Subindex             Type   Size   Acc.Time   Hex Value   ASCII Value"
              "               Decimal Value Name\n"
              "  0x1000       0x00       UNSIGNED32      4               000F0191          ....           "
              "S:983441 U:983441 Device Type\n"
              "  0x1018       0x00        <unknown>      1                     04             .                     "
              "S:4 U:4 <unknown>\n"
              "       ^       0x01        <unknown>      4       1.50    00000319          ....                 "
              "S:793 U:793 <unknown>\n");
    const std::string tab = report(scan, 1);
    EXPECT_NE(tab.find("  0x1018\t      0x00\t"), std::string::npos) << tab;
    EXPECT_NE(tab.find("  0x1018\t      0x01\t       <unknown>\t     4\t      1.50\t   00000319\t"), std::string::npos)
        << tab;
    EXPECT_EQ(tab.find('^'), std::string::npos);
    EXPECT_NE(tab.find("   Index\t  Subindex\t"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::vessolt::test

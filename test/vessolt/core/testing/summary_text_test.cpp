// The summary view's label texts and the DEVICE SUMMARY report section, checked against golden files
// written by hand from the section's format strings.
#include "testing/summary_text.h"

#include "summary_fixture.h"

#include <clocale>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <sstream>

using namespace ostrel::vessolt;
using ostrel::vessolt::summary_fixture::fullRecord;
using ostrel::vessolt::summary_fixture::NamedStore;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string dataFile(const std::string& name) { return readFile(std::string(OSTREL_REPORT_DATA) + "/" + name); }

// What the section writes, through a real stream.
std::string section(int layout, const SummaryTexts& texts) {
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* f = open_memstream(&buffer, &size);
    WriteDeviceSummary(f, layout, texts);
    std::fclose(f);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

DeviceSummaryRecord clearedAt(uint32_t kbps) {
    TDeviceSummary summary;
    summary.SetBaudrate(kbps);
    summary.Clear();  // keeps the bit rate
    DeviceSummaryRecord r{};
    EXPECT_TRUE(summary.GetSummary(r));
    return r;
}

TEST(SummaryText, LabelTableNamesEveryTextOnce) {
    std::set<std::string> names;
    const SummaryTexts texts;
    std::set<const std::string*> members;
    int captions = 0;
    for (const SummaryLabel& label : kSummaryLabels) {
        ASSERT_NE(label.name, nullptr);
        names.insert(label.name);
        members.insert(&(texts.*label.text));
        captions += label.caption[0] != '\0';
    }
    EXPECT_EQ(names.size(), kSummaryLabelCount);
    EXPECT_EQ(members.size(), kSummaryLabelCount);
    EXPECT_EQ(sizeof(SummaryTexts), kSummaryLabelCount * sizeof(std::string));
    EXPECT_EQ(captions, 38);  // row captions; the rest are second lines and table cells
}

TEST(SummaryText, ClearedSummaryShowsDashesButTheBitRate) {
    for (auto [kbps, shown] : {std::pair{500u, "500kbps"}, std::pair{1000u, "1Mbps"}, std::pair{125u, "125kbps"}}) {
        const SummaryTexts t = FormatSummary(clearedAt(kbps));
        for (const SummaryLabel& label : kSummaryLabels)
            EXPECT_EQ(t.*label.text, label.text == &SummaryTexts::baudrate ? shown : "-") << label.name;
    }
}

TEST(SummaryText, ValuesBesideNamesAndEnumerations) {
    DeviceSummaryRecord r{};
    r.nodeid = 5, r.flags[kFlagNodeId] = 1;
    r.devicetype = 0x000F0191, r.flags[kFlagDeviceType] = 1;
    r.vendor = 0x12345678, r.flags[kFlagVendor] = 1;
    EXPECT_EQ(FormatSummary(r, NamedStore{}).nodeid, "0x05 (5d) Drive");
    SummaryTexts t = FormatSummary(r);  // the empty name store
    EXPECT_EQ(t.nodeid, "0x05 (5d)");
    EXPECT_EQ(t.devicetype, "0x000F0191 <unknown>");
    EXPECT_EQ(t.devicetypeadditional, "");
    EXPECT_EQ(t.manufacturer, "0x12345678 <unknown>");
    EXPECT_EQ(t.manufacturerdept, "");
    r.nodeid = 0x7F;
    EXPECT_EQ(FormatSummary(r).nodeid, "0x7F (127d)");
    struct EmptyName : SummaryNames {
        std::optional<std::string> NodeName(uint8_t) const override { return ""; }
    };
    EXPECT_EQ(FormatSummary(r, EmptyName{}).nodeid, "0x7F (127d)");

    r.flags[kFlagLss] = r.flags[kFlagPdoLinking] = r.flags[kFlagPdoMapping] = 1;
    const std::pair<uint32_t, const char*> lss[] = {{0, "-"}, {1, "None"}, {2, "Slave"}, {3, "Master"}, {4, "-"}};
    for (auto [value, text] : lss) {
        r.lss = value;
        EXPECT_EQ(FormatSummary(r).lss, text) << value;
    }
    const std::pair<uint32_t, const char*> pdo[] = {{0, "-"}, {1, "Static"}, {2, "Dynamic"}, {3, "-"}};
    for (auto [value, text] : pdo) {
        r.pdolinking = r.pdomapping = value;
        t = FormatSummary(r);
        EXPECT_EQ(t.pdolinking, text);
        EXPECT_EQ(t.pdomapping, text);
    }
    // A flag decides alone: a set 0 is a value, an unset value is "-".
    r.flags[kFlagNmtMaster] = 1, r.nmtmaster = 0;
    r.flags[kFlagSdoManager] = 1, r.sdomanager = 0xFF;
    r.flags[kFlagRpdoNum] = 1, r.rpdonum = 0;
    r.tpdonum = 9;
    t = FormatSummary(r);
    EXPECT_EQ(t.nmtmaster, "No");
    EXPECT_EQ(t.sdomanager, "Yes");
    EXPECT_EQ(t.rpdonum, "0");
    EXPECT_EQ(t.tpdonum, "-");
}

TEST(SummaryText, NumbersInTheirFormats) {
    DeviceSummaryRecord r{};
    r.compatibilityrating = 87, r.flags[kFlagCompatibilityRating] = 1;
    r.performancerating = -5, r.flags[kFlagPerformanceRating] = 1;
    r.maxbusload = 12.5f, r.flags[kFlagMaxBusLoad] = 1;
    r.maxburstlength = 3.26f, r.flags[kFlagMaxBurstLength] = 1;
    r.peakmessagerate = 0, r.flags[kFlagPeakMessageRate] = 1;
    r.bootuptime = 0.125f, r.flags[kFlagBootupTime] = 1;  // halfway: printf's rounding, to even
    r.heartbeat100ms_dev = 1e20f, r.flags[kFlagHeartbeatDev] = 1;
    r.sdoclientnum = 0x80000000u, r.flags[kFlagSdoClientNum] = 1;
    r.bootup_numtries = 3000000000u, r.flags[kFlagBootupGroup] = 1;
    const SummaryTexts t = FormatSummary(r);
    EXPECT_EQ(t.compatibilityrating, "87");
    EXPECT_EQ(t.performancerating, "-5");
    EXPECT_EQ(t.reliabilityrating, "-");
    EXPECT_EQ(t.maxbusload, "12.50 %");
    EXPECT_EQ(t.maxburstlength, "3.3 ms");
    EXPECT_EQ(t.peakmessagerate, "0.00 msgs/sec");
    EXPECT_EQ(t.bootuptime, "0.12 ms");
    EXPECT_EQ(t.heartbeat100msdev, "100000002004087734272.00 %");
    EXPECT_EQ(t.sdoclientnum, "2147483648");
    EXPECT_EQ(t.bootuptries, "3000000000");
    EXPECT_EQ(t.bootupmin, "0.00 ms");  // a measured 0 of a set group
}

TEST(SummaryText, CommaDecimalLocaleChangesNothing) {
    const SummaryTexts inC = FormatSummary(fullRecord(), NamedStore{});
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup generates de_DE.UTF-8";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const SummaryTexts inDe = FormatSummary(fullRecord(), NamedStore{});
    const std::string section0 = section(0, inDe);
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_STREQ(probe, "1,5");  // the locale is really in force
    for (const SummaryLabel& label : kSummaryLabels)
        EXPECT_EQ(inDe.*label.text, inC.*label.text) << label.name;
    EXPECT_EQ(inDe.maxbusload, "12.50 %");
    EXPECT_EQ(section0, dataFile("summary_full_0.txt"));
}

TEST(SummaryText, SectionMatchesHandWrittenGoldens) {
    const SummaryTexts cleared = FormatSummary(clearedAt(500));
    const SummaryTexts full = FormatSummary(fullRecord(), NamedStore{});
    EXPECT_EQ(section(0, cleared), dataFile("summary_cleared_0.txt"));
    EXPECT_EQ(section(1, cleared), dataFile("summary_cleared_1.txt"));
    EXPECT_EQ(section(0, full), dataFile("summary_full_0.txt"));
    EXPECT_EQ(section(1, full), dataFile("summary_full_1.txt"));

    const std::string fixed = section(0, cleared);
    EXPECT_NE(fixed.find("\nNode ID" + std::string(20, ' ') + "-\n"), std::string::npos);
    EXPECT_NE(fixed.find("\nRPDOs "), std::string::npos);
    const std::string tabs = section(1, cleared);
    EXPECT_NE(tabs.find("\nRPDO\t-\t"), std::string::npos);
    EXPECT_EQ(tabs.find("RPDOs"), std::string::npos);

    for (int layout : {2, -1, 100})
        EXPECT_EQ(section(layout, full), "\n\nDEVICE SUMMARY\n--------------\n");

    // Empty label texts are written empty.
    EXPECT_NE(section(1, SummaryTexts{}).find("\nNode ID\t\n"), std::string::npos);
}

// The section holds what was shown: values a worker set reach it through a refresh only.
TEST(SummaryText, DisplayWritesWhatItShowed) {
    TDeviceSummary summary;
    summary.SetBaudrate(500);
    SummaryDisplay display(summary);
    EXPECT_EQ(section(1, display.Texts()), section(1, SummaryTexts{}));  // nothing shown yet

    std::thread worker([&] {
        summary.SetNodeId(5);
        summary.SetCompatibilityRating(87);
        summary.UpdateMaxBusLoad(12.5f);
    });
    worker.join();
    EXPECT_TRUE(display.RequestRefresh());
    EXPECT_FALSE(display.RequestRefresh());  // one refresh is pending already
    ASSERT_TRUE(display.Refresh(NamedStore{}));
    EXPECT_EQ(display.Texts().nodeid, "0x05 (5d) Drive");
    EXPECT_EQ(display.Texts().maxbusload, "12.50 %");
    EXPECT_TRUE(display.RequestRefresh());

    std::thread later([&] { summary.SetCompatibilityRating(12); });  // posted, not yet handled
    later.join();
    const std::string shown = section(1, display.Texts());
    std::string written;
    {
        char* buffer = nullptr;
        size_t size = 0;
        std::FILE* f = open_memstream(&buffer, &size);
        display.WriteReport(f, 1);
        std::fclose(f);
        written.assign(buffer, size);
        std::free(buffer);
    }
    EXPECT_EQ(written, shown);
    EXPECT_NE(written.find("Compatibility Rating\t87\n"), std::string::npos);
    ASSERT_TRUE(display.Refresh());
    EXPECT_EQ(display.Texts().compatibilityrating, "12");
    EXPECT_EQ(display.Texts().nodeid, "0x05 (5d)");
    EXPECT_EQ(display.Texts().baudrate, "500kbps");
}

// The adapter passes the view's 2000-byte buffers and hands the texts on unchanged.
TEST(SummaryText, StoreAdapterAsksWithTheViewsBuffers) {
    struct Store {
        struct DT { std::string profile, bits; };
        struct VT { std::string vendor, department; };
        mutable std::vector<size_t> sizes;
        DT GetDeviceTypeText(uint32_t, size_t a, size_t b) const {
            sizes.insert(sizes.end(), {a, b});
            return {"P", "B"};
        }
        VT GetVendorText(uint32_t, size_t a, size_t b) const {
            sizes.insert(sizes.end(), {a, b});
            return {"V", "D"};
        }
        std::optional<std::string> GetNodeName(uint8_t id) const {
            return id == 1 ? std::optional<std::string>("N") : std::nullopt;
        }
    } store;
    DeviceSummaryRecord r{};
    r.flags[kFlagDeviceType] = r.flags[kFlagVendor] = r.flags[kFlagNodeId] = 1;
    r.nodeid = 1;
    const SummaryTexts t = FormatSummary(r, StoreSummaryNames<Store>(store));
    EXPECT_EQ(t.devicetype, "0x00000000 P");
    EXPECT_EQ(t.devicetypeadditional, "B");
    EXPECT_EQ(t.manufacturer, "0x00000000 V");
    EXPECT_EQ(t.manufacturerdept, "D");
    EXPECT_EQ(t.nodeid, "0x01 (1d) N");
    EXPECT_EQ(store.sizes, (std::vector<size_t>{2000, 2000, 2000, 2000}));
}

} // namespace

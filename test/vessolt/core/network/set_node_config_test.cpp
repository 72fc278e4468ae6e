#include "network/set_node_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "drennic_test_bus.h"
#include "testing/global_test_config.h"
#include "services/log.h"
#include "sim_od.h"

using namespace ostrel::vessolt;
using namespace std::chrono_literals;
using ostrel::vessolt::test::DrennicTestBus;
using ostrel::fixtures::SdoWriteRecord;
using ostrel::fixtures::SimNode;
using ostrel::fixtures::SimNodeConfig;
using ostrel::fixtures::SimObjectDictionary;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
// A download as the node logged it: index, sub-index, bytes, abort code.
using Write = std::tuple<uint16_t, uint8_t, Bytes, uint32_t>;

constexpr uint8_t kNode = 5;

const SimObjectDictionary& targetDictionary() {
    static const auto loaded =
        ostrel::fixtures::loadEdsFile(std::string(OSTREL_FIXTURE_EDS_DIR) + "/config_writer_node.eds");
    if (!loaded.dictionary)
        throw std::runtime_error("config_writer_node.eds: " + loaded.error);
    return *loaded.dictionary;
}

std::vector<Write> writes(const SimNode& node) {
    std::vector<Write> result;
    for (const SdoWriteRecord& r : node.writeLog())
        result.emplace_back(r.index, r.subIndex, r.data, r.abortCode);
    return result;
}

Write ok(uint16_t index, uint8_t sub, Bytes bytes) { return {index, sub, std::move(bytes), 0}; }

Bytes u32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// The objects of a DCF as section texts, with the object lists made from their order.
std::string dcfText(const std::vector<std::pair<uint16_t, std::string>>& objects, const std::string& newline = "\n") {
    std::string lists = "[ManufacturerObjects]\nSupportedObjects=" + std::to_string(objects.size()) + "\n";
    std::string bodies;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "%zu=0x%04X\n", i + 1, objects[i].first);
        lists += line;
        bodies += objects[i].second;
    }
    std::string text = "[FileInfo]\nFileName=test.dcf\n" + lists + bodies;
    if (newline != "\n") {
        std::string converted;
        for (char c : text)
            c == '\n' ? converted += newline : converted += c;
        text = converted;
    }
    return text;
}

std::string var(uint16_t index, const std::string& type, const std::string& value, const std::string& extra = "") {
    char header[16];
    std::snprintf(header, sizeof header, "[%04X]\n", index);
    return std::string(header) + "DataType=" + type + "\nAccessType=rw\nParameterValue=" + value + "\n" + extra;
}

class SetNodeConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "setnodecfg-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        folder = tmpl;
        ::setenv("OSTREL_REGISTRY_DIR", (folder / "registry").c_str(), 1);
        config = std::make_unique<TGlobalTestConfig>();
    }
    void TearDown() override {
        writer.reset();
        config.reset();
        ::unsetenv("OSTREL_REGISTRY_DIR");
        fs::remove_all(folder);
    }

    // The node on the test bus, started operational, and the writer on the real library.
    SimNode& startNode(DrennicTestBus& drennic) {
        SimNodeConfig nodeConfig;
        nodeConfig.nodeId = kNode;
        SimNode& node = drennic.devices().addNode(nodeConfig, targetDictionary());
        EXPECT_TRUE(drennic.open());
        drennic.api().setPostTransmitDelay(0);
        ResultBlock result{};
        drennic.api().nmt(kNode, 0, &result);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (node.nmtState() != ostrel::fixtures::NmtState::Operational && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        EXPECT_EQ(node.nmtState(), ostrel::fixtures::NmtState::Operational);
        writer = std::make_unique<TSetNodeConfig>(drennic.api(), *config, log, 2000ms);
        return node;
    }

    std::string writeFile(const std::string& name, const std::string& text) {
        const fs::path path = folder / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    void useDcf(const std::string& path, bool configure = true) {
        ASSERT_EQ(config->Set(GLOBALCONFIG{configure, path, 3000, false, 0x7F}, nullptr),
                  TGlobalTestConfig::Access::Done);
    }

    std::string report() {
        std::FILE* file = std::tmpfile();
        writer->WriteReport(file, 1);
        std::rewind(file);
        std::string text;
        for (int c; (c = std::fgetc(file)) != EOF;)
            text += static_cast<char>(c);
        std::fclose(file);
        return text;
    }

    std::vector<std::string> lines() const { return log.GetLinesFrom(0); }
    bool logged(const std::string& line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

    fs::path folder;
    TLog log;
    std::unique_ptr<TGlobalTestConfig> config;
    std::unique_ptr<TSetNodeConfig> writer;
};

} // namespace

TEST_F(SetNodeConfigTest, EveryTypeArrivesByteExactAndReadOnlyEntriesAreSkipped) {
    DrennicTestBus drennic;
    SimNode& node = startNode(drennic);

    Bytes domain(300);
    for (std::size_t i = 0; i < domain.size(); ++i)
        domain[i] = static_cast<uint8_t>(i * 7);
    // A DOMAIN file named relative to the DCF, with the separators such files are written with.
    fs::create_directory(folder / "blobs");
    writeFile("blobs/data.bin", std::string(domain.begin(), domain.end()));
    const std::string dcf = writeFile(
        "node.dcf",
        dcfText({
            {0x1000, "[1000]\nDataType=0x0007\nAccessType=ro\nParameterValue=0x191\n"},
            {0x1017, "[1017]\nDataType=0x0006\nAccessType=RW\nParameterValue=100\n"},
            {0x2001, var(0x2001, "0x0001", "1")},
            {0x2002, var(0x2002, "0x0002", "-1")},
            {0x2003, var(0x2003, "0x0003", "0x1234")},
            {0x2004, var(0x2004, "0x0004", "0x80000000")},
            {0x2005, var(0x2005, "0x0005", "010")},
            {0x2006, var(0x2006, "0x0006", "300")},
            {0x2007, var(0x2007, "7", "4294967295")},
            {0x2008, var(0x2008, "0x0008", "1.5")},
            {0x2009, var(0x2009, "0x0009", "Hello")},
            {0x200A, var(0x200A, "0x000A", "0x0102aB")},
            {0x200B, var(0x200B, "0x000B", "0X4100")},
            {0x200C, var(0x200C, "0x000C", "0x010203040506")},
            {0x200D, var(0x200D, "0x000D", "$10")},
            {0x200F, "[200F]\nDataType=0x000F\nAccessType=wo\nDownloadFile=blobs\\data.bin\n"},
            {0x2010, var(0x2010, "0x0010", "-2")},
            {0x2011, var(0x2011, "0x0011", "-0.25")},
            {0x2012, var(0x2012, "0x0012", "-1")},
            {0x2013, var(0x2013, "0x0013", "0x123456789ABC")},
            {0x2014, var(0x2014, "0x0014", " 36028797018963967 ")},
            {0x2015, var(0x2015, "0x0015", "-9223372036854775808")},
            {0x2016, var(0x2016, "0x0016", "0xABCDEF")},
            {0x2018, var(0x2018, "0x0018", "0x0102030405")},
            {0x2019, var(0x2019, "0x0019", "281474976710655")},
            {0x201A, var(0x201A, "0x001A", "0x01")},
            {0x201B, var(0x201B, "0x001B", "0xFFFFFFFFFFFFFFFF")},
            {0x2100, "[2100]\nCompactSubObj=3\nDataType=0x0006\nAccessType=rw\n"
                     "[2100Value]\nNrOfEntries=3\n1=0x0102\n2=\n3=7\n"},
            {0x2A00, "[2A00]\nSubNumber=7\n"
                     "[2A00sub0]\nDataType=0x0005\nAccessType=const\nParameterValue=12\n"
                     "[2A00sub1]\nDataType=0x0006\nAccessType=rw\nParameterValue=11\n"
                     "[2A00sub2]\nDataType=0x0006\nAccessType=RO\nParameterValue=12\n"
                     "[2A00sub3]\nDataType=0x0006\nAccessType=Ro\nParameterValue=13\n"
                     "[2A00sub4]\nDataType=0x0006\nAccessType=rw\nObjFlags=1\nParameterValue=14\n"
                     "[2A00sub5]\nDataType=0x0006\nAccessType=rw\nParameterValue=\n"
                     "[2A00subA]\nDataType=0x0006\nAccessType=rw\nParameterValue=10\n"
                     "[2A00subB]\nDataType=0x0006\nAccessType=rw\nParameterValue=99\n"},
        }));
    useDcf(dcf);
    writer->Configure(kNode, nullptr);

    const std::vector<Write> expected{
        ok(0x1017, 0, {100, 0}),
        ok(0x2001, 0, {1}),
        ok(0x2002, 0, {0xFF}),
        ok(0x2003, 0, {0x34, 0x12}),
        ok(0x2004, 0, {0, 0, 0, 0x80}),
        ok(0x2005, 0, {8}),
        ok(0x2006, 0, {0x2C, 0x01}),
        ok(0x2007, 0, {0xFF, 0xFF, 0xFF, 0xFF}),
        ok(0x2008, 0, {0x00, 0x00, 0xC0, 0x3F}),
        ok(0x2009, 0, {'H', 'e', 'l', 'l', 'o'}),
        ok(0x200A, 0, {0x01, 0x02, 0xAB}),
        ok(0x200B, 0, {0x41, 0x00}),
        ok(0x200C, 0, {6, 5, 4, 3, 2, 1}),
        ok(0x200D, 0, {0x10, 0, 0, 0, 0, 0}),
        ok(0x200F, 0, domain),
        ok(0x2010, 0, {0xFE, 0xFF, 0xFF}),
        ok(0x2011, 0, {0, 0, 0, 0, 0, 0, 0xD0, 0xBF}),
        ok(0x2012, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
        ok(0x2013, 0, {0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12}),
        ok(0x2014, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
        ok(0x2015, 0, {0, 0, 0, 0, 0, 0, 0, 0x80}),
        ok(0x2016, 0, {0xEF, 0xCD, 0xAB}),
        ok(0x2018, 0, {5, 4, 3, 2, 1}),
        ok(0x2019, 0, Bytes(6, 0xFF)),
        ok(0x201A, 0, {1, 0, 0, 0, 0, 0, 0}),
        ok(0x201B, 0, Bytes(8, 0xFF)),
        ok(0x2100, 1, {0x02, 0x01}),
        ok(0x2100, 3, {0x07, 0x00}),
        // Seven sections counted: sub-index B lies beyond them.
        ok(0x2A00, 1, {11, 0}),
        ok(0x2A00, 0x0A, {10, 0}),
    };
    EXPECT_EQ(writes(node), expected);
    EXPECT_EQ(node.nmtState(), ostrel::fixtures::NmtState::PreOperational);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Starting node configuration", "Completed node configuration"}));
}

TEST_F(SetNodeConfigTest, PdosAreDisabledAroundTheirChangesAndKeepTheirValidity) {
    DrennicTestBus drennic;
    SimNode& node = startNode(drennic);
    const std::string pdoRecords =
        "[1A00]\nSubNumber=2\n"
        "[1A00sub1]\nDataType=0x0007\nAccessType=rw\nParameterValue=0x20070020\n"
        "[1A00sub2]\nDataType=0x0007\nAccessType=rw\nParameterValue=0x20060010\n";
    const std::string commRecord =
        "[1800]\nSubNumber=3\n"
        "[1800sub1]\nDataType=0x0007\nAccessType=rw\nParameterValue=$NODEID+0x180\n"
        "[1800sub2]\nDataType=0x0005\nAccessType=rw\nParameterValue=1\n"
        "[1800sub5]\nDataType=0x0006\nAccessType=rw\nParameterValue=100\n";
    useDcf(writeFile("pdo.dcf", dcfText({{0x1A00, pdoRecords}, {0x1800, commRecord}})));
    writer->Configure(kNode, nullptr);

    const Bytes disabled = u32(0x80000185), enabled = u32(0x185);
    EXPECT_EQ(writes(node), (std::vector<Write>{
                                ok(0x1800, 1, disabled),
                                ok(0x1A00, 0, {0}),
                                ok(0x1A00, 1, u32(0x20070020)),
                                ok(0x1A00, 2, u32(0x20060010)),
                                ok(0x1A00, 0, {1}),
                                ok(0x1800, 1, enabled),
                                ok(0x1800, 1, disabled),
                                ok(0x1800, 2, {1}),
                                ok(0x1800, 5, {100, 0}),
                                ok(0x1800, 1, enabled),  // the file's COB-ID, node id added, last
                            }));

    // Without a COB-ID in the file the PDO is enabled again, as it was.
    node.clearWriteLog();
    useDcf(writeFile("comm.dcf",
                     dcfText({{0x1800, "[1800]\nSubNumber=1\n[1800sub2]\nDataType=0x0005\nAccessType=rw\n"
                                       "ParameterValue=0xFE\n"}})));
    writer->Configure(kNode, nullptr);
    EXPECT_EQ(writes(node), (std::vector<Write>{ok(0x1800, 1, disabled), ok(0x1800, 2, {0xFE}), ok(0x1800, 1, enabled)}));
    EXPECT_EQ(node.readUnsigned(0x1800, 1), 0x185u);
}

TEST_F(SetNodeConfigTest, ReportsNotesAndCancelTellWhatHappened) {
    DrennicTestBus drennic;
    SimNode& node = startNode(drennic);

    // Off: not one frame, and the report says so.
    const std::string dcf = writeFile(
        "crlf.dcf", dcfText({{0x2005, var(0x2005, "5", "1")}, {0x2006, var(0x2006, "6", "2")}}, "\r\n"));
    useDcf(dcf, false);
    drennic.bus().clearSent();
    writer->Configure(kNode, nullptr);
    EXPECT_TRUE(drennic.bus().sent().empty());
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(report(), "\n\nNODE CONFIGURATION\n------------------\n\nThe node was not configured\n");

    // On: the file with LF line ends.
    useDcf(dcf);
    EXPECT_EQ(report(), "\n\nNODE CONFIGURATION\n------------------\n\nFile: " + dcf + "\n\n" +
                            dcfText({{0x2005, var(0x2005, "5", "1")}, {0x2006, var(0x2006, "6", "2")}}));

    // Cancelled: the object being written is finished, nothing after it, no completion line.
    std::atomic<bool> cancel{true};
    writer->Configure(kNode, &cancel);
    EXPECT_EQ(writes(node), (std::vector<Write>{ok(0x2005, 0, {1})}));
    EXPECT_EQ(lines(), (std::vector<std::string>{"Starting node configuration"}));

    // Values that cannot be converted are notes, and nothing goes to the node for them.
    log.Clear();
    node.clearWriteLog();
    writeFile("big.bin", std::string(TSetNodeConfig::kTransferBufferSize + 1, 'x'));
    useDcf(writeFile("bad.dcf", dcfText({
                                    {0x200A, var(0x200A, "0x000A", "0x123")},
                                    {0x2007, var(0x2007, "0x0017", "1")},
                                    {0x200F, "[200F]\nDataType=0x000F\nAccessType=rw\nDownloadFile=big.bin\n"},
                                    {0x2009, var(0x2009, "0x0009", std::string(1300, 'v'))},
                                    {0x2004, var(0x2004, "0x0004", "$NODEID-1")},
                                    // Never guessed from a part, never cut to the type's low bytes.
                                    {0x2005, var(0x2005, "0x0005", "abc")},
                                    {0x2006, var(0x2006, "0x0006", "300 rpm")},
                                    {0x2010, var(0x2010, "0x0005", "-1")},
                                    {0x2003, var(0x2003, "0x0007", "99999999999")},
                                    {0x1017, var(0x1017, "0x0006", "$NODEID+0x100")},
                                })));
    writer->Configure(kNode, nullptr);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Starting node configuration",
                           "Note: Invalid ParameterValue value for [200A,00]",
                           "Note: Unknown type for [2007,00]",
                           "Note: Invalid ParameterValue value for [200F,00]",
                           "Note: Invalid ParameterValue value for [2009,00]",
                           "Note: Invalid ParameterValue value for [2004,00]",
                           "Note: Invalid ParameterValue value for [2005,00]",
                           "Note: Invalid ParameterValue value for [2006,00]",
                           "Note: Invalid ParameterValue value for [2010,00]",
                           "Note: Invalid ParameterValue value for [2003,00]",
                           "Completed node configuration",
                       }));
    EXPECT_EQ(writes(node), (std::vector<Write>{ok(0x1017, 0, {0x05, 0x01})}));

    // A file the writer cannot use (gone, past the size bound, binary): a note with the reason, not
    // one frame; the report gives the same verdict instead of a copy.
    const struct {
        const char* name;
        std::string content;
        const char* reason;
    } unusable[] = {{"gone.dcf", {}, "No such file or directory"},
                    {"big.dcf", "[1017]\n" + std::string(17u << 20, ';'), "File too large"},
                    {"binary.dcf", std::string("[1017]\nDefaultValue=\0\x01\x02\n", 24), "not a text file"}};
    for (const auto& c : unusable) {
        SCOPED_TRACE(c.name);
        log.Clear();
        const std::string path = (folder / c.name).string();
        if (!c.content.empty())
            std::ofstream(path, std::ios::binary) << c.content;
        useDcf(path);
        drennic.bus().clearSent();
        writer->Configure(kNode, nullptr);
        EXPECT_TRUE(drennic.bus().sent().empty());
        const std::string verdict = "Unable to open device configuration file: " + path + " (" + c.reason + ")";
        EXPECT_EQ(lines(), (std::vector<std::string>{"Note: " + verdict}));
        EXPECT_EQ(report(), "\n\nNODE CONFIGURATION\n------------------\n\n" + verdict + "\n");
    }
}

TEST_F(SetNodeConfigTest, AMutedNodeGivesAFailedWriteNotePerValueAndTheRunEnds) {
    DrennicTestBus drennic;
    SimNode& node = startNode(drennic);
    drennic.api().setSdoTimeout(100);
    node.setMuted(true);
    useDcf(writeFile("node.dcf", dcfText({{0x2005, var(0x2005, "5", "1")}, {0x2006, var(0x2006, "6", "2")}})));
    writer->Configure(kNode, nullptr);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Starting node configuration",
                           "Note: Failed to write configuration to [2005,00]",
                           "Note: Failed to write configuration to [2006,00]",
                           "Completed node configuration",
                       }));
}

namespace {

// Each count, index and code the writer reads, missing (its default applies) or present and not a
// number within its limit (a note names it; only the objects it decides stay unwritten).
using NumberKey = std::tuple<std::string, std::string, std::string, std::string, std::vector<uint16_t>, bool>;
class SetNodeConfigNumber : public SetNodeConfigTest,
                            public ::testing::WithParamInterface<std::tuple<NumberKey, std::optional<std::string>>> {};

} // namespace

TEST_P(SetNodeConfigNumber, IsANoteByNameAndLeavesOnlyItsObjectsUnwritten) {
    const auto& [row, value] = GetParam();
    const auto& [section, key, limit, leftOut, dependents, writtenWhenMissing] = row;
    DrennicTestBus drennic;
    SimNode& node = startNode(drennic);
    std::ifstream in(std::string(OSTREL_FIXTURE_EDS_DIR) + "/numbers.dcf");
    std::string text{std::istreambuf_iterator<char>(in), {}}, line = "\n" + key + "=";
    const std::size_t at = text.find(line, text.find("[" + section + "]\n")) + 1;
    text.replace(at, text.find('\n', at) + 1 - at, value ? line.substr(1) + *value + "\n" : "");
    useDcf(writeFile("numbers.dcf", text));
    writer->Configure(kNode, nullptr);
    const std::string refusal = "Note: [" + section + "] " + key + "=" + value.value_or("") + " is not a number";
    EXPECT_EQ(logged(refusal + " from 0 to " + limit + "; " + leftOut), value.has_value());
    const std::vector<Write> written = writes(node);
    for (const uint16_t index : {0x2005, 0x2100, 0x2A00})
        EXPECT_EQ(std::any_of(written.begin(), written.end(), [&](const Write& w) { return std::get<0>(w) == index; }),
                  std::count(dependents.begin(), dependents.end(), index) == 0 || (!value && writtenWhenMissing));
}

INSTANTIATE_TEST_SUITE_P(
    EveryKeyAndValue, SetNodeConfigNumber,
    ::testing::Combine(
        ::testing::Values(
            NumberKey{"ManufacturerObjects", "SupportedObjects", "65535", "the list is not written",
                      {0x2005, 0x2100, 0x2A00}, false},
            NumberKey{"ManufacturerObjects", "2", "65535", "the entry is not written", {0x2100}, false},
            NumberKey{"2005", "DataType", "65535", "the object is not written", {0x2005}, false},
            NumberKey{"2005", "ObjFlags", "4294967295", "the object is not written", {0x2005}, true},
            NumberKey{"2100", "CompactSubObj", "254", "the object is not written", {0x2100}, false},
            NumberKey{"2100Value", "NrOfEntries", "254", "the object is not written", {0x2100}, false},
            NumberKey{"2a00", "SubNumber", "255", "the object is not written", {0x2A00}, false},
            NumberKey{"2a00suba", "DataType", "65535", "the sub-object is not written", {0x2A00}, false}),
        ::testing::Values(std::nullopt, "", "abc", "-1", "99999999999")));

namespace {

// A library that takes requests and never completes them (or refuses them, as a busy engine does).
class SilentLibrary final : public CanopenApi {
public:
    int32_t startResult = DRN_OK;
    std::atomic<int> posted{0};
    std::atomic<int> cancels{0};
    CompletionCallback lastCompletion = nullptr;
    void* lastUser = nullptr;

    void startup(int32_t, const char16_t*) override {}
    void shutdown() override {}
    int32_t enumerateHardware(HardwareInfo*, int32_t) override { return 0; }
    int32_t enumerateNetworks(NetworkInfo*, int32_t, uint32_t) override { return 0; }
    int32_t addNetwork(const char16_t*, uint32_t, uint32_t) override { return 0; }
    int32_t deleteNetwork(uint32_t) override { return 0; }
    int32_t getBaudrate(uint32_t) override { return 0; }
    void initialize(uint32_t, const char16_t*, ResultBlock*) override {}
    void switchNetworks(bool, uint32_t, ResultBlock*) override {}
    void close() override {}
    void reset() override {}
    CANTimeStamp getCurrentTime() override { return {}; }
    void eventReceive(ReceiveCallback, void*) override {}
    void eventMajorError(MajorErrorCallback, void*) override {}
    void canTransmit(const CANFrame&, ResultBlock*) override {}
    void sdoUpload(uint8_t, uint16_t, uint8_t, uint8_t*, uint32_t*, ProgressCallback, CompletionCallback completion,
                   void* user, int32_t* out) override {
        take(completion, user, out);
    }
    void sdoDownload(uint8_t, uint16_t, uint8_t, const uint8_t*, uint32_t, ProgressCallback,
                     CompletionCallback completion, void* user, int32_t* out) override {
        take(completion, user, out);
    }
    void nmt(uint8_t, uint32_t, ResultBlock*) override {}
    void cancel() override { ++cancels; }
    void setSdoTimeout(uint32_t) override {}
    void setScanMassOperationDelay(uint32_t) override {}
    void setBlockSegmentWriteDelay(uint32_t) override {}
    void setPostTransmitDelay(uint32_t) override {}
    void setSdoConfig(bool, uint8_t, bool, uint8_t) override {}

private:
    void take(CompletionCallback completion, void* user, int32_t* out) {
        ++posted;
        *out = startResult;
        if (startResult == DRN_OK) {
            lastCompletion = completion;
            lastUser = user;
        }
    }
};

} // namespace

TEST_F(SetNodeConfigTest, WaitsEndAtTheirBoundAndADroppedRequestIsAFailedWrite) {
    SilentLibrary library;
    constexpr auto kBound = 200ms;
    writer = std::make_unique<TSetNodeConfig>(library, *config, log, kBound);
    useDcf(writeFile("node.dcf", dcfText({{0x2005, var(0x2005, "5", "1")}, {0x2006, var(0x2006, "6", "2")}})));

    // Refused requests: no wait, a note each.
    library.startResult = DRN_BUSY;
    auto start = std::chrono::steady_clock::now();
    writer->Configure(kNode, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Starting node configuration",
                           "Note: Failed to write configuration to [2005,00]",
                           "Note: Failed to write configuration to [2006,00]",
                           "Completed node configuration",
                       }));

    // Taken and never completed: the wait ends, the request is cancelled, its completion does not
    // come either, and the run stops.
    log.Clear();
    library.startResult = DRN_OK;
    library.posted = 0;
    start = std::chrono::steady_clock::now();
    writer->Configure(kNode, nullptr);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2 * kBound);
    EXPECT_LT(took, 2 * kBound + 1s);
    EXPECT_EQ(library.posted, 1);
    EXPECT_EQ(library.cancels, 1);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Starting node configuration",
                           "Note: Failed to write configuration to [2005,00]",
                           "Note: Node configuration stopped: the CANopen library did not end a transfer",
                       }));

    // The buffer is not handed out again while that request may still write into it.
    log.Clear();
    writer->Configure(kNode, nullptr);
    EXPECT_EQ(library.posted, 1);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Note: Node configuration skipped: the CANopen library did not end an earlier transfer"}));

    // Its late completion frees the buffer for the next run.
    ResultBlock late{};
    late.code = DRN_CANCELLED;
    library.lastCompletion(&late, library.lastUser);
    log.Clear();
    library.startResult = DRN_BUSY;
    writer->Configure(kNode, nullptr);
    EXPECT_EQ(library.posted, 3);
    EXPECT_EQ(lines().back(), "Completed node configuration");
}

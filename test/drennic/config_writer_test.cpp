// The DCF and NCF configuration writer: its file reading and value conversion, and whole writes into
// simulated devices (loaded from an EDS) on the library's in-process test bus.
#include "config_writer.h"
#include "engine.h"
#include "library_state.h"
#include "testbus.h"
#include "testbus_devices.h"

#include <drennic/drennic.h>
#include <gtest/gtest.h>
#include <platform/utf16.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace drennic {
namespace {

using namespace std::chrono_literals;
using ostrel::fixtures::EdsLoadResult;
using ostrel::fixtures::SdoFault;
using ostrel::fixtures::SdoWriteRecord;
using ostrel::fixtures::SimNode;
using ostrel::fixtures::SimNodeConfig;
using ostrel::fixtures::SimObjectDictionary;
using ostrel::fixtures::TestBusDevices;
using Bytes = std::vector<uint8_t>;

constexpr auto kWriteBound = 60s;  // generous: a write of a few objects takes milliseconds

// ---- Scene helpers ------------------------------------------------------------------------------

// A folder of its own under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "cfgwriter-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Writes `content` to `name` (sub-folders are created) and returns the full path.
    std::string write(const std::string& name, const std::string& content) const {
        const std::filesystem::path path = path_ / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary);
        file << content;
        return path.string();
    }
    [[nodiscard]] std::string folder() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

// What a write reported through its three callbacks.
class WriteRecorder {
public:
    static void onProgress(float percent, void* user) {
        auto* self = static_cast<WriteRecorder*>(user);
        std::lock_guard lock(self->mutex_);
        self->progress_.push_back(percent);
    }
    static void onMessage(const drn_char16* text, void* user) {
        auto* self = static_cast<WriteRecorder*>(user);
        std::lock_guard lock(self->mutex_);
        self->messages_.push_back(ostrel::platform::toUtf8(text));
    }
    static void onCompletion(ResultBlock* result, void* user) {
        auto* self = static_cast<WriteRecorder*>(user);
        {
            std::lock_guard lock(self->mutex_);
            self->completions_.push_back(result->code);
        }
        self->changed_.notify_all();
    }

    // The result of the first completion, or nullopt when none came in time.
    std::optional<int32_t> awaitCompletion(std::chrono::milliseconds bound = kWriteBound) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, bound, [this] { return !completions_.empty(); })) {
            return std::nullopt;
        }
        return completions_.front();
    }
    [[nodiscard]] std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    [[nodiscard]] std::vector<float> progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }
    [[nodiscard]] std::size_t completionCount() const {
        std::lock_guard lock(mutex_);
        return completions_.size();
    }
    [[nodiscard]] bool said(const std::string& text) const {
        const auto all = messages();
        return std::find(all.begin(), all.end(), text) != all.end();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<float> progress_;
    std::vector<std::string> messages_;
    std::vector<int32_t> completions_;
};

int32_t writeDcf(uint8_t node, const std::string& path, WriteRecorder& recorder) {
    const std::u16string name = ostrel::platform::toUtf16(path);
    int32_t out = 99;
    CANopenConfig_WriteDCF(node, name.c_str(), WriteRecorder::onProgress, WriteRecorder::onMessage,
                           WriteRecorder::onCompletion, &recorder, &out);
    return out;
}

int32_t writeNcf(const std::string& path, WriteRecorder& recorder) {
    const std::u16string name = ostrel::platform::toUtf16(path);
    int32_t out = 99;
    CANopenConfig_WriteNCF(name.c_str(), WriteRecorder::onProgress, WriteRecorder::onMessage,
                           WriteRecorder::onCompletion, &recorder, &out);
    return out;
}

// ---- DCF text ----------------------------------------------------------------------------------

std::string hex4(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string objectList(const char* name, const std::vector<uint16_t>& indexes) {
    std::string text = "[";
    text += name;
    text += "]\nSupportedObjects=";
    text += std::to_string(indexes.size());
    text += '\n';
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        text += std::to_string(i + 1) + "=0x" + hex4(indexes[i]) + "\n";
    }
    return text + "\n";
}

// A DCF: the three object lists, then the object sections.
std::string dcf(const std::vector<uint16_t>& optional, const std::vector<uint16_t>& manufacturer,
                const std::string& objects) {
    return "[FileInfo]\nFileName=test.dcf\n\n[DeviceComissioning]\nNodeID=5\n\n" + objectList("MandatoryObjects", {}) +
           objectList("OptionalObjects", optional) + objectList("ManufacturerObjects", manufacturer) + objects;
}

// One section of a sub-object or a simple variable.
std::string entry(const std::string& section, uint32_t dataType, const std::string& value,
                  const std::string& access = "rw", const std::string& extra = {}) {
    return "[" + section + "]\nParameterName=" + section + "\nObjectType=0x7\nDataType=0x" + hex4(dataType) +
           "\nAccessType=" + access + "\nDefaultValue=0\nParameterValue=" + value + "\n" + extra + "\n";
}

std::string variable(uint16_t index, uint32_t dataType, const std::string& value, const std::string& access = "rw",
                     const std::string& extra = {}) {
    return entry(hex4(index), dataType, value, access, extra);
}

std::string record(const std::string& section, int subNumber) {
    return "[" + section + "]\nParameterName=Record\nObjectType=0x9\nSubNumber=" + std::to_string(subNumber) + "\n\n";
}

// ---- Values every CiA 306 type is written with, and the bytes the node must hold ----------------

struct TypedValue {
    uint32_t dataType;
    const char* text;
    Bytes bytes;  // little-endian, as they must arrive (node 5)
};

std::ostream& operator<<(std::ostream& out, const TypedValue& value) {
    return out << "type 0x" << hex4(value.dataType) << " \"" << value.text << "\"";
}

const std::vector<TypedValue>& typedValues() {
    static const std::vector<TypedValue> values = {
        {0x0001, "1", {0x01}},
        {0x0002, "-2", {0xFE}},
        {0x0003, "-300", {0xD4, 0xFE}},
        {0x0004, "0x12345678", {0x78, 0x56, 0x34, 0x12}},
        {0x0005, "017", {0x0F}},  // leading 0: octal
        {0x0006, "65535", {0xFF, 0xFF}},
        {0x0007, "$NODEID+0x180", {0x85, 0x01, 0x00, 0x00}},
        {0x0008, "1.5", {0x00, 0x00, 0xC0, 0x3F}},
        {0x0009, "Bay 7", {'B', 'a', 'y', ' ', '7'}},
        {0x000A, "0x0A0B", {0x0A, 0x0B}},
        {0x000B, "0x41004200", {0x41, 0x00, 0x42, 0x00}},
        {0x000C, "0x0123456789AB", {0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}},
        {0x000D, "1000", {0xE8, 0x03, 0x00, 0x00, 0x00, 0x00}},
        {0x0010, "-1", {0xFF, 0xFF, 0xFF}},
        {0x0011, "-2.25", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xC0}},
        {0x0012, "-549755813888", {0x00, 0x00, 0x00, 0x00, 0x80}},
        {0x0013, "0x800000000000", {0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
        {0x0014, "36028797018963967", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
        {0x0015, "-9223372036854775808", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
        {0x0016, "0xABCDEF", {0xEF, 0xCD, 0xAB}},
        {0x0018, "1099511627775", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x0019, "0x100000000000+$NODEID", {0x05, 0x00, 0x00, 0x00, 0x00, 0x10}},
        {0x001A, "0x01020304050607", {0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {0x001B, "18446744073709551615", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    return values;
}

// =================================================================================================
// Value conversion
// =================================================================================================

class ConvertParameterValue : public ::testing::TestWithParam<TypedValue> {};

TEST_P(ConvertParameterValue, GivesTheLittleEndianBytesOfItsType) {
    const TypedValue& value = GetParam();
    const ConvertedValue converted = convertParameterValue({value.dataType, value.text, {}, 5, {}});
    ASSERT_EQ(converted.status, ConversionStatus::Ok);
    EXPECT_EQ(converted.bytes, value.bytes);
}

INSTANTIATE_TEST_SUITE_P(EveryDataType, ConvertParameterValue, ::testing::ValuesIn(typedValues()));

struct RefusedValue {
    uint32_t dataType;
    const char* text;
};

std::ostream& operator<<(std::ostream& out, const RefusedValue& value) {
    return out << "type 0x" << hex4(value.dataType) << " \"" << value.text << "\"";
}

class ConvertRefusedValue : public ::testing::TestWithParam<RefusedValue> {};

TEST_P(ConvertRefusedValue, IsInvalidAndGivesNoBytes) {
    const ConvertedValue converted = convertParameterValue({GetParam().dataType, GetParam().text, {}, 5, {}});
    EXPECT_EQ(converted.status, ConversionStatus::InvalidValue);
    EXPECT_TRUE(converted.bytes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    OutOfRangeOrMalformed, ConvertRefusedValue,
    ::testing::Values(RefusedValue{0x0005, "300"}, RefusedValue{0x0005, "-1"}, RefusedValue{0x0005, "abc"},
                      RefusedValue{0x0005, ""}, RefusedValue{0x0005, "12abc"}, RefusedValue{0x0005, "08"},
                      RefusedValue{0x0005, "0x"}, RefusedValue{0x0002, "128"}, RefusedValue{0x0002, "-129"},
                      RefusedValue{0x0002, "0x100"}, RefusedValue{0x0001, "2"}, RefusedValue{0x0006, "0x10000"},
                      RefusedValue{0x0007, "$NODEID"}, RefusedValue{0x0007, "$NODEID+"},
                      RefusedValue{0x0007, "$NODEID+abc"}, RefusedValue{0x0007, "0xFFFFFFFF+$NODEID"},
                      RefusedValue{0x001B, "18446744073709551616"}, RefusedValue{0x0015, "9223372036854775808"},
                      RefusedValue{0x0008, "1e40"}, RefusedValue{0x0008, "abc"}, RefusedValue{0x0008, "nan"},
                      RefusedValue{0x0011, "1.5x"}, RefusedValue{0x000A, "0xABC"}, RefusedValue{0x000A, "0A0B"},
                      RefusedValue{0x000A, "0x"}, RefusedValue{0x000B, "0x0G"}));

TEST(ConvertParameterValueEdges, SignedTypesTakeHexadecimalAsTheirBitPattern) {
    EXPECT_EQ(convertParameterValue({0x0002, "0xFF", {}, 0, {}}).bytes, (Bytes{0xFF}));
    EXPECT_EQ(convertParameterValue({0x0002, "-128", {}, 0, {}}).bytes, (Bytes{0x80}));
    EXPECT_EQ(convertParameterValue({0x0015, "0xFFFFFFFFFFFFFFFF", {}, 0, {}}).bytes, Bytes(8, 0xFF));
}

TEST(ConvertParameterValueEdges, NodeIdIsAddedToEitherTermOfTheSum) {
    EXPECT_EQ(convertParameterValue({0x0007, "$NODEID+0x180", {}, 0x7F, {}}).bytes, (Bytes{0xFF, 0x01, 0, 0}));
    EXPECT_EQ(convertParameterValue({0x0007, "0x600+$NODEID", {}, 3, {}}).bytes, (Bytes{0x03, 0x06, 0, 0}));
    // The sum must fit the type as well.
    EXPECT_EQ(convertParameterValue({0x0005, "$NODEID+250", {}, 6, {}}).status, ConversionStatus::InvalidValue);
}

TEST(ConvertParameterValueEdges, TypesTheWriterDoesNotKnowAreUnknown) {
    for (const uint32_t type : {0x0000u, 0x000Eu, 0x0017u, 0x001Cu, 0x0020u, 0x10007u}) {
        EXPECT_EQ(convertParameterValue({type, "1", {}, 0, {}}).status, ConversionStatus::UnknownType) << type;
    }
}

TEST(ConvertParameterValueEdges, VisibleStringsLongerThanTheLimitAreRefused) {
    const std::string longest(kConfigStringLimit, 'x');
    EXPECT_EQ(convertParameterValue({0x0009, longest, {}, 0, {}}).bytes.size(), kConfigStringLimit);
    EXPECT_EQ(convertParameterValue({0x0009, longest + "x", {}, 0, {}}).status, ConversionStatus::InvalidValue);
}

TEST(ConvertParameterValueEdges, DomainIsTheWholeFileFoundFromTheConfigurationFolder) {
    TempFolder folder;
    const std::string content("\x01\x00\x02\xFF", 4);
    const std::string absolute = folder.write("blobs/program.bin", content);
    const Bytes expected(content.begin(), content.end());

    // Relative with Windows separators, relative with "/", absolute.
    EXPECT_EQ(convertParameterValue({0x000F, {}, "blobs\\program.bin", 0, folder.folder()}).bytes, expected);
    EXPECT_EQ(convertParameterValue({0x000F, {}, "blobs/program.bin", 0, folder.folder()}).bytes, expected);
    EXPECT_EQ(convertParameterValue({0x000F, {}, absolute, 0, "/nowhere/"}).bytes, expected);
    // Missing files, folders and names are invalid values.
    EXPECT_EQ(convertParameterValue({0x000F, {}, "blobs/none.bin", 0, folder.folder()}).status,
              ConversionStatus::InvalidValue);
    EXPECT_EQ(convertParameterValue({0x000F, {}, "blobs", 0, folder.folder()}).status, ConversionStatus::InvalidValue);
    EXPECT_EQ(convertParameterValue({0x000F, "0x01", {}, 0, folder.folder()}).status, ConversionStatus::InvalidValue);
}

TEST(ConvertParameterValueEdges, DomainFileLargerThanTheBufferIsRefused) {
    TempFolder folder;
    folder.write("fits.bin", std::string(kConfigTransferCapacity, 'a'));
    folder.write("too_large.bin", std::string(kConfigTransferCapacity + 1, 'a'));
    EXPECT_EQ(convertParameterValue({0x000F, {}, "fits.bin", 0, folder.folder()}).bytes.size(),
              kConfigTransferCapacity);
    const ConvertedValue refused = convertParameterValue({0x000F, {}, "too_large.bin", 0, folder.folder()});
    EXPECT_EQ(refused.status, ConversionStatus::InvalidValue);
    EXPECT_TRUE(refused.bytes.empty());
}

// =================================================================================================
// Reading DCF and NCF files
// =================================================================================================

TEST(DcfDocument, SectionNamesMatchExactlyAndCaseMatters) {
    const DcfDocument dcf = DcfDocument::parse("[1a00]\nSubNumber=2\n[1A00]\nSubNumber=3\n[ 2000 ]\nA=1\n");
    EXPECT_EQ(dcf.number("1a00", "SubNumber", 255).value, 2u);
    EXPECT_EQ(dcf.number("1A00", "SubNumber", 255).value, 3u);
    EXPECT_FALSE(dcf.hasSection("2000"));  // blanks inside the brackets are part of the name
    EXPECT_EQ(dcf.text(" 2000 ", "A"), "1");
    EXPECT_EQ(dcf.text("1a00", "subnumber", "none"), "none");  // keys too
}

TEST(DcfDocument, LinesAreTrimmedAndTheFirstOccurrenceOfAKeyWins) {
    const DcfDocument dcf = DcfDocument::parse(
        "Orphan=1\r\n  [2000]  \r\n  ParameterValue =  a b  \r\nParameterValue=second\r\n[3000]\r\nX=1\r\n"
        "[2000]\r\nDataType=0x0007\r\nEmpty=\r\n");
    EXPECT_EQ(dcf.text("2000", "ParameterValue"), "a b");
    EXPECT_EQ(dcf.number("2000", "DataType", 7).value, 7u);  // a repeated header continues the section
    EXPECT_EQ(dcf.number("2000", "DataType", 6).state, DcfDocument::Number::State::Invalid);  // beyond the limit
    EXPECT_EQ(dcf.number("2000", "Empty", 9).state, DcfDocument::Number::State::Invalid);   // present, never 0
    EXPECT_EQ(dcf.number("2000", "Missing", 9).state, DcfDocument::Number::State::Missing);
    EXPECT_FALSE(dcf.find("", "Orphan").has_value());
}

TEST(DcfDocument, OnlyABracketedWholeLineOpensASection) {
    const DcfDocument dcf = DcfDocument::parse("[2000]\nA=1\n[3000] ; note\nB=2\n[]\nC=3\n");
    EXPECT_FALSE(dcf.hasSection("3000"));
    EXPECT_EQ(dcf.text("2000", "B"), "2");
    EXPECT_EQ(dcf.text("2000", "C"), "3");
}

TEST(ParseUnsignedKey, TakesOnlyAWholeNumberInItsBase) {
    EXPECT_EQ(parseUnsignedKey("0x1A"), 26u);
    EXPECT_EQ(parseUnsignedKey("0X1a"), 26u);
    EXPECT_EQ(parseUnsignedKey("010"), 8u);
    EXPECT_EQ(parseUnsignedKey(" 12\t"), 12u);
    EXPECT_EQ(parseUnsignedKey("18446744073709551615"), UINT64_MAX);
    for (const char* refused : {"-12", "-0", "+1", "12abc", "abc", "", "0x", "08", "1 2", "99999999999999999999999"}) {
        EXPECT_FALSE(parseUnsignedKey(refused).has_value()) << refused;
    }
}

TEST(ExtractNodeDcf, TakesTheLinesUpToTheNextNodeHeader) {
    const std::string ncf =
        "[Topology]\nNodes=2\n[DCF 0x05]\n[1017]\nParameterValue=5\n  [DCF 0x0A] node ten\n[1017]\n"
        "ParameterValue=10\n[DCF 0x7F]";
    EXPECT_EQ(extractNodeDcf(ncf, 5), "[1017]\nParameterValue=5\n");
    EXPECT_EQ(extractNodeDcf(ncf, 10), "[1017]\nParameterValue=10\n");
    EXPECT_EQ(extractNodeDcf(ncf, 127), "");
    EXPECT_FALSE(extractNodeDcf(ncf, 6).has_value());
    EXPECT_FALSE(extractNodeDcf("[DCF 0x5]\n[1017]\n", 5).has_value());  // two digits, upper case
}

// =================================================================================================
// Writes into simulated devices
// =================================================================================================

const SimObjectDictionary& targetDictionary() {
    static const EdsLoadResult loaded =
        ostrel::fixtures::loadEdsFile(std::string(OSTREL_FIXTURE_EDS_DIR) + "/config_writer_node.eds");
    if (!loaded.dictionary) {
        throw std::runtime_error("config_writer_node.eds: " + loaded.error);
    }
    return *loaded.dictionary;
}

Bytes u32(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// A download as the node logged it: index, sub-index, bytes.
using Download = std::tuple<uint16_t, uint8_t, Bytes>;

std::vector<Download> downloads(const SimNode& node) {
    std::vector<Download> result;
    for (const SdoWriteRecord& record : node.writeLog()) {
        EXPECT_EQ(record.abortCode, 0u) << "download of " << hex4(record.index) << "," << int(record.subIndex)
                                        << " was aborted";
        result.emplace_back(record.index, record.subIndex, record.data);
    }
    return result;
}

bool loggedWriteOf(const SimNode& node, uint16_t index) {
    const auto log = node.writeLog();
    return std::any_of(log.begin(), log.end(), [index](const SdoWriteRecord& r) { return r.index == index; });
}

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds bound = kWriteBound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The library's request of an SDO transfer of `index` has gone out to `node`.
bool sentRequestFor(const TestBus& bus, uint8_t node, uint16_t index) {
    const auto frames = bus.sent();
    return std::any_of(frames.begin(), frames.end(), [&](const CANFrame& f) {
        return f.id == 0x600u + node && f.length == 8 && (f.data[0] & 0xE0) != 0x80 &&
               (f.data[1] | (f.data[2] << 8)) == index;
    });
}

class ConfigWriterOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        resetLibraryState();
        bus_ = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
        CANopen_SetPostTransmitDelay(0);
        CANopen_SetSDOTimeout(kSdoTimeoutMs);
        devices_ = std::make_unique<TestBusDevices>(*bus_);
    }
    void TearDown() override {
        Hardware_Close();
        CANopenDLL_Shutdown();
        devices_.reset();
        bus_.reset();
        (void)setConfigWriterSdoWait(20000ms);
        resetLibraryState();
    }

    SimNode& addNode(uint8_t nodeId) {
        SimNodeConfig config;
        config.nodeId = nodeId;
        return devices_->bus().addNode(config, targetDictionary());
    }
    void startBus() {
        devices_->start();
        ResultBlock result{};
        Hardware_Initialize(1, u"config writer test", 0, 0, &result);
        ASSERT_EQ(result.code, DRN_OK);
    }

    static constexpr uint32_t kSdoTimeoutMs = 1500;
    TempFolder folder_;
    std::unique_ptr<TestBus> bus_;
    std::unique_ptr<TestBusDevices> devices_;
};

TEST_F(ConfigWriterOnBus, EveryDataTypeArrivesByteExact) {
    SimNode& node = addNode(5);
    startBus();
    const std::string program(200, '\x5A');  // long enough for a segmented download
    folder_.write("blobs/program.bin", program);
    std::vector<uint16_t> indexes;
    std::string objects;
    for (const TypedValue& value : typedValues()) {
        const auto index = static_cast<uint16_t>(0x2000 + value.dataType);
        indexes.push_back(index);
        objects += variable(index, value.dataType, value.text);
    }
    indexes.push_back(0x200F);
    objects += "[200F]\nObjectType=0x7\nDataType=0x000F\nAccessType=rw\nDownloadFile=blobs\\program.bin\n\n";
    const std::string path = folder_.write("node5.dcf", dcf({}, indexes, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    ASSERT_EQ(recorder.awaitCompletion(), DRN_OK);

    for (const TypedValue& value : typedValues()) {
        EXPECT_EQ(node.read(static_cast<uint16_t>(0x2000 + value.dataType), 0), value.bytes) << value;
    }
    EXPECT_EQ(node.read(0x200F, 0), Bytes(program.begin(), program.end()));
    EXPECT_EQ(downloads(node).size(), typedValues().size() + 1);

    const auto messages = recorder.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "Starting write of configuration to node 0x05 (5d)");
    EXPECT_EQ(messages.back(), "Finished write of configuration to node");
    const auto progress = recorder.progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0.0f);
    EXPECT_EQ(progress.back(), 100.0f);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(recorder.completionCount(), 1u);
}

TEST_F(ConfigWriterOnBus, PdoObjectsAreSwitchedOffRewrittenAndSwitchedOnInOrder) {
    SimNode& node = addNode(5);
    startBus();
    const std::string objects =
        // TPDO1 communication: COB-ID, transmission type, event timer.
        record("1800", 4) + entry("1800sub0", 0x0005, "5", "const") + entry("1800sub1", 0x0007, "$NODEID+0x280") +
        entry("1800sub2", 0x0005, "254") + entry("1800sub5", 0x0006, "100") +
        // TPDO1 mapping with its own count.
        record("1A00", 3) + entry("1A00sub0", 0x0005, "2") + entry("1A00sub1", 0x0007, "0x20050008") +
        entry("1A00sub2", 0x0007, "0x20060010") +
        // RPDO1 mapping without a count: the old count is put back.
        record("1600", 2) + entry("1600sub0", 0x0005, "") + entry("1600sub1", 0x0007, "0x20030010");
    const std::string path = folder_.write("pdo.dcf", dcf({0x1800, 0x1A00, 0x1600}, {}, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    ASSERT_EQ(recorder.awaitCompletion(), DRN_OK) << ::testing::PrintToString(recorder.messages());

    const std::vector<Download> expected = {
        {0x1800, 1, u32(0x80000185)},  // not valid while its parameters change
        {0x1800, 2, {254}},
        {0x1800, 5, {100, 0}},
        {0x1800, 1, u32(0x00000285)},  // the file's COB-ID last
        {0x1800, 1, u32(0x80000285)},  // mapping: PDO off,
        {0x1A00, 0, {0}},              // count 0,
        {0x1A00, 1, u32(0x20050008)},  // entries,
        {0x1A00, 2, u32(0x20060010)},
        {0x1A00, 0, {2}},              // the new count,
        {0x1800, 1, u32(0x00000285)},  // PDO on again
        {0x1400, 1, u32(0x80000205)},
        {0x1600, 0, {0}},
        {0x1600, 1, u32(0x20030010)},
        {0x1600, 0, {1}},              // the count it had
        {0x1400, 1, u32(0x00000205)},
    };
    EXPECT_EQ(downloads(node), expected);
    EXPECT_EQ(node.readUnsigned(0x1A00, 0), 2u);
    EXPECT_EQ(node.readUnsigned(0x1800, 1), 0x285u);
    EXPECT_EQ(node.readUnsigned(0x1400, 1), 0x205u);
}

TEST_F(ConfigWriterOnBus, PdoWithoutACobIdInTheFileKeepsTheValidityItHad) {
    SimNode& node = addNode(5);
    startBus();
    ASSERT_TRUE(node.write(0x1400, 1, u32(0x80000205)));  // the RPDO is off before the write
    const std::string objects = record("1800", 2) + entry("1800sub2", 0x0005, "254") +
                                entry("1800sub5", 0x0006, "100") + record("1400", 1) +
                                entry("1400sub2", 0x0005, "1");
    const std::string path = folder_.write("pdo.dcf", dcf({0x1800, 0x1400}, {}, objects));
    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    ASSERT_EQ(recorder.awaitCompletion(), DRN_OK) << ::testing::PrintToString(recorder.messages());
    EXPECT_EQ(node.readUnsigned(0x1800, 1), 0x185u) << "valid before, valid after";
    EXPECT_EQ(node.readUnsigned(0x1800, 2), 254u);
    EXPECT_EQ(node.readUnsigned(0x1400, 1), 0x80000205u) << "not valid before, not valid after";
    EXPECT_EQ(node.readUnsigned(0x1400, 2), 1u);
}

TEST_F(ConfigWriterOnBus, AnAbortedObjectFailsTheWriteButTheOthersAreStillWritten) {
    SimNode& node = addNode(5);
    node.addSdoFault(SdoFault::abortWrite(0x2006, 0, 0x06090030));
    startBus();
    const std::string objects =
        variable(0x2005, 0x0005, "7") + variable(0x2006, 0x0006, "8") + variable(0x2007, 0x0007, "9");
    const std::string path = folder_.write("abort.dcf", dcf({}, {0x2005, 0x2006, 0x2007}, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    EXPECT_EQ(recorder.awaitCompletion(), DRN_CONFIG_FAILED);
    EXPECT_TRUE(recorder.said("Failed to write to [2006,00]"));
    EXPECT_EQ(node.read(0x2005, 0), (Bytes{7}));
    EXPECT_EQ(node.read(0x2006, 0), (Bytes{0, 0}));
    EXPECT_EQ(node.read(0x2007, 0), u32(9));
    EXPECT_EQ(recorder.messages().back(), "Finished write of configuration to node");
}

TEST_F(ConfigWriterOnBus, ValuesThatCannotBeConvertedAreNeverWritten) {
    SimNode& node = addNode(5);
    startBus();
    folder_.write("too_large.bin", std::string(kConfigTransferCapacity + 1, 'a'));
    const std::string objects = variable(0x2005, 0x0005, "300") + variable(0x2002, 0x0002, "abc") +
                                variable(0x2007, 0x000E, "1") + variable(0x2006, 0x0006, "0x10") +
                                "[200F]\nDataType=0x000F\nAccessType=rw\nDownloadFile=too_large.bin\n\n";
    const std::string path =
        folder_.write("invalid.dcf", dcf({}, {0x2005, 0x2002, 0x2007, 0x2006, 0x200F}, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    EXPECT_EQ(recorder.awaitCompletion(), DRN_CONFIG_FAILED);
    EXPECT_TRUE(recorder.said("Invalid ParameterValue value for [2005,00]"));
    EXPECT_TRUE(recorder.said("Invalid ParameterValue value for [2002,00]"));
    EXPECT_TRUE(recorder.said("Unknown type for [2007,00]"));
    EXPECT_TRUE(recorder.said("Invalid ParameterValue value for [200F,00]"));
    const std::vector<Download> expected = {{0x2006, 0, {0x10, 0x00}}};
    EXPECT_EQ(downloads(node), expected);
}

TEST_F(ConfigWriterOnBus, ReadOnlyExcludedAndEmptyObjectsAreLeftAlone) {
    SimNode& node = addNode(5);
    startBus();
    const std::string objects = record("1018", 2) + entry("1018sub0", 0x0005, "4", "const") +
                                entry("1018sub1", 0x0007, "0x1234", "ro") + variable(0x2005, 0x0005, "1", "RO") +
                                variable(0x2006, 0x0006, "5", "rw", "ObjFlags=0x1\n") +
                                variable(0x2007, 0x0007, "") + variable(0x2003, 0x0003, "-7", "const") +
                                variable(0x2004, 0x0004, "12", "wo");
    const std::string path =
        folder_.write("skip.dcf", dcf({0x1018}, {0x2005, 0x2006, 0x2007, 0x2003, 0x2004, 0x2999}, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    EXPECT_EQ(recorder.awaitCompletion(), DRN_OK);
    const std::vector<Download> expected = {{0x2004, 0, u32(12)}};  // only the write-only one
    EXPECT_EQ(downloads(node), expected);
}

TEST_F(ConfigWriterOnBus, CompactArraysAndEverySubSectionSpellingAreWritten) {
    SimNode& node = addNode(5);
    startBus();
    const std::string objects =
        "[2100]\nObjectType=0x8\nCompactSubObj=3\nDataType=0x0006\nAccessType=rw\n\n"
        "[2100Value]\nNrOfEntries=3\n1=0x0101\n2=\n3=515\n\n" +
        // Lower-case object section and the sub-sections' four spellings; "SUB" in capitals is none.
        record("2a00", 4) + entry("2A00sub0", 0x0005, "12", "const") + entry("2a00suba", 0x0006, "10") +
        entry("2A00subB", 0x0006, "11") + entry("2A00SUBc", 0x0006, "12");
    const std::string path = folder_.write("compact.dcf", dcf({}, {0x2100, 0x2A00}, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    EXPECT_EQ(recorder.awaitCompletion(), DRN_OK);
    const std::vector<Download> expected = {
        {0x2100, 1, {0x01, 0x01}}, {0x2100, 3, {0x03, 0x02}}, {0x2A00, 10, {10, 0}}, {0x2A00, 11, {11, 0}}};
    EXPECT_EQ(downloads(node), expected);
}

// Each count, index and code the writer reads, missing (the format's default applies) or present and
// not a number within its limit (the write fails naming it; only the objects it decides stay unwritten).
using NumberKey = std::tuple<std::string, std::string, std::string, std::vector<uint16_t>, bool, int32_t>;
class UnusableNumber : public ConfigWriterOnBus,
                       public ::testing::WithParamInterface<std::tuple<NumberKey, std::optional<std::string>>> {};

TEST_P(UnusableNumber, FailsTheWriteByNameAndLeavesOnlyItsObjectsUnwritten) {
    const auto& [row, value] = GetParam();
    const auto& [section, key, limit, dependents, writtenWhenMissing, codeWhenMissing] = row;
    SimNode& node = addNode(5);
    startBus();
    std::ifstream in(std::string(OSTREL_FIXTURE_EDS_DIR) + "/numbers.dcf");
    std::string text{std::istreambuf_iterator<char>(in), {}}, line = "\n" + key + "=";
    const std::size_t at = text.find(line, text.find("[" + section + "]\n")) + 1;
    text.replace(at, text.find('\n', at) + 1 - at, value ? line.substr(1) + *value + "\n" : "");
    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, folder_.write("numbers.dcf", text), recorder), DRN_OK);
    EXPECT_EQ(recorder.awaitCompletion(), value ? DRN_CONFIG_FAILED : codeWhenMissing);
    const std::string refusal = "[" + section + "] " + key + "=" + value.value_or("") + " is not a number from 0 to ";
    EXPECT_EQ(recorder.said(refusal + limit), value.has_value());
    for (const uint16_t index : {0x2005, 0x2100, 0x2A00})
        EXPECT_EQ(loggedWriteOf(node, index),
                  std::count(dependents.begin(), dependents.end(), index) == 0 || (!value && writtenWhenMissing));
}

INSTANTIATE_TEST_SUITE_P(
    EveryKeyAndValue, UnusableNumber,
    ::testing::Combine(
        ::testing::Values(NumberKey{"ManufacturerObjects", "SupportedObjects", "65535", {0x2005, 0x2100, 0x2A00}, false,
                                    DRN_OK},
                          NumberKey{"ManufacturerObjects", "2", "65535", {0x2100}, false, DRN_OK},
                          NumberKey{"2005", "DataType", "65535", {0x2005}, false, DRN_CONFIG_FAILED},
                          NumberKey{"2005", "ObjFlags", "4294967295", {0x2005}, true, DRN_OK},
                          NumberKey{"2100", "CompactSubObj", "254", {0x2100}, false, DRN_OK},
                          NumberKey{"2100Value", "NrOfEntries", "254", {0x2100}, false, DRN_OK},
                          NumberKey{"2a00", "SubNumber", "255", {0x2A00}, false, DRN_OK},
                          NumberKey{"2a00suba", "DataType", "65535", {0x2A00}, false, DRN_CONFIG_FAILED}),
        ::testing::Values(std::nullopt, "", "abc", "-1", "99999999999")));

TEST_F(ConfigWriterOnBus, CancelEndsTheWriteWithMinusOne) {
    SimNode& node = addNode(5);
    node.addSdoFault(SdoFault::noAnswer(0x2006, 0));
    CANopen_SetSDOTimeout(15000);  // the request stays open until it is cancelled
    startBus();
    const std::string objects =
        variable(0x2005, 0x0005, "7") + variable(0x2006, 0x0006, "8") + variable(0x2007, 0x0007, "9");
    const std::string path = folder_.write("cancel.dcf", dcf({}, {0x2005, 0x2006, 0x2007}, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    ASSERT_TRUE(waitUntil([&] { return sentRequestFor(*bus_, 5, 0x2006); }));
    CANopen_Cancel();

    EXPECT_EQ(recorder.awaitCompletion(), DRN_CANCELLED);
    EXPECT_TRUE(recorder.said("User cancelled"));
    EXPECT_EQ(recorder.messages().back(), "Finished write of configuration to node");
    EXPECT_FALSE(sentRequestFor(*bus_, 5, 0x2007));
    EXPECT_EQ(node.read(0x2005, 0), (Bytes{7}));
    EXPECT_FALSE(loggedWriteOf(node, 0x2007));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder.completionCount(), 1u);
}

TEST_F(ConfigWriterOnBus, ARequestThatTimesOutIsCancelledAndEndedBeforeTheWriteStops) {
    SimNode& node = addNode(5);
    node.addSdoFault(SdoFault::noAnswer(0x2006, 0, 1));  // only the first attempt goes unanswered
    CANopen_SetSDOTimeout(15000);
    (void)setConfigWriterSdoWait(300ms);
    startBus();
    const std::string objects = variable(0x2006, 0x0006, "8") + variable(0x2007, 0x0007, "9");
    const std::string path = folder_.write("slow.dcf", dcf({}, {0x2006, 0x2007}, objects));

    WriteRecorder first;
    ASSERT_EQ(writeDcf(5, path, first), DRN_OK);
    EXPECT_EQ(first.awaitCompletion(), DRN_NO_FRAME);
    EXPECT_TRUE(first.said("Failed to wait for SDO operation to complete. Stopping."));
    EXPECT_EQ(first.progress().back(), 100.0f);
    // The engine was told to give the request up (abort 0x08000021) and is free again.
    const auto frames = bus_->sent();
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), [](const CANFrame& f) {
        return f.id == 0x605 && f.data[0] == 0x80 && f.data[4] == 0x21 && f.data[7] == 0x08;
    }));
    EXPECT_FALSE(engineRequestPending());
    EXPECT_FALSE(loggedWriteOf(node, 0x2007));

    // The next write is unaffected by the given-up request.
    (void)setConfigWriterSdoWait(20000ms);
    WriteRecorder second;
    ASSERT_EQ(writeDcf(5, path, second), DRN_OK);
    EXPECT_EQ(second.awaitCompletion(), DRN_OK);
    EXPECT_EQ(node.read(0x2006, 0), (Bytes{8, 0}));
    EXPECT_EQ(node.read(0x2007, 0), u32(9));
    EXPECT_EQ(first.completionCount(), 1u);
}

TEST_F(ConfigWriterOnBus, ASecondWriterIsRefusedWhileOneRuns) {
    SimNode& node = addNode(5);
    node.addSdoFault(SdoFault::noAnswer(0x2006, 0));
    CANopen_SetSDOTimeout(15000);
    startBus();
    const std::string objects = variable(0x2005, 0x0005, "7") + variable(0x2006, 0x0006, "8");
    const std::string path = folder_.write("busy.dcf", dcf({}, {0x2005, 0x2006}, objects));

    WriteRecorder running;
    ASSERT_EQ(writeDcf(5, path, running), DRN_OK);
    ASSERT_TRUE(waitUntil([&] { return sentRequestFor(*bus_, 5, 0x2006); }));

    WriteRecorder refusedDcf;
    WriteRecorder refusedNcf;
    EXPECT_EQ(writeDcf(5, path, refusedDcf), DRN_BUSY);
    EXPECT_EQ(writeNcf(path, refusedNcf), DRN_BUSY);

    CANopen_Cancel();
    EXPECT_EQ(running.awaitCompletion(), DRN_CANCELLED);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(refusedDcf.completionCount(), 0u);
    EXPECT_EQ(refusedNcf.completionCount(), 0u);
    EXPECT_TRUE(refusedDcf.messages().empty());
}

TEST_F(ConfigWriterOnBus, AWriteCanBeStartedFromTheCompletionOfTheLastOne) {
    SimNode& node = addNode(5);
    startBus();
    const std::string first = folder_.write("a.dcf", dcf({}, {0x2005}, variable(0x2005, 0x0005, "1")));
    const std::string second = folder_.write("b.dcf", dcf({}, {0x2006}, variable(0x2006, 0x0006, "2")));

    struct Chain {
        std::string next;
        WriteRecorder nextRecorder;
        int32_t nextOut = 99;
    } chain{second, {}, 99};
    const std::u16string name = ostrel::platform::toUtf16(first);
    int32_t out = 99;
    CANopenConfig_WriteDCF(
        5, name.c_str(), nullptr, nullptr,
        [](ResultBlock*, void* user) {
            auto* c = static_cast<Chain*>(user);
            c->nextOut = writeDcf(5, c->next, c->nextRecorder);
        },
        &chain, &out);
    ASSERT_EQ(out, DRN_OK);
    EXPECT_EQ(chain.nextRecorder.awaitCompletion(), DRN_OK);
    EXPECT_EQ(chain.nextOut, DRN_OK);
    EXPECT_EQ(node.read(0x2005, 0), (Bytes{1}));
    EXPECT_EQ(node.read(0x2006, 0), (Bytes{2, 0}));
}

std::string nodeSection(uint8_t node) {
    char header[32];
    std::snprintf(header, sizeof header, "[DCF 0x%02X]\n", node);
    return header + dcf({0x1017}, {0x2007}, variable(0x1017, 0x0006, "$NODEID+1000") +
                                                variable(0x2007, 0x0007, "$NODEID+0x1000"));
}

TEST_F(ConfigWriterOnBus, NcfWritesEveryNodeWithItsOwnNodeId) {
    SimNode& node2 = addNode(2);
    SimNode& node3 = addNode(3);
    SimNode& node4 = addNode(4);
    startBus();
    const std::string path =
        folder_.write("net.ncf", "[Topology]\nNodes=3\n\n" + nodeSection(4) + nodeSection(2) + nodeSection(3));

    WriteRecorder recorder;
    ASSERT_EQ(writeNcf(path, recorder), DRN_OK);
    ASSERT_EQ(recorder.awaitCompletion(), DRN_OK) << ::testing::PrintToString(recorder.messages());
    for (SimNode* node : {&node2, &node3, &node4}) {
        const uint8_t id = node->nodeId();
        EXPECT_EQ(node->readUnsigned(0x1017, 0), 1000u + id);
        EXPECT_EQ(node->readUnsigned(0x2007, 0), 0x1000u + id);
        EXPECT_EQ(downloads(*node).size(), 2u);
    }
    // Nodes in ascending order, each announced.
    const auto messages = recorder.messages();
    const auto at = [&](const std::string& text) { return std::find(messages.begin(), messages.end(), text); };
    EXPECT_LT(at("Starting write of configuration to node 0x02 (2d)"),
              at("Starting write of configuration to node 0x03 (3d)"));
    EXPECT_LT(at("Starting write of configuration to node 0x03 (3d)"),
              at("Starting write of configuration to node 0x04 (4d)"));
    EXPECT_NE(at("Starting write of configuration to node 0x04 (4d)"), messages.end());
    EXPECT_EQ(recorder.completionCount(), 1u);
}

TEST_F(ConfigWriterOnBus, NcfNodeAbsentFromTheBusFailsAlone) {
    SimNode& node2 = addNode(2);
    SimNode& node4 = addNode(4);
    CANopen_SetSDOTimeout(300);  // the absent node's requests run into the time-out
    startBus();
    const std::string path = folder_.write("net.ncf", nodeSection(2) + nodeSection(3) + nodeSection(4));

    WriteRecorder recorder;
    ASSERT_EQ(writeNcf(path, recorder), DRN_OK);
    EXPECT_EQ(recorder.awaitCompletion(), DRN_CONFIG_FAILED);
    EXPECT_TRUE(recorder.said("Failed to write to [1017,00]"));
    EXPECT_TRUE(recorder.said("Failed to write to [2007,00]"));
    EXPECT_EQ(node2.readUnsigned(0x2007, 0), 0x1002u);
    EXPECT_EQ(node4.readUnsigned(0x2007, 0), 0x1004u);
    EXPECT_EQ(node4.readUnsigned(0x1017, 0), 1004u);
    EXPECT_EQ(recorder.completionCount(), 1u);
}

TEST_F(ConfigWriterOnBus, ShutdownEndsARunningWriteAndJoinsItsThread) {
    SimNode& node = addNode(5);
    node.addSdoFault(SdoFault::noAnswer(0x2006, 0));
    CANopen_SetSDOTimeout(15000);
    startBus();
    const std::string objects = variable(0x2006, 0x0006, "8") + variable(0x2007, 0x0007, "9");
    const std::string path = folder_.write("shutdown.dcf", dcf({}, {0x2006, 0x2007}, objects));

    WriteRecorder recorder;
    ASSERT_EQ(writeDcf(5, path, recorder), DRN_OK);
    ASSERT_TRUE(waitUntil([&] { return sentRequestFor(*bus_, 5, 0x2006); }));
    CANopenDLL_Shutdown();

    // The writer has ended (joined) by the time shutdown returns: its completion is already there.
    EXPECT_EQ(recorder.completionCount(), 1u);
    EXPECT_EQ(recorder.awaitCompletion(0ms), DRN_CANCELLED);
    EXPECT_FALSE(loggedWriteOf(node, 0x2007));
}

TEST_F(ConfigWriterOnBus, WritesAreRefusedWithoutHardwareOrFileName) {
    addNode(5);
    WriteRecorder recorder;
    const std::string path = folder_.write("x.dcf", dcf({}, {0x2005}, variable(0x2005, 0x0005, "1")));
    EXPECT_EQ(writeDcf(5, path, recorder), DRN_NOT_INITIALIZED);  // Hardware_Initialize not called
    EXPECT_EQ(writeNcf(path, recorder), DRN_NOT_INITIALIZED);
    startBus();
    int32_t out = 99;
    CANopenConfig_WriteDCF(5, nullptr, nullptr, nullptr, nullptr, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    CANopenConfig_WriteNCF(nullptr, nullptr, nullptr, nullptr, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    EXPECT_EQ(recorder.completionCount(), 0u);
}

TEST_F(ConfigWriterOnBus, AFileThatCannotBeReadFailsTheWrite) {
    addNode(5);
    startBus();
    WriteRecorder dcfRecorder;
    const std::string missing = folder_.folder() + "missing.dcf";
    ASSERT_EQ(writeDcf(5, missing, dcfRecorder), DRN_OK);
    EXPECT_EQ(dcfRecorder.awaitCompletion(), DRN_CONFIG_FAILED);
    EXPECT_TRUE(dcfRecorder.said("Failed to open " + missing));

    WriteRecorder ncfRecorder;
    ASSERT_EQ(writeNcf(folder_.folder(), ncfRecorder), DRN_OK);  // a folder is no file
    EXPECT_EQ(ncfRecorder.awaitCompletion(), DRN_CONFIG_FAILED);
}

} // namespace
} // namespace drennic

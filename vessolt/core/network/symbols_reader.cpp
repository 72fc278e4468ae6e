// Network description files (.cxl): streamed through expat; the path of open elements decides which
// field of a scratch record an element's text sets, and the end of a record's element hands the
// record to the store.
#include "network/symbols.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <expat.h>
#include <sys/stat.h>

#include "platform/process.h"
#include "services/numeric_text.h"
#include "platform/regular_file.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

// The shipped default.cxl holds about 2.4 MB.
constexpr uint64_t kMaxDescriptionBytes = uint64_t{64} << 20;

enum Element : uint32_t {
    E_NONE = 0,
    E_CXL = 1, E_OBJECTDICTIONARY, E_NODEID, E_ENTRY, E_INDEX, E_NAME, E_SUBENTRY, E_SUBINDEX, E_TYPE, E_NETWORK,
    E_MESSAGE, E_ID, E_ABORTCODE, E_CODE, E_ERRORCODE, E_NODE, E_DEVICETYPE, E_PROCESSDATA, E_DATA, E_STARTBIT,
    E_ENDBIT, E_PROFILE, E_BIT, E_SET, E_UNSET, E_POSITION, E_VENDOR, E_DEPARTMENT, E_EDS, E_UNITS, E_OFFSET,
    E_FACTOR, E_VENDORID, E_PRODUCTCODE, E_REVISIONNUMBER, E_SERIALNUMBER, E_LSSSLAVE, E_SIMSETUPFILE, E_SIMDLL,
    E_SIMIO, E_SIMPRODUCT,
    E_UNKNOWN = 0xFFFFFFFFu,
};

// Index = element id - 1; names compare exactly, case included.
constexpr const char* kElementNames[] = {
    "cxl", "objectdictionary", "nodeid", "entry", "index", "name", "subentry", "subindex", "type", "network",
    "message", "id", "abortcode", "code", "errorcode", "node", "devicetype", "processdata", "data", "startbit",
    "endbit", "profile", "bit", "set", "unset", "position", "vendor", "department", "eds", "units", "offset",
    "factor", "vendorid", "productcode", "revisionnumber", "serialnumber", "lssslave", "simsetupfile", "simdll",
    "simio", "simproduct",
};

uint32_t elementId(const char* name) {
    static const std::unordered_map<std::string_view, uint32_t> ids = [] {
        std::unordered_map<std::string_view, uint32_t> map;
        for (std::size_t i = 0; i < std::size(kElementNames); ++i) map.emplace(kElementNames[i], static_cast<uint32_t>(i + 1));
        return map;
    }();
    const auto it = ids.find(name);
    return it == ids.end() ? E_UNKNOWN : it->second;
}

// The open elements as one number, six bits per level (ids fit; unknown elements count as 63), so
// that matching a path is one comparison.
using PathKey = uint32_t;

constexpr PathKey levelBits(uint32_t id) noexcept { return id == E_UNKNOWN ? 63u : id; }

constexpr PathKey keyOf(const std::array<uint32_t, TSymbols::kPathDepth>& ids) noexcept {
    PathKey key = 0;
    for (uint32_t id : ids) key = (key << 6) | levelBits(id);
    return key;
}

// Start and end paths below the root; the root itself is always `cxl`.
constexpr PathKey path(uint32_t a, uint32_t b = 0, uint32_t c = 0, uint32_t d = 0) noexcept {
    return keyOf({E_CXL, a, b, c, d});
}

struct ParserFree {
    void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
};

} // namespace

// The state of one load: path stack, element text and one scratch record of each kind.
struct TSymbols::Reader {
    explicit Reader(TSymbols& s) : store(s) {}

    TSymbols& store;
    std::array<uint32_t, kPathDepth> stack{};
    PathKey stackKey = 0;
    std::size_t depth = 0;
    std::size_t overflowDepth = 0;  // open elements deeper than the stack holds
    std::string text;
    bool textFull = false;

    uint8_t nodeId = 0;
    ODEntry entry;
    MessageEntry message;
    AbortCodeEntry abortCode;
    ErrorCodeEntry errorCode;
    NodeEntry node;
    DeviceTypeEntry deviceType;
    int32_t bitPosition = -1;
    VendorEntry vendor;
    std::optional<uint32_t> currentVendor;
    DepartmentEntry department;
    LSSSlaveEntry lssSlave;
    ProcessDataEntry processData;

    bool at(PathKey p) const noexcept { return overflowDepth == 0 && stackKey == p; }

    void clearText() {
        text.clear();
        textFull = false;
    }

    void onStart(const char* name) {
        clearText();
        if (depth < kPathDepth) {
            stack[depth++] = elementId(name);
            stackKey = keyOf(stack);
        } else {
            // Deeper than any path of the format: counted, so that the end tags keep the stack in step.
            ++overflowDepth;
            return;
        }
        if (at(path(E_OBJECTDICTIONARY))) {
            nodeId = 0;
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY))) {
            entry.index = 0;
            entry.entryName.clear();
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY, E_SUBENTRY))) {
            entry.subIndex = 0;
            entry.subEntryName.clear();
            entry.dataType = ODT_UNKNOWN;
        } else if (at(path(E_NETWORK, E_MESSAGE))) {
            message = {};
        } else if (at(path(E_NETWORK, E_ABORTCODE))) {
            abortCode = {};
        } else if (at(path(E_NETWORK, E_ERRORCODE))) {
            errorCode = {};
        } else if (at(path(E_NETWORK, E_NODE))) {
            node = {};
        } else if (at(path(E_NETWORK, E_DEVICETYPE))) {
            deviceType = {};
        } else if (at(path(E_NETWORK, E_DEVICETYPE, E_BIT))) {
            bitPosition = -1;
        } else if (at(path(E_NETWORK, E_VENDOR))) {
            vendor = {};
            currentVendor.reset();
        } else if (at(path(E_NETWORK, E_VENDOR, E_DEPARTMENT))) {
            department = {};
        } else if (at(path(E_NETWORK, E_LSSSLAVE))) {
            lssSlave = {};
        } else if (at(path(E_PROCESSDATA, E_DATA))) {
            processData = {};
        }
    }

    void onCharacters(const char* data, int length) {
        if (textFull || length <= 0) return;
        const std::size_t room = kElementTextCapacity - 1 - text.size();
        if (static_cast<std::size_t>(length) <= room) {
            text.append(data, static_cast<std::size_t>(length));
            return;
        }
        // Keep the first 5999 bytes, ending on a character boundary.
        text.append(data, room);
        if ((static_cast<unsigned char>(data[room]) & 0xC0) == 0x80) {
            while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
            if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
        }
        textFull = true;
    }

    void onEnd() {
        if (overflowDepth > 0) {
            --overflowDepth;
            clearText();
            return;
        }
        if (depth > 0) {
            TrimText(text);
            runEndAction();
            stack[--depth] = 0;
            stackKey = keyOf(stack);
        }
        clearText();
    }

    std::string field(std::size_t capacity) const {
        std::string value = text;
        cutToField(value, capacity);
        return value;
    }

    uint32_t number() const { return parseUnsignedText(text); }
    uint8_t number8() const { return static_cast<uint8_t>(parseUnsignedText(text) & 0xFFu); }
    int32_t dataType(int32_t current) {
        LowerCase(text);
        const int32_t code = odDataTypeFromName(text);
        return code == ODT_UNKNOWN ? current : code;
    }

    void runEndAction() {
        if (at(path(E_OBJECTDICTIONARY, E_NODEID))) {
            nodeId = number8();
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY, E_INDEX))) {
            entry.index = number();
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY, E_NAME))) {
            entry.entryName = field(kNameField);
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY, E_SUBENTRY, E_SUBINDEX))) {
            entry.subIndex = number8();
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY, E_SUBENTRY, E_NAME))) {
            entry.subEntryName = field(kNameField);
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY, E_SUBENTRY, E_TYPE))) {
            entry.dataType = dataType(entry.dataType);
        } else if (at(path(E_OBJECTDICTIONARY, E_ENTRY, E_SUBENTRY))) {
            store.AddEntry(nodeId, entry);
        } else if (at(path(E_NETWORK, E_MESSAGE, E_ID))) {
            message.id = number();
        } else if (at(path(E_NETWORK, E_MESSAGE, E_NAME))) {
            message.name = field(kNameField);
        } else if (at(path(E_NETWORK, E_MESSAGE))) {
            store.AddMessage(message);
        } else if (at(path(E_NETWORK, E_ABORTCODE, E_CODE))) {
            abortCode.code = number();
        } else if (at(path(E_NETWORK, E_ABORTCODE, E_NAME))) {
            abortCode.name = field(kNameField);
        } else if (at(path(E_NETWORK, E_ABORTCODE))) {
            store.AddAbortCode(abortCode);
        } else if (at(path(E_NETWORK, E_ERRORCODE, E_CODE))) {
            errorCode.code = number();
        } else if (at(path(E_NETWORK, E_ERRORCODE, E_NAME))) {
            errorCode.name = field(kNameField);
        } else if (at(path(E_NETWORK, E_ERRORCODE))) {
            store.AddErrorCode(errorCode);
        } else if (at(path(E_NETWORK, E_NODE, E_ID))) {
            node.nodeId = number8();
        } else if (at(path(E_NETWORK, E_NODE, E_NAME))) {
            node.name = field(kNameField);
        } else if (at(path(E_NETWORK, E_NODE, E_EDS))) {
            node.edsPath = text;  // whole: a cut path names another file
        } else if (at(path(E_NETWORK, E_NODE, E_SIMSETUPFILE))) {
            node.simSetupFile = field(kSimTextField);
            node.simulation = 1;
        } else if (at(path(E_NETWORK, E_NODE, E_SIMDLL))) {
            node.simLibrary = field(kSimTextField);
            node.simulation = 1;
        } else if (at(path(E_NETWORK, E_NODE, E_SIMIO))) {
            node.simIO = field(kSimTextField);
            node.simulation = 1;
        } else if (at(path(E_NETWORK, E_NODE, E_SIMPRODUCT))) {
            node.simProduct = field(kSimTextField);
            node.simulation = 1;
            node.useSimProduct = 1;
        } else if (at(path(E_NETWORK, E_NODE))) {
            store.commitNodeLocked(node);
        } else if (at(path(E_NETWORK, E_DEVICETYPE, E_PROFILE))) {
            deviceType.profile = number();
        } else if (at(path(E_NETWORK, E_DEVICETYPE, E_NAME))) {
            deviceType.name = field(kNameField);
        } else if (at(path(E_NETWORK, E_DEVICETYPE, E_BIT, E_POSITION))) {
            const int32_t position = parseSignedText(text);
            if (position >= 0 && position <= 31) bitPosition = position;
        } else if (at(path(E_NETWORK, E_DEVICETYPE, E_BIT, E_SET))) {
            if (bitPosition >= 0) deviceType.bits[static_cast<std::size_t>(bitPosition)].setName = field(kNameField);
        } else if (at(path(E_NETWORK, E_DEVICETYPE, E_BIT, E_UNSET))) {
            if (bitPosition >= 0) deviceType.bits[static_cast<std::size_t>(bitPosition)].unsetName = field(kNameField);
        } else if (at(path(E_NETWORK, E_DEVICETYPE))) {
            store.AddDeviceType(deviceType);
        } else if (at(path(E_NETWORK, E_VENDOR, E_ID))) {
            vendor.id = number() & 0xFFFFFFu;
        } else if (at(path(E_NETWORK, E_VENDOR, E_NAME))) {
            vendor.name = field(kNameField);
            currentVendor = store.AddVendor(vendor);
        } else if (at(path(E_NETWORK, E_VENDOR, E_DEPARTMENT, E_ID))) {
            department.id = number8();
        } else if (at(path(E_NETWORK, E_VENDOR, E_DEPARTMENT, E_NAME))) {
            department.name = field(kNameField);
            if (currentVendor) store.AddDepartment(department, *currentVendor);
        } else if (at(path(E_NETWORK, E_LSSSLAVE, E_VENDORID))) {
            lssSlave.vendorId = number();
        } else if (at(path(E_NETWORK, E_LSSSLAVE, E_PRODUCTCODE))) {
            lssSlave.productCode = number();
        } else if (at(path(E_NETWORK, E_LSSSLAVE, E_REVISIONNUMBER))) {
            lssSlave.revisionNumber = number();
        } else if (at(path(E_NETWORK, E_LSSSLAVE, E_SERIALNUMBER))) {
            lssSlave.serialNumber = number();
        } else if (at(path(E_NETWORK, E_LSSSLAVE, E_NODEID))) {
            lssSlave.nodeId = number8();
        } else if (at(path(E_NETWORK, E_LSSSLAVE))) {
            store.AddLSSSlave(lssSlave);
        } else if (at(path(E_PROCESSDATA, E_DATA, E_NAME))) {
            processData.name = field(kNameField);
        } else if (at(path(E_PROCESSDATA, E_DATA, E_ID))) {
            processData.id = number();
        } else if (at(path(E_PROCESSDATA, E_DATA, E_STARTBIT))) {
            processData.startBit = number8();
        } else if (at(path(E_PROCESSDATA, E_DATA, E_ENDBIT))) {
            processData.endBit = number8();
        } else if (at(path(E_PROCESSDATA, E_DATA, E_TYPE))) {
            processData.dataType = dataType(processData.dataType);
        } else if (at(path(E_PROCESSDATA, E_DATA, E_UNITS))) {
            processData.units = field(kNameField);
        } else if (at(path(E_PROCESSDATA, E_DATA, E_FACTOR))) {
            processData.factor = parseFloatText(text);
        } else if (at(path(E_PROCESSDATA, E_DATA, E_OFFSET))) {
            processData.offset = parseFloatText(text);
        } else if (at(path(E_PROCESSDATA, E_DATA))) {
            store.AddProcessData(processData);
        }
    }

    static void XMLCALL startHandler(void* user, const XML_Char* name, const XML_Char**) {
        static_cast<Reader*>(user)->onStart(name);
    }
    static void XMLCALL endHandler(void* user, const XML_Char*) { static_cast<Reader*>(user)->onEnd(); }
    static void XMLCALL characterHandler(void* user, const XML_Char* data, int length) {
        static_cast<Reader*>(user)->onCharacters(data, length);
    }
};

bool TSymbols::LoadFile(const std::string& fileName) {
    std::string message;
    {
        std::lock_guard load(loadMutex_);
        loadFolder_ = folderOf(fileName);
        auto endLoad = [this] { loadFolder_.clear(); };

        std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
        if (!parser) {
            endLoad();
            message = "Failed to allocate memory for the XML parser\nFile: " + fileName;
        } else {
            Reader reader(*this);
            XML_SetUserData(parser.get(), &reader);
            XML_SetElementHandler(parser.get(), &Reader::startHandler, &Reader::endHandler);
            XML_SetCharacterDataHandler(parser.get(), &Reader::characterHandler);

            std::string error;
            platform::FilePtr file = platform::openRegularFile(fileName, error);
            // Read as a stream, but within a bound all the same: the shipped description is a few
            // megabytes, and a file of gigabytes would hold the window for its whole length.
            struct stat info {};
            if (file && (::fstat(::fileno(file.get()), &info) != 0 || static_cast<uint64_t>(info.st_size) > kMaxDescriptionBytes)) {
                file.reset();
                error = std::strerror(EFBIG);
            }
            if (!file) {
                endLoad();
                message = "Failed to open the Network Description file\n" + fileName + ": " + error;
            } else {
                errno = 0;
                char buffer[16384];
                for (;;) {
                    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
                    if (n < sizeof buffer && std::ferror(file.get())) {
                        const int error = errno;
                        message = "Failed to open the Network Description file\n" + fileName + ": " +
                                  std::strerror(error != 0 ? error : EIO);
                        break;
                    }
                    const bool final = n < sizeof buffer;
                    // The final call is checked too: a file cut off inside an element is malformed.
                    if (XML_Parse(parser.get(), buffer, static_cast<int>(n), final ? XML_TRUE : XML_FALSE) ==
                        XML_STATUS_ERROR) {
                        char line[64];
                        std::snprintf(line, sizeof line, "%lu",
                                      static_cast<unsigned long>(XML_GetCurrentLineNumber(parser.get())));
                        message = std::string("Error loading symbols file at line ") + line + ": " +
                                  XML_ErrorString(XML_GetErrorCode(parser.get())) + "\nFile: " + fileName;
                        break;
                    }
                    if (final) break;
                }
            }
            endLoad();
        }
    }
    if (!message.empty()) {
        prompt_.inform(message, PromptIcon::Warning);
        return false;
    }
    RunLoadCallbacks();
    return true;
}

bool TSymbols::LoadDefault() { return LoadFile(platform::executableDir() + "/default.cxl"); }

bool TSymbols::Reload() {
    ClearAll();
    return LoadDefault();
}

} // namespace ostrel::vessolt

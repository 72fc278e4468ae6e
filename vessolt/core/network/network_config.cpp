#include "network/network_config.h"

#include "services/ini_text.h"
#include "services/log.h"
#include "services/stored_setting.h"
#include "network/symbols.h"

#include <platform/ini.h>
#include <platform/registry.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace ostrel::vessolt {

namespace {

std::string indexed(const char* name, std::size_t index) {
    return std::string(name) + std::to_string(index);
}

// The eight values of one row, in the order they are written.
constexpr const char* kNodeId = "nodeid";
constexpr const char* kNodeName = "nodename";
constexpr const char* kNodeEds = "nodeeds";
constexpr const char* kSimProduct = "nodesimproduct";
constexpr const char* kSetupFile = "nodesetupfile";
constexpr const char* kSimLibrary = "nodesimdll";
constexpr const char* kSimIO = "nodesimio";
constexpr const char* kUseSimProduct = "nodeusesimproduct";

} // namespace

std::string formatNodeId(uint8_t nodeId) {
    char text[16];
    std::snprintf(text, sizeof text, "%2.2X (%dd)", nodeId, nodeId);
    return text;
}

// One store read the same way for the registry and a test configuration file. Each read is nullopt
// when the value is absent or cannot be read as its type.
struct NetworkConfig::ValueSource {
    virtual ~ValueSource() = default;
    [[nodiscard]] virtual std::optional<bool> readBool(const std::string& name) const = 0;
    [[nodiscard]] virtual std::optional<int32_t> readInteger(const std::string& name) const = 0;
    [[nodiscard]] virtual std::optional<std::string> readString(const std::string& name) const = 0;
    // Width and height: a file value that is not a number reads as 400.
    [[nodiscard]] virtual std::optional<int32_t> readSize(const std::string& name) const = 0;
};

namespace {

class RegistrySource : public NetworkConfig::ValueSource {
public:
    RegistrySource(const platform::RegistryKey& key, TLog* log) : key_(key), log_(log) {}
    std::optional<bool> readBool(const std::string& name) const override {
        auto value = readInteger(name);
        if (!value) return std::nullopt;
        return *value != 0;
    }
    std::optional<int32_t> readInteger(const std::string& name) const override {
        return readRegistryInteger(key_, name, log_);
    }
    std::optional<std::string> readString(const std::string& name) const override {
        return readRegistryString(key_, name, log_);
    }
    std::optional<int32_t> readSize(const std::string& name) const override { return readInteger(name); }

private:
    const platform::RegistryKey& key_;
    TLog* log_;
};

class FileSource : public NetworkConfig::ValueSource {
public:
    explicit FileSource(const platform::IniFile& file) : file_(file) {}
    bool has(const std::string& name) const { return file_.keyExists(kNetworkConfigSection, name); }
    std::optional<bool> readBool(const std::string& name) const override {
        if (!has(name)) return std::nullopt;
        return file_.readBool(kNetworkConfigSection, name, false);
    }
    std::optional<int32_t> readInteger(const std::string& name) const override {
        if (!has(name)) return std::nullopt;
        return file_.readInteger(kNetworkConfigSection, name, 0);
    }
    std::optional<std::string> readString(const std::string& name) const override {
        if (!has(name)) return std::nullopt;
        return readIniText(file_, kNetworkConfigSection, name);
    }
    std::optional<int32_t> readSize(const std::string& name) const override {
        if (!has(name)) return std::nullopt;
        return file_.readInteger(kNetworkConfigSection, name, 400);
    }

private:
    const platform::IniFile& file_;
};

} // namespace

void NetworkConfig::Restore(const Snapshot& snapshot) {
    useNetDesc = snapshot.useNetDesc;
    netDesc = snapshot.netDesc;
    rows_ = snapshot.rows;
}

bool NetworkConfig::AddNodes(const NetworkConfigNode& node, int count) {
    if (count < 1 || rows_.size() + static_cast<std::size_t>(count) > kMaxNetworkNodes)
        return false;
    NetworkConfigNode row = node;
    cutToField(row.name, kNodeNameField);
    cutToField(row.simProduct, kNodeNameField);
    for (int i = 0; i < count; ++i) {
        rows_.push_back(row);
        ++row.nodeId;
    }
    return true;
}

bool NetworkConfig::EditNode(std::size_t row, uint8_t nodeId, std::string_view name, std::string_view edsPath) {
    if (row >= rows_.size() || edsPath.size() >= kNodePathField)
        return false;
    rows_[row].nodeId = nodeId;
    rows_[row].edsPath = std::string(edsPath);
    return SetNodeName(row, name);
}

bool NetworkConfig::SetNodeName(std::size_t row, std::string_view name) {
    if (row >= rows_.size())
        return false;
    rows_[row].name = std::string(name);
    cutToField(rows_[row].name, kNodeNameField);
    return true;
}

bool NetworkConfig::DeleteNodeRow(std::size_t row) {
    if (row >= rows_.size())
        return false;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(row));
    return true;
}

bool NetworkConfig::SaveSettings(const std::string& fileName, std::string* error) const {
    // Both stores take the same names in the same order; nothing is deleted first, so values of rows
    // beyond the count stay and are never read.
    if (fileName.empty()) {
        auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, kNetworkConfigKey);
        if (!key)
            return false;
        bool ok = key->writeInteger("usenetdesc", useNetDesc ? 1 : 0);
        ok = key->writeString("netdesc", netDesc) && ok;
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const NetworkConfigNode& row = rows_[i];
            ok = key->writeInteger(indexed(kNodeId, i), row.nodeId) && ok;
            ok = key->writeString(indexed(kNodeName, i), row.name) && ok;
            ok = key->writeString(indexed(kNodeEds, i), row.edsPath) && ok;
            ok = key->writeString(indexed(kSimProduct, i), row.simProduct) && ok;
            ok = key->writeString(indexed(kSetupFile, i), row.simSetupFile) && ok;
            ok = key->writeString(indexed(kSimLibrary, i), row.simLibrary) && ok;
            ok = key->writeString(indexed(kSimIO, i), row.simIO) && ok;
            ok = key->writeInteger(indexed(kUseSimProduct, i), static_cast<int32_t>(row.useSimProduct)) && ok;
        }
        ok = key->writeInteger("totalnodes", static_cast<int32_t>(rows_.size())) && ok;
        ok = key->writeInteger("width", width) && ok;
        ok = key->writeInteger("height", height) && ok;
        // Into the batch of a close, when one runs, which tells whether it was stored.
        return key->store() && ok;
    }
    platform::IniFile file(fileName);
    const auto fail = [&file, error] {
        if (error != nullptr)
            *error = file.error().empty() ? "a value cannot be written to a file" : file.error();
        return false;
    };
    if (!file.loadForUpdate())  // a new file starts empty; one that cannot be read is left alone
        return fail();
    const char* s = kNetworkConfigSection;
    bool ok = file.writeBool(s, "usenetdesc", useNetDesc);
    ok = file.writeString(s, "netdesc", netDesc) && ok;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const NetworkConfigNode& row = rows_[i];
        ok = file.writeInteger(s, indexed(kNodeId, i), row.nodeId) && ok;
        ok = file.writeString(s, indexed(kNodeName, i), row.name) && ok;
        ok = file.writeString(s, indexed(kNodeEds, i), row.edsPath) && ok;
        ok = file.writeString(s, indexed(kSimProduct, i), row.simProduct) && ok;
        ok = file.writeString(s, indexed(kSetupFile, i), row.simSetupFile) && ok;
        ok = file.writeString(s, indexed(kSimLibrary, i), row.simLibrary) && ok;
        ok = file.writeString(s, indexed(kSimIO, i), row.simIO) && ok;
        ok = file.writeInteger(s, indexed(kUseSimProduct, i), static_cast<int32_t>(row.useSimProduct)) && ok;
    }
    ok = file.writeInteger(s, "totalnodes", static_cast<int32_t>(rows_.size())) && ok;
    ok = file.writeInteger(s, "width", width) && ok;
    ok = file.writeInteger(s, "height", height) && ok;
    const bool saved = file.save();
    return (saved && ok) || fail();
}

bool NetworkConfig::LoadSettings(const std::string& fileName) {
    if (fileName.empty()) {
        auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, kNetworkConfigKey);
        if (!key)
            return false;
        noteDamagedRegistryKey(*key, log_);
        loadFrom(RegistrySource(*key, log_), false);
        return true;
    }
    platform::IniFile file(fileName);
    if (!file.load())
        return false;
    loadFrom(FileSource(file), true);
    return true;
}

bool NetworkConfig::pathFits(const std::string& path, const std::string& valueName) const {
    if (path.size() < kNodePathField)
        return true;
    // A cut path would name another file: the value is refused and the user told why.
    if (log_)
        log_->Add("Network configuration: the path in \"" + valueName + "\" is longer than " +
                  std::to_string(kNodePathField - 1) + " bytes and was not loaded");
    return false;
}

void NetworkConfig::loadFrom(const ValueSource& source, bool keepAbsentDescription) {
    // Without its count the network was never stored whole (a file without this section, or one cut
    // short before the count, which is written last): the table and the description stay as they are.
    // The registry is the program's own store: there, an absent count is an empty table.
    const std::optional<int32_t> stored = source.readInteger("totalnodes");
    if (!stored && keepAbsentDescription) {
        readWindowSize(source);
        return;
    }
    if (auto tick = source.readBool("usenetdesc"))
        useNetDesc = *tick;
    else if (!keepAbsentDescription)
        useNetDesc = false;
    if (auto path = source.readString("netdesc"))
        netDesc = *path;
    else if (!keepAbsentDescription)
        netDesc.clear();

    const int32_t total = std::clamp<int32_t>(stored.value_or(0), 0, static_cast<int32_t>(kMaxNetworkNodes));
    rows_.clear();
    for (int32_t i = 0; i < total; ++i) {
        const auto index = static_cast<std::size_t>(i);
        auto id = source.readInteger(indexed(kNodeId, index));
        auto name = source.readString(indexed(kNodeName, index));
        auto eds = source.readString(indexed(kNodeEds, index));
        // A row lacking one of its three values, or naming no valid node, is skipped: filling it
        // from whatever the slot held before would bring back an old row.
        if (!id || !name || !eds)
            continue;
        // An id the dialog would refuse is not cut to a valid one: 0x106 is not node 6.
        if (*id < 1 || *id > 127) {
            if (log_)
                log_->Add("Network configuration: " + indexed(kNodeId, index) + "=" +
                          source.readString(indexed(kNodeId, index)).value_or(std::to_string(*id)) +
                          " was not loaded (node ids are 1 to 127)");
            continue;
        }
        NetworkConfigNode node;
        node.nodeId = static_cast<uint8_t>(*id);
        node.name = *name;
        cutToField(node.name, kNodeNameField);
        if (pathFits(*eds, indexed(kNodeEds, index)))
            node.edsPath = *eds;
        if (auto text = source.readString(indexed(kSimProduct, index))) {
            node.simProduct = *text;
            cutToField(node.simProduct, kNodeNameField);
        }
        const std::pair<const char*, std::string*> paths[] = {
            {kSetupFile, &node.simSetupFile}, {kSimLibrary, &node.simLibrary}, {kSimIO, &node.simIO}};
        for (const auto& [valueName, field] : paths) {
            auto text = source.readString(indexed(valueName, index));
            if (text && pathFits(*text, indexed(valueName, index)))
                *field = *text;
        }
        if (auto flag = source.readInteger(indexed(kUseSimProduct, index)))
            node.useSimProduct = static_cast<uint32_t>(*flag);
        rows_.push_back(std::move(node));
    }
    readWindowSize(source);
}

void NetworkConfig::readWindowSize(const ValueSource& source) {
    if (auto value = source.readSize("width"))
        width = *value;
    if (auto value = source.readSize("height"))
        height = *value;
}

void NetworkConfig::ApplyNetworkDescription(TSymbols& symbols) const {
    if (useNetDesc && !netDesc.empty())
        (void)symbols.LoadFile(netDesc);  // the store reports its own failures
    for (const NetworkConfigNode& row : rows_) {
        // An empty base folder is the program's folder.
        const std::string path = row.edsPath.empty() ? std::string() : MakeAbsolutePath(row.edsPath, "");
        symbols.AddNode(row.nodeId, row.name, path, "", "", "", "", 0);
    }
}

} // namespace ostrel::vessolt

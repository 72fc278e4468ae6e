#include "network/network_config.h"

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
// A stored dialog side beyond any screen is no size the dialog had.
constexpr int32_t kMaxWindowSide = 65535;

} // namespace

std::string formatNodeId(uint8_t nodeId) {
    char text[16];
    std::snprintf(text, sizeof text, "%2.2X (%dd)", nodeId, nodeId);
    return text;
}

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
        loadFrom(registryValues(*key, registryKeyPlace(key->path()), log_), false, true);
        return true;
    }
    platform::IniFile file(fileName);
    if (!file.load())
        return false;
    loadFrom(fileValues(file, kNetworkConfigSection, log_), true, file.sectionExists(kNetworkConfigSection));
    return true;
}

void NetworkConfig::loadFrom(const StoredValues& values, bool fromFile, bool sectionPresent) {
    // Without its count the network was never stored whole (a file without this section, or one cut
    // short before the count, which is written last): the table and the description stay as they are.
    // The registry is the program's own store: there, an absent count is an empty table.
    StoredList table(values, "the node table");
    const std::optional<int32_t> total = table.count("totalnodes", static_cast<int32_t>(kMaxNetworkNodes));
    if (!total && table.whole() && fromFile) {
        if (sectionPresent)
            table.missing("totalnodes");
        readWindowSize(values);
        return;
    }
    const std::optional<std::string> tick = values.integer("usenetdesc");
    if (auto flag = takeStoredInteger(tick, values.where, "usenetdesc", flagRule(), values.log))
        useNetDesc = *flag != 0;
    else if (!fromFile && !tick)
        useNetDesc = false;
    if (auto path = values.text("netdesc"))
        netDesc = *path;
    else if (!fromFile)
        netDesc.clear();

    if (!total && table.whole())
        rows_.clear();
    std::vector<NetworkConfigNode> rows;
    const StoredRule nodeIds{[](int64_t id) { return id >= 1 && id <= 127; }, "1 to 127"};
    for (int32_t i = 0; total && i < *total && table.whole(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        NetworkConfigNode node;
        // A node id is never cut to a valid one: 0x106 is not node 6.
        node.nodeId = static_cast<uint8_t>(table.number(indexed(kNodeId, index), nodeIds).value_or(0));
        node.name = table.text(indexed(kNodeName, index)).value_or("");
        node.edsPath = table.text(indexed(kNodeEds, index), kNodePathField - 1).value_or("");
        node.simProduct = table.text(indexed(kSimProduct, index)).value_or("");
        node.simSetupFile = table.text(indexed(kSetupFile, index), kNodePathField - 1).value_or("");
        node.simLibrary = table.text(indexed(kSimLibrary, index), kNodePathField - 1).value_or("");
        node.simIO = table.text(indexed(kSimIO, index), kNodePathField - 1).value_or("");
        node.useSimProduct =
            static_cast<uint32_t>(table.number(indexed(kUseSimProduct, index), anyIntegerRule()).value_or(0));
        cutToField(node.name, kNodeNameField);
        cutToField(node.simProduct, kNodeNameField);
        rows.push_back(std::move(node));
    }
    if (total && table.whole())
        rows_ = std::move(rows);
    readWindowSize(values);
}

void NetworkConfig::readWindowSize(const StoredValues& values) {
    if (auto value = values.number("width", rangeRule(1, kMaxWindowSide)))
        width = *value;
    if (auto value = values.number("height", rangeRule(1, kMaxWindowSide)))
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

#pragma once
// The network the tests run on, as the user describes it: a table of nodes (id, name, EDS or DCF
// file, and simulation values that are only carried along) and an optional network description file.
// Kept for the program's life, stored in the registry and in test configuration files, and applied
// to the names store. The network configuration dialog shows and edits it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::vessolt {

class TLog;
class TSymbols;
struct StoredValues;

inline constexpr std::size_t kMaxNetworkNodes = 128;
inline constexpr std::size_t kNodeNameField = 100;  // 99 bytes and a terminator
inline constexpr std::size_t kNodePathField = 260;  // 259 bytes and a terminator
inline constexpr const char* kNetworkConfigKey = "Software\\Ostrel\\CANopen Norbix Eval\\networkconfig";
inline constexpr const char* kNetworkConfigSection = "networkconfig";

struct NetworkConfigNode {
    uint8_t nodeId = 0;
    std::string name;
    std::string edsPath;
    std::string simProduct;
    std::string simSetupFile;
    std::string simLibrary;
    std::string simIO;
    uint32_t useSimProduct = 0;

    friend bool operator==(const NetworkConfigNode&, const NetworkConfigNode&) = default;
};

// "%2.2X (%dd)": node id 0x0A shows as "0A (10d)".
[[nodiscard]] std::string formatNodeId(uint8_t nodeId);

class NetworkConfig {
public:
    // What a dialog run that ends without OK puts back; the window size is not part of it.
    struct Snapshot {
        bool useNetDesc = false;
        std::string netDesc;
        std::vector<NetworkConfigNode> rows;
    };

    // `log`, when given, gets a line for every stored value that is refused on load.
    explicit NetworkConfig(TLog* log = nullptr) : log_(log) {}

    bool useNetDesc = false;
    std::string netDesc;
    int width = 650;
    int height = 400;

    [[nodiscard]] const std::vector<NetworkConfigNode>& rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t nodeCount() const noexcept { return rows_.size(); }

    [[nodiscard]] Snapshot TakeSnapshot() const { return {useNetDesc, netDesc, rows_}; }
    void Restore(const Snapshot& snapshot);

    // Appends `count` copies of `node`, the node id raised by one after each. Refused whole (false)
    // when the table would hold more than 128 rows.
    [[nodiscard]] bool AddNodes(const NetworkConfigNode& node, int count);
    // Node id, name and EDS path of one row; the row keeps its place. False for a row not in use.
    bool EditNode(std::size_t row, uint8_t nodeId, std::string_view name, std::string_view edsPath);
    // The name alone, cut on a character boundary to fit its field; false for a row not in use.
    bool SetNodeName(std::size_t row, std::string_view name);
    bool DeleteNodeRow(std::size_t row);
    void DeleteAll() { rows_.clear(); }

    // Empty name: the registry (current user); else the named test configuration file. False when
    // the key cannot be opened or the file cannot be written (`error`, when given, says why).
    [[nodiscard]] bool SaveSettings(const std::string& fileName, std::string* error = nullptr) const;
    // Empty name: the registry, else the named file. A file load does not rebuild the names store;
    // the caller reloads it and applies. False when the key cannot be opened or the file cannot be
    // read (nothing changed).
    bool LoadSettings(const std::string& fileName);

    // The description file (when ticked and named) into the store, then every row's node with its
    // EDS path made absolute against the program's folder.
    void ApplyNetworkDescription(TSymbols& symbols) const;

private:
    // The values of the registry key or the file's section; `fromFile` keeps what the file lacks.
    void loadFrom(const StoredValues& values, bool fromFile, bool sectionPresent);
    void readWindowSize(const StoredValues& values);

    TLog* log_;
    std::vector<NetworkConfigNode> rows_;
};

} // namespace ostrel::vessolt

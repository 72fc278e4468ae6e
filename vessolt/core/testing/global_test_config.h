#pragma once
// The settings that apply to every test: configuring the node from a DCF, the longest boot-up time,
// and the software support module. Kept in the registry between runs and in test configuration
// files; the ratings script beside the program is edited with them.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "services/product_key.h"
#include "script/ratings_script.h"
#include "services/timed_mutex.h"

namespace ostrel::platform {
class IniFile;
}

namespace ostrel::vessolt {

class TLog;
struct StoredValues;

struct GLOBALCONFIG {
    bool configurenode = false;
    std::string dcfpath;
    int32_t maxbootuptime = 3000;  // ms
    bool softnsm = false;
    uint8_t softnsmnodeid = 0x7F;

    bool operator==(const GLOBALCONFIG&) const = default;
};

class TGlobalTestConfig {
public:
    static constexpr const char* kRegistrySubkey = "global";
    static constexpr const char* kIniSection = "Global Configuration";
    static constexpr auto kLockWait = std::chrono::milliseconds(500);

    // Reads and writes the ratings script's bytes as they stand; false with `error` set. Either may be
    // empty (no script available).
    struct ScriptFile {
        std::function<bool(std::string& text, std::string& error)> load;
        std::function<bool(const std::string& text, std::string& error)> save;
    };
    // The script file of the ratings script service, which must outlive the store.
    [[nodiscard]] static ScriptFile ScriptFileOf(const TRatingsScript& script) {
        return {[&script](std::string& text, std::string& error) { return script.ReadScript(text, error); },
                [&script](const std::string& text, std::string& error) { return script.SaveScript(text, error); }};
    }

    enum class Access {
        Done,
        Busy,          // the lock was not had within kLockWait: nothing was read or stored
        ScriptFailed,  // the script could not be read (Get: the record was copied, the text is empty)
                       // or saved (Set: nothing was stored); `why` says why
    };

    [[nodiscard]] static std::string DefaultRegistryKey() {
        return std::string(kProductKey) + "\\" + kRegistrySubkey;
    }

    // Defaults, then the registry's values. `registryKey` is the key below the current user's root;
    // `log` (may be null) names each stored value that the page would not accept and that is
    // therefore not loaded.
    explicit TGlobalTestConfig(ScriptFile script = {}, std::string registryKey = DefaultRegistryKey(),
                               TLog* log = nullptr);
    // Saves to the registry.
    ~TGlobalTestConfig();
    TGlobalTestConfig(const TGlobalTestConfig&) = delete;
    TGlobalTestConfig& operator=(const TGlobalTestConfig&) = delete;

    // For a ratings script service made after the store; false when the lock was busy.
    bool SetScriptFile(ScriptFile script);

    // Copies the settings out; with `script`, the script's text too. `why`, when given, learns why the
    // script could not be read.
    [[nodiscard]] Access Get(GLOBALCONFIG& out, std::string* script = nullptr, std::string* why = nullptr) const;
    // Saves `script` when given, then copies the settings in. `why`, when given, learns why the script
    // could not be saved.
    [[nodiscard]] Access Set(const GLOBALCONFIG& in, const std::string* script, std::string* why = nullptr);
    bool SetDefaults();

    // False when the key cannot be opened or created (nothing read or written) or the lock was busy.
    bool LoadFromRegistry();
    bool SaveToRegistry() const;

    // The "Global Configuration" section; reading keeps a field whose key is absent or whose value
    // the page would not accept.
    bool WriteIni(platform::IniFile& file) const;
    bool ReadIni(const platform::IniFile& file);
    // The test manager's hooks for its configuration files; false when a value was not written.
    [[nodiscard]] bool SaveSettings(platform::IniFile& file) const { return WriteIni(file); }
    void LoadSettings(platform::IniFile& file) { (void)ReadIni(file); }

private:
    [[nodiscard]] bool copyOut(GLOBALCONFIG& out) const;
    [[nodiscard]] bool copyIn(const GLOBALCONFIG& in);

    // The stored values into `config`, each only when the page accepts it.
    void takeValues(GLOBALCONFIG& config, const StoredValues& values) const;

    ScriptFile script_;
    std::string registryKey_;
    TLog* log_;
    mutable TimedMutex mutex_;
    GLOBALCONFIG config_;
};

// What the page accepts: the node id of the software support module lies in 0x01..0x7F; the
// boot-up time is at least the spin control's minimum.
inline constexpr int32_t kMinBootupTimeMs = 10;
[[nodiscard]] bool validSupportModuleNodeId(int64_t id);
[[nodiscard]] bool validMaxBootupTime(int64_t ms);

} // namespace ostrel::vessolt

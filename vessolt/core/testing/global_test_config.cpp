#include "testing/global_test_config.h"

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/ini.h"
#include "services/stored_setting.h"
#include "platform/registry.h"

namespace ostrel::vessolt {

namespace {

constexpr const char* kConfigureNode = "configurenode";
constexpr const char* kDcfPath = "dcfpath";
constexpr const char* kMaxBootupTime = "maxbootuptime";
constexpr const char* kSoftNsm = "softnsm";
constexpr const char* kSoftNsmNodeId = "softnsmnodeid";

} // namespace

bool validSupportModuleNodeId(int64_t id) { return id >= 0x01 && id <= 0x7F; }
bool validMaxBootupTime(int64_t ms) { return ms >= kMinBootupTimeMs && ms <= INT32_MAX; }

TGlobalTestConfig::TGlobalTestConfig(ScriptFile script, std::string registryKey, TLog* log)
    : script_(std::move(script)), registryKey_(std::move(registryKey)), log_(log) {
    (void)SetDefaults();
    (void)LoadFromRegistry();
}

TGlobalTestConfig::~TGlobalTestConfig() { (void)SaveToRegistry(); }

bool TGlobalTestConfig::copyOut(GLOBALCONFIG& out) const {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock())
        return false;
    out = config_;
    return true;
}

bool TGlobalTestConfig::copyIn(const GLOBALCONFIG& in) {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock())
        return false;
    config_ = in;
    return true;
}

bool TGlobalTestConfig::SetScriptFile(ScriptFile script) {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock())
        return false;
    script_ = std::move(script);
    return true;
}

TGlobalTestConfig::Access TGlobalTestConfig::Get(GLOBALCONFIG& out, std::string* script, std::string* why) const {
    decltype(ScriptFile::load) load;
    {
        std::unique_lock lock(mutex_, kLockWait);
        if (!lock.owns_lock())
            return Access::Busy;
        out = config_;
        if (script == nullptr)
            return Access::Done;
        load = script_.load;
    }
    // Read without the lock: a slow disk must not hold every other reader of the settings.
    std::string error = "no ratings script is available";
    if (!load || !load(*script, error)) {
        script->clear();
        if (why != nullptr)
            *why = error;
        return Access::ScriptFailed;
    }
    return Access::Done;
}

TGlobalTestConfig::Access TGlobalTestConfig::Set(const GLOBALCONFIG& in, const std::string* script, std::string* why) {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock())
        return Access::Busy;
    // The script first: when it cannot be saved the dialog stays open and nothing has changed. A
    // save never waits for a reader (a FIFO there is refused at once).
    std::string error = "no ratings script is available";
    if (script != nullptr && (!script_.save || !script_.save(*script, error))) {
        if (why != nullptr)
            *why = error;
        return Access::ScriptFailed;
    }
    config_ = in;
    return Access::Done;
}

bool TGlobalTestConfig::SetDefaults() { return copyIn(GLOBALCONFIG{}); }

bool TGlobalTestConfig::LoadFromRegistry() {
    const auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, registryKey_);
    if (!key)
        return false;
    GLOBALCONFIG config;
    if (!copyOut(config))
        return false;
    noteDamagedRegistryKey(*key, log_);
    takeValues(config, registryValues(*key, registryKeyPlace(registryKey_), log_));
    return copyIn(config);
}

void TGlobalTestConfig::takeValues(GLOBALCONFIG& config, const StoredValues& values) const {
    if (const auto flag = values.flag(kConfigureNode))
        config.configurenode = *flag;
    if (auto path = values.text(kDcfPath))
        config.dcfpath = std::move(*path);
    if (const auto flag = values.flag(kSoftNsm))
        config.softnsm = *flag;
    const StoredRule bootup{validMaxBootupTime, std::to_string(kMinBootupTimeMs) + " to " + std::to_string(INT32_MAX)};
    if (const auto ms = values.number(kMaxBootupTime, bootup))
        config.maxbootuptime = *ms;
    const StoredRule nodeId{validSupportModuleNodeId, "1 to 127 (0x01 to 0x7F)"};
    if (const auto id = values.number(kSoftNsmNodeId, nodeId))
        config.softnsmnodeid = static_cast<uint8_t>(*id);
}

bool TGlobalTestConfig::SaveToRegistry() const {
    GLOBALCONFIG config;
    if (!copyOut(config))
        return false;
    const auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, registryKey_);
    if (!key)
        return false;
    bool ok = key->writeInteger(kConfigureNode, config.configurenode ? 1 : 0);
    ok = key->writeString(kDcfPath, config.dcfpath) && ok;
    ok = key->writeInteger(kMaxBootupTime, config.maxbootuptime) && ok;
    ok = key->writeInteger(kSoftNsm, config.softnsm ? 1 : 0) && ok;
    ok = key->writeInteger(kSoftNsmNodeId, config.softnsmnodeid) && ok;
    // Into the batch of a close, when one runs, which tells whether it was stored.
    return key->store() && ok;
}

bool TGlobalTestConfig::WriteIni(platform::IniFile& file) const {
    GLOBALCONFIG config;
    if (!copyOut(config))
        return false;
    bool ok = file.writeBool(kIniSection, kConfigureNode, config.configurenode);
    ok = file.writeString(kIniSection, kDcfPath, config.dcfpath) && ok;
    ok = file.writeInteger(kIniSection, kMaxBootupTime, config.maxbootuptime) && ok;
    ok = file.writeBool(kIniSection, kSoftNsm, config.softnsm) && ok;
    ok = file.writeInteger(kIniSection, kSoftNsmNodeId, config.softnsmnodeid) && ok;
    return ok;
}

bool TGlobalTestConfig::ReadIni(const platform::IniFile& file) {
    GLOBALCONFIG config;
    if (!copyOut(config))
        return false;
    takeValues(config, fileValues(file, kIniSection, log_));
    return copyIn(config);
}

} // namespace ostrel::vessolt

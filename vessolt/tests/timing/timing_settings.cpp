#include "timing_settings.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/registry.h"
#include "services/stored_setting.h"
#include "timing_rules.h"

namespace ostrel::vessolt {

namespace {

// One stored value, read and written through the store's integer or text operations.
struct Key {
    std::string name;
    std::function<int32_t(const TimingTestConfig&)> get{};      // integers
    std::function<void(TimingTestConfig&, int32_t)> set{};
    TimingValue value = TimingValue::Flag;  // what the page accepts of an integer
    char (TimingTestConfig::*text)[kTimingExpressionSize] = nullptr;  // expressions
    bool manualCount = false;  // "manualtestcycles": the manualtime keys follow it
};

template <class Field>
Key integerKey(const char* name, Field TimingTestConfig::*field, TimingValue value) {
    return {name, [field](const TimingTestConfig& c) { return static_cast<int32_t>(c.*field); },
            [field](TimingTestConfig& c, int32_t v) { c.*field = static_cast<Field>(v); }, value};
}

Key textKey(const char* name, char (TimingTestConfig::*field)[kTimingExpressionSize]) {
    Key k{name};
    k.text = field;
    return k;
}

void appendFrames(std::vector<Key>& keys, const std::string& prefix,
                  std::array<RPDOFrame, kTimingMaxPdos> TimingTestConfig::*frames, bool interleaved = false,
                  std::array<RPDOFrame, kTimingMaxPdos> TimingTestConfig::*second = nullptr,
                  const std::string& secondPrefix = {}) {
    auto one = [&keys](const std::string& pre, std::array<RPDOFrame, kTimingMaxPdos> TimingTestConfig::*f, size_t n) {
        keys.push_back({pre + std::to_string(n) + "dlc",
                        [f, n](const TimingTestConfig& c) { return static_cast<int32_t>((c.*f)[n].dlc); },
                        [f, n](TimingTestConfig& c, int32_t v) { (c.*f)[n].dlc = static_cast<uint8_t>(v); },
                        TimingValue::FrameLength});
        for (size_t d = 0; d < 8; ++d)
            keys.push_back({pre + std::to_string(n) + "data" + std::to_string(d),
                            [f, n, d](const TimingTestConfig& c) { return static_cast<int32_t>((c.*f)[n].data[d]); },
                            [f, n, d](TimingTestConfig& c, int32_t v) { (c.*f)[n].data[d] = static_cast<uint8_t>(v); },
                            TimingValue::FrameByte});
    };
    for (size_t n = 0; n < kTimingMaxPdos; ++n) {
        one(prefix, frames, n);
        if (interleaved)
            one(secondPrefix, second, n);
    }
}

Key transmissionTypeKey() {
    return {"tpdotransmissiontype", [](const TimingTestConfig& c) { return static_cast<int32_t>(c.tpdotransmissiontype); },
            [](TimingTestConfig& c, int32_t v) { c.tpdotransmissiontype = static_cast<uint8_t>(v); },
            TimingValue::TransmissionType};
}

// The test's keys in their written order; the registry's order differs from the file's.
std::vector<Key> keysOf(const TimingVariant& v, bool registry) {
    std::vector<Key> keys;
    Key count = integerKey("manualtestcycles", &TimingTestConfig::manualtestcycles, TimingValue::CycleCount);
    count.manualCount = true;
    keys.push_back(count);
    keys.push_back(integerKey("manual_enable", &TimingTestConfig::manual_enable, TimingValue::Flag));
    const bool eventFramesEarly = v.kind == TimingTestKind::TPDOEventRPDOs && !registry;
    if (eventFramesEarly)
        appendFrames(keys, "rpdo", &TimingTestConfig::rpdo);
    if (v.hasSync) {
        keys.push_back(integerKey("syncid", &TimingTestConfig::syncid, TimingValue::SyncId));
        if (v.hasRpdo)
            appendFrames(keys, "rpdo", &TimingTestConfig::rpdo);
    }
    keys.push_back(integerKey("alarm_enable", &TimingTestConfig::alarm_enable, TimingValue::Flag));
    keys.push_back(integerKey("alarm_operation", &TimingTestConfig::alarm_operation, TimingValue::AlarmOperation));
    keys.push_back(textKey("alarm_expression", &TimingTestConfig::alarm_expression));
    keys.push_back(integerKey("ciatr308options", &TimingTestConfig::ciatr308options, TimingValue::Options));
    const auto turnaroundFrames = [&] {
        appendFrames(keys, "phase1rpdo", &TimingTestConfig::phase1rpdo, true, &TimingTestConfig::phase2rpdo,
                     "phase2rpdo");
    };
    if (v.isTurnaround && !registry)
        turnaroundFrames();
    keys.push_back(integerKey("limit_enable", &TimingTestConfig::limit_enable, TimingValue::Flag));
    keys.push_back(integerKey("limit_upperlimit", &TimingTestConfig::limit_upperlimit, TimingValue::Limit));
    keys.push_back(integerKey("limit_lowerlimit", &TimingTestConfig::limit_lowerlimit, TimingValue::Limit));
    keys.push_back(textKey("limit_expression", &TimingTestConfig::limit_expression));
    // In the registry, "TPDO Event" writes its transmission type after the window keys.
    if (v.hasTransmissionType && !(registry && v.kind == TimingTestKind::TPDOEvent))
        keys.push_back(transmissionTypeKey());
    if (v.kind == TimingTestKind::TPDOEventRPDOs && registry)
        appendFrames(keys, "rpdo", &TimingTestConfig::rpdo);
    if (v.isTurnaround && registry)
        turnaroundFrames();
    return keys;
}

int32_t clampedCount(int32_t n) {
    return std::clamp(n, 0, kTimingMaxCycles);
}

// Reads every key; a key that is missing or outside the page's rules keeps its field. The periods are
// one list with their count: taken whole or not at all.
void readKeys(TimingTestKind kind, const std::vector<Key>& keys, TimingTestConfig& config, const StoredValues& store) {
    for (const Key& k : keys) {
        if (k.text) {
            if (auto text = store.text(k.name))
                setTimingExpression(config.*k.text, text->c_str());
            continue;
        }
        if (k.manualCount) {
            StoredList periods(store, "the list of periods");
            const std::optional<int32_t> count = periods.count(k.name, kTimingMaxCycles);
            auto times = config.manualtime;
            const StoredRule period = timingRule(kind, TimingValue::Period).stored();
            for (int32_t i = 0; count && i < *count; ++i)
                if (auto t = periods.number("manualtime" + std::to_string(i), period))
                    times[static_cast<size_t>(i)] = static_cast<uint32_t>(*t);
            if (!count && periods.whole() && store.integer("manualtime0"))
                periods.missing(k.name);  // periods without their count
            if (count && periods.whole()) {
                config.manualtestcycles = *count;
                config.manualtime = times;
            }
            continue;
        }
        if (const auto value = store.number(k.name, timingRule(kind, k.value).stored()))
            k.set(config, *value);
    }
}

void writeKeys(const std::vector<Key>& keys, const TimingTestConfig& config,
               const std::function<void(const std::string&, int32_t)>& writeInteger,
               const std::function<void(const std::string&, const std::string&)>& writeText) {
    for (const Key& k : keys) {
        if (k.text) {
            writeText(k.name, std::string(config.*k.text));
            continue;
        }
        if (k.manualCount) {
            const int32_t n = clampedCount(config.manualtestcycles);
            writeInteger(k.name, n);
            for (int32_t i = 0; i < n; ++i)
                writeInteger("manualtime" + std::to_string(i), static_cast<int32_t>(config.manualtime[static_cast<size_t>(i)]));
            continue;
        }
        writeInteger(k.name, k.get(config));
    }
}

} // namespace

std::string timingRegistryPath(const TimingVariant& variant) {
    return std::string("\\Software\\Ostrel\\CANopen Norbix Eval\\") + variant.displayName;
}

bool saveTimingSettings(const TimingVariant& variant, const TimingTestConfig& config, const WindowPlacement& window) {
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, timingRegistryPath(variant));
    if (!key)
        return false;
    const auto writeInteger = [&](const std::string& name, int32_t v) { key->writeInteger(name, v); };
    writeKeys(keysOf(variant, true), config, writeInteger,
              [&](const std::string& name, const std::string& text) { key->writeString(name, text); });
    const int32_t state = window.state.value_or(0);
    key->writeInteger("windowstate", state);
    if (state != 2) {
        if (window.top)
            key->writeInteger("top", *window.top);
        if (window.left)
            key->writeInteger("left", *window.left);
        if (window.width)
            key->writeInteger("width", *window.width);
        if (window.height)
            key->writeInteger("height", *window.height);
    }
    if (variant.kind == TimingTestKind::TPDOEvent)
        writeKeys({transmissionTypeKey()}, config, writeInteger, {});
    return true;
}

WindowPlacement loadTimingSettings(const TimingVariant& variant, TimingTestConfig& config, TLog* log) {
    WindowPlacement window;
    const std::string path = timingRegistryPath(variant);
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, path);
    if (key) {
        // A value of another type counts as missing, and is named in the log.
        noteDamagedRegistryKey(*key, log);
        std::vector<Key> keys = keysOf(variant, true);
        if (variant.kind == TimingTestKind::TPDOEvent)
            keys.push_back(transmissionTypeKey());
        readKeys(variant.kind, keys, config, registryValues(*key, registryKeyPlace(path), log));
        window.state = key->readInteger("windowstate");
        if (window.state.value_or(0) != 2) {
            window.top = key->readInteger("top");
            window.left = key->readInteger("left");
            window.width = key->readInteger("width");
            window.height = key->readInteger("height");
        }
    }
    deriveTimingRows(config);
    return window;
}

void saveTimingTestConfig(const TimingVariant& variant, const TimingTestConfig& config, platform::IniFile& file) {
    const std::string section = variant.displayName;
    writeKeys(keysOf(variant, false), config,
              [&](const std::string& name, int32_t v) { file.writeInteger(section, name, v); },
              [&](const std::string& name, const std::string& text) { file.writeString(section, name, text); });
}

void loadTimingTestConfig(const TimingVariant& variant, TimingTestConfig& config, const platform::IniFile& file,
                          TLog* log) {
    readKeys(variant.kind, keysOf(variant, false), config, fileValues(file, variant.displayName, log));
    deriveTimingRows(config);
}

} // namespace ostrel::vessolt

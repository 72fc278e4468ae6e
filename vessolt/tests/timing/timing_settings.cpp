#include "timing_settings.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/registry.h"
#include "services/ini_text.h"

namespace ostrel::vessolt {

namespace {

// One stored value, read and written through the store's integer or text operations.
struct Key {
    std::string name;
    std::function<int32_t(const TimingTestConfig&)> get{};      // integers
    std::function<void(TimingTestConfig&, int32_t)> set{};
    char (TimingTestConfig::*text)[kTimingExpressionSize] = nullptr;  // expressions
    bool manualCount = false;  // "manualtestcycles": the manualtime keys follow it
};

template <class Field>
Key integerKey(const char* name, Field TimingTestConfig::*field) {
    return {name, [field](const TimingTestConfig& c) { return static_cast<int32_t>(c.*field); },
            [field](TimingTestConfig& c, int32_t v) { c.*field = static_cast<Field>(v); }};
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
                        [f, n](TimingTestConfig& c, int32_t v) {
                            (c.*f)[n].dlc = std::min<uint8_t>(static_cast<uint8_t>(v), 8);
                        }});
        for (size_t d = 0; d < 8; ++d)
            keys.push_back({pre + std::to_string(n) + "data" + std::to_string(d),
                            [f, n, d](const TimingTestConfig& c) { return static_cast<int32_t>((c.*f)[n].data[d]); },
                            [f, n, d](TimingTestConfig& c, int32_t v) { (c.*f)[n].data[d] = static_cast<uint8_t>(v); }});
    };
    for (size_t n = 0; n < kTimingMaxPdos; ++n) {
        one(prefix, frames, n);
        if (interleaved)
            one(secondPrefix, second, n);
    }
}

Key transmissionTypeKey() {
    return {"tpdotransmissiontype", [](const TimingTestConfig& c) { return static_cast<int32_t>(c.tpdotransmissiontype); },
            [](TimingTestConfig& c, int32_t v) { c.tpdotransmissiontype = static_cast<uint8_t>(v); }};
}

// The test's keys in their written order; the registry's order differs from the file's.
std::vector<Key> keysOf(const TimingVariant& v, bool registry) {
    std::vector<Key> keys;
    Key count = integerKey("manualtestcycles", &TimingTestConfig::manualtestcycles);
    count.manualCount = true;
    keys.push_back(count);
    keys.push_back(integerKey("manual_enable", &TimingTestConfig::manual_enable));
    const bool eventFramesEarly = v.kind == TimingTestKind::TPDOEventRPDOs && !registry;
    if (eventFramesEarly)
        appendFrames(keys, "rpdo", &TimingTestConfig::rpdo);
    if (v.hasSync) {
        keys.push_back(integerKey("syncid", &TimingTestConfig::syncid));
        if (v.hasRpdo)
            appendFrames(keys, "rpdo", &TimingTestConfig::rpdo);
    }
    keys.push_back(integerKey("alarm_enable", &TimingTestConfig::alarm_enable));
    keys.push_back(integerKey("alarm_operation", &TimingTestConfig::alarm_operation));
    keys.push_back(textKey("alarm_expression", &TimingTestConfig::alarm_expression));
    keys.push_back(integerKey("ciatr308options", &TimingTestConfig::ciatr308options));
    const auto turnaroundFrames = [&] {
        appendFrames(keys, "phase1rpdo", &TimingTestConfig::phase1rpdo, true, &TimingTestConfig::phase2rpdo,
                     "phase2rpdo");
    };
    if (v.isTurnaround && !registry)
        turnaroundFrames();
    keys.push_back(integerKey("limit_enable", &TimingTestConfig::limit_enable));
    keys.push_back(integerKey("limit_upperlimit", &TimingTestConfig::limit_upperlimit));
    keys.push_back(integerKey("limit_lowerlimit", &TimingTestConfig::limit_lowerlimit));
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

// Reads every key through the store's optional readers; a missing key keeps its field.
void readKeys(const std::vector<Key>& keys, TimingTestConfig& config,
              const std::function<std::optional<int32_t>(const std::string&)>& readInteger,
              const std::function<std::optional<std::string>(const std::string&)>& readText,
              bool periodsNeedCount) {
    for (const Key& k : keys) {
        if (k.text) {
            if (auto text = readText(k.name))
                setTimingExpression(config.*k.text, text->c_str());
            continue;
        }
        const auto value = readInteger(k.name);
        if (k.manualCount) {
            if (!value && periodsNeedCount)
                continue;  // a registry key without a count gives no periods
            config.manualtestcycles = clampedCount(value.value_or(config.manualtestcycles));
            for (int32_t i = 0; i < config.manualtestcycles; ++i)
                if (auto t = readInteger("manualtime" + std::to_string(i)))
                    config.manualtime[static_cast<size_t>(i)] = static_cast<uint32_t>(*t);
            continue;
        }
        if (value)
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

WindowPlacement loadTimingSettings(const TimingVariant& variant, TimingTestConfig& config) {
    WindowPlacement window;
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, timingRegistryPath(variant));
    if (key) {
        // A value of another type counts as missing.
        const auto readInteger = [&](const std::string& name) { return key->readInteger(name); };
        std::vector<Key> keys = keysOf(variant, true);
        if (variant.kind == TimingTestKind::TPDOEvent)
            keys.push_back(transmissionTypeKey());
        readKeys(keys, config, readInteger, [&](const std::string& name) { return key->readString(name); }, true);
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

void loadTimingTestConfig(const TimingVariant& variant, TimingTestConfig& config, const platform::IniFile& file) {
    const std::string section = variant.displayName;
    const auto readInteger = [&](const std::string& name) -> std::optional<int32_t> {
        if (!file.keyExists(section, name))
            return std::nullopt;
        return platform::parseIniInteger(file.readString(section, name));
    };
    const auto readText = [&](const std::string& name) -> std::optional<std::string> {
        if (!file.keyExists(section, name))
            return std::nullopt;
        return readIniText(file, section, name);
    };
    readKeys(keysOf(variant, false), config, readInteger, readText, false);
    deriveTimingRows(config);
}

} // namespace ostrel::vessolt

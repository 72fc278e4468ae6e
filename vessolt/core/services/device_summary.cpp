#include "services/device_summary.h"

#include <cmath>
#include <cstring>
#include <type_traits>

#include "services/window_messages.h"

namespace ostrel::vessolt {

namespace {

using R = DeviceSummaryRecord;
// The field table addresses values by offset.
static_assert(std::is_standard_layout_v<R>);

void setFlags(R& r, SummaryFlag first, int count) {
    for (int i = 0; i < count; ++i)
        r.flags[static_cast<size_t>(first) + static_cast<size_t>(i)] = 1;
}

// The first value becomes minimum and maximum whatever it is; a 0 measured first stays the minimum.
void takeMinMax(float& min, float& max, bool first, float t) {
    if (first || t < min)
        min = t;
    if (first || t > max)
        max = t;
}

// Deviation of the worse extreme from the nominal period, in percent of it.
float deviationPercent(float min, float max, double nominalMs) {
    double devMin = std::fabs(min - nominalMs) * 100.0 / nominalMs;
    double devMax = std::fabs(max - nominalMs) * 100.0 / nominalMs;
    return static_cast<float>(devMax > devMin ? devMax : devMin);
}

// A running series of periods: min, max, the spread (deviation in percent of `nominalMs`, or max -
// min when `nominalMs` is 0), and the average over a double sum. The four flags follow `firstFlag`.
void addPeriod(R& r, float& min, float& max, float& spread, float& ave, double& sum, uint32_t& count,
               SummaryFlag firstFlag, double nominalMs, float t) {
    takeMinMax(min, max, count == 0, t);
    spread = nominalMs > 0 ? deviationPercent(min, max, nominalMs) : max - min;
    sum += t;
    count += 1;
    ave = static_cast<float>(sum / count);
    setFlags(r, firstFlag, 4);
}

void addResponse(R& r, float& min, float& max, float& average, uint32_t& numtries, float& total,
                 SummaryFlag group, float t) {
    takeMinMax(min, max, numtries == 0, t);
    numtries += 1;
    total += t;
    average = total / static_cast<float>(numtries);
    r.flags[group] = 1;
}

void keepLarger(R& r, float& field, SummaryFlag flag, float v) {
    if (!r.flags[flag] || v > field)
        field = v;
    r.flags[flag] = 1;
}

} // namespace

template <class Change>
void TDeviceSummary::modify(Change&& change) {
    {
        std::unique_lock lock(mutex_, kLockWait);
        if (!lock.owns_lock())
            return;
        change(record_);
    }
    listeners_.postAll(WM_DEVICESUMMARYCHANGED, 0, 0);
}

bool TDeviceSummary::GetSummary(DeviceSummaryRecord& out) const {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock())
        return false;
    out = record_;
    return true;
}

uint32_t TDeviceSummary::GetBaudrate() const {
    std::unique_lock lock(mutex_, kLockWait);
    return lock.owns_lock() ? record_.baudrate : 0;
}

void TDeviceSummary::Clear() {
    modify([](R& r) {
        uint32_t baudrate = r.baudrate;
        uint8_t baudrateSet = r.flags[kFlagBaudrate];
        r = R{};
        r.baudrate = baudrate;
        r.flags[kFlagBaudrate] = baudrateSet;
    });
}

void TDeviceSummary::setByte(uint8_t R::*field, SummaryFlag flag, uint8_t v) {
    modify([&](R& r) {
        r.*field = v;
        r.flags[flag] = 1;
    });
}

void TDeviceSummary::setDword(uint32_t R::*field, SummaryFlag flag, uint32_t v) {
    modify([&](R& r) {
        r.*field = v;
        r.flags[flag] = 1;
    });
}

void TDeviceSummary::SetDeviceType(uint32_t v) { setDword(&R::devicetype, kFlagDeviceType, v); }
void TDeviceSummary::SetVendor(uint32_t v) { setDword(&R::vendor, kFlagVendor, v); }
void TDeviceSummary::SetNodeId(uint8_t v) { setByte(&R::nodeid, kFlagNodeId, v); }
void TDeviceSummary::SetBaudrate(uint32_t v) { setDword(&R::baudrate, kFlagBaudrate, v); }
void TDeviceSummary::SetLSS(uint32_t v) { setDword(&R::lss, kFlagLss, v); }
void TDeviceSummary::SetRPDONum(uint32_t v) { setDword(&R::rpdonum, kFlagRpdoNum, v); }
void TDeviceSummary::SetTPDONum(uint32_t v) { setDword(&R::tpdonum, kFlagTpdoNum, v); }
void TDeviceSummary::SetPDOLinking(uint32_t v) { setDword(&R::pdolinking, kFlagPdoLinking, v); }
void TDeviceSummary::SetPDOMapping(uint32_t v) { setDword(&R::pdomapping, kFlagPdoMapping, v); }
void TDeviceSummary::SetSDOClientNum(uint32_t v) { setDword(&R::sdoclientnum, kFlagSdoClientNum, v); }
void TDeviceSummary::SetSDOServerNum(uint32_t v) { setDword(&R::sdoservernum, kFlagSdoServerNum, v); }

void TDeviceSummary::SetCompatibilityRating(int32_t v) {
    modify([&](R& r) {
        r.compatibilityrating = v;
        r.flags[kFlagCompatibilityRating] = 1;
    });
}
void TDeviceSummary::SetPerformanceRating(int32_t v) {
    modify([&](R& r) {
        r.performancerating = v;
        r.flags[kFlagPerformanceRating] = 1;
    });
}
void TDeviceSummary::SetReliabilityRating(int32_t v) {
    modify([&](R& r) {
        r.reliabilityrating = v;
        r.flags[kFlagReliabilityRating] = 1;
    });
}

void TDeviceSummary::SetNMTMaster(uint8_t v) { setByte(&R::nmtmaster, kFlagNmtMaster, v); }
void TDeviceSummary::SetSDOManager(uint8_t v) { setByte(&R::sdomanager, kFlagSdoManager, v); }
void TDeviceSummary::SetConfigManager(uint8_t v) { setByte(&R::configmanager, kFlagConfigManager, v); }
void TDeviceSummary::SetAutoStart(uint8_t v) { setByte(&R::autostart, kFlagAutoStart, v); }
void TDeviceSummary::SetSyncConsumer(uint8_t v) { setByte(&R::syncconsumer, kFlagSyncConsumer, v); }
void TDeviceSummary::SetSyncProducer(uint8_t v) { setByte(&R::syncproducer, kFlagSyncProducer, v); }
void TDeviceSummary::SetHeartbeatConsumer(uint8_t v) {
    setByte(&R::heartbeatconsumer, kFlagHeartbeatConsumer, v);
}
void TDeviceSummary::SetHeartbeatProducer(uint8_t v) {
    setByte(&R::heartbeatproducer, kFlagHeartbeatProducer, v);
}
void TDeviceSummary::SetNodeGuarding(uint8_t v) { setByte(&R::nodeguarding, kFlagNodeGuarding, v); }
void TDeviceSummary::SetStoreParameters(uint8_t v) {
    setByte(&R::storeparameters, kFlagStoreParameters, v);
}
void TDeviceSummary::SetEmcyConsumer(uint8_t v) { setByte(&R::emcyconsumer, kFlagEmcyConsumer, v); }
void TDeviceSummary::SetEmcyProducer(uint8_t v) { setByte(&R::emcyproducer, kFlagEmcyProducer, v); }

void TDeviceSummary::AddBootupTime(float ms) {
    modify([&](R& r) {
        r.bootuptime = ms;
        r.flags[kFlagBootupTime] = 1;
        addResponse(r, r.bootup_min, r.bootup_max, r.bootup_average, r.bootup_numtries, r.bootup_total,
                    kFlagBootupGroup, ms);
    });
}

void TDeviceSummary::AddSDOResponseTime(float ms) {
    modify([&](R& r) {
        addResponse(r, r.sdoresponse_min, r.sdoresponse_max, r.sdoresponse_average,
                    r.sdoresponse_numtries, r.sdoresponse_total, kFlagSdoResponseGroup, ms);
    });
}

void TDeviceSummary::AddHeartbeatTime(float ms) {
    modify([&](R& r) {
        takeMinMax(r.heartbeat100ms_min, r.heartbeat100ms_max, !r.flags[kFlagHeartbeatMin], ms);
        r.heartbeat100ms_dev = deviationPercent(r.heartbeat100ms_min, r.heartbeat100ms_max, 100.0);
        setFlags(r, kFlagHeartbeatMin, 3);
    });
}

void TDeviceSummary::AddNodeGuardingTime(float ms) {
    modify([&](R& r) {
        takeMinMax(r.nodeguarding100ms_min, r.nodeguarding100ms_max, !r.flags[kFlagNodeGuardingMin], ms);
        r.nodeguarding100ms_diff = r.nodeguarding100ms_max - r.nodeguarding100ms_min;
        setFlags(r, kFlagNodeGuardingMin, 3);
    });
}

void TDeviceSummary::AddEventTPDO100msTime(float ms) {
    modify([&](R& r) {
        addPeriod(r, r.eventtpdo100ms_min, r.eventtpdo100ms_max, r.eventtpdo100ms_dev,
                  r.eventtpdo100ms_ave, r.eventtpdo100ms_sum, r.eventtpdo100ms_count, kFlagEvent100Min,
                  100.0, ms);
    });
}

void TDeviceSummary::AddEventTPDO10msTime(float ms) {
    modify([&](R& r) {
        addPeriod(r, r.eventtpdo10ms_min, r.eventtpdo10ms_max, r.eventtpdo10ms_dev, r.eventtpdo10ms_ave,
                  r.eventtpdo10ms_sum, r.eventtpdo10ms_count, kFlagEvent10Min, 10.0, ms);
    });
}

void TDeviceSummary::AddSyncTPDO100msTime(float ms) {
    modify([&](R& r) {
        addPeriod(r, r.synctpdo100ms_min, r.synctpdo100ms_max, r.synctpdo100ms_diff,
                  r.synctpdo100ms_ave, r.synctpdo100ms_sum, r.synctpdo100ms_count, kFlagSync100Min, 0,
                  ms);
    });
}

void TDeviceSummary::AddSyncTPDO10msTime(float ms) {
    modify([&](R& r) {
        addPeriod(r, r.synctpdo10ms_min, r.synctpdo10ms_max, r.synctpdo10ms_diff, r.synctpdo10ms_ave,
                  r.synctpdo10ms_sum, r.synctpdo10ms_count, kFlagSync10Min, 0, ms);
    });
}

void TDeviceSummary::UpdateMaxBusLoad(float v) {
    modify([&](R& r) { keepLarger(r, r.maxbusload, kFlagMaxBusLoad, v); });
}
void TDeviceSummary::UpdateMaxBurstLength(float v) {
    modify([&](R& r) { keepLarger(r, r.maxburstlength, kFlagMaxBurstLength, v); });
}
void TDeviceSummary::UpdatePeakMessageRate(float v) {
    modify([&](R& r) { keepLarger(r, r.peakmessagerate, kFlagPeakMessageRate, v); });
}

// ---- Field table ----

namespace {
using T = SummaryType;
using W = ScriptWrite;
using D = TDeviceSummary;
} // namespace

#define OSTREL_FIELD(name, type, flag, write, doc, setter) \
    SummaryField { #name, type, flag, write, doc, offsetof(R, name), SummarySetter{setter} }
#define OSTREL_STAT(name, flag, doc) OSTREL_FIELD(name, T::F32, flag, W::Ignored, doc, std::monostate{})

constexpr std::array<SummaryField, kSummaryFieldCount> kSummaryFields{{
    OSTREL_FIELD(devicetype, T::U32, kFlagDeviceType, W::Masked, "device type", &D::SetDeviceType),
    OSTREL_FIELD(vendor, T::U32, kFlagVendor, W::Masked, "vendor id", &D::SetVendor),
    OSTREL_FIELD(nodeid, T::U8, kFlagNodeId, W::Masked, "noder id", &D::SetNodeId),
    OSTREL_FIELD(baudrate, T::U32, kFlagBaudrate, W::Signed, "baud rate", &D::SetBaudrate),
    OSTREL_FIELD(bootuptime, T::F32, kFlagBootupTime, W::AddTime, "bootup time", &D::AddBootupTime),
    OSTREL_FIELD(nmtmaster, T::U8, kFlagNmtMaster, W::Boolean, "nmt master", &D::SetNMTMaster),
    OSTREL_FIELD(sdomanager, T::U8, kFlagSdoManager, W::Boolean, "sdo manager", &D::SetSDOManager),
    OSTREL_FIELD(configmanager, T::U8, kFlagConfigManager, W::Boolean, "config manager",
                 &D::SetConfigManager),
    OSTREL_FIELD(autostart, T::U8, kFlagAutoStart, W::Boolean, "auto start", &D::SetAutoStart),
    OSTREL_FIELD(lss, T::U32, kFlagLss, W::Signed, "layer setting services", &D::SetLSS),
    OSTREL_FIELD(rpdonum, T::U32, kFlagRpdoNum, W::Signed, "number of rpdos", &D::SetRPDONum),
    OSTREL_FIELD(tpdonum, T::U32, kFlagTpdoNum, W::Signed, "number of tpdos", &D::SetTPDONum),
    OSTREL_FIELD(pdolinking, T::U32, kFlagPdoLinking, W::Signed, "pdo linking", &D::SetPDOLinking),
    OSTREL_FIELD(pdomapping, T::U32, kFlagPdoMapping, W::Signed, "pdo mapping", &D::SetPDOMapping),
    OSTREL_FIELD(syncconsumer, T::U8, kFlagSyncConsumer, W::Boolean, "sync consumer",
                 &D::SetSyncConsumer),
    OSTREL_FIELD(syncproducer, T::U8, kFlagSyncProducer, W::Boolean, "sync producer",
                 &D::SetSyncProducer),
    OSTREL_FIELD(heartbeatconsumer, T::U8, kFlagHeartbeatConsumer, W::Boolean, "heartbeat consumer",
                 &D::SetHeartbeatConsumer),
    OSTREL_FIELD(heartbeatproducer, T::U8, kFlagHeartbeatProducer, W::Boolean, "heartbeat producer",
                 &D::SetHeartbeatProducer),
    OSTREL_FIELD(nodeguarding, T::U8, kFlagNodeGuarding, W::Boolean, "node guarding",
                 &D::SetNodeGuarding),
    OSTREL_FIELD(storeparameters, T::U8, kFlagStoreParameters, W::Boolean, "store parameters",
                 &D::SetStoreParameters),
    OSTREL_FIELD(emcyconsumer, T::U8, kFlagEmcyConsumer, W::Boolean, "emergency consumer",
                 &D::SetEmcyConsumer),
    OSTREL_FIELD(emcyproducer, T::U8, kFlagEmcyProducer, W::Boolean, "emergency producer",
                 &D::SetEmcyProducer),
    OSTREL_FIELD(sdoclientnum, T::U32, kFlagSdoClientNum, W::Signed, "number of sdo clients",
                 &D::SetSDOClientNum),
    OSTREL_FIELD(sdoservernum, T::U32, kFlagSdoServerNum, W::Signed, "number of sdo servers",
                 &D::SetSDOServerNum),
    OSTREL_STAT(bootup_min, kFlagBootupGroup, "min bootup time"),
    OSTREL_STAT(bootup_max, kFlagBootupGroup, "max bootup time"),
    OSTREL_STAT(bootup_average, kFlagBootupGroup, "average bootup time"),
    OSTREL_FIELD(bootup_numtries, T::U32, kFlagBootupGroup, W::Ignored, "number of bootup tries",
                 std::monostate{}),
    OSTREL_STAT(bootup_total, kFlagBootupGroup, "total bootups"),
    OSTREL_STAT(sdoresponse_min, kFlagSdoResponseGroup, "min sdo response time"),
    OSTREL_STAT(sdoresponse_max, kFlagSdoResponseGroup, "max sdo response time"),
    OSTREL_STAT(sdoresponse_average, kFlagSdoResponseGroup, "average sdo response time"),
    OSTREL_FIELD(sdoresponse_numtries, T::U32, kFlagSdoResponseGroup, W::Ignored,
                 "number of sdo response tries", std::monostate{}),
    OSTREL_STAT(sdoresponse_total, kFlagSdoResponseGroup, "total sdo responses"),
    OSTREL_STAT(heartbeat100ms_min, kFlagHeartbeatMin, "min 100ms heartbeat time"),
    OSTREL_STAT(heartbeat100ms_max, kFlagHeartbeatMax, "max 100ms heartbeat time"),
    OSTREL_STAT(heartbeat100ms_dev, kFlagHeartbeatDev, "100ms heartbeat time deviation"),
    OSTREL_STAT(nodeguarding100ms_min, kFlagNodeGuardingMin, "min 100ms node guarding time"),
    OSTREL_STAT(nodeguarding100ms_max, kFlagNodeGuardingMax, "max 100ms node guarding time"),
    OSTREL_STAT(nodeguarding100ms_diff, kFlagNodeGuardingDiff, "100ms node guarding time difference"),
    OSTREL_STAT(eventtpdo100ms_min, kFlagEvent100Min, "min 100ms event tpdo time"),
    OSTREL_STAT(eventtpdo100ms_max, kFlagEvent100Max, "max 100ms event tpdo time"),
    OSTREL_STAT(eventtpdo100ms_dev, kFlagEvent100Dev, "100ms event tpdo time deviation"),
    OSTREL_STAT(eventtpdo100ms_ave, kFlagEvent100Ave, "100ms event tpdo time average"),
    OSTREL_STAT(eventtpdo10ms_min, kFlagEvent10Min, "min 10ms event tpdo time"),
    OSTREL_STAT(eventtpdo10ms_max, kFlagEvent10Max, "max 10ms event tpdo time"),
    OSTREL_STAT(eventtpdo10ms_dev, kFlagEvent10Dev, "10ms event tpdo time deviation"),
    OSTREL_STAT(eventtpdo10ms_ave, kFlagEvent10Ave, "10ms event tpdo time average"),
    OSTREL_STAT(synctpdo100ms_min, kFlagSync100Min, "min 100ms sync tpdo time"),
    OSTREL_STAT(synctpdo100ms_max, kFlagSync100Max, "max 100ms sync tpdo time"),
    OSTREL_STAT(synctpdo100ms_diff, kFlagSync100Diff, "100ms sync tpdo time difference"),
    OSTREL_STAT(synctpdo100ms_ave, kFlagSync100Ave, "100ms sync tpdo time average"),
    OSTREL_STAT(synctpdo10ms_min, kFlagSync10Min, "min 10ms sync tpdo time"),
    OSTREL_STAT(synctpdo10ms_max, kFlagSync10Max, "max 10ms sync tpdo time"),
    OSTREL_STAT(synctpdo10ms_diff, kFlagSync10Diff, "10ms sync tpdo time difference"),
    OSTREL_STAT(synctpdo10ms_ave, kFlagSync10Ave, "10ms sync tpdo time average"),
    OSTREL_FIELD(maxbusload, T::F32, kFlagMaxBusLoad, W::KeepLarger, "max bus load",
                 &D::UpdateMaxBusLoad),
    OSTREL_FIELD(maxburstlength, T::F32, kFlagMaxBurstLength, W::KeepLarger, "max burst length",
                 &D::UpdateMaxBurstLength),
    OSTREL_FIELD(peakmessagerate, T::F32, kFlagPeakMessageRate, W::KeepLarger, "peak message rate",
                 &D::UpdatePeakMessageRate),
    OSTREL_FIELD(compatibilityrating, T::S32, kFlagCompatibilityRating, W::Signed,
                 "compatibility rating", &D::SetCompatibilityRating),
    OSTREL_FIELD(performancerating, T::S32, kFlagPerformanceRating, W::Signed, "performance rating",
                 &D::SetPerformanceRating),
    OSTREL_FIELD(reliabilityrating, T::S32, kFlagReliabilityRating, W::Signed, "reliability rating",
                 &D::SetReliabilityRating),
}};

#undef OSTREL_STAT
#undef OSTREL_FIELD

constexpr std::array<SummaryPresence, kSummaryPresenceCount> kSummaryPresence{{
    {"bootup_hasdata", "bootup data present", kFlagBootupGroup, 1},
    {"sdoresponse_hasdata", "sdo response data present", kFlagSdoResponseGroup, 1},
    {"heartbeat100ms_hasdata", "100ms heartbeat data present", kFlagHeartbeatMin, 3},
    {"nodeguarding100ms_hasdata", "100ms node guarding data present", kFlagNodeGuardingMin, 3},
    {"eventtpdo100ms_hasdata", "100ms event tpdo data present", kFlagEvent100Min, 4},
    {"eventtpdo10ms_hasdata", "10ms event tpdo data present", kFlagEvent10Min, 4},
    {"synctpdo100ms_hasdata", "100ms sync tpdo data present", kFlagSync100Min, 4},
    {"synctpdo10ms_hasdata", "10ms sync tpdo data present", kFlagSync10Min, 4},
}};

namespace {

// Every row's setter matches its type and write rule; statistics have none.
constexpr bool tableIsConsistent() {
    for (const SummaryField& f : kSummaryFields) {
        bool hasSetter = !std::holds_alternative<std::monostate>(f.setter);
        if (hasSetter != (f.script != W::Ignored))
            return false;
        switch (f.type) {
        case T::U8:
            if (hasSetter && !std::holds_alternative<void (D::*)(uint8_t)>(f.setter)) return false;
            break;
        case T::U32:
            if (hasSetter && !std::holds_alternative<void (D::*)(uint32_t)>(f.setter)) return false;
            break;
        case T::S32:
            if (hasSetter && !std::holds_alternative<void (D::*)(int32_t)>(f.setter)) return false;
            break;
        case T::F32:
            if (hasSetter && !std::holds_alternative<void (D::*)(float)>(f.setter)) return false;
            break;
        }
    }
    return true;
}
static_assert(tableIsConsistent());

} // namespace

const SummaryField* findSummaryField(const char* name) {
    for (const SummaryField& f : kSummaryFields)
        if (std::strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

bool isFieldSet(const DeviceSummaryRecord& record, const SummaryField& field) {
    return record.flags[field.flag] != 0;
}

bool isPresent(const DeviceSummaryRecord& record, const SummaryPresence& presence) {
    for (int i = 0; i < presence.flagCount; ++i)
        if (record.flags[static_cast<size_t>(presence.firstFlag) + static_cast<size_t>(i)])
            return true;
    return false;
}

namespace {
template <class V>
V load(const DeviceSummaryRecord& record, size_t offset) {
    V v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof v);
    return v;
}
} // namespace

int64_t fieldInteger(const DeviceSummaryRecord& record, const SummaryField& field) {
    switch (field.type) {
    case T::U8: return load<uint8_t>(record, field.offset);
    case T::U32: return load<uint32_t>(record, field.offset);
    case T::S32: return load<int32_t>(record, field.offset);
    case T::F32: {
        float v = load<float>(record, field.offset);
        return std::isfinite(v) && std::fabs(v) < 9.0e18f ? static_cast<int64_t>(v) : 0;
    }
    }
    return 0;
}

double fieldFloat(const DeviceSummaryRecord& record, const SummaryField& field) {
    if (field.type == T::F32)
        return load<float>(record, field.offset);
    return static_cast<double>(fieldInteger(record, field));
}

} // namespace ostrel::vessolt

#pragma once
// The device summary: what the tests learn about the device under test and what they measure, each
// value with an is-set flag, plus the three ratings that the ratings script computes. Written by the
// test worker and the script, shown by the main window, which learns of changes through
// WM_DEVICESUMMARYCHANGED. No Qt here: the script module includes this header.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <variant>

#include "services/message_sink.h"

namespace ostrel::vessolt {

// Indices into DeviceSummaryRecord::flags. The boot-up and SDO-response statistics share one flag
// per group; every other value has its own.
enum SummaryFlag : uint8_t {
    kFlagDeviceType, kFlagVendor, kFlagNodeId, kFlagBaudrate, kFlagBootupTime, kFlagNmtMaster,
    kFlagSdoManager, kFlagConfigManager, kFlagAutoStart, kFlagLss, kFlagRpdoNum, kFlagTpdoNum,
    kFlagPdoLinking, kFlagPdoMapping, kFlagSyncConsumer, kFlagSyncProducer, kFlagHeartbeatConsumer,
    kFlagHeartbeatProducer, kFlagNodeGuarding, kFlagStoreParameters, kFlagEmcyConsumer,
    kFlagEmcyProducer, kFlagSdoClientNum, kFlagSdoServerNum,
    kFlagBootupGroup, kFlagSdoResponseGroup,
    kFlagHeartbeatMin, kFlagHeartbeatMax, kFlagHeartbeatDev,
    kFlagNodeGuardingMin, kFlagNodeGuardingMax, kFlagNodeGuardingDiff,
    kFlagEvent100Min, kFlagEvent100Max, kFlagEvent100Dev, kFlagEvent100Ave,
    kFlagEvent10Min, kFlagEvent10Max, kFlagEvent10Dev, kFlagEvent10Ave,
    kFlagSync100Min, kFlagSync100Max, kFlagSync100Diff, kFlagSync100Ave,
    kFlagSync10Min, kFlagSync10Max, kFlagSync10Diff, kFlagSync10Ave,
    kFlagMaxBusLoad, kFlagMaxBurstLength, kFlagPeakMessageRate,
    kFlagCompatibilityRating, kFlagPerformanceRating, kFlagReliabilityRating,
    kSummaryFlagCount
};
static_assert(kSummaryFlagCount == 54);

// The whole summary, copied as one by GetSummary. Values without their flag set read as "no value".
struct DeviceSummaryRecord {
    uint32_t devicetype;
    uint32_t vendor;
    uint8_t nodeid;
    uint32_t baudrate;  // kbit/s
    float bootuptime;   // ms, the last one added
    uint8_t nmtmaster;
    uint8_t sdomanager;
    uint8_t configmanager;
    uint8_t autostart;
    uint32_t lss;
    uint32_t rpdonum;
    uint32_t tpdonum;
    uint32_t pdolinking;
    uint32_t pdomapping;
    uint8_t syncconsumer;
    uint8_t syncproducer;
    uint8_t heartbeatconsumer;
    uint8_t heartbeatproducer;
    uint8_t nodeguarding;
    uint8_t storeparameters;
    uint8_t emcyconsumer;
    uint8_t emcyproducer;
    uint32_t sdoclientnum;
    uint32_t sdoservernum;
    float bootup_min, bootup_max, bootup_average;
    uint32_t bootup_numtries;
    float bootup_total;
    float sdoresponse_min, sdoresponse_max, sdoresponse_average;
    uint32_t sdoresponse_numtries;
    float sdoresponse_total;
    float heartbeat100ms_min, heartbeat100ms_max, heartbeat100ms_dev;  // dev: percent of 100 ms
    float nodeguarding100ms_min, nodeguarding100ms_max, nodeguarding100ms_diff;
    float eventtpdo100ms_min, eventtpdo100ms_max, eventtpdo100ms_dev, eventtpdo100ms_ave;
    double eventtpdo100ms_sum;
    uint32_t eventtpdo100ms_count;
    float eventtpdo10ms_min, eventtpdo10ms_max, eventtpdo10ms_dev, eventtpdo10ms_ave;
    double eventtpdo10ms_sum;
    uint32_t eventtpdo10ms_count;
    float synctpdo100ms_min, synctpdo100ms_max, synctpdo100ms_diff, synctpdo100ms_ave;
    double synctpdo100ms_sum;
    uint32_t synctpdo100ms_count;
    float synctpdo10ms_min, synctpdo10ms_max, synctpdo10ms_diff, synctpdo10ms_ave;
    double synctpdo10ms_sum;
    uint32_t synctpdo10ms_count;
    float maxbusload;       // percent
    float maxburstlength;
    float peakmessagerate;  // messages per second
    int32_t compatibilityrating;
    int32_t performancerating;
    int32_t reliabilityrating;
    std::array<uint8_t, kSummaryFlagCount> flags;  // each 0 or 1
};

class TDeviceSummary {
public:
    TDeviceSummary() { Clear(); }
    TDeviceSummary(const TDeviceSummary&) = delete;
    TDeviceSummary& operator=(const TDeviceSummary&) = delete;

    // False (and `out` untouched) when the lock could not be had in time.
    [[nodiscard]] bool GetSummary(DeviceSummaryRecord& out) const;
    // 0 when the lock could not be had in time.
    [[nodiscard]] uint32_t GetBaudrate() const;
    // Every value and flag to 0 except the bit rate, which is set when the hardware opens.
    void Clear();

    void SetDeviceType(uint32_t v);
    void SetVendor(uint32_t v);
    void SetNodeId(uint8_t v);
    void SetBaudrate(uint32_t v);
    void SetLSS(uint32_t v);
    void SetRPDONum(uint32_t v);
    void SetTPDONum(uint32_t v);
    void SetPDOLinking(uint32_t v);
    void SetPDOMapping(uint32_t v);
    void SetSDOClientNum(uint32_t v);
    void SetSDOServerNum(uint32_t v);
    void SetCompatibilityRating(int32_t v);
    void SetPerformanceRating(int32_t v);
    void SetReliabilityRating(int32_t v);
    // The booleans store the byte as given.
    void SetNMTMaster(uint8_t v);
    void SetSDOManager(uint8_t v);
    void SetConfigManager(uint8_t v);
    void SetAutoStart(uint8_t v);
    void SetSyncConsumer(uint8_t v);
    void SetSyncProducer(uint8_t v);
    void SetHeartbeatConsumer(uint8_t v);
    void SetHeartbeatProducer(uint8_t v);
    void SetNodeGuarding(uint8_t v);
    void SetStoreParameters(uint8_t v);
    void SetEmcyConsumer(uint8_t v);
    void SetEmcyProducer(uint8_t v);

    // Timing statistics, each given one time in ms. A measured 0 is a value: the first time added
    // becomes minimum and maximum whatever it is.
    void AddBootupTime(float ms);
    void AddSDOResponseTime(float ms);
    void AddHeartbeatTime(float ms);
    void AddNodeGuardingTime(float ms);
    void AddEventTPDO100msTime(float ms);
    void AddEventTPDO10msTime(float ms);
    void AddSyncTPDO100msTime(float ms);
    void AddSyncTPDO10msTime(float ms);

    // The first value is taken whatever it is, later ones only when larger.
    void UpdateMaxBusLoad(float v);
    void UpdateMaxBurstLength(float v);
    void UpdatePeakMessageRate(float v);

    void AddListener(MessageSink* sink) { listeners_.add(sink); }
    void RemoveListener(MessageSink* sink) { listeners_.remove(sink); }

private:
    static constexpr auto kLockWait = std::chrono::milliseconds(500);

    // Runs `change` on the record under the lock, then posts WM_DEVICESUMMARYCHANGED after release.
    // A change that cannot get the lock in time is skipped and posts nothing.
    template <class Change>
    void modify(Change&& change);
    void setByte(uint8_t DeviceSummaryRecord::*field, SummaryFlag flag, uint8_t v);
    void setDword(uint32_t DeviceSummaryRecord::*field, SummaryFlag flag, uint32_t v);

    mutable std::timed_mutex mutex_;
    DeviceSummaryRecord record_{};
    ListenerList listeners_;
};

// ---- The field table: one row per named field, used by the script type and the display ----

enum class SummaryType : uint8_t { U8, U32, S32, F32 };

// What an assignment from the ratings script does.
enum class ScriptWrite : uint8_t {
    Ignored,     // statistics: accepted, changes nothing
    Masked,      // an unsigned integer truncated to the field
    Signed,      // a 32-bit integer through the plain setter
    Boolean,     // stored as 1 when non-zero, else 0
    AddTime,     // bootuptime: adds a boot-up time
    KeepLarger,  // bus maxima: kept when larger or when none was set
};

using SummarySetter = std::variant<std::monostate, void (TDeviceSummary::*)(uint8_t),
                                   void (TDeviceSummary::*)(uint32_t),
                                   void (TDeviceSummary::*)(int32_t), void (TDeviceSummary::*)(float)>;

struct SummaryField {
    const char* name;  // attribute name of the script type
    SummaryType type;
    SummaryFlag flag;  // own or group flag deciding between the value and "no value"
    ScriptWrite script;
    const char* doc;   // attribute documentation of the script type
    size_t offset;     // of the value in DeviceSummaryRecord
    SummarySetter setter;
};

// A script-only flag: set when any of a group's flags is set.
struct SummaryPresence {
    const char* name;
    const char* doc;
    SummaryFlag firstFlag;
    uint8_t flagCount;
};

inline constexpr size_t kSummaryFieldCount = 62;
inline constexpr size_t kSummaryPresenceCount = 8;
extern const std::array<SummaryField, kSummaryFieldCount> kSummaryFields;
extern const std::array<SummaryPresence, kSummaryPresenceCount> kSummaryPresence;

// nullptr when no field has that name.
[[nodiscard]] const SummaryField* findSummaryField(const char* name);
[[nodiscard]] bool isFieldSet(const DeviceSummaryRecord& record, const SummaryField& field);
[[nodiscard]] bool isPresent(const DeviceSummaryRecord& record, const SummaryPresence& presence);
// The raw value, whether set or not: u8 and u32 zero-extended, s32 sign-extended, f32 widened.
[[nodiscard]] int64_t fieldInteger(const DeviceSummaryRecord& record, const SummaryField& field);
[[nodiscard]] double fieldFloat(const DeviceSummaryRecord& record, const SummaryField& field);

} // namespace ostrel::vessolt

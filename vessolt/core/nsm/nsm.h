#pragma once
// The driver of the Norbix Support Module: finds the module among the nodes that booted and reads
// its version over the module's command protocol on objects 0x1F50 and 0x1F51. All transfers go
// through the common test services' blocking SDO.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace ostrel::vessolt {

class CanopenApi;
class TCommonTest;
class UserPrompt;

// One entry of a transmission list as the module receives it (16 bytes, little-endian).
//   word 0: bits 31-12 time div 100 (100-us units), bits 11-8 (time mod 100) div 16, bits 7-0 DLC
//   word 1: CAN identifier in bits 28-0, bit 30 set = remote frame
struct NSMListEntry {
    uint32_t timeLength;
    uint32_t identifier;
    uint8_t data[8];
};
static_assert(sizeof(NSMListEntry) == 16);
static_assert(offsetof(NSMListEntry, identifier) == 4 && offsetof(NSMListEntry, data) == 8);
static_assert(std::endian::native == std::endian::little, "list entries are sent as stored");

// A frame the device tests hand to the list writers.
struct NSMStimulusFrame {
    uint32_t identifier;
    uint8_t dlc;
    uint8_t data[8];
};

// A row of a static traffic table (20 bytes); a table ends with a row whose identifier is 0.
struct NSMTrafficRecord {
    uint32_t timeUs;
    uint32_t identifier;  // bit 30 = remote frame
    uint8_t dlc;
    uint8_t data[8];
    uint8_t reserved[3];
};
static_assert(sizeof(NSMTrafficRecord) == 20);
static_assert(offsetof(NSMTrafficRecord, dlc) == 8 && offsetof(NSMTrafficRecord, data) == 9);

enum NSMList : uint32_t {
    nsmListStimulus = 1,
    nsmListBackground = 2,
    nsmListErrorControlTraffic = 3,
    nsmListSDOTraffic = 4,
    nsmListPDOTraffic = 5,
    nsmListSyncTraffic = 6,
};

inline constexpr uint32_t kNSMRemoteFrame = 0x40000000;
inline constexpr uint32_t kNSMIdentifierMask = 0x1FFFFFFF;
// The largest entry time the list format holds: 0xFFFFF units of 100 us and a remainder below 100.
inline constexpr uint32_t kNSMMaxEntryTimeUs = 0xFFFFFu * 100u + 99u;

// Rows of the four traffic tables, in the order of lists 3 to 6.
inline constexpr int kTR308Rows[4] = {22, 2, 44, 8};
// The traffic table of list 3 + kind (kind 0..3) for a bit rate in kbit/s; a rate without a table
// of its own takes the 125 kbit/s group. The table ends with its identifier-0 row.
[[nodiscard]] const NSMTrafficRecord* TR308Table(int kind, uint32_t bitRateKbit);

// The network a bit-rate change of the module leaves and returns to.
struct NSMLinks {
    CanopenApi* api = nullptr;
    UserPrompt* prompt = nullptr;
    // The hardware configuration: the user's network handle and its hardware handle.
    std::function<uint32_t()> userNetwork;
    std::function<uint32_t()> hardwareHandle;
    // The hardware configuration's bit rate, kbit/s.
    std::function<uint32_t()> bitRateKbit;
    // Waits of the bit-rate and node-id changes (ms); tests shorten them.
    uint32_t commandSettleMs = 500;
    uint32_t restartSettleMs = 1000;
};

class TNSM {
public:
    static constexpr uint32_t kTransferCapacity = 20000;
    static constexpr uint16_t kListObject = 0x1F50;
    static constexpr uint16_t kControlObject = 0x1F51;
    static constexpr uint8_t kNoModule = 0xFF;

    explicit TNSM(TCommonTest& commonTest, NSMLinks links = {});
    ~TNSM();
    TNSM(const TNSM&) = delete;
    TNSM& operator=(const TNSM&) = delete;

    // Forgets the module; the error-control mode and the loaded flag stay.
    void Reset();
    [[nodiscard]] bool IsFound() const { return nodeId_ < kNoModule; }
    // True when `node` is a support module; it is then the one found. cancel may be null.
    [[nodiscard]] bool Find(uint8_t node, const uint8_t* cancel);
    [[nodiscard]] bool QueryVersion(uint8_t node, uint8_t subIndex, uint32_t* major, uint32_t* minor);

    [[nodiscard]] uint8_t GetNodeId() const { return nodeId_; }
    [[nodiscard]] uint32_t GetMajorVersion() const { return majorVersion_; }
    [[nodiscard]] uint32_t GetMinorVersion() const { return minorVersion_; }
    [[nodiscard]] uint32_t GetListObject() const { return listObject_; }
    [[nodiscard]] uint8_t GetListSubIndex() const { return listSubIndex_; }
    [[nodiscard]] uint32_t GetControlObject() const { return controlObject_; }
    [[nodiscard]] uint8_t GetControlSubIndex() const { return controlSubIndex_; }

    // Error control of the device under test: 0 none, 1 heartbeat, 2 node guarding.
    void SetErrorControlMode(uint32_t mode);
    [[nodiscard]] uint32_t GetErrorControlMode() const { return errorControlMode_; }
    [[nodiscard]] bool ListsLoaded() const { return listsLoaded_; }

    // List-entry time in microseconds; false (entry untouched) when the format cannot hold it.
    static bool SetEntryTime(NSMListEntry& entry, uint32_t timeUs);
    [[nodiscard]] static uint32_t GetEntryTime(const NSMListEntry& entry);
    static void SetEntryLength(NSMListEntry& entry, uint8_t dlc);

    // Starts the loaded lists; true without bus traffic when none are loaded.
    [[nodiscard]] bool StartTransmission();
    // Returns the module's node id after the change, 0 on failure (already shown to the user).
    [[nodiscard]] uint8_t ChangeBaudrate(uint32_t newRate, uint32_t currentRate);
    [[nodiscard]] bool ChangeNodeId(uint8_t currentNode, uint8_t newNode, uint32_t rate);
    [[nodiscard]] bool SwitchToUserNetwork(bool silent);

    // The list writers: true when every required download succeeded.
    [[nodiscard]] bool WriteTPDOSyncLists(uint32_t syncId, uint32_t periodMs, uint8_t node, uint32_t options);
    [[nodiscard]] bool WriteTPDOSyncRPDOsLists(uint32_t syncId, uint32_t periodMs, uint8_t node,
                                               const NSMStimulusFrame* frames, int count, uint32_t options);
    [[nodiscard]] bool WriteTPDOEventLists(uint8_t node, uint32_t options);
    [[nodiscard]] bool WriteTPDOEventRPDOsLists(uint32_t periodMs, uint8_t node, const NSMStimulusFrame* frames,
                                                int count, uint32_t options);
    [[nodiscard]] bool WriteODScanLists(uint8_t node);
    [[nodiscard]] bool WritePDOAnalysisLists(uint8_t node);
    // index is 1-based into both arrays of count frames.
    [[nodiscard]] bool WritePDOTurnaroundLists(uint32_t periodMs, uint8_t node, const NSMStimulusFrame* phase1,
                                               const NSMStimulusFrame* phase2, uint32_t index, uint32_t count,
                                               uint32_t options);

    // Building blocks of the writers; the builders return the entries written, -1 when a time does
    // not fit the list format.
    [[nodiscard]] static int BuildSDOLoad(NSMListEntry* entries, uint8_t node, uint16_t index, uint8_t subIndex,
                                          uint32_t spanMs, uint32_t intervalMs);
    [[nodiscard]] int BuildGuardingLoad(NSMListEntry* entries, uint8_t node, uint32_t spanMs, uint32_t intervalMs) const;
    static void SortList(NSMListEntry* entries, int count);
    static void AlignListToPeriod(NSMListEntry* entries, int count);
    [[nodiscard]] bool WriteTrafficList(const NSMTrafficRecord* table, uint32_t list);
    [[nodiscard]] bool WriteTR308Lists(uint32_t options);

private:
    [[nodiscard]] bool download(uint8_t node, uint16_t index, uint8_t subIndex, const void* data, uint32_t size);
    [[nodiscard]] bool selectList(uint32_t list);
    [[nodiscard]] bool downloadEntries(const NSMListEntry* entries, int count);
    // Lists 2 and the traffic lists after list 1 was written (or skipped).
    [[nodiscard]] bool finishWithBackground(uint8_t node, uint32_t options);
    [[nodiscard]] bool writeGuardingOnly(uint8_t node);
    // The [1F50] sub-entry reading "ChHW" of the node, 0 when none (the failure has been shown).
    [[nodiscard]] uint8_t findHardwareChannel(uint8_t node);
    void warn(const char* text);
    void inform(const char* text);
    // An upload of [kListObject, subIndex] into the transfer buffer; the size holds what came.
    [[nodiscard]] bool uploadList(uint8_t node, uint8_t subIndex, const uint8_t* cancel);

    TCommonTest& commonTest_;
    NSMLinks links_;
    std::unique_ptr<uint8_t[]> transfer_;
    uint32_t transferSize_ = 0;
    uint8_t nodeId_ = kNoModule;
    uint32_t majorVersion_ = 0;
    uint32_t minorVersion_ = 0;
    uint32_t listObject_ = 0;
    uint8_t listSubIndex_ = 0;
    uint32_t controlObject_ = 0;
    uint8_t controlSubIndex_ = 0;
    uint32_t errorControlMode_ = 0;
    bool listsLoaded_ = false;
    const uint8_t neverCancel_ = 0;  // the driver's own transfers are not cancelled
};

} // namespace ostrel::vessolt

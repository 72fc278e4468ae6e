#pragma once
// The device summary as the main window shows it: one text per value label, formatted from a copy of
// the summary, and the DEVICE SUMMARY report section written from those texts. The report therefore
// holds exactly what the window showed. Numbers are formatted in the C locale whatever the program's
// locale is. No Qt here.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "services/device_summary.h"

namespace ostrel::vessolt {

// One string per value label of the summary view; "-" for a value that is not set.
struct SummaryTexts {
    // General Device Info
    std::string devicetype, devicetypeadditional;
    std::string manufacturer, manufacturerdept;
    std::string nodeid, bootuptime;
    std::string lss, baudrate, pdolinking, pdomapping;
    std::string rpdonum, tpdonum, sdoservernum, sdoclientnum;
    std::string nmtmaster, sdomanager, configmanager, autostart, syncconsumer, syncproducer;
    std::string heartbeatconsumer, heartbeatproducer, nodeguarding, storeparameters;
    std::string emcyconsumer, emcyproducer;
    // Timings
    std::string bootupmin, bootupmax, bootupaverage, bootuptries;
    std::string sdoresponsemin, sdoresponsemax, sdoresponseaverage, sdoresponsetries;
    // Test Summary
    std::string heartbeat100msmin, heartbeat100msmax, heartbeat100msdev;
    std::string nodeguarding100msmin, nodeguarding100msmax, nodeguarding100msdiff;
    std::string eventtpdo100msmin, eventtpdo100msmax, eventtpdo100msdev, eventtpdo100msave;
    std::string eventtpdo10msmin, eventtpdo10msmax, eventtpdo10msdev, eventtpdo10msave;
    std::string synctpdo100msmin, synctpdo100msmax, synctpdo100msdiff, synctpdo100msave;
    std::string synctpdo10msmin, synctpdo10msmax, synctpdo10msdiff, synctpdo10msave;
    std::string peakmessagerate, maxbusload, maxburstlength;
    // Overall Rating
    std::string compatibilityrating, performancerating, reliabilityrating;
};

// The value labels in the order the view refreshes them: the label's control name, its static
// caption (empty for a second line or a table cell under column headers) and its text.
struct SummaryLabel {
    const char* name;
    const char* caption;
    std::string SummaryTexts::*text;
};
inline constexpr std::size_t kSummaryLabelCount = 62;
extern const SummaryLabel kSummaryLabels[kSummaryLabelCount];

// What the view asks the name model: the texts shown beside the device type, the vendor and the node
// id. The defaults answer as an empty name store does.
class SummaryNames {
public:
    struct TextPair {
        std::string first;   // profile / vendor name
        std::string second;  // bit names / department
    };

    virtual ~SummaryNames() = default;
    // Profile text and bit-names text of a device type (object 0x1000).
    [[nodiscard]] virtual TextPair DeviceTypeText(uint32_t /*value*/) const { return {"<unknown>", ""}; }
    // Vendor text and department text of a vendor id (object 0x1018 sub-index 1).
    [[nodiscard]] virtual TextPair VendorText(uint32_t /*value*/) const { return {"<unknown>", ""}; }
    // The node's name; nullopt when the node is unknown or unnamed.
    [[nodiscard]] virtual std::optional<std::string> NodeName(uint8_t /*nodeId*/) const {
        return std::nullopt;
    }
};

// Answers from a name store with GetDeviceTypeText, GetVendorText and GetNodeName (the view passes
// 2000-byte buffers, so the texts are cut to 1999 bytes).
template <class Store>
class StoreSummaryNames : public SummaryNames {
public:
    static constexpr std::size_t kTextBufferSize = 2000;

    explicit StoreSummaryNames(const Store& store) : store_(store) {}
    TextPair DeviceTypeText(uint32_t value) const override {
        auto t = store_.GetDeviceTypeText(value, kTextBufferSize, kTextBufferSize);
        return {std::move(t.profile), std::move(t.bits)};
    }
    TextPair VendorText(uint32_t value) const override {
        auto t = store_.GetVendorText(value, kTextBufferSize, kTextBufferSize);
        return {std::move(t.vendor), std::move(t.department)};
    }
    std::optional<std::string> NodeName(uint8_t nodeId) const override { return store_.GetNodeName(nodeId); }

private:
    const Store& store_;
};

// The label texts for a copy of the summary.
[[nodiscard]] SummaryTexts FormatSummary(const DeviceSummaryRecord& record,
                                         const SummaryNames& names = SummaryNames{});

// The DEVICE SUMMARY report section: layout 0 fixed width, 1 tab-delimited, any other only the
// heading. Write errors stay in the stream's error flag for the caller to check.
void WriteDeviceSummary(std::FILE* out, int layout, const SummaryTexts& texts);

// What the main window shows of the summary: the label texts of its last refresh. The report section
// is written from them, so a change that was posted but not yet handled is in neither. GUI thread
// only, but for RequestRefresh.
class SummaryDisplay {
public:
    explicit SummaryDisplay(const TDeviceSummary& summary) : summary_(summary) {}

    // Copies the summary and formats the texts. When the summary's lock cannot be had in time the
    // texts stay as they were and the result is false.
    bool Refresh(const SummaryNames& names = SummaryNames{});
    [[nodiscard]] const SummaryTexts& Texts() const { return texts_; }
    // The DEVICE SUMMARY section from the texts shown.
    void WriteReport(std::FILE* out, int layout) const { WriteDeviceSummary(out, layout, texts_); }

    // From any thread (a name-model load callback): true for the first request since the last
    // Refresh, when the caller posts one refresh to the GUI thread; later ones ride along with it.
    [[nodiscard]] bool RequestRefresh() { return !refreshPending_.exchange(true); }

private:
    const TDeviceSummary& summary_;
    SummaryTexts texts_;
    std::atomic<bool> refreshPending_{false};
};

} // namespace ostrel::vessolt

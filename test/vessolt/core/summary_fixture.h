#pragma once
// A device summary with every value set, and a name store that knows its device type, vendor and
// node: the inputs of the summary and report goldens.
#include <optional>
#include <string>

#include "testing/summary_text.h"

namespace ostrel::vessolt::summary_fixture {

struct NamedStore : SummaryNames {
    TextPair DeviceTypeText(uint32_t value) const override {
        return value == 0x000F0191 ? TextPair{"I/O module", "Digital input, Digital output"}
                                   : TextPair{"<unknown>", ""};
    }
    TextPair VendorText(uint32_t value) const override {
        return value == 0x01000123 ? TextPair{"Ostrel Devices", "Test Lab"} : TextPair{"<unknown>", ""};
    }
    std::optional<std::string> NodeName(uint8_t id) const override {
        return id == 5 ? std::optional<std::string>("Drive") : std::nullopt;
    }
};

// Every value set; the texts of the golden files.
inline DeviceSummaryRecord fullRecord() {
    DeviceSummaryRecord r{};
    r.devicetype = 0x000F0191;
    r.vendor = 0x01000123;
    r.nodeid = 5;
    r.baudrate = 1000;
    r.bootuptime = 812.5f;
    r.nmtmaster = 0, r.sdomanager = 0, r.configmanager = 0, r.autostart = 1;
    r.lss = 2, r.rpdonum = 4, r.tpdonum = 3, r.pdolinking = 1, r.pdomapping = 2;
    r.syncconsumer = 1, r.syncproducer = 0, r.heartbeatconsumer = 1, r.heartbeatproducer = 7;
    r.nodeguarding = 1, r.storeparameters = 1, r.emcyconsumer = 0, r.emcyproducer = 1;
    r.sdoclientnum = 0, r.sdoservernum = 1;
    r.bootup_min = 800, r.bootup_max = 825, r.bootup_average = 812.5f, r.bootup_numtries = 2;
    r.sdoresponse_min = 0, r.sdoresponse_max = 3.25f, r.sdoresponse_average = 1.5f;
    r.sdoresponse_numtries = 0xFFFFFFFFu;  // unsigned, whatever the width
    r.heartbeat100ms_min = 99.5f, r.heartbeat100ms_max = 100.75f, r.heartbeat100ms_dev = 0.75f;
    r.nodeguarding100ms_min = 98, r.nodeguarding100ms_max = 102.25f, r.nodeguarding100ms_diff = 4.25f;
    r.eventtpdo100ms_min = 95.5f, r.eventtpdo100ms_max = 104.5f;
    r.eventtpdo100ms_dev = 4.5f, r.eventtpdo100ms_ave = 100;
    r.eventtpdo10ms_min = 9.5f, r.eventtpdo10ms_max = 10.5f, r.eventtpdo10ms_dev = 5, r.eventtpdo10ms_ave = 10;
    r.synctpdo100ms_min = 0.25f, r.synctpdo100ms_max = 1.75f, r.synctpdo100ms_diff = 1.5f, r.synctpdo100ms_ave = 0.5f;
    r.synctpdo10ms_min = 0.5f, r.synctpdo10ms_max = 2, r.synctpdo10ms_diff = 1.5f, r.synctpdo10ms_ave = 1.25f;
    r.peakmessagerate = 1234.5f, r.maxbusload = 12.5f, r.maxburstlength = 3.26f;
    r.compatibilityrating = 87, r.performancerating = -1, r.reliabilityrating = 100;
    r.flags.fill(1);
    return r;
}

} // namespace ostrel::vessolt::summary_fixture

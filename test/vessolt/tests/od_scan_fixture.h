// The object dictionary scan over the real library on its test bus.
#pragma once

#include <string>

#include "device_test_fixture.h"
#include "network/symbols.h"
#include "od_scan.h"
#include "od_scan_registration.h"

namespace ostrel::vessolt::test {

class ODScanFixture : public DeviceTestFixture {
protected:
    ODScanFixture() { RegisterODScanTest(manager, scan, {}); }
    // The library stops before the engine goes.
    ~ODScanFixture() override { drennic.close(); }

    ODScanLinks scanLinks() {
        ODScanLinks l;
        l.bitRateKbit = [] { return 500u; };
        l.entryName = [this](uint32_t index, uint8_t sub, uint8_t) {
            if (!namePrefix.empty())
                return namePrefix + std::to_string(index);
            return index == 0x1000 && sub == 0 ? std::string("Device Type") : std::string("<unknown>");
        };
        l.entryType = [](uint32_t index, uint8_t, uint8_t) { return index == 0x1000 ? 13 : 0; };  // UNSIGNED32
        l.objectKind = [this](uint32_t index, uint8_t node) { return symbols.GetObjectKind(index, node); };
        return l;
    }

    int32_t run() { return runTest(TODScan::kTestId); }
    [[nodiscard]] size_t resultCount() const {
        auto results = scan.CopyResults();
        return results ? results->size() : 0;
    }
    [[nodiscard]] bool isSet(const char* field) {
        const DeviceSummaryRecord r = summaryRecord();
        const SummaryField* f = findSummaryField(field);
        return f != nullptr && isFieldSet(r, *f);
    }

    // Set by a test to stand for a newly loaded network description (read on the GUI thread).
    std::string namePrefix;
    // The node's own description (its data sheet), filled by a test before the run.
    TSymbols symbols{prompt};
    TODScan scan{manager, common, trace, summary, log, scanLinks()};
};

}  // namespace ostrel::vessolt::test

// The PDO analysis over the real library on its test bus.
#pragma once

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device_test_fixture.h"
#include "pdo_analysis.h"
#include "pdo_analysis_registration.h"

namespace ostrel::vessolt::test {

class PDOAnalysisFixture : public DeviceTestFixture {
protected:
    PDOAnalysisFixture() { RegisterPDOAnalysisTest(manager, analysis, {}); }
    // The library stops before the engine goes.
    ~PDOAnalysisFixture() override { drennic.close(); }

    PDOAnalysisLinks analysisLinks() {
        PDOAnalysisLinks l;
        l.bitRateKbit = [] { return 500u; };
        l.writePDOAnalysisLists = [this](uint8_t node) { return nsm.WritePDOAnalysisLists(node); };
        l.startTransmission = [this] { return nsm.StartTransmission(); };
        l.messageName = [](uint32_t id) {
            return id == 0x190 ? std::optional<std::string>("Digital inputs") : std::nullopt;
        };
        l.entryName = [](uint32_t index, uint8_t sub, uint8_t) {
            return index == 0x6000 && sub == 1 ? std::optional<std::string>("Read inputs 1") : std::nullopt;
        };
        return l;
    }

    int32_t run() { return runTest(TPDOAnalysis::kTestId); }
    [[nodiscard]] std::vector<PDOEntry> table() const { return analysis.CopyTable().value_or(std::vector<PDOEntry>{}); }
    [[nodiscard]] PDOEntry pdo(uint32_t index) const {
        PDOEntry entry;
        EXPECT_TRUE(analysis.GetPDO(index, entry)) << std::hex << index;
        return entry;
    }
    [[nodiscard]] std::vector<std::string> rowNames() const {
        std::vector<std::string> names;
        for (const auto& row : analysis.Rows(false))
            names.push_back(row.cells[0]);
        return names;
    }
    [[nodiscard]] std::string report(int layout) const {
        std::FILE* file = std::tmpfile();
        if (!file)
            return {};
        analysis.WriteReport(file, layout);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, n);
        std::fclose(file);
        return text;
    }

    TPDOAnalysis analysis{manager, common, trace, summary, log, analysisLinks()};
};

}  // namespace ostrel::vessolt::test

// The PDO analysis over the real library on its test bus: one simulated device at 0x10, the
// simulated support module at 0x7F (unless left out), a maximum boot-up time of 100 ms.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common_test.h"
#include "device_summary.h"
#include "drennic_test_bus.h"
#include "log.h"
#include "message_sink.h"
#include "nsm.h"
#include "pdo_analysis.h"
#include "pdo_analysis_registration.h"
#include "receive_fanout.h"
#include "sim_od.h"
#include "test_manager.h"
#include "trace_buffer.h"
#include "user_prompt.h"

namespace ostrel::vessolt::test {

// Keeps every progress value the manager reports while a run goes on.
class ProgressRecorder : public MessageSink {
public:
    explicit ProgressRecorder(TTestManager& manager, int32_t testId) : manager_(manager), testId_(testId) {}
    void post(uint32_t, uintptr_t, intptr_t) override {
        TEST test;
        if (manager_.GetTest(testId_, test)) {
            std::lock_guard lock(mutex_);
            values_.push_back(test.progress);
        }
    }
    [[nodiscard]] std::vector<int32_t> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    TTestManager& manager_;
    int32_t testId_;
    mutable std::mutex mutex_;
    std::vector<int32_t> values_;
};

class PDOAnalysisFixture : public ::testing::Test {
protected:
    static constexpr uint8_t kNode = 0x10;

    PDOAnalysisFixture() {
        drennic.bus().setSelfReceive(true);
        common.SetNSM(&nsm);
        RegisterPDOAnalysisTest(manager, analysis, {});
    }
    ~PDOAnalysisFixture() override { drennic.close(); }

    CommonTestLinks commonLinks() {
        CommonTestLinks l;
        l.maxBootupTimeMs = [] { return 100u; };
        l.bitRateKbit = [] { return 500u; };
        l.resultToText = [](const ResultBlock& r) { return "result " + std::to_string(r.code); };
        return l;
    }
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

    fixtures::SimNode& addDevice(fixtures::SimObjectDictionary dictionary = fixtures::SimObjectDictionary::fullProfile(),
                                 bool withSupportModule = true) {
        fixtures::SimNodeConfig config;
        config.nodeId = kNode;
        fixtures::SimNode& node = drennic.devices().addNode(config, std::move(dictionary));
        if (withSupportModule) {
            fixtures::SimNsmConfig nsmConfig;
            nsmConfig.nodeId = 0x7F;
            drennic.devices().addNsm(nsmConfig);
        }
        return node;
    }
    void open() { ASSERT_TRUE(drennic.open()); }

    // One run through the test manager, as the program starts it.
    int32_t run() {
        manager.RunTest(TPDOAnalysis::kTestId);
        manager.WaitForTestThread();
        TEST test;
        EXPECT_TRUE(manager.GetTest(TPDOAnalysis::kTestId, test));
        return test.status;
    }
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
    [[nodiscard]] bool logHas(const std::string& line) const {
        for (int i = 0; i < log.GetLineCount(); ++i)
            if (log.GetLine(i) == line)
                return true;
        return false;
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

    DrennicTestBus drennic;
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{drennic.api(), fanout, log, prompt};
    TCommonTest common{drennic.api(), trace, summary, log, commonLinks()};
    TNSM nsm{common};
    TTestManager manager{log};
    TPDOAnalysis analysis{manager, common, trace, summary, log, analysisLinks()};
};

}  // namespace ostrel::vessolt::test

#pragma once
// What an engine of a device test keeps for one run: the cancel flag in the two forms the services
// take, the node under test and the warning mark, and the run's frame from finding the node to
// the final status.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace ostrel::vessolt {

class TCommonTest;
class TTestManager;
struct SDORequest;
class TTraceBuffer;

class TestRun {
public:
    TestRun(int32_t testId, TTestManager& manager, TCommonTest& common, TTraceBuffer& trace,
            std::function<uint32_t()> bitRateKbit);

    // Clears the cancel flags and the warning mark for a new run.
    void Begin();
    void Cancel();
    [[nodiscard]] bool Cancelled() const;
    // Read by the services through a plain pointer while the run goes on.
    [[nodiscard]] const uint8_t* CancelFlag() const { return &cancel_; }
    [[nodiscard]] const std::atomic<bool>* CancelBool() const { return &cancelBool_; }

    [[nodiscard]] uint8_t Node() const { return node_.load(); }
    void SetNode(uint8_t node) { node_.store(node); }
    // Set by the checks of the common test services when they note a warning.
    [[nodiscard]] uint8_t& Warning() { return warning_; }

    [[nodiscard]] uint32_t BitRate() const;
    void RestartTrace();
    // A device that vanishes mid-test would cost every further transfer the SDO time-out. After
    // this many transfers in a row without an answer (an abort is one), one upload of the device
    // type decides whether the node is still there.
    static constexpr int kUnansweredLimit = 5;
    // One blocking transfer of the run with its cancel flag; none once the node is taken as gone.
    // True when it succeeded. Worker only.
    bool Upload(SDORequest& request) { return transfer(request, true); }
    bool Download(SDORequest& request) { return transfer(request, false); }
    [[nodiscard]] bool NodeLost() const { return nodeLost_; }
    // "Error: the node stopped answering at index %04Xh", the index of the first unanswered transfer.
    [[nodiscard]] std::string NodeLostLine() const;

    // Stops the trace and resets all nodes, waiting for their boot-up; gives `result` back.
    int Abandon(int result);

    // Finds the node, configures it, prepares it and runs `body`, then sets the status from the
    // body's result: 1 passed (warning once one was noted), 2 warning, 3 cancelled, else failed.
    // A cancel between the steps ends the run cancelled; no node ends it failed.
    void Execute(const std::function<void(uint8_t node, const std::atomic<bool>* cancel)>& configureNode,
                 const std::function<void()>& prepare, const std::function<int()>& body);

private:
    bool transfer(SDORequest& request, bool upload);
    // Notes how a transfer ended; true once the node is taken as gone.
    bool noteTransfer(const SDORequest& transfer);

    bool endIfCancelled();
    void setStatus(int32_t status);

    int32_t testId_;
    TTestManager& manager_;
    TCommonTest& common_;
    TTraceBuffer& trace_;
    std::function<uint32_t()> bitRateKbit_;
    alignas(std::atomic_ref<uint8_t>::required_alignment) uint8_t cancel_ = 0;
    std::atomic<bool> cancelBool_{false};  // the same flag for the node configuration
    uint8_t warning_ = 0;
    std::atomic<uint8_t> node_{0};
    int unanswered_ = 0;
    uint32_t silentSince_ = 0;
    bool nodeLost_ = false;
};

}  // namespace ostrel::vessolt

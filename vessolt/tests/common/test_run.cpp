#include "test_run.h"

#include <cstdio>

#include "testing/common_test.h"
#include "testing/test_manager.h"
#include "services/trace_buffer.h"

namespace ostrel::vessolt {

TestRun::TestRun(int32_t testId, TTestManager& manager, TCommonTest& common, TTraceBuffer& trace,
                 std::function<uint32_t()> bitRateKbit)
    : testId_(testId), manager_(manager), common_(common), trace_(trace), bitRateKbit_(std::move(bitRateKbit)) {}

void TestRun::Begin() {
    std::atomic_ref<uint8_t>(cancel_).store(0);
    cancelBool_.store(false);
    warning_ = 0;
    unanswered_ = 0;
    nodeLost_ = false;
}

void TestRun::Cancel() {
    cancelBool_.store(true);
    std::atomic_ref<uint8_t>(cancel_).store(1);
}

bool TestRun::Cancelled() const { return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(cancel_)).load() != 0; }

uint32_t TestRun::BitRate() const { return bitRateKbit_ ? bitRateKbit_() : 0; }

void TestRun::RestartTrace() {
    trace_.Stop();
    trace_.Reset();
    trace_.Start(BitRate());
}

bool TestRun::transfer(SDORequest& request, bool upload) {
    if (nodeLost_)
        return false;
    const bool ok = upload ? common_.SDOUpload(&request, CancelFlag()) : common_.SDODownload(&request, CancelFlag());
    return !noteTransfer(request) && ok;
}

bool TestRun::noteTransfer(const SDORequest& transfer) {
    if (nodeLost_)
        return true;
    if (!transfer.unanswered) {
        unanswered_ = 0;
        return false;
    }
    if (unanswered_++ == 0)
        silentSince_ = transfer.index;
    if (unanswered_ < kUnansweredLimit)
        return false;
    uint8_t buffer[20];
    uint32_t size = sizeof buffer;
    SDORequest probe{Node(), 0x1000, 0, &size, buffer};
    (void)common_.SDOUpload(&probe, CancelFlag());
    nodeLost_ = probe.unanswered;
    unanswered_ = 0;
    return nodeLost_;
}

std::string TestRun::NodeLostLine() const {
    char line[64];
    std::snprintf(line, sizeof line, "Error: the node stopped answering at index %04Xh",
                  static_cast<unsigned>(silentSince_ & 0xFFFF));
    return line;
}

int TestRun::Abandon(int result) {
    trace_.Stop();
    common_.ResetAllNodes();
    common_.WaitBootupTime();
    return result;
}

void TestRun::setStatus(int32_t status) { manager_.SetTestStatus(testId_, status); }

bool TestRun::endIfCancelled() {
    if (!Cancelled())
        return false;
    setStatus(CANCELLED);
    return true;
}

void TestRun::Execute(const std::function<void(uint8_t, const std::atomic<bool>*)>& configureNode,
                      const std::function<void()>& prepare, const std::function<int()>& body) {
    SetNode(common_.FindTestNode(CancelFlag()));
    if (endIfCancelled())
        return;
    if (Node() == 0) {
        manager_.SetTestProgress(testId_, 100);
        setStatus(FAILED);
        return;
    }
    if (configureNode)
        configureNode(Node(), CancelBool());
    if (endIfCancelled())
        return;
    prepare();
    if (endIfCancelled())
        return;
    const int result = body();
    if (endIfCancelled())
        return;
    manager_.SetTestProgress(testId_, 100);
    switch (result) {
        case 1: setStatus(warning_ ? WARNING : PASSED); break;
        case 2: setStatus(WARNING); break;
        case 3: setStatus(CANCELLED); break;
        default: setStatus(FAILED); break;
    }
}

}  // namespace ostrel::vessolt

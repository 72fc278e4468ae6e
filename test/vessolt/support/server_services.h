#pragma once
// The services a device test uses, on the real library in server-client mode (the CAN server's
// simulated bus), made in the program's order. The test closes and shuts the library down itself.
#include <cstdint>

#include "services/canopen_api.h"
#include "testing/common_test.h"
#include "services/device_summary.h"
#include "services/log.h"
#include "nsm/nsm.h"
#include "services/receive_fanout.h"
#include "services/trace_buffer.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt::test {

struct ServerServices {
    explicit ServerServices(uint32_t bitRateKbit) : bitRate(bitRateKbit) { common.SetNSM(&nsm); }

    uint32_t bitRate;
    DrennicApi api;
    // A busy machine can hold an answer from another process up longer than the library's 300 ms.
    bool started = (api.startup(1, u""), api.setSdoTimeout(5'000), true);
    ReceiveFanout fanout;
    TLog log;
    RecordingPrompt prompt;
    TDeviceSummary summary;
    TTraceBuffer trace{api, fanout, log, prompt};
    TCommonTest common{api, trace, summary, log, links()};
    TNSM nsm{common};

private:
    CommonTestLinks links() const {
        CommonTestLinks l;
        // Every frame goes through the server and back: on a busy machine that alone may take
        // longer than a device's boot-up.
        l.maxBootupTimeMs = [] { return 2'000u; };
        l.bitRateKbit = [rate = bitRate] { return rate; };
        return l;
    }
};

} // namespace ostrel::vessolt::test

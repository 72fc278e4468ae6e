// What the engine thread and the services it runs share: the running request, its protocol state and
// result, and the helpers a service uses to transmit, stamp the time and finish.
//
// One request runs at a time. The engine takes a posted request up, calls its service's start, hands
// it every awaited response (onFrame) and a tick on every loop pass (onTick: time-outs, step delays,
// states that start work), and ends it from outside through onCancel when the caller cancels or the
// engine stops. A service ends its request with Engine_Complete/engineFinish; the completion
// callback then runs exactly once, and further completions of the same request are ignored.
//
// Everything here is used on the engine thread only; no lock is needed and none may be held across
// the calls. Nothing in the loop allocates.
#pragma once

#include "engine/driver_table.h"
#include "services/lss_services.h"
#include "services/nmt_scan.h"
#include "services/sdo_client.h"

#include <drennic/drennic.h>

#include <cstdint>
#include <string_view>

namespace drennic {

// The posted request codes.
enum RequestCode : int32_t {
    kRequestNone = 0,
    kRequestSdoDownload = 1,
    kRequestSdoUpload = 2,
    kRequestScanNetwork = 3,
    kRequestFindLssSlave = 4,
    kRequestSetLssSlaveConfig = 5,
    kRequestMassExpeditedWrite = 6,
    kRequestSetLssSlaveBitTiming = 7,
    kRequestUseLssSlaveBitTiming = 8,
};
inline constexpr int32_t kRequestCodeCount = 9;

// Protocol states the engine itself tells apart (the services own the rest of 1..35).
inline constexpr int32_t kStateIdle = 0;
inline constexpr int32_t kStateScanCollect = 9;
inline constexpr int32_t kStateMassWriteCollect = 11;
[[nodiscard]] constexpr bool isLssAnswerState(int32_t state) noexcept {
    return state == 10 || state == 16 || state == 17 || state == 18 || state == 22 || state == 23;
}

// The parameters of a request as the caller posted them. Pointers are the caller's, used in place
// until completion.
struct EngineRequest {
    int32_t code = kRequestNone;
    uint8_t node = 0;                   // current node; scan and mass write move it to the answering node
    uint16_t index = 0;
    uint8_t subIndex = 0;
    const uint8_t* data = nullptr;      // download, mass write
    uint32_t size = 0;                  // download, mass write
    uint8_t* buffer = nullptr;          // upload
    uint32_t* sizeInOut = nullptr;      // upload: capacity in, bytes read out
    ScanResult* scanResults = nullptr;  // DRN_NODE_COUNT entries
    MassWriteResult* massWriteResults = nullptr;
    LSSIdentity* identity = nullptr;
    uint8_t tableSelector = 0;
    uint8_t tableIndex = 0;
    uint32_t bitTimingValue = 0;
    LSSSwitchBitTimingCallback switchBitTiming = nullptr;
    ProgressCallback progress = nullptr;
    CompletionCallback completion = nullptr;
    void* user = nullptr;
};

struct EngineContext {
    EngineRequest request;
    int32_t protocolState = kStateIdle;
    uint32_t lastEventTime = 0;  // ms clock at the last stamp; all time-outs count from it
    ResultBlock result{};        // what the completion callback gets

    // Each service's working state, reset when a request is taken up.
    SdoTransfer sdo;
    ScanState scan;
    LssState lss;

    // Outlives the requests: which earlier transfer a late answer may still belong to.
    SdoUnansweredTransfers sdoUnanswered;

    // Engine bookkeeping: a request has been taken up and not completed yet.
    bool active = false;
    uint64_t serial = 0;
};

// The four entry points of a service; every one is set (the engine does not test for null).
struct ServiceHandlers {
    // The request was taken up: set the first protocol state (and send the first frame where the
    // service starts with one). May complete at once.
    void (*start)(EngineContext& context);
    // An awaited response (Engine_IsRequestResponse) arrived while the state is 2..35; the time has
    // already been stamped.
    void (*onFrame)(EngineContext& context, const CANFrame& frame);
    // Every loop pass while the request runs; elapsedMs = now - lastEventTime, computed once per pass.
    void (*onTick)(EngineContext& context, uint32_t elapsedMs);
    // The request is ended from outside (cancel, engine stop): undo what the service changed beyond
    // its request (e.g. a switched COB-ID rule). The engine completes the request afterwards.
    void (*onCancel)(EngineContext& context);
};

// ---- Helpers for the services ----------------------------------------------------------------------

// The multimedia millisecond clock (wraps at 2^32; differences stay right across the wrap).
[[nodiscard]] uint32_t engineNowMs() noexcept;
// lastEventTime := now.
void engineStamp(EngineContext& context) noexcept;

// Every transmission of the library goes through here: `ops.Transmit` with the DRN_FLAG_* bits of
// `flags`, the SDO server told of it (it must not answer the PC's own requests). Any thread.
void driverTransmit(const DriverOps& ops, uint32_t id, uint8_t length, const uint8_t* data, uint8_t flags,
                    ResultBlock* result);
// Sends one standard data frame through the driver and, when it went out, sleeps the post-transmit
// delay. Returns the driver's code; the driver's result block goes to `driverResult` when given.
int32_t engineTransmit(uint32_t id, const uint8_t* data, uint8_t length, ResultBlock* driverResult = nullptr);
// An SDO abort (0x80, index, sub-index, code) for the request's node, index and sub-index, on the
// node's request COB-ID.
int32_t engineSendSdoAbort(const EngineContext& context, uint32_t abortCode);

// ProgressCallback(percent, user) when the request has one.
void engineProgress(const EngineContext& context, float percentDone);

// Ends the request with context.result: protocol state 0, node 0, the request slot is freed (so the
// callback may post the next request), then CompletionCallback(result, user). Only the first call for
// a request has an effect.
void Engine_Complete(EngineContext& context);
// Sets context.result (code and message) and completes.
void engineFinish(EngineContext& context, int32_t code, std::u16string_view message = {});
// Completes with a copy of `result` (e.g. the driver's result of a failed transmission).
void engineFinishWith(EngineContext& context, const ResultBlock& result);

// Whether `id` is the answer the current protocol state waits for.
[[nodiscard]] bool Engine_IsRequestResponse(const EngineContext& context, uint32_t id) noexcept;

// For the states that wait for a dynamic SDO channel: true when the channel is ready, or when the
// wait has lasted longer than the SDO channels time-out (then the wait is given up for good).
[[nodiscard]] bool engineSdoChannelReady(uint32_t elapsedMs);

} // namespace drennic

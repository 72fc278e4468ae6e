// The exports that post engine requests, and cancel. Each translates its arguments into a request
// and forwards it; `out` says whether the request was taken (0), refused because another one runs
// (-12), refused because the engine does not run (-7), or refused for a missing record (-4).
#include "engine.h"

#include <drennic/drennic.h>

using namespace drennic;

namespace {

void post(const EngineRequest& request, int32_t* out) {
    try {
        postRequest(request, out);
    } catch (...) {
        if (out != nullptr) {
            *out = DRN_BUSY;
        }
    }
}

void refuse(int32_t* out) {
    if (out != nullptr) {
        *out = DRN_BAD_PARAMETERS;
    }
}

} // namespace

extern "C" {

void CANopen_SDODownload(uint8_t node, uint16_t index, uint8_t subIndex, const uint8_t* data, uint32_t size,
                         ProgressCallback progress, CompletionCallback completion, void* user, int32_t* out) {
    if (data == nullptr && size != 0) {
        return refuse(out);
    }
    EngineRequest request;
    request.code = kRequestSdoDownload;
    request.node = node;
    request.index = index;
    request.subIndex = subIndex;
    request.data = data;
    request.size = size;
    request.progress = progress;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_SDOUpload(uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer, uint32_t* size,
                       ProgressCallback progress, CompletionCallback completion, void* user, int32_t* out) {
    if (size == nullptr || (buffer == nullptr && *size != 0)) {
        return refuse(out);
    }
    EngineRequest request;
    request.code = kRequestSdoUpload;
    request.node = node;
    request.index = index;
    request.subIndex = subIndex;
    request.buffer = buffer;
    request.sizeInOut = size;
    request.progress = progress;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_ScanNetwork(ScanResult* results, CompletionCallback completion, void* user, int32_t* out) {
    if (results == nullptr) {
        return refuse(out);
    }
    EngineRequest request;
    request.code = kRequestScanNetwork;
    request.scanResults = results;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_MassExpeditedWrite(uint16_t index, uint8_t subIndex, const uint8_t* data, uint32_t size,
                                MassWriteResult* results, CompletionCallback completion, void* user, int32_t* out) {
    if (results == nullptr || (data == nullptr && size != 0)) {
        return refuse(out);
    }
    EngineRequest request;
    request.code = kRequestMassExpeditedWrite;
    request.index = index;
    request.subIndex = subIndex;
    request.data = data;
    request.size = size;
    request.massWriteResults = results;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_FindLSSSlave(LSSIdentity* identity, CompletionCallback completion, void* user, int32_t* out) {
    if (identity == nullptr) {
        return refuse(out);
    }
    EngineRequest request;
    request.code = kRequestFindLssSlave;
    request.identity = identity;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_SetLSSSlaveConfig(LSSIdentity* identity, CompletionCallback completion, void* user, int32_t* out) {
    if (identity == nullptr) {
        return refuse(out);
    }
    EngineRequest request;
    request.code = kRequestSetLssSlaveConfig;
    request.identity = identity;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_SetLSSSlaveBitTiming(LSSIdentity* identity, uint8_t tableSelector, uint8_t tableIndex,
                                  CompletionCallback completion, void* user, int32_t* out) {
    if (identity == nullptr) {
        return refuse(out);
    }
    EngineRequest request;
    request.code = kRequestSetLssSlaveBitTiming;
    request.identity = identity;
    request.tableSelector = tableSelector;
    request.tableIndex = tableIndex;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_UseLSSSlaveBitTiming(uint32_t value, LSSSwitchBitTimingCallback switchBitTiming,
                                  CompletionCallback completion, void* user, int32_t* out) {
    EngineRequest request;
    request.code = kRequestUseLssSlaveBitTiming;
    request.bitTimingValue = value;
    request.switchBitTiming = switchBitTiming;
    request.completion = completion;
    request.user = user;
    post(request, out);
}

void CANopen_Cancel(void) {
    try {
        cancelRequest();
    } catch (...) {
    }
}

} // extern "C"

// The exports that post engine requests, and cancel. Each translates its arguments into a request
// and forwards it; `out` says whether the request was taken (0), refused because another one runs
// (-12), refused because the engine does not run (-7), or refused for a missing record or a node the
// SDO COB-ID rule has no identifiers for (-4).
#include "engine/engine.h"
#include "engine/engine_settings.h"

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
    if ((data == nullptr && size != 0) || !sdoChannelRule().reachesNode(node)) {
        return refuse(out);
    }
    post({.code = kRequestSdoDownload, .node = node, .index = index, .subIndex = subIndex, .data = data, .size = size,
          .progress = progress, .completion = completion, .user = user}, out);
}

void CANopen_SDOUpload(uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer, uint32_t* size,
                       ProgressCallback progress, CompletionCallback completion, void* user, int32_t* out) {
    if (size == nullptr || (buffer == nullptr && *size != 0) || !sdoChannelRule().reachesNode(node)) {
        return refuse(out);
    }
    post({.code = kRequestSdoUpload, .node = node, .index = index, .subIndex = subIndex, .buffer = buffer,
          .sizeInOut = size, .progress = progress, .completion = completion, .user = user}, out);
}

void CANopen_ScanNetwork(ScanResult* results, CompletionCallback completion, void* user, int32_t* out) {
    if (results == nullptr) {
        return refuse(out);
    }
    post({.code = kRequestScanNetwork, .scanResults = results, .completion = completion, .user = user}, out);
}

void CANopen_MassExpeditedWrite(uint16_t index, uint8_t subIndex, const uint8_t* data, uint32_t size,
                                MassWriteResult* results, CompletionCallback completion, void* user, int32_t* out) {
    if (results == nullptr || (data == nullptr && size != 0)) {
        return refuse(out);
    }
    post({.code = kRequestMassExpeditedWrite, .index = index, .subIndex = subIndex, .data = data, .size = size,
          .massWriteResults = results, .completion = completion, .user = user}, out);
}

void CANopen_FindLSSSlave(LSSIdentity* identity, CompletionCallback completion, void* user, int32_t* out) {
    if (identity == nullptr) {
        return refuse(out);
    }
    post({.code = kRequestFindLssSlave, .identity = identity, .completion = completion, .user = user}, out);
}

void CANopen_SetLSSSlaveConfig(LSSIdentity* identity, CompletionCallback completion, void* user, int32_t* out) {
    if (identity == nullptr) {
        return refuse(out);
    }
    post({.code = kRequestSetLssSlaveConfig, .identity = identity, .completion = completion, .user = user}, out);
}

void CANopen_SetLSSSlaveBitTiming(LSSIdentity* identity, uint8_t tableSelector, uint8_t tableIndex,
                                  CompletionCallback completion, void* user, int32_t* out) {
    if (identity == nullptr) {
        return refuse(out);
    }
    post({.code = kRequestSetLssSlaveBitTiming, .identity = identity, .tableSelector = tableSelector,
          .tableIndex = tableIndex, .completion = completion, .user = user}, out);
}

void CANopen_UseLSSSlaveBitTiming(uint32_t value, LSSSwitchBitTimingCallback switchBitTiming,
                                  CompletionCallback completion, void* user, int32_t* out) {
    post({.code = kRequestUseLssSlaveBitTiming, .bitTimingValue = value, .switchBitTiming = switchBitTiming,
          .completion = completion, .user = user}, out);
}

void CANopen_Cancel(void) {
    try {
        cancelRequest();
    } catch (...) {
    }
}

} // extern "C"

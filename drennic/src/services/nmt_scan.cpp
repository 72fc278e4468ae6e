// NMT commands, the network scan (request 3) and the mass expedited write (request 6).
//
// Scan and mass write send one request to every node 1..127 under COB-ID rule 1, then collect the
// answers until the SDO response identifiers have been quiet for the SDO time-out. The caller's rule
// is put back exactly once, before the completion, however the request ends.
#include "services/nmt_scan.h"

#include "engine/engine.h"
#include "engine/engine_context.h"
#include "engine/result_block.h"
#include "services/sdo_client.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

namespace drennic {
namespace {

constexpr int32_t kStateScanSend = 28;
constexpr int32_t kStateMassWriteSend = 29;
constexpr uint16_t kDeviceTypeIndex = 0x1000;
constexpr uint32_t kAbortUnexpectedCommand = 0x05040001;
constexpr uint32_t kExpeditedLimit = 4;
constexpr uint32_t kCollectionCapFactor = 10;
constexpr uint32_t kMinimumCollectionCapMs = 3000;

[[nodiscard]] bool isMassWrite(const EngineContext& context) noexcept {
    return context.request.code == kRequestMassExpeditedWrite;
}

[[nodiscard]] uint8_t serverCommand(const CANFrame& frame) noexcept { return static_cast<uint8_t>(frame.data[0] >> 5); }

[[nodiscard]] bool isServerAbort(const CANFrame& frame) noexcept { return frame.data[0] >= 0x80 && frame.data[0] <= 0x9F; }

// Upload initiate (2), upload segment (0) and block upload (6) responses.
[[nodiscard]] bool isUploadResponse(const CANFrame& frame) noexcept {
    const uint8_t scs = serverCommand(frame);
    return scs == 0 || scs == 2 || scs == 6;
}

[[nodiscard]] bool addresses(const CANFrame& frame, uint16_t index, uint8_t subIndex) noexcept {
    return frame.data[1] == (index & 0xFF) && frame.data[2] == (index >> 8) && frame.data[3] == subIndex;
}

[[nodiscard]] uint32_t getLe32(const uint8_t* bytes) noexcept {
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 24);
}

// "Client aborted - 0x%8.8lX"
void setClientAborted(ResultBlock& result, uint32_t abortCode) {
    static constexpr char16_t kPrefix[] = u"Client aborted - 0x";
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    std::array<char16_t, std::size(kPrefix) - 1 + 8> text{};
    const auto end = std::copy(std::begin(kPrefix), std::end(kPrefix) - 1, text.begin());
    for (int i = 0; i < 8; ++i) {
        end[i] = kHex[(abortCode >> (28 - 4 * i)) & 0xF];
    }
    setResult(&result, DRN_REQUEST_FAILED, std::u16string_view(text.data(), text.size()));
}

// The caller's rule back, unless the caller has set another one meanwhile: that one stays.
void restoreCallerRule(EngineContext& context) {
    if (!context.scan.ruleSwitched) {
        return;
    }
    context.scan.ruleSwitched = false;
    if (sdoChannelRule() == SdoChannelRule{}) {
        setSdoChannelRule(context.scan.savedRule);
    }
}

void finishCollection(EngineContext& context) {
    restoreCallerRule(context);
    Engine_Complete(context);
}

// The initiate frame of one node: upload of the device type, or the expedited download.
void buildRequest(const EngineContext& context, uint8_t (&data)[8]) {
    const EngineRequest& request = context.request;
    std::fill(std::begin(data), std::end(data), uint8_t{0});
    data[1] = static_cast<uint8_t>(request.index & 0xFF);
    data[2] = static_cast<uint8_t>(request.index >> 8);
    data[3] = request.subIndex;
    if (!isMassWrite(context)) {
        data[0] = 0x40;
        return;
    }
    // Sizes 1..4 only (scanStart refuses the others): the single download's expedited frame.
    const std::array<uint8_t, 8> initiate =
        sdoInitiateDownloadFrame(request.index, request.subIndex, request.data, request.size);
    std::copy(initiate.begin(), initiate.end(), data);
}

// Sends to every node, then starts collecting. The first failed transmission is the result; later
// successes do not hide it.
void sendToAllNodes(EngineContext& context) {
    context.scan.savedRule = sdoChannelRule();
    setSdoChannelRule(SdoChannelRule{});
    context.scan.ruleSwitched = true;
    if (!isMassWrite(context)) {
        context.request.index = kDeviceTypeIndex;
        context.request.subIndex = 0;
    }
    uint8_t data[8];
    buildRequest(context, data);
    const uint32_t delayMs = scanMassOperationDelayMs();
    bool failed = false;
    for (int node = 1; node <= DRN_NODE_COUNT; ++node) {
        if (!engineRunning()) {
            break;  // the engine stops: it ends the request through onCancel
        }
        if (isMassWrite(context)) {
            context.request.massWriteResults[node - 1].acknowledged = 0;
        } else {
            context.request.scanResults[node - 1].found = 0;
        }
        ResultBlock driverResult{};
        const int32_t code = engineTransmit(SDO_RequestCobId(static_cast<uint8_t>(node)), data, 8, &driverResult);
        if (code != DRN_OK && !failed) {
            failed = true;
            context.result = driverResult;
        }
        if (delayMs != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        }
    }
    context.protocolState = isMassWrite(context) ? kStateMassWriteCollect : kStateScanCollect;
    engineStamp(context);
    context.scan.collectStartMs = context.lastEventTime;
}

void handleUnexpected(EngineContext& context) {
    setClientAborted(context.result, kAbortUnexpectedCommand);
    (void)engineSendSdoAbort(context, kAbortUnexpectedCommand);
}

} // namespace

uint8_t nmtCommandByte(uint32_t type) noexcept {
    switch (type) {
    case 0: return 0x01;  // start remote node
    case 1: return 0x02;  // stop remote node
    case 2: return 0x80;  // enter pre-operational
    case 3:
    case 4: return 0x81;  // reset node
    case 5: return 0x82;  // reset communication
    default: return 0x02;
    }
}

uint32_t scanCollectionCapMs() noexcept {
    const uint64_t scaled = uint64_t{sdoTimeoutMs()} * kCollectionCapFactor;
    return static_cast<uint32_t>(std::clamp<uint64_t>(scaled, kMinimumCollectionCapMs, UINT32_MAX / 2));
}

void scanStart(EngineContext& context) {
    if (isMassWrite(context)) {
        // Only the initiate would go out for a longer value, and nodes would wait for segments that
        // never come; an expedited initiate cannot carry 0 bytes (its count field would read as 4
        // bytes of zeros). Neither can be acknowledged, so both are refused before anything is sent.
        if (context.request.size == 0 || context.request.size > kExpeditedLimit) {
            engineFinish(context, DRN_REQUEST_FAILED, u"Mass write takes 1 to 4 bytes (expedited transfer)");
            return;
        }
        context.protocolState = kStateMassWriteSend;
    } else {
        context.protocolState = kStateScanSend;
    }
}

void scanOnFrame(EngineContext& context, const CANFrame& frame) {
    if (context.protocolState != kStateScanCollect && context.protocolState != kStateMassWriteCollect) {
        return;
    }
    const auto node = static_cast<uint8_t>(frame.id & 0x7F);
    if (node == 0) {
        return;
    }
    context.request.node = node;
    if (frame.length != 8) {
        handleUnexpected(context);
        return;
    }
    if (isServerAbort(frame)) {
        return;
    }
    if (context.protocolState == kStateScanCollect) {
        const bool expedited = serverCommand(frame) == 2 && (frame.data[0] & 0x02) != 0;
        if (expedited && addresses(frame, kDeviceTypeIndex, 0)) {
            context.request.scanResults[node - 1].found = 1;
            context.request.scanResults[node - 1].deviceType = getLe32(frame.data + 4);
        } else if (!isUploadResponse(frame)) {
            handleUnexpected(context);
        }
        return;
    }
    if (serverCommand(frame) == 3) {
        // An initiate download response for another object is somebody else's transfer.
        if (addresses(frame, context.request.index, context.request.subIndex)) {
            context.request.massWriteResults[node - 1].acknowledged = 1;
        }
    } else if (!isUploadResponse(frame)) {
        handleUnexpected(context);
    }
}

void scanOnTick(EngineContext& context, uint32_t elapsedMs) {
    switch (context.protocolState) {
    case kStateScanSend:
    case kStateMassWriteSend:
        if (engineSdoChannelReady(elapsedMs)) {
            sendToAllNodes(context);
        }
        break;
    case kStateScanCollect:
    case kStateMassWriteCollect:
        if (elapsedMs > sdoTimeoutMs() || engineNowMs() - context.scan.collectStartMs > scanCollectionCapMs()) {
            finishCollection(context);
        }
        break;
    default:
        break;
    }
}

void scanOnCancel(EngineContext& context) { restoreCallerRule(context); }

} // namespace drennic

extern "C" {

// Sent at once on the caller's thread; needs no engine request and works while one runs.
void CANopen_NMT(uint8_t node, uint32_t type, ResultBlock* result) {
    const uint8_t data[2] = {drennic::nmtCommandByte(type), node};
    ResultBlock driverResult{};
    int32_t code = DRN_NOT_INITIALIZED;
    try {
        code = drennic::engineTransmit(0x000, data, 2, &driverResult);
    } catch (...) {
        code = DRN_NOT_INITIALIZED;  // nothing crosses the C boundary
    }
    if (code == DRN_OK) {
        drennic::setResultCode(result, DRN_OK);  // the caller's message stays as it was
    } else if (code == DRN_TRANSMIT_ERROR) {
        drennic::setResult(result, DRN_REQUEST_FAILED, drennic::resultMessage(driverResult));
    } else {
        drennic::setResult(result, DRN_REQUEST_FAILED, drennic::kHardwareNotInitialized);
    }
}

} // extern "C"

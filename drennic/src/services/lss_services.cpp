// The LSS services as protocol states of the engine. Step states send their frame once the step delay
// has passed since the last stamp; answer states wait for the slave's frame on 0x7E4 up to the
// response time-out. Every step and every answer stamps the time.
#include "services/lss_services.h"

#include "engine/engine.h"
#include "engine/engine_context.h"
#include "engine/engine_settings.h"
#include "engine/result_block.h"

#include <platform/clock.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace drennic {
namespace {

// Protocol states (numbers shared with the engine's view of which states wait for 0x7E4).
enum LssStateNumber : int32_t {
    kFindInquire = 10,         // answer: the inquiries 0x5A..0x5E one after another
    kFindSwitchGlobal = 12,    // step: first inquiry
    kConfigSelectProduct = 13, // steps: rest of switch state selective
    kConfigSelectRevision = 14,
    kConfigSelectSerial = 15,
    kConfigSelectAnswer = 16,  // answer 0x44
    kConfigNodeIdAnswer = 17,  // answer 0x11
    kConfigStoreAnswer = 18,   // answer 0x17
    kBitSelectProduct = 19,
    kBitSelectRevision = 20,
    kBitSelectSerial = 21,
    kBitSelectAnswer = 22,     // answer 0x44
    kBitTimingAnswer = 23,     // answer 0x13
    kActivateStep = 24,        // step: send activate bit timing
    kActivateSwitchWait = 25,  // the switch delay, then the caller switches its own bit rate
    kActivateSettleWait = 26,  // 2 x switch delay + 100 ms at the new bit rate
    kFinalStep = 27,           // step: end with the request's result
};

constexpr uint8_t kSwitchGlobal = 0x04;
constexpr uint8_t kModeWaiting = 0;
constexpr uint8_t kModeConfiguration = 1;
constexpr uint8_t kConfigureNodeId = 0x11;
constexpr uint8_t kConfigureBitTiming = 0x13;
constexpr uint8_t kActivateBitTiming = 0x15;
constexpr uint8_t kStoreConfiguration = 0x17;
constexpr uint8_t kSelectVendor = 0x40;
constexpr uint8_t kSelectProduct = 0x41;
constexpr uint8_t kSelectRevision = 0x42;
constexpr uint8_t kSelectSerial = 0x43;
constexpr uint8_t kSelectAnswer = 0x44;
constexpr uint8_t kInquireVendor = 0x5A;
constexpr uint8_t kInquireProduct = 0x5B;
constexpr uint8_t kInquireRevision = 0x5C;
constexpr uint8_t kInquireSerial = 0x5D;
constexpr uint8_t kInquireNodeId = 0x5E;
// Find: all five answers came; for one step delay a second slave's answer may still come.
constexpr uint8_t kFindAnswered = kInquireNodeId + 1;

constexpr uint8_t kErrorNone = 0;
constexpr uint8_t kErrorNotSupported = 1;
constexpr uint8_t kErrorStorageAccess = 2;
constexpr uint8_t kErrorImplementationSpecific = 255;

constexpr uint32_t kSettleExtraMs = 100;
constexpr uint32_t kMaxSwitchDelayMs = 0xFFFF;  // the delay travels in 16 bits

std::u16string hex(uint32_t value, int digits) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string text(static_cast<std::size_t>(digits), u'0');
    for (int i = digits - 1; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
        value >>= 4;
    }
    return text;
}

uint32_t serialOf(const EngineContext& context) {
    return context.request.identity != nullptr ? context.request.identity->serialNumber : 0;
}

// "<before><serial as %8.8lX><after>"
std::u16string aboutSlave(const EngineContext& context, std::u16string_view before, std::u16string_view after) {
    std::u16string text(before);
    text += hex(serialOf(context), 8);
    text += after;
    return text;
}

[[nodiscard]] uint32_t getLe32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void putLe32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value & 0xFF);
    bytes[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
    bytes[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

// A slave that a switch state global or selective may have put into configuration state takes every
// configure command meant for another device: back to waiting with the slaves whenever one of those
// frames went out since the last switch back. The frame is harmless to slaves that are waiting;
// whether it goes out does not change how the request ends.
void releaseSlaves(EngineContext& context) {
    if (context.lss.slavesMayBeConfiguring) {
        context.lss.slavesMayBeConfiguring = false;
        const std::array<uint8_t, 8> waiting{kSwitchGlobal, kModeWaiting};
        (void)engineTransmit(kLssMasterId, waiting.data(), 8);
    }
}

// Every end of a request passes here: time-outs, unexpected answers, refused frames and the last step.
void finish(EngineContext& context) {
    if (context.active) {
        releaseSlaves(context);
        Engine_Complete(context);
    }
}

void finishWith(EngineContext& context, const ResultBlock& result) {
    if (context.active) {
        context.result = result;
        finish(context);
    }
}

[[nodiscard]] bool switchesToWaiting(const std::array<uint8_t, 8>& data) {
    return data[0] == kSwitchGlobal && data[1] == kModeWaiting;
}

[[nodiscard]] bool maySwitchToConfiguration(const std::array<uint8_t, 8>& data) {
    return (data[0] == kSwitchGlobal && data[1] == kModeConfiguration) ||
           (data[0] >= kSelectVendor && data[0] <= kSelectSerial);
}

// Sends one 8-byte master frame and stamps the time. A frame that did not go out ends the request at
// once with the driver's result: waiting for an answer to it would only turn into a time-out. A
// switch back to waiting that the driver refused is tried once more at the end.
[[nodiscard]] bool send(EngineContext& context, const std::array<uint8_t, 8>& data) {
    ResultBlock driverResult;
    if (engineTransmit(kLssMasterId, data.data(), 8, &driverResult) != DRN_OK) {
        finishWith(context, driverResult);
        return false;
    }
    if (switchesToWaiting(data)) {
        context.lss.slavesMayBeConfiguring = false;
    } else if (maySwitchToConfiguration(data)) {
        context.lss.slavesMayBeConfiguring = true;
    }
    engineStamp(context);
    return true;
}

[[nodiscard]] bool sendCommand(EngineContext& context, uint8_t command, uint8_t first = 0, uint8_t second = 0) {
    return send(context, {command, first, second, 0, 0, 0, 0, 0});
}

[[nodiscard]] bool sendValue(EngineContext& context, uint8_t command, uint32_t value) {
    std::array<uint8_t, 8> data{command};
    putLe32(data.data() + 1, value);
    return send(context, data);
}

void next(EngineContext& context, int32_t state) {
    if (context.active) {
        context.protocolState = state;
    }
}

// The slaves back to waiting; the request ends one step later with whatever result it holds.
void switchToWaiting(EngineContext& context) {
    if (sendCommand(context, kSwitchGlobal, kModeWaiting)) {
        next(context, kFinalStep);
    }
}

void fail(EngineContext& context, std::u16string_view message) {
    setResult(&context.result, DRN_REQUEST_FAILED, message);
}

// ---- Answers ----

// Sends an inquiry and notes it as the one whose answer is awaited.
void inquire(EngineContext& context, uint8_t inquiry) {
    context.lss.inquiry = inquiry;
    (void)sendCommand(context, inquiry);
}

// Only the answer to the inquiry just sent is taken. An answer to an inquiry that has had its answer
// already comes from a second slave: the values taken so far may be another device's, so nothing is
// found. An answer to an inquiry not sent yet answers nobody's question here.
void onInquiryAnswer(EngineContext& context, const CANFrame& frame) {
    LSSIdentity& identity = *context.request.identity;
    const uint8_t command = frame.length == 8 ? frame.data[0] : 0;
    const uint32_t value = getLe32(frame.data + 1);
    if (command >= kInquireVendor && command <= kInquireNodeId && command != context.lss.inquiry) {
        fail(context, command < context.lss.inquiry ? kLssMoreThanOneSlave : u"Unknown LSS slave response");
        identity.found = 0;
        switchToWaiting(context);
        return;
    }
    switch (command) {
    case kInquireVendor:
        identity.vendorId = value;
        inquire(context, kInquireProduct);
        return;
    case kInquireProduct:
        identity.productCode = value;
        inquire(context, kInquireRevision);
        return;
    case kInquireRevision:
        identity.revisionNumber = value;
        inquire(context, kInquireSerial);
        return;
    case kInquireSerial:
        identity.serialNumber = value;
        inquire(context, kInquireNodeId);
        return;
    case kInquireNodeId:
        identity.nodeId = frame.data[1];
        // All five answers came: the slave is found even if the switch back to waiting does not go out.
        identity.found = 1;
        context.lss.inquiry = kFindAnswered;
        (void)sendCommand(context, kSwitchGlobal, kModeWaiting);
        return;
    default:
        fail(context, u"Unknown LSS slave response");
        switchToWaiting(context);
        return;
    }
}

// 0x44: the addressed slave is in configuration mode; anything else is not the slave we asked for.
void onSelectAnswer(EngineContext& context, const CANFrame& frame, bool configureBitTiming) {
    if (frame.length != 8 || frame.data[0] != kSelectAnswer) {
        fail(context, aboutSlave(context, u"Invalid response from LSS slave ", u" when switching to configuration mode"));
        switchToWaiting(context);
        return;
    }
    if (configureBitTiming) {
        if (sendCommand(context, kConfigureBitTiming, context.request.tableSelector, context.request.tableIndex)) {
            next(context, kBitTimingAnswer);
        }
    } else {
        if (sendCommand(context, kConfigureNodeId, context.request.identity->nodeId)) {
            next(context, kConfigNodeIdAnswer);
        }
    }
}

void onNodeIdAnswer(EngineContext& context, const CANFrame& frame) {
    const uint8_t error = frame.data[1];
    if (frame.length != 8 || frame.data[0] != kConfigureNodeId ||
        (error > kErrorNotSupported && error != kErrorImplementationSpecific)) {
        fail(context, aboutSlave(context, u"Invalid response from LSS slave ", u" when configuring node id"));
    } else if (error == kErrorNotSupported) {
        fail(context, kLssNodeIdOutOfRange);
    } else if (error == kErrorImplementationSpecific) {
        fail(context, u"Implementation specific error when setting Node ID - 0x" + hex(frame.data[2], 2));
    } else if (context.request.identity->store != 0) {
        if (sendCommand(context, kStoreConfiguration)) {
            next(context, kConfigStoreAnswer);
        }
        return;
    }
    switchToWaiting(context);
}

// The slave's answer to "store configuration" decides whether the node id survives a power cycle, so
// a refusal is the request's result.
void onStoreAnswer(EngineContext& context, const CANFrame& frame) {
    const uint8_t error = frame.data[1];
    if (frame.length != 8 || frame.data[0] != kStoreConfiguration) {
        fail(context, aboutSlave(context, u"Invalid response from LSS slave ", u" when storing configuration"));
    } else if (error == kErrorNotSupported) {
        fail(context, u"Store configuration not supported");
    } else if (error == kErrorStorageAccess) {
        fail(context, u"Storage media access error when storing configuration");
    } else if (error == kErrorImplementationSpecific) {
        fail(context, u"Implementation specific error when storing configuration - 0x" + hex(frame.data[2], 2));
    } else if (error != kErrorNone) {
        fail(context, aboutSlave(context, u"Invalid response from LSS slave ", u" when storing configuration"));
    }
    switchToWaiting(context);
}

void onBitTimingAnswer(EngineContext& context, const CANFrame& frame) {
    const uint8_t error = frame.data[1];
    if (frame.length != 8 || frame.data[0] != kConfigureBitTiming ||
        (error > kErrorNotSupported && error != kErrorImplementationSpecific)) {
        fail(context, aboutSlave(context, u"Invalid response from LSS slave ", u" when configuring bit timing"));
    } else if (error == kErrorNotSupported) {
        fail(context, u"Bit timing not supported");
    } else if (error == kErrorImplementationSpecific) {
        fail(context, u"Implementation specific error when setting bit timing - 0x" + hex(frame.data[2], 2));
    }
    switchToWaiting(context);
}

// ---- Time-outs and steps ----

// No answer within the response time-out: the slaves go back to waiting before the request ends, as
// after an error answer (the slave may have carried the command out and only its answer was lost).
void onResponseTimeout(EngineContext& context) {
    switch (context.protocolState) {
    case kFindInquire:
        break;  // ends with what was answered so far; `found` stays 0
    case kConfigSelectAnswer:
    case kBitSelectAnswer:
        fail(context, aboutSlave(context, u"No response from LSS slave ", u" when switching to configuration mode"));
        break;
    case kConfigNodeIdAnswer:
        fail(context, aboutSlave(context, u"No response from LSS slave ", u" when configuring node id"));
        break;
    case kConfigStoreAnswer:
        fail(context, aboutSlave(context, u"No response from LSS slave ", u" when storing configuring"));
        break;
    case kBitTimingAnswer:
        fail(context, aboutSlave(context, u"No response from LSS slave ", u" when configuring bit timing"));
        break;
    default:
        return;
    }
    switchToWaiting(context);
}

void onStep(EngineContext& context) {
    const LSSIdentity* identity = context.request.identity;
    switch (context.protocolState) {
    case kFindSwitchGlobal:
        context.lss.inquiry = kInquireVendor;
        if (sendCommand(context, kInquireVendor)) {
            next(context, kFindInquire);
        }
        return;
    case kConfigSelectProduct:
    case kBitSelectProduct:
        if (sendValue(context, kSelectProduct, identity->productCode)) {
            next(context, context.protocolState + 1);
        }
        return;
    case kConfigSelectRevision:
    case kBitSelectRevision:
        if (sendValue(context, kSelectRevision, identity->revisionNumber)) {
            next(context, context.protocolState + 1);
        }
        return;
    case kConfigSelectSerial:
    case kBitSelectSerial:
        if (sendValue(context, kSelectSerial, identity->serialNumber)) {
            next(context, context.protocolState + 1);
        }
        return;
    case kActivateStep: {
        const uint32_t delay = context.lss.switchDelayMs;
        if (sendCommand(context, kActivateBitTiming, static_cast<uint8_t>(delay & 0xFF), static_cast<uint8_t>(delay >> 8))) {
            next(context, kActivateSwitchWait);
        }
        return;
    }
    case kFinalStep:
        finish(context);
        return;
    default:
        return;
    }
}

[[nodiscard]] bool isStepState(int32_t state) {
    return state == kFindSwitchGlobal || (state >= kConfigSelectProduct && state <= kConfigSelectSerial) ||
           (state >= kBitSelectProduct && state <= kBitSelectSerial) || state == kActivateStep || state == kFinalStep;
}

} // namespace

void lssStart(EngineContext& context) {
    EngineRequest& request = context.request;
    switch (request.code) {
    case kRequestFindLssSlave:
        request.identity->found = 0;
        if (sendCommand(context, kSwitchGlobal, kModeConfiguration)) {
            next(context, kFindSwitchGlobal);
        }
        return;
    case kRequestSetLssSlaveConfig:
        if (sendValue(context, kSelectVendor, request.identity->vendorId)) {
            next(context, kConfigSelectProduct);
        }
        return;
    case kRequestSetLssSlaveBitTiming:
        if (sendValue(context, kSelectVendor, request.identity->vendorId)) {
            next(context, kBitSelectProduct);
        }
        return;
    case kRequestUseLssSlaveBitTiming: {
        // The delay read now is the one sent, handed to the callback and waited for.
        const uint32_t delay = lssTimings().switchDelayMs;
        if (delay > kMaxSwitchDelayMs) {
            setResult(&context.result, DRN_BAD_PARAMETERS, u"LSS switch delay above 65535 ms");
            finish(context);
            return;
        }
        context.lss.switchDelayMs = delay;
        if (sendCommand(context, kSwitchGlobal, kModeConfiguration)) {
            next(context, kActivateStep);
        }
        return;
    }
    default:
        setResult(&context.result, DRN_BAD_PARAMETERS);
        finish(context);
        return;
    }
}

void lssOnFrame(EngineContext& context, const CANFrame& frame) {
    switch (context.protocolState) {
    case kFindInquire:
        if (context.lss.inquiry == kFindAnswered) {
            // An answer to an inquiry after all five were taken comes from a second slave (the
            // switch back to waiting is out already). Any frame ends the wait: a flood cannot hold it.
            if (frame.length == 8 && frame.data[0] >= kInquireVendor && frame.data[0] <= kInquireNodeId) {
                context.request.identity->found = 0;
                fail(context, kLssMoreThanOneSlave);
            }
            next(context, kFinalStep);
            return;
        }
        onInquiryAnswer(context, frame);
        return;
    case kConfigSelectAnswer:
        onSelectAnswer(context, frame, false);
        return;
    case kBitSelectAnswer:
        onSelectAnswer(context, frame, true);
        return;
    case kConfigNodeIdAnswer:
        onNodeIdAnswer(context, frame);
        return;
    case kConfigStoreAnswer:
        onStoreAnswer(context, frame);
        return;
    case kBitTimingAnswer:
        onBitTimingAnswer(context, frame);
        return;
    default:
        return;  // a step state: the engine calls every other state's frames ours, ignore them
    }
}

void lssOnTick(EngineContext& context, uint32_t elapsedMs) {
    const LssTimings timings = lssTimings();
    const int32_t state = context.protocolState;
    if (state == kFindInquire && context.lss.inquiry == kFindAnswered) {
        if (elapsedMs > timings.stepDelayMs) {
            finish(context);
        }
        return;
    }
    if (isLssAnswerState(state)) {
        if (elapsedMs > timings.responseTimeoutMs) {
            onResponseTimeout(context);
        }
        return;
    }
    if (isStepState(state)) {
        if (elapsedMs > timings.stepDelayMs) {
            onStep(context);
        }
        return;
    }
    const uint32_t delay = context.lss.switchDelayMs;
    if (state == kActivateSwitchWait && elapsedMs > delay) {
        if (context.request.switchBitTiming != nullptr) {
            context.request.switchBitTiming(context.request.bitTimingValue, delay, context.request.user);
        }
        engineStamp(context);
        next(context, kActivateSettleWait);
    } else if (state == kActivateSettleWait && elapsedMs > 2 * delay + kSettleExtraMs) {
        switchToWaiting(context);
    }
}

void lssOnCancel(EngineContext& context) {
    // No SDO transfer runs during an LSS request: no SDO abort goes out (under some COB-ID rules the
    // frame for "node 0" would land on another node's PDO).
    const uint32_t delay = context.lss.switchDelayMs;
    while (context.active &&
           (context.protocolState == kActivateSwitchWait || context.protocolState == kActivateSettleWait)) {
        const uint32_t due = context.protocolState == kActivateSwitchWait ? delay : 2 * delay + kSettleExtraMs;
        const uint32_t elapsed = engineNowMs() - context.lastEventTime;
        if (elapsed <= due) {
            ostrel::platform::sleepMs(due - elapsed + 1);
        }
        lssOnTick(context, engineNowMs() - context.lastEventTime);
    }
    releaseSlaves(context);
}

} // namespace drennic

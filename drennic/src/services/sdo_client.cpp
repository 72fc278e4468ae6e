// The SDO client: the engine thread's download and upload requests, frame by frame.
//
// Uploads check before they copy: nothing is stored beyond the caller's capacity, and only real data
// bytes are stored. The caller's size word always ends as the number of bytes stored, on failure too.
#include "services/sdo_client.h"

#include "engine/engine_context.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace drennic {
namespace {

using Frame = std::array<uint8_t, 8>;

constexpr uint16_t kDeviceTypeIndex = 0x1000;  // read by scans: never by block transfer

constexpr std::u16string_view kInvalidCommand = u"Client aborted - invalid command";
constexpr std::u16string_view kCrcError = u"Client aborted - crc error";
constexpr std::u16string_view kBlockSizeTooHigh =
    u"Client Aborted - data type does not match, length of service parameter too high";
constexpr std::u16string_view kInvalidCobId = u"Client aborted - invalid COB-ID";

// ---- Frames ----

constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
        }
        table[byte] = static_cast<uint16_t>(crc);
    }
    return table;
}
constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

void putLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}
void putLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    }
}
[[nodiscard]] uint16_t getLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
[[nodiscard]] uint32_t getLe32(const uint8_t* at) {
    return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) | (uint32_t{at[3]} << 24);
}

[[nodiscard]] Frame commandFrame(uint8_t command, const EngineContext& context) {
    Frame d{};
    d[0] = command;
    putLe16(&d[1], context.request.index);
    d[3] = context.request.subIndex;
    return d;
}

// "Client aborted - 0x%8.8lX" and the like.
[[nodiscard]] std::u16string withCode(std::u16string_view prefix, uint32_t code) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string text(prefix);
    text += u"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += kHex[(code >> shift) & 0xF];
    }
    return text;
}

// ---- Sending and ending ----

int32_t send(const EngineContext& context, const Frame& d, ResultBlock* driverResult = nullptr) {
    return engineTransmit(SDO_RequestCobId(context.request.node), d.data(), 8, driverResult);
}

void stamp(EngineContext& context) {
    engineStamp(context);
    context.sdo.answerStampMs = context.lastEventTime;
}

[[nodiscard]] bool isUpload(const EngineContext& context) { return context.request.code == kRequestSdoUpload; }

// The caller's size word holds what has been stored (never more than the capacity).
void reportStored(EngineContext& context) {
    if (isUpload(context) && context.request.sizeInOut != nullptr) {
        *context.request.sizeInOut = context.sdo.done;
    }
}

[[nodiscard]] bool waitsForAnswer(int32_t state) {
    switch (state) {
    case kSdoDownloadExpedited:
    case kSdoDownloadInitiate:
    case kSdoDownloadSegment:
    case kSdoDownloadLastSegment:
    case kSdoUploadInitiate:
    case kSdoUploadSegment:
    case kSdoBlockDownloadSubBlock:
    case kSdoBlockDownloadLastSubBlock:
    case kSdoBlockDownloadEnd:
    case kSdoBlockUploadSubBlock:
    case kSdoBlockUploadEnd:
    case kSdoBlockDownloadInitiate: return true;
    default: return false;
    }
}

// Whether the device may still answer this transfer after it ended decides which of its aborts the
// next transfer on the channel may take for a late one. A transfer that never asked leaves the
// channel's earlier record as it was.
void noteEnd(EngineContext& context, bool answerOutstanding) {
    if (!waitsForAnswer(context.protocolState)) {
        return;
    }
    if (answerOutstanding) {
        context.sdoUnanswered.remember(context.sdo.responseCobId, context.request.index, context.request.subIndex);
    } else {
        context.sdoUnanswered.forget(context.sdo.responseCobId);
    }
}

void finish(EngineContext& context, int32_t code, std::u16string_view message = {}) {
    reportStored(context);
    noteEnd(context, context.sdo.answerOutstanding);
    engineFinish(context, code, message);
}

void succeed(EngineContext& context) { finish(context, DRN_OK); }

// The client gives up: abort frame to the node, -5 with the abort code in the message.
void clientAbort(EngineContext& context, uint32_t abortCode) {
    (void)engineSendSdoAbort(context, abortCode);
    finish(context, DRN_REQUEST_FAILED, withCode(u"Client aborted - ", abortCode));
}

void clientAbortWithText(EngineContext& context, uint32_t abortCode, std::u16string_view text) {
    (void)engineSendSdoAbort(context, abortCode);
    finish(context, DRN_REQUEST_FAILED, text);
}

void serverAborted(EngineContext& context, const uint8_t* d) {
    finish(context, DRN_REQUEST_FAILED, withCode(u"Server aborted - ", getLe32(d + 4)));
}

// Percent of `done` in `total`, in floating point: no overflow for large transfers, none for 0.
void progress(const EngineContext& context, uint32_t done, uint32_t total) {
    const float percent = total == 0 ? 100.0f : static_cast<float>(100.0 * static_cast<double>(done) / total);
    engineProgress(context, std::min(percent, 100.0f));
}

[[nodiscard]] bool sameObject(const EngineContext& context, const uint8_t* d) {
    return getLe16(d + 1) == context.request.index && d[3] == context.request.subIndex;
}

[[nodiscard]] bool isServerAbort(uint8_t command) { return command >= 0x80 && command <= 0x9F; }

[[nodiscard]] bool isBlockDownloadState(int32_t state) {
    return state == kSdoBlockDownloadInitiate || state == kSdoBlockDownloadSubBlock ||
           state == kSdoBlockDownloadLastSubBlock || state == kSdoBlockDownloadEnd;
}

// An answer the state does not expect.
void unexpected(EngineContext& context) {
    if (isBlockDownloadState(context.protocolState) || context.protocolState == kSdoBlockUploadEnd) {
        clientAbortWithText(context, kSdoAbortCommand, kInvalidCommand);
    } else {
        clientAbort(context, kSdoAbortCommand);
    }
}

// ---- Download ----

// Sends the segment at `done`; the state says whether it was the last one.
void sendDownloadSegment(EngineContext& context) {
    SdoTransfer& t = context.sdo;
    const uint32_t n = std::min<uint32_t>(7, t.total - t.done);
    const bool last = t.done + n >= t.total;
    Frame d{};
    d[0] = static_cast<uint8_t>(t.toggle << 4);
    if (last) {
        d[0] = static_cast<uint8_t>(d[0] | ((7 - n) << 1) | 1);
    }
    if (n > 0) {
        std::memcpy(&d[1], context.request.data + t.done, n);
    }
    t.done += n;
    context.protocolState = last ? kSdoDownloadLastSegment : kSdoDownloadSegment;
    (void)send(context, d);
}

void sendSubBlock(EngineContext& context) {
    SdoTransfer& t = context.sdo;
    const uint32_t remaining = t.total - t.done;
    const uint32_t needed = (remaining + 6) / 7;
    const uint32_t segments = std::min<uint32_t>(t.blockSize, needed);
    const uint32_t delayMs = blockSegmentWriteDelayMs();
    uint32_t offset = t.done;
    for (uint32_t sequence = 1; sequence <= segments; ++sequence) {
        const uint32_t n = std::min<uint32_t>(7, t.total - offset);
        Frame d{};
        d[0] = static_cast<uint8_t>(sequence);
        if (offset + n >= t.total) {
            d[0] = static_cast<uint8_t>(d[0] | 0x80);
        }
        std::memcpy(&d[1], context.request.data + offset, n);
        offset += n;
        (void)send(context, d);
        if (delayMs != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        }
    }
    t.segmentsSent = static_cast<uint8_t>(segments);
    context.protocolState = offset >= t.total ? kSdoBlockDownloadLastSubBlock : kSdoBlockDownloadSubBlock;
    stamp(context);
}

void beginDownload(EngineContext& context) {
    SdoTransfer& t = context.sdo;
    const EngineRequest& r = context.request;
    t.total = r.size;
    ResultBlock driverResult{};
    if (t.config.enableBlock != 0 && t.config.protocolSwitchThreshold < r.size) {
        Frame d = commandFrame(static_cast<uint8_t>(0xC2 | (t.config.crcSupported != 0 ? 0x04 : 0)), context);
        putLe32(&d[4], r.size);
        if (send(context, d, &driverResult) != DRN_OK) {
            engineFinishWith(context, driverResult);
            return;
        }
        context.protocolState = kSdoBlockDownloadInitiate;
    } else {
        const Frame d = sdoInitiateDownloadFrame(r.index, r.subIndex, r.data, r.size);
        if (send(context, d, &driverResult) != DRN_OK) {
            engineFinishWith(context, driverResult);
            return;
        }
        context.protocolState = (d[0] & 0x02) != 0 ? kSdoDownloadExpedited : kSdoDownloadInitiate;
    }
    stamp(context);
}

void onDownloadFrame(EngineContext& context, const uint8_t* d) {
    SdoTransfer& t = context.sdo;
    const uint8_t scs = d[0] >> 5;
    switch (context.protocolState) {
    case kSdoDownloadExpedited:
    case kSdoDownloadInitiate:
        if (scs != 3) {
            return unexpected(context);
        }
        if (context.protocolState == kSdoDownloadExpedited) {
            return succeed(context);
        }
        t.toggle = 0;
        t.done = 0;
        return sendDownloadSegment(context);
    case kSdoDownloadSegment:
    case kSdoDownloadLastSegment: {
        if (scs != 1) {
            return unexpected(context);
        }
        if (((d[0] >> 4) & 1) != t.toggle) {
            return clientAbort(context, kSdoAbortToggle);
        }
        if (context.protocolState == kSdoDownloadLastSegment) {
            return succeed(context);
        }
        t.toggle ^= 1;
        if (++t.segments % 4 == 0) {
            progress(context, t.done, t.total);
        }
        return sendDownloadSegment(context);
    }
    case kSdoBlockDownloadInitiate: {
        if (scs != 5 || (d[0] & 0x03) != 0) {
            return unexpected(context);
        }
        if (d[4] == 0 || d[4] > 127) {
            return clientAbort(context, kSdoAbortBlockSize);
        }
        t.serverCrc = (d[0] & 0x04) != 0;
        t.blockSize = d[4];
        t.done = 0;
        return sendSubBlock(context);
    }
    case kSdoBlockDownloadSubBlock:
    case kSdoBlockDownloadLastSubBlock: {
        if (scs != 5 || (d[0] & 0x03) != 2) {
            return unexpected(context);
        }
        const uint8_t acknowledged = d[1];
        if (acknowledged > t.segmentsSent) {
            return clientAbort(context, kSdoAbortSequence);
        }
        if (d[2] == 0 || d[2] > 127) {
            return clientAbort(context, kSdoAbortBlockSize);
        }
        // A server that keeps acknowledging none of the segments would have them sent for ever.
        t.stalledSubBlocks = acknowledged == 0 ? static_cast<uint8_t>(t.stalledSubBlocks + 1) : 0;
        if (t.stalledSubBlocks >= kMaxStalledSubBlocks) {
            return clientAbort(context, kSdoAbortTimeout);
        }
        // The server keeps the segments up to the acknowledged one; the rest goes again, in the
        // block size it asks for now.
        t.done = std::min<uint32_t>(t.total, t.done + uint32_t{acknowledged} * 7);
        t.blockSize = d[2];
        if (t.done >= t.total) {
            const uint32_t rest = t.total % 7;
            const uint8_t unused = rest == 0 ? 0 : static_cast<uint8_t>(7 - rest);
            Frame end{};
            end[0] = static_cast<uint8_t>(0xC1 | (unused << 2));
            if (t.config.crcSupported != 0) {
                putLe16(&end[1], sdoCrc16(context.request.data, t.total));
            }
            context.protocolState = kSdoBlockDownloadEnd;
            (void)send(context, end);
            return stamp(context);
        }
        // Progress only while sub-blocks follow: the end frame is no step of its own.
        sendSubBlock(context);
        return progress(context, t.done, t.total);
    }
    case kSdoBlockDownloadEnd:
        if (scs != 5 || (d[0] & 0x03) != 1) {
            return unexpected(context);
        }
        return succeed(context);
    default: return;
    }
}

// ---- Upload ----

void beginUpload(EngineContext& context) {
    SdoTransfer& t = context.sdo;
    t.blockRequested = t.config.enableBlock != 0 && context.request.index != kDeviceTypeIndex;
    Frame d{};
    if (t.blockRequested) {
        d = commandFrame(static_cast<uint8_t>(0xA0 | (t.config.crcSupported != 0 ? 0x04 : 0)), context);
        d[4] = t.config.blockSize;
        d[5] = t.config.protocolSwitchThreshold;
    } else {
        d = commandFrame(0x40, context);
    }
    ResultBlock driverResult{};
    if (send(context, d, &driverResult) != DRN_OK) {
        reportStored(context);
        engineFinishWith(context, driverResult);
        return;
    }
    t.done = 0;
    t.toggle = 0;
    t.crc = 0;
    context.protocolState = kSdoUploadInitiate;
    stamp(context);
}

void requestUploadSegment(EngineContext& context) {
    (void)send(context, Frame{static_cast<uint8_t>(0x60 | (context.sdo.toggle << 4))});
    context.protocolState = kSdoUploadSegment;
}

void onUploadInitiate(EngineContext& context, const uint8_t* d) {
    SdoTransfer& t = context.sdo;
    const uint32_t capacity = *context.request.sizeInOut;
    const uint8_t scs = d[0] >> 5;
    if (scs == 2) {
        switch (d[0] & 0x03) {
        case 0:  // segmented, size not given: as much as the buffer takes
            t.limit = capacity;
            t.total = capacity;
            return requestUploadSegment(context);
        case 1: {
            const uint32_t size = getLe32(d + 4);
            if (size > capacity) {
                return clientAbort(context, kSdoAbortLengthTooHigh);
            }
            t.limit = capacity;
            t.total = size;
            t.sizeIndicated = true;
            return requestUploadSegment(context);
        }
        default: {
            // Expedited: 4 bytes, or as many as the command byte says.
            const uint32_t n = (d[0] & 0x01) != 0 ? 4u - ((d[0] >> 2) & 0x03) : 4u;
            if (n > capacity) {
                return clientAbort(context, kSdoAbortLengthTooHigh);
            }
            std::memcpy(context.request.buffer, d + 4, n);
            t.done = n;
            return succeed(context);
        }
        }
    }
    if (scs == 6 && t.blockRequested && (d[0] & 0x01) == 0) {
        t.serverCrc = (d[0] & 0x04) != 0;
        t.limit = capacity >= 2 ? capacity - 2 : 0;
        t.total = t.limit;
        if ((d[0] & 0x02) != 0) {
            const uint32_t size = getLe32(d + 4);
            if (size > t.limit) {
                return clientAbortWithText(context, kSdoAbortLengthTooHigh, kBlockSizeTooHigh);
            }
            t.total = size;
            t.sizeIndicated = true;
        }
        t.blockSize = t.config.blockSize;
        t.inSequence = 0;
        t.sequenceError = false;
        (void)send(context, Frame{0xA3});
        context.protocolState = kSdoBlockUploadSubBlock;
        return;
    }
    unexpected(context);
}

void onUploadSegment(EngineContext& context, const uint8_t* d) {
    SdoTransfer& t = context.sdo;
    if ((d[0] >> 5) != 0) {
        return unexpected(context);
    }
    if (((d[0] >> 4) & 1) != t.toggle) {
        return clientAbort(context, kSdoAbortToggle);
    }
    const uint32_t n = 7u - ((d[0] >> 1) & 0x07);
    const bool last = (d[0] & 0x01) != 0;
    if (n == 0 && !last) {
        return clientAbort(context, kSdoAbortCommand);  // a device that keeps sending these never ends
    }
    if (n > t.total - t.done) {
        // `total` is the size announced, else the buffer's capacity
        return clientAbort(context, t.sizeIndicated ? kSdoAbortLengthTooHigh : kSdoAbortCannotStore);
    }
    if (n > 0) {
        std::memcpy(context.request.buffer + t.done, d + 1, n);
    }
    t.done += n;
    t.toggle ^= 1;
    if (last) {
        return succeed(context);
    }
    if (t.done >= t.total) {
        return clientAbort(context, kSdoAbortCannotStore);  // more announced than the buffer or the size allows
    }
    if (++t.segments % 4 == 0) {
        progress(context, t.done, t.total);
    }
    requestUploadSegment(context);
}

void acknowledgeSubBlock(EngineContext& context) {
    SdoTransfer& t = context.sdo;
    (void)send(context, Frame{0xA2, t.inSequence, t.config.blockSize});
}

void onBlockUploadSegment(EngineContext& context, const uint8_t* d) {
    SdoTransfer& t = context.sdo;
    const uint8_t sequence = d[0] & 0x7F;
    const bool last = (d[0] & 0x80) != 0;
    // A sub-block ends with segment `blockSize` or the last one: a server that sends more without
    // either (repeating a segment, say) would hold the transfer for as long as it keeps sending.
    if (sequence == 0 || sequence > t.blockSize || ++t.segmentsReceived > t.blockSize) {
        return clientAbort(context, kSdoAbortSequence);
    }
    if (!t.sequenceError && sequence == t.inSequence + 1) {
        // `total` is the size announced, else what the buffer takes
        const uint32_t offset = t.done + uint32_t{t.inSequence} * 7;
        const uint32_t room = t.total > offset ? t.total - offset : 0;
        if (last) {
            // How many of its bytes are data only the end tells; keep the segment until then.
            std::memcpy(t.lastSegment.data(), d + 1, 7);
            t.lastSegmentOffset = offset;
            t.lastSegmentStored = std::min<uint32_t>(7, room);
            if (t.lastSegmentStored > 0) {
                std::memcpy(context.request.buffer + offset, d + 1, t.lastSegmentStored);
            }
        } else {
            if (room < 7) {
                return clientAbort(context, t.sizeIndicated ? kSdoAbortLengthTooHigh : kSdoAbortCannotStore);
            }
            std::memcpy(context.request.buffer + offset, d + 1, 7);
            t.crc = sdoCrc16(d + 1, 7, t.crc);
        }
        ++t.inSequence;
    } else {
        t.sequenceError = true;
    }
    if (sequence != t.blockSize && !last) {
        return;
    }
    // A server that never sends the segment after the acknowledged one would repeat for ever.
    t.stalledSubBlocks = t.inSequence == 0 ? static_cast<uint8_t>(t.stalledSubBlocks + 1) : 0;
    if (t.stalledSubBlocks >= kMaxStalledSubBlocks) {
        return clientAbort(context, kSdoAbortSequence);
    }
    acknowledgeSubBlock(context);
    t.segmentsReceived = 0;
    if (!t.sequenceError && last) {
        // Counted as whole segments: only the end frame tells how much of the last one is data.
        progress(context, t.done + uint32_t{t.inSequence} * 7, t.total);
        context.protocolState = kSdoBlockUploadEnd;
        return;
    }
    // The acknowledged segments stay; the server repeats from the one after them.
    t.done += uint32_t{t.inSequence} * 7;
    t.inSequence = 0;
    t.sequenceError = false;
    progress(context, t.done, t.total);
}

void onBlockUploadEnd(EngineContext& context, const uint8_t* d) {
    SdoTransfer& t = context.sdo;
    if ((d[0] >> 5) != 6 || (d[0] & 0x03) != 1) {
        return unexpected(context);
    }
    const uint32_t unused = (d[0] >> 2) & 0x07;
    // Seven unused bytes only fit a transfer without any data.
    if (unused == 7 && t.lastSegmentOffset != 0) {
        return clientAbort(context, kSdoAbortCommand);
    }
    const uint32_t data = 7 - unused;
    if (data > t.lastSegmentStored) {
        t.done = t.lastSegmentOffset + t.lastSegmentStored;
        return clientAbort(context, t.sizeIndicated ? kSdoAbortLengthTooHigh : kSdoAbortCannotStore);
    }
    t.done = t.lastSegmentOffset + data;
    const uint16_t crc = sdoCrc16(t.lastSegment.data(), data, t.crc);
    if (t.config.crcSupported != 0 && t.serverCrc && crc != getLe16(d + 1)) {
        return clientAbortWithText(context, kSdoAbortCrc, kCrcError);
    }
    (void)send(context, Frame{0xA1});
    succeed(context);
}

} // namespace

// ---- Shared helpers ----

uint16_t sdoCrc16(const uint8_t* data, std::size_t size, uint16_t crc) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    }
    return crc;
}

std::array<uint8_t, 8> sdoInitiateDownloadFrame(uint16_t index, uint8_t subIndex, const uint8_t* data,
                                                 uint32_t size) noexcept {
    Frame d{};
    putLe16(&d[1], index);
    d[3] = subIndex;
    if (size >= 1 && size <= 4) {
        d[0] = static_cast<uint8_t>(0x23 | ((4 - size) << 2));
        std::memcpy(&d[4], data, size);
    } else {
        // 0 bytes go segmented too: an expedited initiate cannot say "no data".
        d[0] = 0x21;
        putLe32(&d[4], size);
    }
    return d;
}

// ---- The service's entry points ----

void sdoClientStart(EngineContext& context) {
    context.sdo = SdoTransfer{};
    context.sdo.config = sdoBlockConfig();
    context.sdo.answerStampMs = context.lastEventTime;
    const uint8_t node = context.request.node;
    // A rule that gives identifier 0 would put SDO frames on the NMT identifier; a node the rule
    // gives no identifiers of its own would send on and listen to another node's or service's.
    const SdoChannelRule rule = sdoChannelRule();
    if (!rule.reachesNode(node) || rule.requestCobIdFor(node) == 0 || rule.responseCobIdFor(node) == 0) {
        reportStored(context);
        engineFinish(context, DRN_REQUEST_FAILED, kInvalidCobId);
        return;
    }
    context.sdo.responseCobId = rule.responseCobIdFor(node);
    const bool upload = isUpload(context);
    context.protocolState = upload ? kSdoUploadWaitChannel : kSdoDownloadWaitChannel;
    if (engineSdoChannelReady(0)) {
        upload ? beginUpload(context) : beginDownload(context);
    }
}

void sdoClientOnFrame(EngineContext& context, const CANFrame& frame) {
    const int32_t state = context.protocolState;
    // SDO frames always carry 8 data bytes. A shorter one is a protocol error, checked before
    // anything else: none of its bytes is taken for data, and no missing byte is made up.
    if (frame.length < 8) {
        if (waitsForAnswer(state)) {
            unexpected(context);
        }
        return;
    }
    uint8_t d[8];
    std::memcpy(d, frame.data, sizeof d);

    // Between block upload segments only 0x80 is an abort: 0x81..0x9F are last segments.
    const bool abort = state == kSdoBlockUploadSubBlock ? d[0] == 0x80 : isServerAbort(d[0]);
    // A device refuses what it does not support with an abort that may name any object (often that
    // of its previous transfer): it is this transfer's refusal, in every state. Only an abort for
    // the object of the transfer before, which ended with its request unanswered, may be that late
    // answer. A late answer is not this transfer's: it neither ends it nor counts as its answer in
    // time. Neither does an initiate answer for another object.
    const bool initiateState = state == kSdoDownloadExpedited || state == kSdoDownloadInitiate ||
                               state == kSdoUploadInitiate || state == kSdoBlockDownloadInitiate;
    const bool lateAnswer =
        !sameObject(context, d) &&
        (abort ? context.sdoUnanswered.pendingFor(context.sdo.responseCobId, getLe16(d + 1), d[3]) : initiateState);
    if (lateAnswer) {
        context.lastEventTime = context.sdo.answerStampMs;
        return;
    }
    context.sdo.answerStampMs = context.lastEventTime;

    if (abort) {
        return serverAborted(context, d);
    }
    switch (state) {
    case kSdoBlockUploadSubBlock: return onBlockUploadSegment(context, d);
    case kSdoUploadInitiate: return onUploadInitiate(context, d);
    case kSdoUploadSegment: return onUploadSegment(context, d);
    case kSdoBlockUploadEnd: return onBlockUploadEnd(context, d);
    default: return onDownloadFrame(context, d);
    }
}

void sdoClientOnTick(EngineContext& context, uint32_t elapsedMs) {
    const int32_t state = context.protocolState;
    if (state == kSdoDownloadWaitChannel || state == kSdoUploadWaitChannel) {
        if (engineSdoChannelReady(elapsedMs)) {
            state == kSdoUploadWaitChannel ? beginUpload(context) : beginDownload(context);
        }
        return;
    }
    if (waitsForAnswer(state) && elapsedMs > sdoTimeoutMs()) {
        context.sdo.answerOutstanding = true;
        clientAbort(context, kSdoAbortTimeout);
    }
}

void sdoClientOnCancel(EngineContext& context) {
    reportStored(context);
    noteEnd(context, true);  // the request may have been on its way or answered on the bus already
}

bool sdoClientAwaitsAnswer(int32_t state) noexcept { return waitsForAnswer(state); }

void SdoUnansweredTransfers::remember(uint32_t responseCobId, uint16_t index, uint8_t subIndex) noexcept {
    forget(responseCobId);
    Entry* slot = nullptr;
    for (Entry& entry : entries_) {
        if (!entry.used) {
            slot = &entry;
            break;
        }
    }
    if (slot == nullptr) {
        slot = &entries_[nextReplaced_];
        nextReplaced_ = (nextReplaced_ + 1) % kCapacity;
    }
    *slot = Entry{responseCobId, index, subIndex, true};
}

void SdoUnansweredTransfers::forget(uint32_t responseCobId) noexcept {
    for (Entry& entry : entries_) {
        if (entry.used && entry.responseCobId == responseCobId) {
            entry = Entry{};
        }
    }
}

bool SdoUnansweredTransfers::pendingFor(uint32_t responseCobId, uint16_t index, uint8_t subIndex) const noexcept {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return entry.used && entry.responseCobId == responseCobId && entry.index == index && entry.subIndex == subIndex;
    });
}

} // namespace drennic

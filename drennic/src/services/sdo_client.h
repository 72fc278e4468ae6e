// SDO client transfers run by the engine thread: download (request 1) and upload (request 2), each
// expedited, segmented or by block transfer with CRC.
#pragma once

#include "engine/engine_settings.h"

#include <drennic/drennic.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace drennic {

struct EngineContext;

// The protocol states of the SDO client.
enum SdoState : int32_t {
    kSdoDownloadWaitChannel = 1,
    kSdoDownloadExpedited = 2,      // initiate sent, expedited
    kSdoDownloadInitiate = 3,       // initiate sent, segmented
    kSdoDownloadSegment = 4,        // a segment sent, more to come
    kSdoDownloadLastSegment = 5,    // the last segment sent
    kSdoUploadWaitChannel = 6,
    kSdoUploadInitiate = 7,         // (block) initiate upload sent
    kSdoUploadSegment = 8,          // segment request sent
    kSdoBlockDownloadSubBlock = 30, // a sub-block sent, more data after it
    kSdoBlockDownloadLastSubBlock = 31,
    kSdoBlockDownloadEnd = 32,      // end sent
    kSdoBlockUploadSubBlock = 33,   // receiving segments
    kSdoBlockUploadEnd = 34,        // last segment acknowledged, waiting for the end
    kSdoBlockDownloadInitiate = 35,
};

// SDO abort codes the client sends or recognises.
inline constexpr uint32_t kSdoAbortToggle = 0x05030000;
inline constexpr uint32_t kSdoAbortTimeout = 0x05040000;
inline constexpr uint32_t kSdoAbortCommand = 0x05040001;
inline constexpr uint32_t kSdoAbortBlockSize = 0x05040002;
inline constexpr uint32_t kSdoAbortSequence = 0x05040003;
inline constexpr uint32_t kSdoAbortCrc = 0x05040004;
inline constexpr uint32_t kSdoAbortLengthTooHigh = 0x06070012;
inline constexpr uint32_t kSdoAbortCannotStore = 0x08000020;
inline constexpr uint32_t kSdoAbortCancelled = 0x08000021;

// The CRC of SDO block transfer (CRC-16/XMODEM: polynomial 0x1021, start 0, most significant bit
// first); continues from `crc`.
[[nodiscard]] uint16_t sdoCrc16(const uint8_t* data, std::size_t size, uint16_t crc = 0) noexcept;

// The initiate download request for `size` bytes of `data`: expedited (0x23 with the count of unused
// bytes) for 1..4 bytes, else segmented (0x21) with the size, also for 0 bytes. Mass write sends its
// expedited frames (1..4 bytes) with it and refuses every other size.
[[nodiscard]] std::array<uint8_t, 8> sdoInitiateDownloadFrame(uint16_t index, uint8_t subIndex, const uint8_t* data,
                                                              uint32_t size) noexcept;

// A block transfer whose peer acknowledges (download) or sends (upload) this many sub-blocks in a row
// without a single segment taken is given up: it would otherwise repeat for ever.
inline constexpr uint8_t kMaxStalledSubBlocks = 5;

// The transfer's working state, part of the engine context; reset when a request is taken up.
struct SdoTransfer {
    SdoBlockConfig config;       // block settings as the transfer started
    uint32_t total = 0;          // download: bytes to send; upload: indicated size, else `limit`
    bool sizeIndicated = false;  // upload: the device announced `total`
    uint32_t limit = 0;          // upload: the most bytes the caller's buffer takes for this transfer
    uint32_t done = 0;           // download: bytes sent (block: acknowledged); upload: bytes stored
    uint32_t segments = 0;       // segments exchanged, for progress
    uint8_t toggle = 0;
    bool blockRequested = false; // upload: the initiate asked for block transfer
    bool serverCrc = false;
    uint8_t blockSize = 0;       // download: as granted by the server; upload: ours
    uint8_t segmentsSent = 0;    // block download: segments of the current sub-block
    uint8_t inSequence = 0;      // block upload: segments received in sequence in this sub-block
    uint8_t segmentsReceived = 0; // block upload: segments of this sub-block, in sequence or not
    uint8_t stalledSubBlocks = 0; // block transfer: consecutive sub-blocks that moved no data on
    bool sequenceError = false;
    uint16_t crc = 0;            // block upload: over the stored segments before the last one
    std::array<uint8_t, 7> lastSegment{};
    uint32_t lastSegmentOffset = 0;
    uint32_t lastSegmentStored = 0;
    uint32_t answerStampMs = 0;  // time of the last frame taken as an answer (or of the last request)
    uint32_t responseCobId = 0;  // where this transfer's answers come from
    bool answerOutstanding = false; // ends because the device fell silent
};

// Transfers that ended before their last request was answered (time-out, cancel), one per response
// identifier: the device may still answer, late, into the next transfer on that channel. Kept across
// requests; a transfer that ends with its answer replaces its channel's entry by nothing.
class SdoUnansweredTransfers {
public:
    void remember(uint32_t responseCobId, uint16_t index, uint8_t subIndex) noexcept;
    void forget(uint32_t responseCobId) noexcept;
    // Whether the previous transfer on `responseCobId` ended unanswered and was about this object.
    [[nodiscard]] bool pendingFor(uint32_t responseCobId, uint16_t index, uint8_t subIndex) const noexcept;

private:
    struct Entry {
        uint32_t responseCobId = 0;
        uint16_t index = 0;
        uint8_t subIndex = 0;
        bool used = false;
    };
    // A handful of devices at most leave answers outstanding at once; the oldest entry goes first.
    static constexpr std::size_t kCapacity = 16;
    std::array<Entry, kCapacity> entries_{};
    std::size_t nextReplaced_ = 0;
};

[[nodiscard]] bool sdoClientAwaitsAnswer(int32_t state) noexcept;

void sdoClientStart(EngineContext& context);
void sdoClientOnFrame(EngineContext& context, const CANFrame& frame);
void sdoClientOnTick(EngineContext& context, uint32_t elapsedMs);
void sdoClientOnCancel(EngineContext& context);

} // namespace drennic

/* Drennic: CANopen master and CAN-interface library. The public interface, usable from C11 and C++.
 *
 * Records crossing this interface are byte-exact and little-endian; text is UTF-16 (drn_char16).
 * Callers own their buffers and records; callbacks get pointers that are valid only during the call.
 * Failures are reported by result codes (DRN_*), never by exceptions. */
#ifndef DRENNIC_DRENNIC_H
#define DRENNIC_DRENNIC_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define DRENNIC_API __attribute__((visibility("default")))
#else
#define DRENNIC_API
#endif

#ifdef __cplusplus
#define DRENNIC_STATIC_ASSERT(condition, text) static_assert(condition, text)
#else
#define DRENNIC_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One UTF-16 code unit: char16_t in C++, the same 16-bit unsigned type in C. */
#ifdef __cplusplus
typedef char16_t drn_char16;
#else
typedef uint_least16_t drn_char16;
#endif
DRENNIC_STATIC_ASSERT(sizeof(drn_char16) == 2, "UTF-16 code units are 2 bytes");

/* ---- Result codes ------------------------------------------------------------------------------ */

enum {
    DRN_OK = 0,
    DRN_CANCELLED = -1,          /* request cancelled by CANopen_Cancel */
    DRN_NOT_SENT = -1,           /* driver level: a command could not be sent */
    DRN_NO_RESPONSE = -2,        /* driver level: no response in time */
    DRN_WRONG_RESPONSE = -3,     /* driver level: wrong response */
    DRN_BAD_PARAMETERS = -4,     /* driver refused the parameters (also: frame longer than 8) */
    DRN_REQUEST_FAILED = -5,     /* protocol or transmission failure; the message says which */
    DRN_DRIVER_FAILURE = -6,     /* driver-level failure of the server client */
    DRN_NOT_INITIALIZED = -7,    /* no driver, hardware not initialised, initialisation failed */
    DRN_TRANSMIT_ERROR = -8,     /* the driver could not transmit */
    DRN_DELETE_FAILED = -9,      /* Hardware_DeleteNetwork failed */
    DRN_SERVER_STATUS_2 = -10,   /* server status 2 */
    DRN_NO_FRAME = -11,          /* no received frame available */
    DRN_BUSY = -12,              /* refused: an engine request is running */
    DRN_CONFIG_FAILED = -13,     /* configuration writer: at least one object failed */
    DRN_NETWORK_IN_USE = -13,    /* Hardware_DeleteNetwork refused: network in use */
    DRN_REFUSED = -14,           /* built-in network not deleted; self-receive switched off */
    DRN_SERVER_STATUS_15 = -15   /* server status 15 */
};

/* Driver status word (MajorErrorCallback) of the CAN server client: a new CAN server was found and
   this client registered with it again. The low byte counts the restarts, so each one is reported. */
#define DRN_STATUS_SERVER_RESTARTED 0x100u
/* Frames the CAN server delivered were lost before this program read them (it fell a whole receive
   ring behind). Bits 16-23 count the reports, at most one a second, so each one is reported. */
#define DRN_STATUS_FRAMES_LOST 0x200u

/* ---- Records ----------------------------------------------------------------------------------- */

/* CANFrame.flags bits */
enum {
    DRN_FLAG_EXTENDED = 0x01, /* 29-bit identifier */
    DRN_FLAG_REMOTE = 0x02,   /* remote request */
    DRN_FLAG_ERROR = 0x04     /* error/status frame */
};

#define DRN_MESSAGE_CHARS 300
#define DRN_HARDWARE_NAME_CHARS 32
#define DRN_NETWORK_NAME_CHARS 40
#define DRN_NODE_COUNT 127

/* One CAN frame with its reception time. Transmitters fill id, length, flags and data. */
typedef struct CANFrame {
    uint32_t timeMs;         /* milliseconds of the driver clock */
    uint32_t timeMsOverflow; /* high part of the millisecond count; always 0 */
    uint32_t timeUs;         /* sub-millisecond part, microseconds */
    uint32_t id;             /* 11-bit or 29-bit identifier */
    uint8_t length;          /* 0..8 */
    uint8_t flags;           /* DRN_FLAG_* */
    uint8_t data[8];         /* only the first `length` bytes are meaningful */
    uint8_t padding[2];
} CANFrame;
DRENNIC_STATIC_ASSERT(sizeof(CANFrame) == 28, "CANFrame is 28 bytes");
DRENNIC_STATIC_ASSERT(offsetof(CANFrame, timeMs) == 0, "CANFrame.timeMs");
DRENNIC_STATIC_ASSERT(offsetof(CANFrame, timeMsOverflow) == 4, "CANFrame.timeMsOverflow");
DRENNIC_STATIC_ASSERT(offsetof(CANFrame, timeUs) == 8, "CANFrame.timeUs");
DRENNIC_STATIC_ASSERT(offsetof(CANFrame, id) == 12, "CANFrame.id");
DRENNIC_STATIC_ASSERT(offsetof(CANFrame, length) == 16, "CANFrame.length");
DRENNIC_STATIC_ASSERT(offsetof(CANFrame, flags) == 17, "CANFrame.flags");
DRENNIC_STATIC_ASSERT(offsetof(CANFrame, data) == 18, "CANFrame.data");

/* The three time words of a CANFrame. */
typedef struct CANTimeStamp {
    uint32_t timeMs;
    uint32_t timeMsOverflow;
    uint32_t timeUs;
} CANTimeStamp;
DRENNIC_STATIC_ASSERT(sizeof(CANTimeStamp) == 12, "CANTimeStamp is 12 bytes");
DRENNIC_STATIC_ASSERT(offsetof(CANTimeStamp, timeMsOverflow) == 4, "CANTimeStamp.timeMsOverflow");
DRENNIC_STATIC_ASSERT(offsetof(CANTimeStamp, timeUs) == 8, "CANTimeStamp.timeUs");

/* Result of every operation that can fail with a message. */
typedef struct ResultBlock {
    int32_t code;                           /* DRN_OK or a negative DRN_* code */
    drn_char16 message[DRN_MESSAGE_CHARS];  /* zero-terminated; empty on success */
} ResultBlock;
DRENNIC_STATIC_ASSERT(sizeof(ResultBlock) == 604, "ResultBlock is 604 bytes");
DRENNIC_STATIC_ASSERT(offsetof(ResultBlock, message) == 4, "ResultBlock.message");

typedef struct HardwareInfo {
    drn_char16 name[DRN_HARDWARE_NAME_CHARS]; /* zero-terminated unless it fills the field */
    uint32_t hardwareHandle;
} HardwareInfo;
DRENNIC_STATIC_ASSERT(sizeof(HardwareInfo) == 68, "HardwareInfo is 68 bytes");
DRENNIC_STATIC_ASSERT(offsetof(HardwareInfo, hardwareHandle) == 64, "HardwareInfo.hardwareHandle");

typedef struct NetworkInfo {
    drn_char16 name[DRN_NETWORK_NAME_CHARS];
    uint32_t networkHandle;
    uint32_t baudKbit;
} NetworkInfo;
DRENNIC_STATIC_ASSERT(sizeof(NetworkInfo) == 88, "NetworkInfo is 88 bytes");
DRENNIC_STATIC_ASSERT(offsetof(NetworkInfo, networkHandle) == 80, "NetworkInfo.networkHandle");
DRENNIC_STATIC_ASSERT(offsetof(NetworkInfo, baudKbit) == 84, "NetworkInfo.baudKbit");

/* LSS address of one node; the caller keeps it valid until the completion callback. */
typedef struct LSSIdentity {
    uint32_t vendorId;
    uint32_t productCode;
    uint32_t revisionNumber;
    uint32_t serialNumber;
    uint8_t nodeId;
    uint8_t store;      /* nonzero: store the configuration after setting the node id */
    uint8_t padding[2];
    uint32_t found;     /* 1 when all five inquiries were answered */
} LSSIdentity;
DRENNIC_STATIC_ASSERT(sizeof(LSSIdentity) == 24, "LSSIdentity is 24 bytes");
DRENNIC_STATIC_ASSERT(offsetof(LSSIdentity, productCode) == 4, "LSSIdentity.productCode");
DRENNIC_STATIC_ASSERT(offsetof(LSSIdentity, revisionNumber) == 8, "LSSIdentity.revisionNumber");
DRENNIC_STATIC_ASSERT(offsetof(LSSIdentity, serialNumber) == 12, "LSSIdentity.serialNumber");
DRENNIC_STATIC_ASSERT(offsetof(LSSIdentity, nodeId) == 16, "LSSIdentity.nodeId");
DRENNIC_STATIC_ASSERT(offsetof(LSSIdentity, store) == 17, "LSSIdentity.store");
DRENNIC_STATIC_ASSERT(offsetof(LSSIdentity, found) == 20, "LSSIdentity.found");

/* One entry per node 1..127 (entry n - 1 for node n) of CANopen_ScanNetwork. */
typedef struct ScanResult {
    uint8_t found;      /* 1 when the node answered */
    uint8_t padding[3];
    uint32_t deviceType; /* object 0x1000 sub-index 0 */
} ScanResult;
DRENNIC_STATIC_ASSERT(sizeof(ScanResult) == 8, "ScanResult is 8 bytes");
DRENNIC_STATIC_ASSERT(offsetof(ScanResult, deviceType) == 4, "ScanResult.deviceType");

/* One entry per node 1..127 of CANopen_MassExpeditedWrite. */
typedef struct MassWriteResult {
    uint8_t acknowledged; /* 1 when the node confirmed the download */
    uint8_t padding[3];
    uint32_t unused;      /* not written */
} MassWriteResult;
DRENNIC_STATIC_ASSERT(sizeof(MassWriteResult) == 8, "MassWriteResult is 8 bytes");
DRENNIC_STATIC_ASSERT(offsetof(MassWriteResult, unused) == 4, "MassWriteResult.unused");

/* One node found and configured by LSSFastScan_ScanAndConfig. */
typedef struct FastScanResult {
    uint32_t vendorId;
    uint32_t productCode;
    uint32_t revisionNumber;
    uint32_t serialNumber;
    uint8_t nodeId;
    uint8_t padding[3];
    uint32_t valid; /* 1 */
} FastScanResult;
DRENNIC_STATIC_ASSERT(sizeof(FastScanResult) == 24, "FastScanResult is 24 bytes");
DRENNIC_STATIC_ASSERT(offsetof(FastScanResult, serialNumber) == 12, "FastScanResult.serialNumber");
DRENNIC_STATIC_ASSERT(offsetof(FastScanResult, nodeId) == 16, "FastScanResult.nodeId");
DRENNIC_STATIC_ASSERT(offsetof(FastScanResult, valid) == 20, "FastScanResult.valid");

/* A watched SDO upload; handed out by CANopenMonitor_SDO. Callers treat it as opaque except in
 * MonitorDataCallback, where `buffer` holds the captured data. */
typedef struct MonitorSlot {
    uint32_t inUse;         /* 1 once handed out */
    uint32_t runState;      /* 1 stopped, 2 running */
    uint32_t phase;         /* 0 upload request, 1 its response, 2 segment request, 3 segment */
    uint32_t toggle;        /* expected toggle bit of the next segment */
    uint32_t requestCobId;
    uint32_t responseCobId;
    uint32_t index;         /* 16 bits used */
    uint32_t subIndex;      /* 8 bits used */
    uint8_t* buffer;
    uint32_t bufferSize;
    uint32_t received;      /* bytes captured of the current upload */
    uint8_t* writePos;      /* where the next segment goes */
} MonitorSlot;
DRENNIC_STATIC_ASSERT(offsetof(MonitorSlot, subIndex) == 28, "MonitorSlot.subIndex");
DRENNIC_STATIC_ASSERT(offsetof(MonitorSlot, buffer) == 32, "MonitorSlot.buffer");
#if UINTPTR_MAX == UINT64_MAX
DRENNIC_STATIC_ASSERT(offsetof(MonitorSlot, bufferSize) == 40, "MonitorSlot.bufferSize");
DRENNIC_STATIC_ASSERT(offsetof(MonitorSlot, received) == 44, "MonitorSlot.received");
DRENNIC_STATIC_ASSERT(offsetof(MonitorSlot, writePos) == 48, "MonitorSlot.writePos");
DRENNIC_STATIC_ASSERT(sizeof(MonitorSlot) == 56, "MonitorSlot is 56 bytes on 64-bit platforms");
#endif

/* ---- Callback types (the `user` value registered or passed with the callback comes last) -------- */

/* Engine, configuration-writer or fast-scan thread, during long operations. */
typedef void (*ProgressCallback)(float percentDone, void* user);
/* At the end of every request; `result` is valid only during the call. */
typedef void (*CompletionCallback)(ResultBlock* result, void* user);
/* Engine thread, for every received frame. answersRequest: 1 when it answers the running request. */
typedef void (*ReceiveCallback)(const CANFrame* frame, int32_t answersRequest, void* user);
/* Engine thread, when the driver status word changes. */
typedef void (*MajorErrorCallback)(uint32_t status, void* user);
/* The transmitting thread, after each successful transmission (time fields 0). */
typedef void (*TransmitCallback)(const CANFrame* frame, void* user);
/* Engine thread, when a monitored SDO upload completed; `length` is the number of bytes received. */
typedef void (*MonitorDataCallback)(MonitorSlot* slot, uint32_t length, void* user);
/* Engine thread, once during LSS activate bit timing, when the caller must switch its own bit rate.
 * Once the activate frame has gone out the slaves switch whatever happens, so the call always comes:
 * a cancel, Hardware_Close or CANopenDLL_Shutdown meanwhile waits for it (at most the switch delay)
 * and for the switch back to waiting (twice the switch delay and 100 ms more) before the request
 * completes with its code. */
typedef void (*LSSSwitchBitTimingCallback)(uint32_t value, uint32_t switchDelayMs, void* user);
/* Configuration-writer threads; `text` is zero-terminated. */
typedef void (*ConfigMessageCallback)(const drn_char16* text, void* user);

/* ---- Start-up and shut-down -------------------------------------------------------------------- */

/* mode 0: interface library `driverName`; mode 1: CAN server client (driverName is passed on). */
DRENNIC_API void CANopenDLL_Startup(int32_t mode, const drn_char16* driverName);
DRENNIC_API void CANopenDLL_Shutdown(void);

/* ---- Hardware ---------------------------------------------------------------------------------- */

DRENNIC_API int32_t Hardware_EnumerateHardware(HardwareInfo* hardware, int32_t maxCount);
DRENNIC_API int32_t Hardware_EnumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle);
DRENNIC_API int32_t Hardware_AddNetwork(const drn_char16* name, uint32_t baudKbit, uint32_t hardwareHandle);
DRENNIC_API int32_t Hardware_DeleteNetwork(uint32_t networkHandle);
DRENNIC_API int32_t Hardware_GetBaudrate(uint32_t networkHandle);
DRENNIC_API void Hardware_Initialize(uint32_t networkHandle, const drn_char16* clientName, uint32_t windowHandle,
                                     uint32_t reserved, ResultBlock* result);
DRENNIC_API void Hardware_SwitchNetworks(int32_t connect, uint32_t networkHandle, ResultBlock* result);
DRENNIC_API void Hardware_Close(void);
DRENNIC_API void Hardware_Reset(void);
DRENNIC_API void Hardware_GetCurrentTime(CANTimeStamp* time);
DRENNIC_API int32_t Hardware_ErrorFrames(int32_t on);
DRENNIC_API void Hardware_OneShot(int32_t on);
DRENNIC_API void Hardware_SelfReceive(int32_t on, ResultBlock* result);
DRENNIC_API int32_t Hardware_IsNetworkFunctional(void);

/* ---- Events ------------------------------------------------------------------------------------ */

/* A null callback switches the calls off. */
DRENNIC_API void Event_Receive(ReceiveCallback callback, void* user);
DRENNIC_API void Event_MajorError(MajorErrorCallback callback, void* user);
DRENNIC_API void Event_Transmit(TransmitCallback callback, void* user);

/* ---- Raw frames -------------------------------------------------------------------------------- */

DRENNIC_API void CAN_Transmit(const CANFrame* frame, ResultBlock* result);

/* ---- CANopen services: requests run on the engine thread ---------------------------------------
 * `out` receives 0 when the request was taken (its completion comes exactly once), DRN_BUSY (-12)
 * when another request waits or runs, DRN_NOT_INITIALIZED (-7) when the engine does not run, or
 * DRN_BAD_PARAMETERS (-4) for a missing record or buffer; no completion comes for a refused one.
 * SDO upload and download also give DRN_BAD_PARAMETERS, with nothing sent, for node 0 and 128..255
 * under COB-ID rules 1 and 2 (their identifiers would be another node's or service's); rule 3 sends
 * to its configured identifiers whatever the node. */

DRENNIC_API void CANopen_SDOUpload(uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer, uint32_t* size,
                                   ProgressCallback progress, CompletionCallback completion, void* user,
                                   int32_t* out);
DRENNIC_API void CANopen_SDODownload(uint8_t node, uint16_t index, uint8_t subIndex, const uint8_t* data,
                                     uint32_t size, ProgressCallback progress, CompletionCallback completion,
                                     void* user, int32_t* out);
/* node 0 addresses all nodes. */
DRENNIC_API void CANopen_NMT(uint8_t node, uint32_t type, ResultBlock* result);
/* results: DRN_NODE_COUNT entries. */
DRENNIC_API void CANopen_ScanNetwork(ScanResult* results, CompletionCallback completion, void* user, int32_t* out);
DRENNIC_API void CANopen_MassExpeditedWrite(uint16_t index, uint8_t subIndex, const uint8_t* data, uint32_t size,
                                            MassWriteResult* results, CompletionCallback completion, void* user,
                                            int32_t* out);
/* Every LSS request and the fast scan switch the slaves back to waiting however they end (answers
 * missing or refused, cancel, Hardware_Close, CANopenDLL_Shutdown); a cancel of an LSS request sends
 * no SDO abort. A find that hears two answers to one inquiry, or a fast scan two answers to its
 * node-id or store command, ends with "More than one LSS slave answered" and nothing found. */
DRENNIC_API void CANopen_FindLSSSlave(LSSIdentity* identity, CompletionCallback completion, void* user,
                                      int32_t* out);
DRENNIC_API void CANopen_SetLSSSlaveConfig(LSSIdentity* identity, CompletionCallback completion, void* user,
                                           int32_t* out);
DRENNIC_API void CANopen_SetLSSSlaveBitTiming(LSSIdentity* identity, uint8_t tableSelector, uint8_t tableIndex,
                                              CompletionCallback completion, void* user, int32_t* out);
DRENNIC_API void CANopen_UseLSSSlaveBitTiming(uint32_t value, LSSSwitchBitTimingCallback switchBitTiming,
                                              CompletionCallback completion, void* user, int32_t* out);
DRENNIC_API void CANopen_Cancel(void);

/* Timing and SDO-channel settings; they take effect at their next use. */
DRENNIC_API void CANopen_SetSDOTimeout(uint32_t ms);
DRENNIC_API void CANopen_SetScanMassOperationDelay(uint32_t ms);
DRENNIC_API void CANopen_SetBlockSegmentWriteDelay(uint32_t ms);
DRENNIC_API void CANopen_SetPostTransmitDelay(uint32_t ms);
/* 0; DRN_BAD_PARAMETERS, with the settings unchanged, for a block size outside 1..127. */
DRENNIC_API int32_t CANopen_SetSDOConfig(uint32_t enableBlock, uint8_t protocolSwitchThreshold, uint32_t crcSupported,
                                         uint8_t blockSize);
DRENNIC_API void CANopen_SetLSSTimings(uint32_t responseTimeoutMs, uint32_t stepDelayMs, uint32_t switchDelayMs);
DRENNIC_API int32_t CANopen_SDOChannels(int32_t enable);
DRENNIC_API void CANopen_SetSDOChannelsTimeout(uint32_t ms);
DRENNIC_API void CANopen_SetSDOChannel(uint32_t mode, uint32_t requestCobId, uint32_t responseCobId,
                                       uint8_t channel);

/* ---- SDO monitor ------------------------------------------------------------------------------- */

DRENNIC_API void CANopenMonitor_Start(MonitorSlot* slot);
DRENNIC_API void CANopenMonitor_Stop(MonitorSlot* slot);
/* Null when all slots are handed out. */
DRENNIC_API MonitorSlot* CANopenMonitor_SDO(uint32_t requestCobId, uint32_t responseCobId, uint16_t index,
                                            uint8_t subIndex, uint8_t* buffer, uint32_t bufferSize);
DRENNIC_API void CANopenMonitor_EventHaveData(MonitorDataCallback callback, void* user);

/* ---- SDO server -------------------------------------------------------------------------------- */

/* The PC as node `nodeId` (1..127), on that node's default SDO channel (0x600/0x580 + nodeId) whatever
 * COB-ID rule the client uses; requests the PC sent itself are not answered. */
DRENNIC_API void CANopenServer_Startup(uint8_t nodeId, uint32_t deviceType, uint32_t vendorId, uint32_t productCode,
                                       uint32_t revisionNumber, uint32_t serialNumber, int32_t* out);
DRENNIC_API void CANopenServer_Shutdown(void);

/* ---- Configuration writer ---------------------------------------------------------------------- */

/* WriteDCF: `out` DRN_BAD_PARAMETERS, with nothing sent, for a missing file name or a node id outside
 * 1-127 (whatever the SDO COB-ID rule: the NMT command and $NODEID take the node id itself). */

DRENNIC_API void CANopenConfig_WriteDCF(uint8_t node, const drn_char16* dcfFileName, ProgressCallback progress,
                                        ConfigMessageCallback message, CompletionCallback completion, void* user,
                                        int32_t* out);
DRENNIC_API void CANopenConfig_WriteNCF(const drn_char16* ncfFileName, ProgressCallback progress,
                                        ConfigMessageCallback message, CompletionCallback completion, void* user,
                                        int32_t* out);

/* ---- LSS fast scan ----------------------------------------------------------------------------- */

/* Node ids are given from firstNodeId up to 127. `out`: 0 when the scan started, DRN_BUSY while it or
 * an engine request runs, DRN_BAD_PARAMETERS for a first node id outside 1..127 or a missing array. */
DRENNIC_API void LSSFastScan_ScanAndConfig(uint32_t knownIdsFlag, uint32_t byteStepFlag, FastScanResult* results,
                                           uint32_t maxResults, uint8_t firstNodeId, uint32_t timeoutMs,
                                           ProgressCallback progress, CompletionCallback completion, void* user,
                                           int32_t* out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DRENNIC_DRENNIC_H */

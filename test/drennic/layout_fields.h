/* Every record of the library interface with its size and field offsets, as X-macros, so that a C and
 * a C++ translation unit check the same list against the same numbers. */
#ifndef DRENNIC_TEST_LAYOUT_FIELDS_H
#define DRENNIC_TEST_LAYOUT_FIELDS_H

/* DRN_SIZE(record, bytes) and DRN_FIELD(record, field, offset) */
#define DRN_LAYOUT_COMMON(DRN_SIZE, DRN_FIELD)                                                                 \
    DRN_SIZE(CANFrame, 28)                                                                                     \
    DRN_FIELD(CANFrame, timeMs, 0)                                                                             \
    DRN_FIELD(CANFrame, timeMsOverflow, 4)                                                                     \
    DRN_FIELD(CANFrame, timeUs, 8)                                                                             \
    DRN_FIELD(CANFrame, id, 12)                                                                                \
    DRN_FIELD(CANFrame, length, 16)                                                                            \
    DRN_FIELD(CANFrame, flags, 17)                                                                             \
    DRN_FIELD(CANFrame, data, 18)                                                                              \
    DRN_FIELD(CANFrame, padding, 26)                                                                           \
    DRN_SIZE(CANTimeStamp, 12)                                                                                 \
    DRN_FIELD(CANTimeStamp, timeMs, 0)                                                                         \
    DRN_FIELD(CANTimeStamp, timeMsOverflow, 4)                                                                 \
    DRN_FIELD(CANTimeStamp, timeUs, 8)                                                                         \
    DRN_SIZE(ResultBlock, 604)                                                                                 \
    DRN_FIELD(ResultBlock, code, 0)                                                                            \
    DRN_FIELD(ResultBlock, message, 4)                                                                         \
    DRN_SIZE(HardwareInfo, 68)                                                                                 \
    DRN_FIELD(HardwareInfo, name, 0)                                                                           \
    DRN_FIELD(HardwareInfo, hardwareHandle, 64)                                                                \
    DRN_SIZE(NetworkInfo, 88)                                                                                  \
    DRN_FIELD(NetworkInfo, name, 0)                                                                            \
    DRN_FIELD(NetworkInfo, networkHandle, 80)                                                                  \
    DRN_FIELD(NetworkInfo, baudKbit, 84)                                                                       \
    DRN_SIZE(LSSIdentity, 24)                                                                                  \
    DRN_FIELD(LSSIdentity, vendorId, 0)                                                                        \
    DRN_FIELD(LSSIdentity, productCode, 4)                                                                     \
    DRN_FIELD(LSSIdentity, revisionNumber, 8)                                                                  \
    DRN_FIELD(LSSIdentity, serialNumber, 12)                                                                   \
    DRN_FIELD(LSSIdentity, nodeId, 16)                                                                         \
    DRN_FIELD(LSSIdentity, store, 17)                                                                          \
    DRN_FIELD(LSSIdentity, found, 20)                                                                          \
    DRN_SIZE(ScanResult, 8)                                                                                    \
    DRN_FIELD(ScanResult, found, 0)                                                                            \
    DRN_FIELD(ScanResult, deviceType, 4)                                                                       \
    DRN_SIZE(MassWriteResult, 8)                                                                               \
    DRN_FIELD(MassWriteResult, acknowledged, 0)                                                                \
    DRN_FIELD(MassWriteResult, unused, 4)                                                                      \
    DRN_SIZE(FastScanResult, 24)                                                                               \
    DRN_FIELD(FastScanResult, vendorId, 0)                                                                     \
    DRN_FIELD(FastScanResult, productCode, 4)                                                                  \
    DRN_FIELD(FastScanResult, revisionNumber, 8)                                                               \
    DRN_FIELD(FastScanResult, serialNumber, 12)                                                                \
    DRN_FIELD(FastScanResult, nodeId, 16)                                                                      \
    DRN_FIELD(FastScanResult, valid, 20)                                                                       \
    DRN_SIZE(MonitorSlot, 56)                                                                                  \
    DRN_FIELD(MonitorSlot, inUse, 0)                                                                           \
    DRN_FIELD(MonitorSlot, runState, 4)                                                                        \
    DRN_FIELD(MonitorSlot, phase, 8)                                                                           \
    DRN_FIELD(MonitorSlot, toggle, 12)                                                                         \
    DRN_FIELD(MonitorSlot, requestCobId, 16)                                                                   \
    DRN_FIELD(MonitorSlot, responseCobId, 20)                                                                  \
    DRN_FIELD(MonitorSlot, index, 24)                                                                          \
    DRN_FIELD(MonitorSlot, subIndex, 28)                                                                       \
    DRN_FIELD(MonitorSlot, buffer, 32)                                                                         \
    DRN_FIELD(MonitorSlot, bufferSize, 40)                                                                     \
    DRN_FIELD(MonitorSlot, received, 44)                                                                       \
    DRN_FIELD(MonitorSlot, writePos, 48)

#define DRN_LAYOUT_ENTRY_COUNT 57

#endif

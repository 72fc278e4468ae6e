#pragma once
// The CANopen library as the services see it: the exports they call, behind one interface so that
// the services do not name the library's symbols. The program and the tests both use DrennicApi; the
// tests link the library with its in-memory bus instead of the shared library.
#include <drennic/drennic.h>

#include <cstdint>

namespace ostrel::vessolt {

class CanopenApi {
public:
    virtual ~CanopenApi() = default;

    // Start-up and shut-down of the library (mode 1: CAN server client).
    virtual void startup(int32_t mode, const char16_t* driverName) = 0;
    virtual void shutdown() = 0;

    // Hardware and networks.
    [[nodiscard]] virtual int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) = 0;
    [[nodiscard]] virtual int32_t enumerateNetworks(NetworkInfo* networks, int32_t maxCount,
                                                    uint32_t hardwareHandle) = 0;
    [[nodiscard]] virtual int32_t addNetwork(const char16_t* name, uint32_t baudKbit, uint32_t hardwareHandle) = 0;
    [[nodiscard]] virtual int32_t deleteNetwork(uint32_t networkHandle) = 0;
    [[nodiscard]] virtual int32_t getBaudrate(uint32_t networkHandle) = 0;
    virtual void initialize(uint32_t networkHandle, const char16_t* clientName, ResultBlock* result) = 0;
    virtual void switchNetworks(bool connect, uint32_t networkHandle, ResultBlock* result) = 0;
    virtual void close() = 0;
    virtual void reset() = 0;
    // A server round trip in client mode: never call it with a lock held that the engine thread takes.
    [[nodiscard]] virtual CANTimeStamp getCurrentTime() = 0;

    // Events. Switching a callback off does not wait for a call that is already running.
    virtual void eventReceive(ReceiveCallback callback, void* user) = 0;
    virtual void eventMajorError(MajorErrorCallback callback, void* user) = 0;

    // Raw frames; the result block gets the outcome (its message only on failure).
    virtual void canTransmit(const CANFrame& frame, ResultBlock* result) = 0;

    // Requests run on the engine thread; `out` receives 0 when the request was taken up. A request
    // posted while another runs is dropped without a completion.
    virtual void sdoUpload(uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer, uint32_t* size,
                           ProgressCallback progress, CompletionCallback completion, void* user,
                           int32_t* out) = 0;
    virtual void sdoDownload(uint8_t node, uint16_t index, uint8_t subIndex, const uint8_t* data, uint32_t size,
                             ProgressCallback progress, CompletionCallback completion, void* user,
                             int32_t* out) = 0;
    // node 0 addresses every node.
    virtual void nmt(uint8_t node, uint32_t type, ResultBlock* result) = 0;
    // A cancelled request may still complete late: callers tell completions apart by their own serial.
    virtual void cancel() = 0;

    // Settings; they take effect at their next use.
    virtual void setSdoTimeout(uint32_t ms) = 0;
    virtual void setScanMassOperationDelay(uint32_t ms) = 0;
    virtual void setBlockSegmentWriteDelay(uint32_t ms) = 0;
    virtual void setPostTransmitDelay(uint32_t ms) = 0;
    virtual void setSdoConfig(bool enableBlock, uint8_t protocolSwitchThreshold, bool crcSupported,
                              uint8_t blockSize) = 0;
};

// Calls the library's exports.
class DrennicApi final : public CanopenApi {
public:
    void startup(int32_t mode, const char16_t* driverName) override;
    void shutdown() override;
    int32_t enumerateHardware(HardwareInfo* hardware, int32_t maxCount) override;
    int32_t enumerateNetworks(NetworkInfo* networks, int32_t maxCount, uint32_t hardwareHandle) override;
    int32_t addNetwork(const char16_t* name, uint32_t baudKbit, uint32_t hardwareHandle) override;
    int32_t deleteNetwork(uint32_t networkHandle) override;
    int32_t getBaudrate(uint32_t networkHandle) override;
    void initialize(uint32_t networkHandle, const char16_t* clientName, ResultBlock* result) override;
    void switchNetworks(bool connect, uint32_t networkHandle, ResultBlock* result) override;
    void close() override;
    void reset() override;
    CANTimeStamp getCurrentTime() override;
    void eventReceive(ReceiveCallback callback, void* user) override;
    void eventMajorError(MajorErrorCallback callback, void* user) override;
    void canTransmit(const CANFrame& frame, ResultBlock* result) override;
    void sdoUpload(uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer, uint32_t* size,
                   ProgressCallback progress, CompletionCallback completion, void* user, int32_t* out) override;
    void sdoDownload(uint8_t node, uint16_t index, uint8_t subIndex, const uint8_t* data, uint32_t size,
                     ProgressCallback progress, CompletionCallback completion, void* user, int32_t* out) override;
    void nmt(uint8_t node, uint32_t type, ResultBlock* result) override;
    void cancel() override;
    void setSdoTimeout(uint32_t ms) override;
    void setScanMassOperationDelay(uint32_t ms) override;
    void setBlockSegmentWriteDelay(uint32_t ms) override;
    void setPostTransmitDelay(uint32_t ms) override;
    void setSdoConfig(bool enableBlock, uint8_t protocolSwitchThreshold, bool crcSupported,
                      uint8_t blockSize) override;
};

} // namespace ostrel::vessolt

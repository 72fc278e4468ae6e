#pragma once
// Writes the device configuration file (DCF) chosen in the global configuration into the test node
// over SDO, on the test worker thread, and writes the NODE CONFIGURATION section of the report.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "services/canopen_api.h"

namespace ostrel::platform {
class IniFile;
}

namespace ostrel::vessolt {

class TGlobalTestConfig;
class TLog;

class TSetNodeConfig {
public:
    static constexpr uint32_t kTransferBufferSize = 261120;
    // Longest value text and DOMAIN file name a sub-entry holds, terminator included.
    static constexpr std::size_t kValueField = 1260;
    static constexpr std::size_t kFileField = 260;
    // How long one transfer may go without completing or progressing: a few SDO time-outs.
    static constexpr auto kDefaultTransferWait = std::chrono::milliseconds(3000);

    // The services outlive this object.
    TSetNodeConfig(CanopenApi& api, const TGlobalTestConfig& config, TLog& log,
                   std::chrono::milliseconds transferWait = kDefaultTransferWait);
    // Cancels a transfer that has not completed and waits a bounded time for it.
    ~TSetNodeConfig();
    TSetNodeConfig(const TSetNodeConfig&) = delete;
    TSetNodeConfig& operator=(const TSetNodeConfig&) = delete;

    // Writes the DCF into `node` when the global configuration asks for it; `cancel` (may be null)
    // is looked at after every object. The node is left pre-operational.
    void Configure(uint8_t node, const std::atomic<bool>* cancel);
    // The NODE CONFIGURATION section, the same in every layout: the setting and the file as they are
    // now.
    void WriteReport(std::FILE* file, int layout) const;

    // Completion and progress callbacks of the library; `user` is the request's ticket.
    static void DownloadCompleted(ResultBlock* result, void* user);
    static void UploadCompleted(ResultBlock* result, void* user);
    static void TransferProgress(float percentDone, void* user);

private:
    struct Ticket {
        TSetNodeConfig* owner;
        uint64_t serial;
    };
    struct SubEntry {
        uint16_t index = 0;
        uint8_t subindex = 0;
        uint32_t type = 0;
        std::string value;
        std::string file;
    };
    enum class Conversion { Ok, UnknownType, InvalidValue };

    void writeDcf(const platform::IniFile& dcf, const std::string& dcfFolder, uint8_t node);
    void writeObject(const platform::IniFile& dcf, const std::string& dcfFolder, uint8_t node, uint16_t index);
    // True when the value reached the node.
    bool writeEntry(const SubEntry& entry, const std::string& dcfFolder, uint8_t node);
    [[nodiscard]] Conversion convert(const SubEntry& entry, const std::string& dcfFolder, uint8_t node,
                                     uint32_t& length);

    // The PDO operations; a failed read makes them do nothing.
    [[nodiscard]] std::optional<uint32_t> readCobId(uint8_t node, uint16_t comm);
    // Sets or clears bit 31 of the COB-ID; the COB-ID as read before, when it was read.
    std::optional<uint32_t> setPdoInvalid(uint8_t node, uint16_t comm, bool invalid);
    // Writes `value` to sub-index 0 and returns the old value (0 when it could not be read).
    uint8_t setSubIndexZero(uint8_t node, uint16_t index, uint8_t value);

    // One transfer through the buffer: 0 on success, else a failure code. A transfer that the
    // library does not end even when cancelled stops the run (`stalled_`); the buffer is then not
    // used again until that transfer has completed.
    [[nodiscard]] int32_t download(uint8_t node, uint16_t index, uint8_t subindex, uint32_t length);
    [[nodiscard]] int32_t upload(uint8_t node, uint16_t index, uint8_t subindex, uint32_t& length);
    template <class Start>
    [[nodiscard]] int32_t transfer(Start start);
    [[nodiscard]] int32_t awaitCompletion();
    // Waits up to `wait` for every request taken by the library to complete.
    [[nodiscard]] bool drainPending(std::chrono::milliseconds wait);
    void completed(uint64_t serial, int32_t code);
    void progressed(uint64_t serial);
    void note(const char* format, uint16_t index, uint8_t subindex);

    CanopenApi& api_;
    const TGlobalTestConfig& config_;
    TLog& log_;
    const std::chrono::milliseconds transferWait_;

    std::vector<uint8_t> buffer_;
    const std::atomic<bool>* cancel_ = nullptr;
    bool stalled_ = false;  // this run met a transfer that did not end

    std::mutex completionMutex_;
    std::condition_variable completion_;
    uint64_t nextSerial_ = 0;
    uint64_t awaitedSerial_ = 0;
    bool completed_ = false;
    int32_t result_ = 0;
    std::chrono::steady_clock::time_point lastActivity_{};
    // Requests the library has taken and not completed; a late completion finds its ticket here.
    std::map<uint64_t, std::unique_ptr<Ticket>> pending_;
};

} // namespace ostrel::vessolt

#pragma once
// The program-wide message log: lines appended from any thread, shown by the main window and copied
// into reports. Windows learn of changes through WM_LOGCHANGED and fetch the lines themselves.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "services/message_sink.h"
#include "services/timed_mutex.h"

namespace ostrel::vessolt {

class TLog {
public:
    TLog() = default;
    TLog(const TLog&) = delete;
    TLog& operator=(const TLog&) = delete;

    // Appends one line as given, then posts WM_LOGCHANGED (0, index of the last line).
    void Add(const std::string& text);
    // Removes every line, then posts WM_LOGCHANGED (1, 0).
    void Clear();
    // Empty for an index outside the log.
    [[nodiscard]] std::string GetLine(int32_t index) const;
    [[nodiscard]] int32_t GetLineCount() const;
    // The lines from `first` to the end; a window that was posted several times for one burst reads
    // every line it has not shown yet in one call.
    [[nodiscard]] std::vector<std::string> GetLinesFrom(int32_t first) const;

    void AddListener(MessageSink* sink) { listeners_.add(sink); }
    void RemoveListener(MessageSink* sink) { listeners_.remove(sink); }

    // Layout 0 human-readable, 1 tab-delimited; any other writes the heading only.
    void WriteReport(std::FILE* file, int layout) const;

private:
    static constexpr auto kLockWait = std::chrono::milliseconds(500);

    mutable TimedMutex mutex_;
    std::vector<std::string> lines_;
    ListenerList listeners_;
};

} // namespace ostrel::vessolt

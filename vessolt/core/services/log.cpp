#include "services/log.h"

#include "services/window_messages.h"

namespace ostrel::vessolt {

void TLog::Add(const std::string& text) {
    {
        std::unique_lock lock(mutex_, kLockWait);
        if (!lock.owns_lock())
            return;
        lines_.push_back(text);
    }
    for (MessageSink* sink : listeners_.snapshot()) {
        // The count is read at post time; a Clear in between leaves nothing to name.
        int32_t last = GetLineCount() - 1;
        if (last >= 0)
            sink->post(WM_LOGCHANGED, 0, last);
    }
}

void TLog::Clear() {
    {
        std::unique_lock lock(mutex_, kLockWait);
        if (!lock.owns_lock())
            return;
        lines_.clear();
    }
    listeners_.postAll(WM_LOGCHANGED, 1, 0);
}

std::string TLog::GetLine(int32_t index) const {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock() || index < 0 || static_cast<size_t>(index) >= lines_.size())
        return {};
    return lines_[static_cast<size_t>(index)];
}

int32_t TLog::GetLineCount() const {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock())
        return 0;
    return static_cast<int32_t>(lines_.size());
}

std::vector<std::string> TLog::GetLinesFrom(int32_t first) const {
    std::unique_lock lock(mutex_, kLockWait);
    if (!lock.owns_lock())
        return {};
    if (first < 0)
        first = 0;
    if (static_cast<size_t>(first) >= lines_.size())
        return {};
    return {lines_.begin() + first, lines_.end()};
}

void TLog::WriteReport(std::FILE* file, int layout) const {
    std::vector<std::string> copy;
    {
        std::unique_lock lock(mutex_, kLockWait);
        if (lock.owns_lock())
            copy = lines_;
    }
    // Written unlocked: a slow file must not hold up the threads that log.
    std::fputs("\n\nMESSAGE LOG\n-----------\n\n", file);
    for (size_t i = 0; i < copy.size(); ++i) {
        if (layout == 0)
            std::fprintf(file, "%5d %s\n", static_cast<int>(i), copy[i].c_str());
        else if (layout == 1)
            std::fprintf(file, "%d\t%s\n", static_cast<int>(i), copy[i].c_str());
    }
}

} // namespace ostrel::vessolt

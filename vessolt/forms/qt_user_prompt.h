#pragma once
// Message boxes for the services and tests. A question from another thread is shown by the GUI
// thread while the asking thread waits; once the shut-down has begun, such a question gets its
// default answer at once, because the GUI thread may be waiting for that very thread.
#include <atomic>

#include "services/user_prompt.h"

namespace ostrel::vessolt {

class QtUserPrompt : public UserPrompt {
public:
    PromptAnswer ask(PromptIcon icon, const std::string& text, const std::string& caption,
                     PromptButtons buttons) override;
    // Questions from other threads, waiting or new, get their default answer from now on.
    void BeginShutdown() { shuttingDown_ = true; }
    [[nodiscard]] bool ShuttingDown() const { return shuttingDown_; }

private:
    std::atomic<bool> shuttingDown_{false};
};

} // namespace ostrel::vessolt

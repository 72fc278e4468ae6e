#pragma once
// The message boxes that services and tests show, behind a seam: the program shows real boxes, tests
// record what was asked and answer from a script.
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::vessolt {

inline constexpr const char* kProductName = "CANopen Norbix Eval";

enum class PromptIcon { None, Information, Warning, Error, Question };
enum class PromptButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, AbortRetryIgnore };
enum class PromptAnswer { Ok, Cancel, Yes, No, Retry, Abort, Ignore };

class UserPrompt {
public:
    virtual ~UserPrompt() = default;
    // Text is UTF-8. May be called from any thread; blocks until answered.
    virtual PromptAnswer ask(PromptIcon icon, const std::string& text, const std::string& caption,
                             PromptButtons buttons) = 0;

    void inform(const std::string& text, PromptIcon icon = PromptIcon::Information) {
        (void)ask(icon, text, kProductName, PromptButtons::Ok);
    }
};

// The first button of a set is its default answer.
[[nodiscard]] inline PromptAnswer defaultAnswer(PromptButtons buttons) {
    switch (buttons) {
    case PromptButtons::Ok:
    case PromptButtons::OkCancel: return PromptAnswer::Ok;
    case PromptButtons::YesNo:
    case PromptButtons::YesNoCancel: return PromptAnswer::Yes;
    case PromptButtons::RetryCancel: return PromptAnswer::Retry;
    case PromptButtons::AbortRetryIgnore: return PromptAnswer::Abort;
    }
    return PromptAnswer::Ok;
}

// Records every prompt; answers from a queue, then with the buttons' default.
class RecordingPrompt : public UserPrompt {
public:
    struct Asked {
        PromptIcon icon;
        std::string text;
        std::string caption;
        PromptButtons buttons;
    };

    PromptAnswer ask(PromptIcon icon, const std::string& text, const std::string& caption,
                     PromptButtons buttons) override {
        std::lock_guard lock(mutex_);
        asked_.push_back({icon, text, caption, buttons});
        if (answers_.empty())
            return defaultAnswer(buttons);
        PromptAnswer a = answers_.front();
        answers_.pop_front();
        return a;
    }

    void queueAnswer(PromptAnswer answer) {
        std::lock_guard lock(mutex_);
        answers_.push_back(answer);
    }

    [[nodiscard]] std::vector<Asked> asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Asked> asked_;
    std::deque<PromptAnswer> answers_;
};

} // namespace ostrel::vessolt

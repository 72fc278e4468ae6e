#pragma once
// The support-module set-up wizard without its widgets: pages, button states, the LED pattern's bit
// rate, the node id entry and the two worker threads that change the module. The form shows what
// this says and forwards clicks; the workers report back through `send`, which blocks until the
// form has handled the message on its own thread.
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace ostrel::vessolt {

class UserPrompt;

inline constexpr uint32_t WM_NSM_BAUDRATE_CHANGED = 0x1400;
inline constexpr uint32_t WM_NSM_BAUDRATE_FAILED = 0x1401;
inline constexpr uint32_t WM_NSM_NODEID_SET = 0x1402;
inline constexpr uint32_t WM_NSM_NODEID_FAILED = 0x1403;

enum class NSMWizardPage { page0 = 0, page1, page2, baudrate, nodeid, page5 };
inline constexpr int kNSMWizardPages = 6;

struct NSMWizardButtons {
    bool back = false;
    bool next = true;
    bool cancel = true;
    std::string nextText = "Next >";
};

struct NSMWizardLinks {
    UserPrompt* prompt = nullptr;
    // The hardware configuration's bit rate, kbit/s.
    std::function<uint32_t()> networkRate;
    // The driver's operations (run on the wizard's worker).
    std::function<uint8_t(uint32_t newRate, uint32_t currentRate)> changeBaudrate;
    std::function<bool(uint8_t currentNode, uint8_t newNode, uint32_t rate)> changeNodeId;
    // Hands a message to the form and returns once it is handled.
    std::function<void(uint32_t message)> send;
};

class TNSMWizard {
public:
    explicit TNSMWizard(NSMWizardLinks links);
    // Joins a worker still running.
    ~TNSMWizard();
    TNSMWizard(const TNSMWizard&) = delete;
    TNSMWizard& operator=(const TNSMWizard&) = delete;

    // The bit rate an LED pattern item stands for; 0 for item 0 or none.
    [[nodiscard]] static uint32_t LedRate(int item);

    void Execute();  // back to the welcome page
    void ShowPage(NSMWizardPage page);
    // What the buttons do; NextClick and CancelClick return true when the form is to close.
    // ledItem: the LED pattern list's item; nodeIdText: the new-node-id edit.
    [[nodiscard]] bool NextClick(int ledItem, const std::string& nodeIdText);
    void BackClick();
    [[nodiscard]] bool CancelClick();
    // A worker's message, on the form's thread.
    void HandleMessage(uint32_t message);

    [[nodiscard]] NSMWizardPage Page() const { return page_; }
    [[nodiscard]] const NSMWizardButtons& Buttons() const { return buttons_; }
    [[nodiscard]] bool Busy() const { return busy_; }
    [[nodiscard]] uint8_t CurrentNodeId() const { return currentNodeId_; }
    // Text of both node id edits on the node-id page.
    [[nodiscard]] std::string CurrentNodeIdText() const;

private:
    void startWorker(std::function<void()> body);
    void restoreButtons();
    void join();

    NSMWizardLinks links_;
    NSMWizardPage page_ = NSMWizardPage::page0;
    NSMWizardButtons buttons_;
    NSMWizardButtons kept_;
    bool busy_ = false;
    uint8_t currentNodeId_ = 0;
    uint32_t ledRate_ = 0;
    uint8_t newNodeId_ = 0;
    std::thread worker_;
};

} // namespace ostrel::vessolt

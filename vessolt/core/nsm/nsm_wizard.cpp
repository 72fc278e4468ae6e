#include "nsm/nsm_wizard.h"

#include <charconv>
#include <cstdio>

#include "services/user_prompt.h"

namespace ostrel::vessolt {

TNSMWizard::TNSMWizard(NSMWizardLinks links) : links_(std::move(links)) { ShowPage(NSMWizardPage::page0); }

TNSMWizard::~TNSMWizard() { join(); }

uint32_t TNSMWizard::LedRate(int item) {
    static constexpr uint32_t kRates[9] = {0, 10, 20, 50, 125, 250, 500, 800, 1000};
    return item >= 0 && item < 9 ? kRates[item] : 0;
}

void TNSMWizard::join() {
    if (worker_.joinable())
        worker_.join();
}

void TNSMWizard::Execute() { ShowPage(NSMWizardPage::page0); }

void TNSMWizard::ShowPage(NSMWizardPage page) {
    page_ = page;
    buttons_ = NSMWizardButtons{true, true, true, "Next >"};
    if (page == NSMWizardPage::page0)
        buttons_.back = false;
    if (page == NSMWizardPage::page5) {
        buttons_.nextText = "Finished";
        buttons_.cancel = false;
    }
    if (page == NSMWizardPage::nodeid)
        buttons_.back = false;  // the bit-rate step is not repeated from here
}

std::string TNSMWizard::CurrentNodeIdText() const {
    char text[8];
    std::snprintf(text, sizeof text, "%2.2X", static_cast<unsigned>(currentNodeId_));
    return text;
}

void TNSMWizard::startWorker(std::function<void()> body) {
    join();  // the previous worker has sent its message and ended
    kept_ = buttons_;
    buttons_.back = buttons_.next = buttons_.cancel = false;
    busy_ = true;
    worker_ = std::thread(std::move(body));
}

void TNSMWizard::restoreButtons() {
    buttons_ = kept_;
    busy_ = false;
}

bool TNSMWizard::NextClick(int ledItem, const std::string& nodeIdText) {
    if (busy_)
        return false;
    switch (page_) {
    case NSMWizardPage::page5: return true;
    case NSMWizardPage::baudrate: {
        ledRate_ = LedRate(ledItem);
        if (ledRate_ == 0) {
            if (links_.prompt != nullptr)
                links_.prompt->inform("The CAN LED should be flashing. Check the power supply to the Norbix Support "
                                      "Module. Try disconnecting the module from the CAN bus and then reconnecting.");
            return false;
        }
        const uint32_t network = links_.networkRate ? links_.networkRate() : 0;
        const uint32_t led = ledRate_;
        startWorker([this, network, led] {
            const uint8_t node = links_.changeBaudrate ? links_.changeBaudrate(network, led) : 0;
            if (node != 0)
                currentNodeId_ = node;
            if (links_.send)
                links_.send(node != 0 ? WM_NSM_BAUDRATE_CHANGED : WM_NSM_BAUDRATE_FAILED);
        });
        return false;
    }
    case NSMWizardPage::nodeid: {
        // Hexadecimal 1..7F only: 0, a broadcast or the low byte of garbage would lose the module.
        unsigned value = 0;
        const char* first = nodeIdText.data();
        const char* last = first + nodeIdText.size();
        while (first < last && *first == ' ')
            ++first;
        while (last > first && last[-1] == ' ')
            --last;
        const auto [end, ec] = std::from_chars(first, last, value, 16);
        if (ec != std::errc{} || end != last || first == last || value < 1 || value > 0x7F) {
            if (links_.prompt != nullptr)
                links_.prompt->inform("Node ID must be in the range 0x01 -> 0x7F", PromptIcon::Warning);
            return false;
        }
        newNodeId_ = static_cast<uint8_t>(value);
        const uint8_t current = currentNodeId_;
        const uint8_t wanted = newNodeId_;
        const uint32_t network = links_.networkRate ? links_.networkRate() : 0;
        startWorker([this, current, wanted, network] {
            bool ok = true;
            if (wanted != current) {
                ok = links_.changeNodeId && links_.changeNodeId(current, wanted, network);
                if (ok)
                    currentNodeId_ = wanted;
            }
            if (links_.send)
                links_.send(ok ? WM_NSM_NODEID_SET : WM_NSM_NODEID_FAILED);
        });
        return false;
    }
    default: ShowPage(static_cast<NSMWizardPage>(static_cast<int>(page_) + 1)); return false;
    }
}

void TNSMWizard::BackClick() {
    if (busy_ || !buttons_.back || page_ == NSMWizardPage::page0)
        return;
    ShowPage(static_cast<NSMWizardPage>(static_cast<int>(page_) - 1));
}

bool TNSMWizard::CancelClick() {
    if (busy_)
        return false;
    if (links_.prompt == nullptr)
        return true;
    const PromptAnswer answer = links_.prompt->ask(
        PromptIcon::Question,
        "Canceling the configuration may result in the Norbix Support Module not functioning properly. The "
        "application may not be able to perform any tests. Are you sure you want to cancel?",
        kProductName, PromptButtons::YesNo);
    if (answer != PromptAnswer::Yes)
        return false;
    links_.prompt->inform("To run this wizard at any time, choose \"Configure Norbix Support Module...\" from the "
                          "Options menu.");
    return true;
}

void TNSMWizard::HandleMessage(uint32_t message) {
    switch (message) {
    case WM_NSM_BAUDRATE_CHANGED:
    case WM_NSM_NODEID_SET:
        restoreButtons();
        ShowPage(static_cast<NSMWizardPage>(static_cast<int>(page_) + 1));
        break;
    case WM_NSM_BAUDRATE_FAILED:
    case WM_NSM_NODEID_FAILED: restoreButtons(); break;
    default: break;
    }
}

} // namespace ostrel::vessolt

#include "nsm/nsm.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "services/canopen_api.h"
#include "testing/common_test.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {

namespace {
constexpr char kListsIdentity[4] = {'T', 'L', 's', 't'};
constexpr char kVersionQuery[4] = {'V', 'e', 'r', '?'};
constexpr char kHardwareIdentity[4] = {'C', 'h', 'H', 'W'};
// Uploads of the bit-rate and node-id changes only read identities.
constexpr uint32_t kSmallCapacity = 20;

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

TNSM::TNSM(TCommonTest& commonTest, NSMLinks links)
    : commonTest_(commonTest), links_(std::move(links)), transfer_(std::make_unique<uint8_t[]>(kTransferCapacity)) {
    Reset();
}

TNSM::~TNSM() = default;

void TNSM::Reset() {
    nodeId_ = kNoModule;
    majorVersion_ = 0;
    minorVersion_ = 0;
    listObject_ = 0;
    listSubIndex_ = 0;
    controlObject_ = 0;
    controlSubIndex_ = 0;
}

void TNSM::SetErrorControlMode(uint32_t mode) { errorControlMode_ = mode <= 2 ? mode : 0; }

bool TNSM::uploadList(uint8_t node, uint8_t subIndex, const uint8_t* cancel) {
    transferSize_ = kTransferCapacity;
    SDORequest request{node, kListObject, subIndex, &transferSize_, transfer_.get()};
    return commonTest_.SDOUpload(&request, cancel);
}

bool TNSM::Find(uint8_t node, const uint8_t* cancel) {
    auto cancelled = [cancel] { return cancel != nullptr && *cancel != 0; };
    if (!uploadList(node, 0, cancel) || transferSize_ < 1 || transfer_[0] == 0)
        return false;
    if (cancelled())
        return false;
    // int, not a byte: a count of 255 must end the loop.
    const int count = transfer_[0];
    for (int n = 1; n <= count; ++n) {
        if (cancelled())
            return false;
        const auto sub = static_cast<uint8_t>(n);
        if (!uploadList(node, sub, cancel) || transferSize_ != sizeof kListsIdentity ||
            std::memcmp(transfer_.get(), kListsIdentity, sizeof kListsIdentity) != 0)
            continue;
        uint32_t major = 0;
        uint32_t minor = 0;
        if (!QueryVersion(node, sub, &major, &minor))
            continue;
        nodeId_ = node;
        majorVersion_ = major;
        minorVersion_ = minor;
        listObject_ = kListObject;
        listSubIndex_ = sub;
        controlObject_ = kControlObject;
        controlSubIndex_ = sub;
        return true;
    }
    return false;
}

bool TNSM::QueryVersion(uint8_t node, uint8_t subIndex, uint32_t* major, uint32_t* minor) {
    std::memcpy(transfer_.get(), kVersionQuery, sizeof kVersionQuery);
    transferSize_ = sizeof kVersionQuery;
    SDORequest query{node, kListObject, subIndex, &transferSize_, transfer_.get()};
    if (!commonTest_.SDODownload(&query, &neverCancel_))
        return false;
    std::memset(transfer_.get(), 0, 4);
    if (!uploadList(node, subIndex, &neverCancel_) || transferSize_ < 4)
        return false;
    if (minor != nullptr)
        *minor = static_cast<uint32_t>(transfer_[0] | (transfer_[1] << 8));
    if (major != nullptr)
        *major = static_cast<uint32_t>(transfer_[2] | (transfer_[3] << 8));
    return true;
}

bool TNSM::SetEntryTime(NSMListEntry& entry, uint32_t timeUs) {
    if (timeUs > kNSMMaxEntryTimeUs)
        return false;
    entry.timeLength = ((timeUs / 100) << 12) | (((timeUs % 100) / 16) << 8) | (entry.timeLength & 0xFF);
    return true;
}

uint32_t TNSM::GetEntryTime(const NSMListEntry& entry) {
    return (entry.timeLength >> 12) * 100 + ((entry.timeLength >> 8) & 0xF) * 16;
}

void TNSM::SetEntryLength(NSMListEntry& entry, uint8_t dlc) { entry.timeLength = (entry.timeLength & ~0xFFu) | dlc; }

void TNSM::warn(const char* text) {
    if (links_.prompt != nullptr)
        links_.prompt->inform(text, PromptIcon::Warning);
}

void TNSM::inform(const char* text) {
    if (links_.prompt != nullptr)
        links_.prompt->inform(text, PromptIcon::Information);
}

bool TNSM::download(uint8_t node, uint16_t index, uint8_t subIndex, const void* data, uint32_t size) {
    if (size > kTransferCapacity)
        return false;
    if (data != transfer_.get())
        std::memmove(transfer_.get(), data, size);
    transferSize_ = size;
    SDORequest request{node, index, subIndex, &transferSize_, transfer_.get()};
    return commonTest_.SDODownload(&request, &neverCancel_);
}

bool TNSM::StartTransmission() {
    if (!listsLoaded_)
        return true;
    const uint8_t start = 1;
    return download(nodeId_, static_cast<uint16_t>(controlObject_), controlSubIndex_, &start, 1);
}

bool TNSM::SwitchToUserNetwork(bool silent) {
    if (links_.api == nullptr)
        return false;
    ResultBlock result{};
    links_.api->switchNetworks(false, 0, &result);
    if (result.code != DRN_OK) {
        if (!silent)
            warn("Failed to disconnect from the network. Please restart the application and try again.");
        return false;
    }
    result = ResultBlock{};
    links_.api->switchNetworks(true, links_.userNetwork ? links_.userNetwork() : 0, &result);
    if (result.code != DRN_OK) {
        if (!silent)
            warn("Failed to connect to network. Please try again.");
        return false;
    }
    return true;
}

uint8_t TNSM::findHardwareChannel(uint8_t node) {
    transferSize_ = kSmallCapacity;
    SDORequest request{node, kListObject, 0, &transferSize_, transfer_.get()};
    if (!commonTest_.SDOUpload(&request, &neverCancel_) || transferSize_ < 1) {
        warn("Failed to read [1F50,00] from Norbix Support Module. Please try again.");
        return 0;
    }
    // int, not a byte: a count of 255 must end the loop.
    const int count = transfer_[0];
    for (int n = 1; n <= count; ++n) {
        transferSize_ = kSmallCapacity;
        SDORequest sub{node, kListObject, static_cast<uint8_t>(n), &transferSize_, transfer_.get()};
        if (commonTest_.SDOUpload(&sub, &neverCancel_) && transferSize_ == sizeof kHardwareIdentity &&
            std::memcmp(transfer_.get(), kHardwareIdentity, sizeof kHardwareIdentity) == 0)
            return static_cast<uint8_t>(n);
    }
    warn("Failed to find [1F50] control subentry in the Norbix Support Module. Please try again.");
    return 0;
}

uint8_t TNSM::ChangeBaudrate(uint32_t newRate, uint32_t currentRate) {
    if (newRate == currentRate) {
        const uint8_t node = commonTest_.ResetAndFindBootup(newRate);
        if (node == 0)
            warn("Failed to find the Norbix Support Module. Please try again.");
        return node;
    }
    int code = 0;
    switch (newRate) {
    case 10: code = 1; break;
    case 20: code = 2; break;
    case 50: code = 3; break;
    case 125: code = 4; break;
    case 250: code = 5; break;
    case 500: code = 6; break;
    case 800: code = 7; break;
    case 1000: code = 8; break;
    default: break;
    }
    if (code == 0) {
        warn("Unknown baudrate to switch Norbix Support Module to.");
        return 0;
    }
    if (links_.api == nullptr)
        return 0;
    CanopenApi& api = *links_.api;

    char name[41];
    std::snprintf(name, sizeof name, "nsm%d", static_cast<int>(::getpid()));
    std::u16string wide(name, name + std::strlen(name));
    const int32_t network = api.addNetwork(wide.c_str(), currentRate, links_.hardwareHandle ? links_.hardwareHandle() : 0);
    if (network < 0) {
        warn("Failed to connect to Norbix Support Module network. Please try again.");
        return 0;
    }
    ResultBlock result{};
    api.switchNetworks(false, 0, &result);
    if (result.code != DRN_OK) {
        warn("Failed to disconnect from the current network. Please restart the application and try again.");
        return 0;
    }
    result = ResultBlock{};
    api.switchNetworks(true, static_cast<uint32_t>(network), &result);
    if (result.code != DRN_OK) {
        warn("Failed to connect to Norbix Support Module network. Please try again.");
        // Not left without a network: back to the user's one.
        if (SwitchToUserNetwork(true))
            (void)api.deleteNetwork(static_cast<uint32_t>(network));
        return 0;
    }
    api.reset();

    auto failureExit = [&]() -> uint8_t {
        if (SwitchToUserNetwork(false))
            (void)api.deleteNetwork(static_cast<uint32_t>(network));
        return 0;
    };

    uint8_t node = commonTest_.ResetAndFindBootup(currentRate);
    if (node == 0) {
        inform("Failed to find Norbix Support Module on the network. Please remove the module from the network. "
               "Click OK when done.");
        api.reset();
        inform("Please reconnect the Norbix Support Module to the network. Click OK when done.");
        node = commonTest_.ResetAndFindBootup(currentRate);
        if (node == 0) {
            warn("Failed to find Norbix Support Module on the network. Please try again.");
            return failureExit();
        }
    }
    const uint8_t channel = findHardwareChannel(node);
    if (channel == 0)
        return failureExit();
    const char command[4] = {'B', 'R', '!', static_cast<char>('0' + code)};
    if (!download(node, kListObject, channel, command, sizeof command)) {
        warn("Failed to write new baudrate to Norbix Support Module. Please try again.");
        return failureExit();
    }
    sleepMs(links_.commandSettleMs);
    const uint8_t apply = 1;
    if (!download(node, kControlObject, channel, &apply, 1)) {
        warn("Failed to write start command for new baudrate to Norbix Support Module. Please try again.");
        return failureExit();
    }

    if (!SwitchToUserNetwork(true))
        return 0;
    (void)api.deleteNetwork(static_cast<uint32_t>(network));
    sleepMs(links_.restartSettleMs);
    api.reset();
    node = commonTest_.ResetAndFindBootup(newRate);
    if (node == 0)
        warn("Failed to find the Norbix Support Module after attempting to change the baudrate of the module. "
             "Please try again.");
    return node;
}

bool TNSM::ChangeNodeId(uint8_t currentNode, uint8_t newNode, uint32_t rate) {
    if (currentNode == newNode)
        return true;
    const uint8_t channel = findHardwareChannel(currentNode);
    if (channel == 0)
        return false;
    char command[5];
    std::snprintf(command, sizeof command, "I!%02X", static_cast<unsigned>(newNode));
    if (!download(currentNode, kListObject, channel, command, 4)) {
        warn("Failed to write new node id to Norbix Support Module. Please try again.");
        return false;
    }
    sleepMs(links_.commandSettleMs);
    const uint8_t apply = 1;
    if (!download(currentNode, kControlObject, channel, &apply, 1)) {
        warn("Failed to write start command for new node id to Norbix Support Module. Please try again.");
        return false;
    }
    sleepMs(links_.restartSettleMs);
    const uint8_t found = commonTest_.ResetAndFindBootup(rate);
    if (found == 0) {
        warn("Failed to find the Norbix Support Module after attempting to change the node id of the module. "
             "Please try again.");
        return false;
    }
    if (found != newNode) {
        warn("Failed to change the node id of the Norbix Support Module. Please try again.");
        return false;
    }
    return true;
}

}  // namespace ostrel::vessolt

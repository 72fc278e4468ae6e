#include "nsm.h"

#include <cstring>

#include "common_test.h"

namespace ostrel::vessolt {

namespace {
constexpr char kListsIdentity[4] = {'T', 'L', 's', 't'};
constexpr char kVersionQuery[4] = {'V', 'e', 'r', '?'};
}  // namespace

TNSM::TNSM(TCommonTest& commonTest)
    : commonTest_(commonTest), transfer_(std::make_unique<uint8_t[]>(kTransferCapacity)) {
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

}  // namespace ostrel::vessolt

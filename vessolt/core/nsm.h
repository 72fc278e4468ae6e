#pragma once
// The driver of the Norbix Support Module: finds the module among the nodes that booted and reads
// its version over the module's command protocol on objects 0x1F50 and 0x1F51. All transfers go
// through the common test services' blocking SDO.
#include <cstdint>
#include <memory>

namespace ostrel::vessolt {

class TCommonTest;

class TNSM {
public:
    static constexpr uint32_t kTransferCapacity = 20000;
    static constexpr uint16_t kListObject = 0x1F50;
    static constexpr uint16_t kControlObject = 0x1F51;
    static constexpr uint8_t kNoModule = 0xFF;

    explicit TNSM(TCommonTest& commonTest);
    ~TNSM();
    TNSM(const TNSM&) = delete;
    TNSM& operator=(const TNSM&) = delete;

    // Forgets the module; the error-control mode and the loaded flag stay.
    void Reset();
    [[nodiscard]] bool IsFound() const { return nodeId_ < kNoModule; }
    // True when `node` is a support module; it is then the one found. cancel may be null.
    [[nodiscard]] bool Find(uint8_t node, const uint8_t* cancel);
    [[nodiscard]] bool QueryVersion(uint8_t node, uint8_t subIndex, uint32_t* major, uint32_t* minor);

    [[nodiscard]] uint8_t GetNodeId() const { return nodeId_; }
    [[nodiscard]] uint32_t GetMajorVersion() const { return majorVersion_; }
    [[nodiscard]] uint32_t GetMinorVersion() const { return minorVersion_; }
    [[nodiscard]] uint32_t GetListObject() const { return listObject_; }
    [[nodiscard]] uint8_t GetListSubIndex() const { return listSubIndex_; }
    [[nodiscard]] uint32_t GetControlObject() const { return controlObject_; }
    [[nodiscard]] uint8_t GetControlSubIndex() const { return controlSubIndex_; }

    // Error control of the device under test: 0 none, 1 heartbeat, 2 node guarding.
    void SetErrorControlMode(uint32_t mode);
    [[nodiscard]] uint32_t GetErrorControlMode() const { return errorControlMode_; }
    [[nodiscard]] bool ListsLoaded() const { return listsLoaded_; }

private:
    // An upload of [kListObject, subIndex] into the transfer buffer; the size holds what came.
    [[nodiscard]] bool uploadList(uint8_t node, uint8_t subIndex, const uint8_t* cancel);

    TCommonTest& commonTest_;
    std::unique_ptr<uint8_t[]> transfer_;
    uint32_t transferSize_ = 0;
    uint8_t nodeId_ = kNoModule;
    uint32_t majorVersion_ = 0;
    uint32_t minorVersion_ = 0;
    uint32_t listObject_ = 0;
    uint8_t listSubIndex_ = 0;
    uint32_t controlObject_ = 0;
    uint8_t controlSubIndex_ = 0;
    uint32_t errorControlMode_ = 0;
    bool listsLoaded_ = false;
    const uint8_t neverCancel_ = 0;  // the driver's own transfers are not cancelled
};

} // namespace ostrel::vessolt

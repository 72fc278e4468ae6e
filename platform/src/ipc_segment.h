// Private to the ipc unit: one named kernel object = one file in /dev/shm with a small header.
//
// Liveness comes from open-file-description locks on the segment file itself, which the kernel
// drops when a holder closes it or dies:
//   byte 0  exclusive guard, held only while a process opens or closes the object;
//   byte 1  shared "holder" lock, held by every open handle for its whole life.
// An opener that finds no other holder re-initialises the object; the last closer unlinks it.
#pragma once

#include "platform/ipc.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace ostrel::platform::ipc_detail {

enum class ObjectKind : uint32_t { Memory = 1, Mutex = 2, Event = 3 };

// First bytes of every segment.
struct SegmentHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t kind;          // ObjectKind
    uint32_t reserved;
    uint64_t payloadSize;   // bytes of caller payload (shared memory); 0 for mutexes and events
    uint64_t payloadOffset; // page-aligned offset of the payload
};
static_assert(sizeof(SegmentHeader) == 32);
static_assert(offsetof(SegmentHeader, kind) == 8);
static_assert(offsetof(SegmentHeader, payloadSize) == 16);
static_assert(offsetof(SegmentHeader, payloadOffset) == 24);

// Object bodies (mutex, event state) start here, inside the header page.
inline constexpr std::size_t kBodyOffset = 64;
inline constexpr std::size_t kMaxBodySize = 1024;

// Called under the guard when this open initialises the object; the memory is zero-filled.
using SegmentInit = void (*)(void* body, const void* context);

class Segment {
    struct Key { explicit Key() = default; };
public:
    explicit Segment(Key) {}
    // Create-or-open. Empty on an invalid name, a foreign owner, a kind or size mismatch with a
    // live object, or any system failure.
    [[nodiscard]] static std::unique_ptr<Segment> open(std::string_view name, ObjectKind kind,
                                                       std::size_t payloadSize, SegmentInit init,
                                                       const void* context, OpenFailure* failure = nullptr);

    enum class Peek { Unheld, Held, OtherFormat };
    // Reads the first `bodySize` bytes of a live object's body without opening it: no guard, no
    // holder lock, no wait. Unheld when no live process holds it (or it does not exist). A kind of 0
    // matches any kind.
    [[nodiscard]] static Peek peek(std::string_view name, ObjectKind kind, void* body, std::size_t bodySize);
    ~Segment();
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;

    [[nodiscard]] void* body() const noexcept;
    [[nodiscard]] void* payload() const noexcept;
    [[nodiscard]] std::size_t payloadSize() const noexcept { return payloadSize_; }
    [[nodiscard]] bool created() const noexcept { return created_; }

private:
    int fd_ = -1;
    void* base_ = nullptr;
    std::size_t mappedSize_ = 0;
    std::size_t payloadOffset_ = 0;
    std::size_t payloadSize_ = 0;
    bool created_ = false;
    pid_t ownerPid_ = 0;     // a forked child's copy must not release the parent's holder lock
    std::string fileName_;   // name inside /dev/shm
};

// "ostrel.<encoded namespace>." — every file of the current namespace starts with it.
[[nodiscard]] std::string namespaceFilePrefix();

// File name inside /dev/shm for an object name, or empty when the name is not acceptable.
[[nodiscard]] std::string objectFileName(std::string_view name);

} // namespace ostrel::platform::ipc_detail

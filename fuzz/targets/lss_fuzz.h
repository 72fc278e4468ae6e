// Modelled LSS slaves on the test bus for the LSS fuzz targets: every master frame on 0x7E5 reaches
// every slave; the input decides, frame by frame, which slave's answer the bus loses and what else it
// carries (a slave's answer twice, a stray frame on 0x7E4, frames of other identifiers and kinds).
#pragma once

#include "protocol_fuzz.h"

#include "sim_lss.h"

#include <atomic>
#include <functional>
#include <set>
#include <string>

namespace ostrel::fuzz {

// A run that a loaded machine spoiled (a time-out while the answer waited) throws this; the input runs
// again with the next, longer window, and fails only when every window was spoiled.
struct Spoiled {
    std::string why;
};

template <typename Windows, typename Run>
void runWithLongerWindows(const Windows& windows, Run run) {
    std::string spoiled;
    for (const uint32_t window : windows) {
        try {
            run(window);
            return;
        } catch (const Spoiled& s) {
            spoiled = s.why;
        } catch (const AwaitedFinding&) {
            return;
        }
    }
    FUZZ_CHECK(false, "every run was spoiled: %s", spoiled.c_str());
}

struct LssSlaveOnBus {
    fixtures::LssSlave lss;
    fixtures::LssIdentity identity;
    uint8_t activeNodeId = fixtures::kUnconfiguredNodeId;

    [[nodiscard]] bool waiting() const { return lss.mode() == fixtures::LssMode::Waiting; }
};

// Slaves with identities from small sets, so that two of them often share all but one part, and
// distinct stored node ids (or none).
inline std::vector<LssSlaveOnBus> makeSlaves(Script& script, int count) {
    std::vector<LssSlaveOnBus> slaves(static_cast<std::size_t>(count));
    std::set<uint8_t> taken;
    for (int i = 0; i < count; ++i) {
        LssSlaveOnBus& s = slaves[static_cast<std::size_t>(i)];
        const uint8_t shape = script.byte();
        s.identity.vendorId = 0x319u + (shape & 1);
        s.identity.productCode = 0x10u + ((shape >> 1) & 3);
        s.identity.revisionNumber = (shape >> 3) & 1;
        s.identity.serialNumber = static_cast<uint32_t>(i + 1) | (static_cast<uint32_t>(shape >> 4) << 8);
        const uint8_t stored = script.byte();
        const uint8_t id = static_cast<uint8_t>(1 + stored % 8);
        if ((stored & 0x80) == 0 && taken.insert(id).second) s.lss.setStoredNodeId(id);
        s.lss.powerOn();
        s.activeNodeId = s.lss.pendingNodeId();
    }
    return slaves;
}

// Closing the hardware or shutting the library down right after a chosen master frame: the thread that
// sent it waits a while in the bus, so that the close begins before it goes on.
class CloseAfterFrame {
public:
    static constexpr auto kHold = std::chrono::milliseconds(50);

    // On the sending thread, once the frame went out.
    void reached() {
        {
            std::lock_guard lock(mutex_);
            reached_ = true;
        }
        changed_.notify_all();
        std::this_thread::sleep_for(kHold);
    }
    // On the closing thread: until the frame went out or the request ended without it.
    void await(const std::function<bool()>& ended, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!reached_ && !ended() && std::chrono::steady_clock::now() < deadline) {
            changed_.wait_for(lock, std::chrono::milliseconds(1));
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool reached_ = false;
};

// What the bus did with the master frames of one request.
struct LssTraffic {
    int masterFrames = 0;
    int answersLost = 0;
    int extras = 0;               // answers twice, stray frames on 0x7E4
    bool inquiryTwoSlaves = false;  // an inquiry (0x5A..0x5E) whose answers from two slaves both reached the master
};

class LssBus {
public:
    // Called on the engine (or scan) thread after each master frame went out and was answered.
    using Hook = std::function<void(int masterFrames)>;

    LssBus(EngineScene& scene, Script& script, std::vector<LssSlaveOnBus>& slaves, int maxTamperedFrames)
        : scene_(scene), script_(script), slaves_(slaves), maxTampered_(maxTamperedFrames) {
        id_ = scene_.bus().attach([this](const CANFrame& f) { onFrame(f); });
    }
    ~LssBus() { scene_.bus().detach(id_); }
    LssBus(const LssBus&) = delete;
    LssBus& operator=(const LssBus&) = delete;

    // A new request: counts start again, and the hook runs after each of its master frames.
    void begin(Hook hook) {
        std::lock_guard lock(mutex_);
        traffic_ = LssTraffic{};
        hook_ = std::move(hook);
    }
    [[nodiscard]] LssTraffic traffic() {
        std::lock_guard lock(mutex_);
        return traffic_;
    }
    // A look at the slaves while no master frame is being answered.
    template <typename Look>
    auto inspect(Look look) {
        std::lock_guard lock(mutex_);
        return look(static_cast<const std::vector<LssSlaveOnBus>&>(slaves_));
    }
    [[nodiscard]] int masterFrames() {
        std::lock_guard lock(mutex_);
        return traffic_.masterFrames;
    }

private:
    void onFrame(const CANFrame& f) {
        if (f.id != fixtures::kLssMasterId || (f.flags & (DRN_FLAG_REMOTE | DRN_FLAG_EXTENDED | DRN_FLAG_ERROR)) != 0) {
            return;
        }
        Hook hook;
        int count = 0;
        {
            std::lock_guard lock(mutex_);
            count = ++traffic_.masterFrames;
            hook = hook_;
            const uint8_t noise = ++tampered_ <= maxTampered_ ? script_.byte() : 0;
            fixtures::SimFrame request;
            request.id = f.id;
            request.len = f.length;
            std::memcpy(request.data, f.data, 8);
            std::optional<CANFrame> delivered;
            int heard = 0;  // answers that reached the master: a lost one it cannot know of
            for (std::size_t i = 0; i < slaves_.size(); ++i) {
                LssSlaveOnBus& s = slaves_[i];
                const fixtures::LssSlave::Outcome outcome = s.lss.onRequest(request, s.identity, s.activeNodeId);
                if (outcome.answer) {
                    if ((noise & 0x80) != 0 && i < 4 && (noise & (1u << i)) != 0) {
                        ++traffic_.answersLost;
                    } else {
                        delivered = frame8(fixtures::kLssSlaveId, outcome.answer->data());
                        scene_.inject(*delivered);
                        ++heard;
                    }
                }
                if (outcome.resetCommunication) {
                    // An unconfigured slave that got its node id starts with it and says so.
                    s.activeNodeId = s.lss.pendingNodeId();
                    CANFrame bootUp{};
                    bootUp.id = 0x700u + s.activeNodeId;
                    bootUp.length = 1;
                    scene_.inject(bootUp);
                }
            }
            if (heard >= 2 && f.data[0] >= 0x5A && f.data[0] <= 0x5E) traffic_.inquiryTwoSlaves = true;
            if ((noise & 0x80) != 0) {
                if ((noise & 0x10) != 0 && delivered) {
                    ++traffic_.extras;
                    scene_.inject(*delivered);
                }
                if ((noise & 0x20) != 0) {
                    std::array<uint8_t, 8> d{};
                    for (auto& b : d) b = script_.byte();
                    ++traffic_.extras;
                    scene_.inject(frame8(fixtures::kLssSlaveId, d.data()));
                }
                if ((noise & 0x40) != 0) {
                    // No answer of any LSS request: the SDO response identifier of node 0, a remote
                    // frame on 0x7E4, an extended one, a boot-up of nobody.
                    const uint8_t d[8] = {0x43, 0x00, 0x10, 0x00, 1, 2, 3, 4};
                    scene_.inject(frame8(0x580, d));
                    scene_.inject(frame8(fixtures::kLssSlaveId, d, DRN_FLAG_REMOTE));
                    scene_.inject(frame8(fixtures::kLssSlaveId, d, DRN_FLAG_EXTENDED));
                    scene_.inject(frame8(0x77F, d));
                }
            }
        }
        if (hook) hook(count);
    }

    EngineScene& scene_;
    Script& script_;
    std::vector<LssSlaveOnBus>& slaves_;
    const int maxTampered_;
    drennic::TestBus::ListenerId id_ = 0;
    std::mutex mutex_;
    LssTraffic traffic_;
    Hook hook_;
    int tampered_ = 0;
};

} // namespace ostrel::fuzz

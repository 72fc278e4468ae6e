// The engine thread: one request at a time, completion exactly once, cancel, stop, the order in which
// a received frame reaches the listeners, and status reports. The services stand in as a probe that
// waits in a state for the node's SDO response (or its own time-out), so that these tests do not
// depend on any protocol.
#include "library_fixture.h"

#include "engine.h"
#include "engine_settings.h"
#include "testbus.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace drennic::test {
namespace {

using namespace std::chrono_literals;
constexpr auto kGenerousWait = 10s;

// What the engine called back, in order.
struct Journal {
    struct Entry {
        enum Kind { Received, Completed } kind;
        uint32_t id = 0;
        int32_t answersRequest = 0;
        int32_t code = 0;
        std::u16string message;
        void* user = nullptr;
    };

    void add(Entry entry) {
        {
            std::lock_guard lock(mutex);
            entries.push_back(std::move(entry));
        }
        changed.notify_all();
    }
    [[nodiscard]] bool waitUntil(const std::function<bool(const std::vector<Entry>&)>& done,
                                 std::chrono::milliseconds timeout = kGenerousWait) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return done(entries); });
    }
    [[nodiscard]] std::vector<Entry> snapshot() {
        std::lock_guard lock(mutex);
        return entries;
    }
    [[nodiscard]] std::vector<Entry> completions() {
        std::vector<Entry> out;
        for (const Entry& e : snapshot()) {
            if (e.kind == Entry::Completed) {
                out.push_back(e);
            }
        }
        return out;
    }
    [[nodiscard]] bool waitForCompletions(std::size_t count, std::chrono::milliseconds timeout = kGenerousWait) {
        return waitUntil(
            [count](const std::vector<Entry>& all) {
                return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [](const Entry& e) {
                           return e.kind == Entry::Completed;
                       })) >= count;
            },
            timeout);
    }
    [[nodiscard]] bool waitForReceived(uint32_t id, std::size_t count = 1) {
        return waitUntil([&](const std::vector<Entry>& all) {
            return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), [&](const Entry& e) {
                       return e.kind == Entry::Received && e.id == id;
                   })) >= count;
        });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Entry> entries;
};

Journal* gJournal = nullptr;

void recordCompletion(ResultBlock* result, void* user) {
    gJournal->add({Journal::Entry::Completed, 0, 0, result->code, std::u16string(resultMessage(*result)), user});
}

void recordReceived(const CANFrame* frame, int32_t answersRequest, void*) {
    gJournal->add({Journal::Entry::Received, frame->id, answersRequest, 0, {}, nullptr});
}

// The stand-in service: waits in `waitState` until the awaited response (success) or the SDO
// time-out (-5).
struct Probe {
    std::mutex mutex;
    std::condition_variable changed;
    int starts = 0;
    int cancels = 0;
    std::vector<EngineRequest> requests;
    std::atomic<int32_t> waitState{7};
    std::atomic<bool> finishTwice{false};

    [[nodiscard]] bool waitForStarts(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kGenerousWait, [&] { return starts >= count; });
    }
    [[nodiscard]] int startCount() {
        std::lock_guard lock(mutex);
        return starts;
    }
    [[nodiscard]] int cancelCount() {
        std::lock_guard lock(mutex);
        return cancels;
    }
    [[nodiscard]] EngineRequest lastRequest() {
        std::lock_guard lock(mutex);
        return requests.empty() ? EngineRequest{} : requests.back();
    }
};

Probe* gProbe = nullptr;

void probeStart(EngineContext& context) {
    context.protocolState = gProbe->waitState.load();
    {
        std::lock_guard lock(gProbe->mutex);
        ++gProbe->starts;
        gProbe->requests.push_back(context.request);
    }
    gProbe->changed.notify_all();
}

void probeOnFrame(EngineContext& context, const CANFrame&) {
    engineFinish(context, DRN_OK);
    if (gProbe->finishTwice.load()) {
        engineFinish(context, DRN_REQUEST_FAILED, u"second");
        Engine_Complete(context);
    }
}

void probeOnTick(EngineContext& context, uint32_t elapsedMs) {
    if (elapsedMs > sdoTimeoutMs()) {
        engineFinish(context, DRN_REQUEST_FAILED, u"probe time-out");
    }
}

void probeOnCancel(EngineContext&) {
    std::lock_guard lock(gProbe->mutex);
    ++gProbe->cancels;
}

constexpr ServiceHandlers kProbe{probeStart, probeOnFrame, probeOnTick, probeOnCancel};

class Engine : public DrennicLibrary {
protected:
    void SetUp() override {
        DrennicLibrary::SetUp();
        gJournal = &journal_;
        gProbe = &probe_;
        for (int32_t code = 1; code < kRequestCodeCount; ++code) {
            replaced_[static_cast<std::size_t>(code)] = replaceServiceHandlers(code, kProbe);
        }
        bus_ = std::make_unique<TestBus>();
        CANopenDLL_Startup(1, u"");
        // Long enough that no request of these tests times out unless a test wants it to.
        CANopen_SetSDOTimeout(60'000);
    }
    void TearDown() override {
        Hardware_Close();
        bus_.reset();
        DrennicLibrary::TearDown();
        for (int32_t code = 1; code < kRequestCodeCount; ++code) {
            (void)replaceServiceHandlers(code, replaced_[static_cast<std::size_t>(code)]);
        }
        gJournal = nullptr;
        gProbe = nullptr;
    }

public:
    void initialize() {
        ResultBlock result = patternedResult();
        Hardware_Initialize(1, u"engine test", 0, 0, &result);
        ASSERT_EQ(result.code, DRN_OK);
    }

    // An upload from `node` that completes into the journal with `tag` as its user value.
    int32_t postUpload(uint8_t node, void* tag, uint16_t index = 0x1000, uint8_t subIndex = 0) {
        int32_t out = 99;
        CANopen_SDOUpload(node, index, subIndex, buffer_.data(), &size_, nullptr, recordCompletion, tag, &out);
        return out;
    }

    void injectResponse(uint32_t id, uint8_t flags = 0) {
        bus().inject(makeFrame(id, {0x43, 0x00, 0x10, 0x00, 1, 2, 3, 4}, flags));
    }

    TestBus& bus() { return *bus_; }
    Journal journal_;
    Probe probe_;
    int firstTag_ = 1;
    int secondTag_ = 2;

private:
    std::array<ServiceHandlers, kRequestCodeCount> replaced_{};
    std::unique_ptr<TestBus> bus_;
    std::array<uint8_t, 8> buffer_{};
    uint32_t size_ = 8;
};

// ---- One request at a time ----

TEST_F(Engine, UploadPostedWhileAnotherRunsIsRefusedAndOnlyTheFirstCompletes) {
    initialize();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    EXPECT_EQ(postUpload(6, &secondTag_), DRN_BUSY);

    injectResponse(0x586);  // would answer the refused request
    injectResponse(0x585);
    ASSERT_TRUE(journal_.waitForCompletions(1));
    // Another request round trip: had the refused upload been kept, it would have run by now.
    ASSERT_EQ(postUpload(9, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(2));
    injectResponse(0x589);
    ASSERT_TRUE(journal_.waitForCompletions(2));

    const auto completions = journal_.completions();
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0].user, &firstTag_);
    EXPECT_EQ(completions[0].code, DRN_OK);
    EXPECT_EQ(completions[1].user, &firstTag_);
    EXPECT_EQ(probe_.lastRequest().node, 9);
}

TEST_F(Engine, PostBeforeInitializeIsRefusedAtOnce) {
    // Nothing would ever run it: refused rather than left hanging.
    EXPECT_EQ(postUpload(5, &firstTag_), DRN_NOT_INITIALIZED);
    initialize();
    EXPECT_EQ(probe_.startCount(), 0);
    EXPECT_EQ(postUpload(5, &firstTag_), DRN_OK);
    EXPECT_TRUE(probe_.waitForStarts(1));
}

TEST_F(Engine, RequestWaitingToBeTakenUpAlsoRefusesOthers) {
    initialize();
    // Hold the engine inside a receive callback, so that the next post stays waiting in the slot.
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    struct Hold {
        std::promise<void>* entered;
        std::shared_future<void> released;
    } hold{&entered, released};
    Event_Receive(
        [](const CANFrame*, int32_t, void* user) {
            auto* h = static_cast<Hold*>(user);
            h->entered->set_value();
            h->released.wait();
        },
        &hold);
    bus().inject(makeFrame(0x100, {}));
    entered.get_future().wait();
    EXPECT_EQ(postUpload(5, &firstTag_), DRN_OK);
    EXPECT_EQ(postUpload(6, &secondTag_), DRN_BUSY);
    Event_Receive(nullptr, nullptr);
    release.set_value();
    ASSERT_TRUE(probe_.waitForStarts(1));
    EXPECT_EQ(probe_.lastRequest().node, 5);
}

TEST_F(Engine, ConcurrentPostsAcceptExactlyOneWithItsOwnParameters) {
    initialize();
    constexpr int kThreads = 8;
    constexpr int kRounds = 30;
    for (int round = 0; round < kRounds; ++round) {
        std::array<int32_t, kThreads> outs{};
        std::array<std::array<uint8_t, 4>, kThreads> buffers{};
        std::array<uint32_t, kThreads> sizes{};
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                sizes[t] = 4;
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                }
                CANopen_SDOUpload(static_cast<uint8_t>(t + 1), static_cast<uint16_t>(0x2000 + t),
                                  static_cast<uint8_t>(t), buffers[t].data(), &sizes[t], nullptr, recordCompletion,
                                  &outs[t], &outs[t]);
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        int accepted = -1;
        for (int t = 0; t < kThreads; ++t) {
            if (outs[t] == DRN_OK) {
                ASSERT_EQ(accepted, -1) << "two posts accepted in round " << round;
                accepted = t;
            } else {
                EXPECT_EQ(outs[t], DRN_BUSY);
            }
        }
        ASSERT_NE(accepted, -1);
        ASSERT_TRUE(probe_.waitForStarts(round + 1));
        const EngineRequest taken = probe_.lastRequest();
        EXPECT_EQ(taken.node, accepted + 1);
        EXPECT_EQ(taken.index, 0x2000 + accepted);
        EXPECT_EQ(taken.subIndex, accepted);
        EXPECT_EQ(taken.buffer, buffers[static_cast<std::size_t>(accepted)].data());
        EXPECT_EQ(taken.sizeInOut, &sizes[static_cast<std::size_t>(accepted)]);
        EXPECT_EQ(taken.user, &outs[static_cast<std::size_t>(accepted)]);
        CANopen_Cancel();
        ASSERT_TRUE(journal_.waitForCompletions(static_cast<std::size_t>(round) + 1));
    }
}

TEST_F(Engine, RequestPostedFromInsideACompletionCallbackIsAcceptedAndRuns) {
    initialize();
    struct Chain {
        Engine* test;
        int32_t out = 99;
    } chain{this};
    int32_t out = 99;
    uint8_t buffer[4] = {};
    uint32_t size = 4;
    CANopen_SDOUpload(
        5, 0x1000, 0, buffer, &size, nullptr,
        [](ResultBlock* result, void* user) {
            auto* c = static_cast<Chain*>(user);
            recordCompletion(result, user);
            c->out = c->test->postUpload(7, &c->test->secondTag_);
        },
        &chain, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    injectResponse(0x585);
    ASSERT_TRUE(probe_.waitForStarts(2));
    EXPECT_EQ(chain.out, DRN_OK);
    EXPECT_EQ(probe_.lastRequest().node, 7);
    injectResponse(0x587);
    ASSERT_TRUE(journal_.waitForCompletions(2));
    const auto completions = journal_.completions();
    EXPECT_EQ(completions[0].user, &chain);
    EXPECT_EQ(completions[1].user, &secondTag_);
    EXPECT_EQ(completions[1].code, DRN_OK);
}

TEST_F(Engine, ServiceThatFinishesTwiceCompletesOnce) {
    initialize();
    probe_.finishTwice = true;
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    injectResponse(0x585);
    ASSERT_TRUE(journal_.waitForCompletions(1));
    // A later round trip proves that no second completion was merely late.
    probe_.finishTwice = false;
    ASSERT_EQ(postUpload(6, &secondTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(2));
    injectResponse(0x586);
    ASSERT_TRUE(journal_.waitForCompletions(2));
    const auto completions = journal_.completions();
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0].code, DRN_OK);
    EXPECT_EQ(completions[1].user, &secondTag_);
}

TEST_F(Engine, SilentBusEndsTheRequestByItsTimeOut) {
    initialize();
    CANopen_SetSDOTimeout(50);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(journal_.waitForCompletions(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    const auto completions = journal_.completions();
    EXPECT_EQ(completions[0].code, DRN_REQUEST_FAILED);
    EXPECT_EQ(completions[0].message, u"probe time-out");
}

// ---- Received frames ----

TEST_F(Engine, EveryFrameReachesTheReceiveCallbackBeforeTheCompletion) {
    Event_Receive(recordReceived, nullptr);
    initialize();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    bus().inject(makeFrame(0x123, {1, 2}));
    injectResponse(0x586);                      // another node's response
    injectResponse(0x585, DRN_FLAG_REMOTE);     // a remote request on the awaited identifier
    injectResponse(0x585, DRN_FLAG_EXTENDED);   // a 29-bit identifier of the same value
    injectResponse(0x585);                      // the awaited response
    injectResponse(0x585);                      // after the completion: answers nothing
    ASSERT_TRUE(journal_.waitForReceived(0x585, 4));

    const auto entries = journal_.snapshot();
    ASSERT_EQ(entries.size(), 7u);
    const std::array<uint32_t, 7> ids = {0x123, 0x586, 0x585, 0x585, 0x585, 0, 0x585};
    const std::array<int32_t, 7> answers = {0, 0, 0, 0, 1, 0, 0};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == 5) {
            EXPECT_EQ(entries[i].kind, Journal::Entry::Completed);
            EXPECT_EQ(entries[i].code, DRN_OK);
            continue;
        }
        EXPECT_EQ(entries[i].kind, Journal::Entry::Received) << "entry " << i;
        EXPECT_EQ(entries[i].id, ids[i]) << "entry " << i;
        EXPECT_EQ(entries[i].answersRequest, answers[i]) << "entry " << i;
    }
}

TEST_F(Engine, LibraryFrameCarriesTheFieldsAndKeepsBytesBehindTheLength) {
    std::vector<CANFrame> frames;
    std::mutex mutex;
    std::pair<std::vector<CANFrame>*, std::mutex*> sink{&frames, &mutex};
    Event_Receive(
        [](const CANFrame* frame, int32_t, void* user) {
            auto* list = static_cast<std::pair<std::vector<CANFrame>*, std::mutex*>*>(user);
            std::lock_guard lock(*list->second);
            list->first->push_back(*frame);
            gJournal->add({Journal::Entry::Received, frame->id, 0, 0, {}, nullptr});
        },
        &sink);
    initialize();
    bus().inject(makeFrame(0x181, {1, 2, 3, 4, 5, 6, 7, 8}));
    bus().inject(makeFrame(0x1ABCDEF, {0xA, 0xB, 0xC}, DRN_FLAG_EXTENDED | DRN_FLAG_ERROR));
    ASSERT_TRUE(journal_.waitForReceived(0x1ABCDEF));

    std::lock_guard lock(mutex);
    ASSERT_EQ(frames.size(), 2u);
    const CANFrame& second = frames[1];
    EXPECT_EQ(second.length, 3);
    EXPECT_EQ(second.flags, DRN_FLAG_EXTENDED | DRN_FLAG_ERROR);
    EXPECT_EQ(second.timeMsOverflow, 0u);
    const std::array<uint8_t, 8> expected = {0xA, 0xB, 0xC, 4, 5, 6, 7, 8};
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(second.data[i], expected[i]) << "byte " << i;
    }
    EXPECT_GE(second.timeMs, frames[0].timeMs);
}

// ---- Cancel ----

TEST_F(Engine, CancelEndsAnSdoTransferWithMinusOneAndSendsTheAbort) {
    initialize();
    ASSERT_EQ(postUpload(5, &firstTag_, 0x2001, 3), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    CANopen_Cancel();
    ASSERT_TRUE(journal_.waitForCompletions(1));
    const auto completions = journal_.completions();
    EXPECT_EQ(completions[0].code, DRN_CANCELLED);
    EXPECT_EQ(completions[0].message, u"");
    EXPECT_EQ(probe_.cancelCount(), 1);

    const auto sent = bus().sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].id, 0x605u);
    EXPECT_EQ(sent[0].length, 8);
    const std::array<uint8_t, 8> abort = {0x80, 0x01, 0x20, 0x03, 0x21, 0x00, 0x00, 0x08};
    EXPECT_TRUE(std::equal(abort.begin(), abort.end(), sent[0].data));
}

TEST_F(Engine, CancelOfAScanSendsNoAbortButLetsTheServiceRestoreItsState) {
    initialize();
    std::array<ScanResult, DRN_NODE_COUNT> results{};
    int32_t out = 99;
    CANopen_ScanNetwork(results.data(), recordCompletion, &firstTag_, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    CANopen_Cancel();
    ASSERT_TRUE(journal_.waitForCompletions(1));
    EXPECT_EQ(journal_.completions()[0].code, DRN_CANCELLED);
    EXPECT_EQ(probe_.cancelCount(), 1);
    EXPECT_TRUE(bus().sent().empty());
}

TEST_F(Engine, CancelWhileIdleDoesNotCancelTheNextRequest) {
    initialize();
    CANopen_Cancel();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    injectResponse(0x585);
    ASSERT_TRUE(journal_.waitForCompletions(1));
    EXPECT_EQ(journal_.completions()[0].code, DRN_OK);
    EXPECT_EQ(probe_.cancelCount(), 0);
    EXPECT_TRUE(bus().sent().empty());
}

// A caller that gives up on its own request cancels it by the serial it got when posting: the
// cancel cannot hit another caller's request posted in the instant after the first one ended.
TEST_F(Engine, CancelBySerialEndsOnlyThatRequest) {
    initialize();
    std::array<uint8_t, 8> buffer{};
    uint32_t size = 8;
    EngineRequest own;
    own.code = kRequestSdoUpload;
    own.node = 5;
    own.index = 0x1000;
    own.buffer = buffer.data();
    own.sizeInOut = &size;
    own.completion = recordCompletion;
    own.user = &firstTag_;
    int32_t out = 99;
    uint64_t first = 0;
    postRequest(own, &out, &first);
    ASSERT_EQ(out, DRN_OK);
    EXPECT_NE(first, 0u);
    ASSERT_TRUE(probe_.waitForStarts(1));
    injectResponse(0x585);
    ASSERT_TRUE(journal_.waitForCompletions(1));

    ASSERT_EQ(postUpload(5, &secondTag_), DRN_OK);  // another caller's request
    ASSERT_TRUE(probe_.waitForStarts(2));
    cancelRequest(first);  // too late for the first request: it has ended
    injectResponse(0x585);
    ASSERT_TRUE(journal_.waitForCompletions(2));
    EXPECT_EQ(journal_.completions()[1].code, DRN_OK);
    EXPECT_EQ(probe_.cancelCount(), 0);

    uint64_t third = 0;
    postRequest(own, &out, &third);
    ASSERT_EQ(out, DRN_OK);
    EXPECT_GT(third, first);
    ASSERT_TRUE(probe_.waitForStarts(3));
    cancelRequest(third);
    ASSERT_TRUE(journal_.waitForCompletions(3));
    EXPECT_EQ(journal_.completions()[2].code, DRN_CANCELLED);

    uint64_t refused = 99;
    postRequest(EngineRequest{}, &out, &refused);
    EXPECT_EQ(refused, 0u) << "a refused request has no serial";
}

// ---- Stop ----

TEST_F(Engine, HardwareCloseDuringARequestCompletesItWithMinusSeven) {
    initialize();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    Hardware_Close();
    // The completion came before Close returned.
    const auto completions = journal_.completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(completions[0].message, u"Hardware not initialized");
    EXPECT_EQ(probe_.cancelCount(), 1) << "the service may undo its changes";
    EXPECT_FALSE(engineRunning());
    EXPECT_EQ(postUpload(5, &firstTag_), DRN_NOT_INITIALIZED);
}

TEST_F(Engine, HardwareCloseCompletesARequestThatWasStillWaitingInTheSlot) {
    initialize();
    std::promise<void> entered;
    std::promise<void> release;
    struct Hold {
        std::promise<void>* entered;
        std::shared_future<void> released;
    } hold{&entered, release.get_future().share()};
    Event_Receive(
        [](const CANFrame*, int32_t, void* user) {
            auto* h = static_cast<Hold*>(user);
            h->entered->set_value();
            h->released.wait();
        },
        &hold);
    bus().inject(makeFrame(0x100, {}));
    entered.get_future().wait();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    auto closer = std::async(std::launch::async, [] { Hardware_Close(); });
    // Close waits for the engine; the engine waits in the callback until released.
    EXPECT_EQ(closer.wait_for(50ms), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(closer.wait_for(kGenerousWait), std::future_status::ready);
    const auto completions = journal_.completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].code, DRN_NOT_INITIALIZED);
    EXPECT_EQ(probe_.startCount(), 0) << "a request the engine never took up does not start";
    Event_Receive(nullptr, nullptr);
}

TEST_F(Engine, HardwareCloseFromInsideACompletionCallbackDoesNotDeadlock) {
    initialize();
    int32_t out = 99;
    uint8_t buffer[4] = {};
    uint32_t size = 4;
    CANopen_SDOUpload(
        5, 0x1000, 0, buffer, &size, nullptr,
        [](ResultBlock* result, void* user) {
            Hardware_Close();
            recordCompletion(result, user);
        },
        &firstTag_, &out);
    ASSERT_EQ(out, DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    injectResponse(0x585);
    ASSERT_TRUE(journal_.waitForCompletions(1));
    EXPECT_EQ(journal_.completions()[0].code, DRN_OK);
    EXPECT_FALSE(bus().initialized());
    EXPECT_EQ(postUpload(5, &firstTag_), DRN_NOT_INITIALIZED);

    // The engine starts again (joining the thread that ended itself) and runs the next request.
    initialize();
    ASSERT_EQ(postUpload(6, &secondTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(2));
    injectResponse(0x586);
    ASSERT_TRUE(journal_.waitForCompletions(2));
    EXPECT_EQ(journal_.completions()[1].user, &secondTag_);
}

TEST_F(Engine, HardwareCloseFromInsideTheReceiveCallbackEndsTheRunningRequest) {
    Event_Receive([](const CANFrame*, int32_t, void*) { Hardware_Close(); }, nullptr);
    initialize();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    bus().inject(makeFrame(0x77, {}));
    ASSERT_TRUE(journal_.waitForCompletions(1));
    EXPECT_EQ(journal_.completions()[0].code, DRN_NOT_INITIALIZED);
    Event_Receive(nullptr, nullptr);
}

TEST_F(Engine, ShutdownWithoutCloseStopsTheEngine) {
    initialize();
    ASSERT_EQ(postUpload(5, &firstTag_), DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    CANopenDLL_Shutdown();
    EXPECT_FALSE(engineRunning());
    ASSERT_EQ(journal_.completions().size(), 1u);
    EXPECT_EQ(journal_.completions()[0].code, DRN_NOT_INITIALIZED);
}

// ---- Status ----

struct StatusLog {
    std::mutex mutex;
    std::vector<uint32_t> reported;
};

TEST_F(Engine, MajorErrorIsReportedOnlyWhenTheStatusChanges) {
    StatusLog log;
    Event_MajorError(
        [](uint32_t status, void* user) {
            auto* l = static_cast<StatusLog*>(user);
            std::lock_guard lock(l->mutex);
            l->reported.push_back(status);
        },
        &log);
    Event_Receive(recordReceived, nullptr);
    initialize();
    // Each received frame is followed by a status check in the same loop pass; the second frame's
    // arrival proves the first pass has checked.
    const auto passLoop = [&](uint32_t id) {
        bus().inject(makeFrame(id, {}));
        bus().inject(makeFrame(id + 1, {}));
        ASSERT_TRUE(journal_.waitForReceived(id + 1));
    };
    passLoop(0x10);
    {
        std::lock_guard lock(log.mutex);
        EXPECT_TRUE(log.reported.empty()) << "status 0 is not reported";
    }
    bus().setStatus(0x20);
    passLoop(0x20);
    passLoop(0x30);
    bus().setStatus(0);
    passLoop(0x40);
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.reported, (std::vector<uint32_t>{0x20, 0}));
}

// ---- Posting exports ----

TEST_F(Engine, PostingExportsHandTheirParametersToTheService) {
    initialize();
    uint8_t data[3] = {1, 2, 3};
    uint8_t buffer[16] = {};
    uint32_t size = sizeof buffer;
    std::array<ScanResult, DRN_NODE_COUNT> scan{};
    std::array<MassWriteResult, DRN_NODE_COUNT> mass{};
    LSSIdentity identity{};
    const auto progress = [](float, void*) {};
    const auto switchTiming = [](uint32_t, uint32_t, void*) {};
    int started = 0;
    const auto run = [&](const std::function<void(int32_t*)>& post) {
        int32_t out = 99;
        post(&out);
        EXPECT_EQ(out, DRN_OK);
        EXPECT_TRUE(probe_.waitForStarts(++started));
        CANopen_Cancel();
        EXPECT_TRUE(journal_.waitForCompletions(static_cast<std::size_t>(started)));
        return probe_.lastRequest();
    };

    EngineRequest r = run([&](int32_t* out) {
        CANopen_SDODownload(3, 0x2100, 4, data, 3, progress, recordCompletion, &firstTag_, out);
    });
    EXPECT_EQ(r.code, kRequestSdoDownload);
    EXPECT_EQ(r.node, 3);
    EXPECT_EQ(r.index, 0x2100);
    EXPECT_EQ(r.subIndex, 4);
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.size, 3u);
    EXPECT_EQ(r.progress, +progress);
    EXPECT_EQ(r.completion, recordCompletion);
    EXPECT_EQ(r.user, &firstTag_);

    r = run([&](int32_t* out) {
        CANopen_SDOUpload(4, 0x1018, 1, buffer, &size, progress, recordCompletion, &secondTag_, out);
    });
    EXPECT_EQ(r.code, kRequestSdoUpload);
    EXPECT_EQ(r.node, 4);
    EXPECT_EQ(r.index, 0x1018);
    EXPECT_EQ(r.subIndex, 1);
    EXPECT_EQ(r.buffer, buffer);
    EXPECT_EQ(r.sizeInOut, &size);
    EXPECT_EQ(r.user, &secondTag_);

    r = run([&](int32_t* out) { CANopen_ScanNetwork(scan.data(), recordCompletion, &firstTag_, out); });
    EXPECT_EQ(r.code, kRequestScanNetwork);
    EXPECT_EQ(r.scanResults, scan.data());
    EXPECT_EQ(r.progress, nullptr);

    r = run([&](int32_t* out) {
        CANopen_MassExpeditedWrite(0x1017, 0, data, 2, mass.data(), recordCompletion, &firstTag_, out);
    });
    EXPECT_EQ(r.code, kRequestMassExpeditedWrite);
    EXPECT_EQ(r.index, 0x1017);
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.size, 2u);
    EXPECT_EQ(r.massWriteResults, mass.data());

    r = run([&](int32_t* out) { CANopen_FindLSSSlave(&identity, recordCompletion, &firstTag_, out); });
    EXPECT_EQ(r.code, kRequestFindLssSlave);
    EXPECT_EQ(r.identity, &identity);

    r = run([&](int32_t* out) { CANopen_SetLSSSlaveConfig(&identity, recordCompletion, &firstTag_, out); });
    EXPECT_EQ(r.code, kRequestSetLssSlaveConfig);
    EXPECT_EQ(r.identity, &identity);

    r = run([&](int32_t* out) {
        CANopen_SetLSSSlaveBitTiming(&identity, 0, 4, recordCompletion, &firstTag_, out);
    });
    EXPECT_EQ(r.code, kRequestSetLssSlaveBitTiming);
    EXPECT_EQ(r.tableSelector, 0);
    EXPECT_EQ(r.tableIndex, 4);

    r = run([&](int32_t* out) {
        CANopen_UseLSSSlaveBitTiming(0xABCD, switchTiming, recordCompletion, &secondTag_, out);
    });
    EXPECT_EQ(r.code, kRequestUseLssSlaveBitTiming);
    EXPECT_EQ(r.bitTimingValue, 0xABCDu);
    EXPECT_EQ(r.switchBitTiming, +switchTiming);
    EXPECT_EQ(r.user, &secondTag_);
}

TEST_F(Engine, AcceptedScanAndMassWriteClearOnlyTheFlagBytes) {
    initialize();
    std::array<ScanResult, DRN_NODE_COUNT> scan{};
    for (auto& entry : scan) {
        entry = ScanResult{1, {7, 7, 7}, 0x12345678};
    }
    int32_t out = 99;
    CANopen_ScanNetwork(scan.data(), recordCompletion, &firstTag_, &out);
    ASSERT_EQ(out, DRN_OK);
    for (const auto& entry : scan) {
        EXPECT_EQ(entry.found, 0);
        EXPECT_EQ(entry.padding[0], 7);
        EXPECT_EQ(entry.deviceType, 0x12345678u);
    }

    // Refused while the scan runs: the caller's flags stay as they are.
    std::array<MassWriteResult, DRN_NODE_COUNT> mass{};
    for (auto& entry : mass) {
        entry = MassWriteResult{1, {7, 7, 7}, 0xCAFE};
    }
    const uint8_t value = 5;
    CANopen_MassExpeditedWrite(0x1017, 0, &value, 1, mass.data(), recordCompletion, &secondTag_, &out);
    EXPECT_EQ(out, DRN_BUSY);
    EXPECT_EQ(mass[0].acknowledged, 1);

    ASSERT_TRUE(probe_.waitForStarts(1));
    CANopen_Cancel();
    ASSERT_TRUE(journal_.waitForCompletions(1));
    CANopen_MassExpeditedWrite(0x1017, 0, &value, 1, mass.data(), recordCompletion, &secondTag_, &out);
    ASSERT_EQ(out, DRN_OK);
    for (const auto& entry : mass) {
        EXPECT_EQ(entry.acknowledged, 0);
        EXPECT_EQ(entry.unused, 0xCAFEu);
    }
}

TEST_F(Engine, MissingRecordsAreRefusedWithBadParameters) {
    initialize();
    int32_t out = 99;
    CANopen_SDOUpload(5, 0x1000, 0, nullptr, nullptr, nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    uint32_t size = 4;
    CANopen_SDOUpload(5, 0x1000, 0, nullptr, &size, nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    CANopen_SDODownload(5, 0x2000, 0, nullptr, 4, nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    CANopen_ScanNetwork(nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    CANopen_MassExpeditedWrite(0x2000, 0, nullptr, 0, nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    CANopen_FindLSSSlave(nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    CANopen_SetLSSSlaveConfig(nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    CANopen_SetLSSSlaveBitTiming(nullptr, 0, 0, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_BAD_PARAMETERS);
    // A download of nothing needs no data.
    CANopen_SDODownload(5, 0x2000, 0, nullptr, 0, nullptr, recordCompletion, nullptr, &out);
    EXPECT_EQ(out, DRN_OK);
    ASSERT_TRUE(probe_.waitForStarts(1));
    EXPECT_EQ(probe_.lastRequest().data, nullptr);
    EXPECT_EQ(probe_.lastRequest().size, 0u);
    EXPECT_TRUE(engineRequestPending());
}

} // namespace
} // namespace drennic::test

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <mutex>
#include <vector>

using namespace ostrel::platform;

namespace {

struct TickSample {
    uint64_t deadline;  // number of the deadline the call served
    uint64_t atUs;      // monotonic time of the call
};

} // namespace

TEST(Clock, TickMsIsTheMonotonicClockInWrappingMilliseconds) {
    const uint64_t beforeUs = monotonicUs();
    const uint32_t tick = tickMs();
    const uint64_t afterUs = monotonicUs();
    const auto low = static_cast<uint32_t>(beforeUs / 1000);
    const auto high = static_cast<uint32_t>(afterUs / 1000);
    EXPECT_LE(static_cast<uint32_t>(tick - low), static_cast<uint32_t>(high - low));
}

TEST(Clock, WallSecondsIsTheEpochTime) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const int64_t wall = wallSeconds();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(wall, before);
    EXPECT_LE(wall, after);
}

TEST(Clock, SleepMsSleepsAtLeastTheGivenTime) {
    const uint64_t start = monotonicUs();
    sleepMs(30);
    EXPECT_GE(monotonicUs() - start, 30'000u);
}

// Deadlines are absolute, so the offset of each call from its deadline (its lateness) does not
// grow over the run. The least lateness over a window is immune to single late wake-ups on a
// loaded machine; comparing the first and last windows bounds the drift to 0.1 % of the run.
TEST(PeriodicTimer, OneMillisecondPeriodKeepsItsRateWithoutDrift) {
    constexpr uint32_t kPeriodUs = 1000;
    constexpr uint64_t kRunUs = 2'000'000;
    std::vector<TickSample> samples;
    samples.reserve(4 * kRunUs / kPeriodUs);
    std::mutex samplesMutex;
    const uint64_t startUs = monotonicUs();
    uint64_t calls = 0;
    uint64_t missed = 0;
    {
        PeriodicTimer timer(kPeriodUs, [&](uint64_t deadline) {
            const uint64_t now = monotonicUs();
            const std::lock_guard lock(samplesMutex);
            samples.push_back({deadline, now});
        });
        while (monotonicUs() - startUs < kRunUs) {
            sleepMs(10);
        }
        timer.stop();
        calls = timer.calls();
        missed = timer.missed();
    }
    const std::lock_guard lock(samplesMutex);
    ASSERT_EQ(samples.size(), calls);
    ASSERT_GT(samples.size(), 100u) << "the timer hardly ran";
    // Every deadline is either served or counted as missed, in order.
    EXPECT_EQ(samples.back().deadline, calls + missed);
    for (std::size_t i = 1; i < samples.size(); ++i) {
        ASSERT_GT(samples[i].deadline, samples[i - 1].deadline);
    }

    // Lateness relative to the construction time; the timer's own start is a little later.
    auto lateness = [&](const TickSample& s) {
        return static_cast<int64_t>(s.atUs - startUs) - static_cast<int64_t>(s.deadline * kPeriodUs);
    };
    for (const TickSample& s : samples) {
        ASSERT_GE(lateness(s), 0) << "deadline " << s.deadline << " served early";
    }
    // The least late call of the first and of the last eighth of the run: between them the count of
    // ticks (served or missed) must match the elapsed monotonic time within 0.1 %.
    const std::size_t window = std::max<std::size_t>(samples.size() / 8, 1);
    auto leastLate = [&](std::size_t from, std::size_t to) {
        return *std::min_element(samples.begin() + static_cast<std::ptrdiff_t>(from),
                                 samples.begin() + static_cast<std::ptrdiff_t>(to),
                                 [&](const TickSample& a, const TickSample& b) { return lateness(a) < lateness(b); });
    };
    // Skipping keeps the count right even for a timer that sleeps a period after each call and
    // so slides against its deadlines; such a timer is late by anything up to a period, evenly
    // spread. A timer on absolute deadlines serves most of them within a small wake-up latency.
    std::vector<int64_t> latenesses;
    latenesses.reserve(samples.size());
    for (const TickSample& s : samples) latenesses.push_back(lateness(s));
    const int64_t least = *std::min_element(latenesses.begin(), latenesses.end());
    std::nth_element(latenesses.begin(), latenesses.begin() + static_cast<std::ptrdiff_t>(latenesses.size() / 2),
                     latenesses.end());
    EXPECT_LT(latenesses[latenesses.size() / 2] - least, static_cast<int64_t>(kPeriodUs / 3))
        << "the median call is late by a large part of a period";

    const TickSample first = leastLate(0, window);
    const TickSample last = leastLate(samples.size() - window, samples.size());
    const uint64_t elapsedUs = last.atUs - first.atUs;
    ASSERT_GT(elapsedUs, kRunUs / 2);
    const uint64_t ticks = last.deadline - first.deadline;
    const auto errorUs = std::abs(static_cast<int64_t>(ticks * kPeriodUs) - static_cast<int64_t>(elapsedUs));
    EXPECT_LE(errorUs, static_cast<int64_t>(elapsedUs / 1000))
        << ticks << " ticks in " << elapsedUs << " us; lateness " << lateness(first) << " us at the start, "
        << lateness(last) << " us at the end";
}

TEST(PeriodicTimer, OverrunningCallbackSkipsDeadlinesInsteadOfBunching) {
    constexpr uint32_t kPeriodUs = 1000;
    std::vector<uint64_t> deadlines;
    std::mutex deadlinesMutex;
    uint64_t calls = 0;
    uint64_t missed = 0;
    {
        PeriodicTimer timer(kPeriodUs, [&](uint64_t deadline) {
            {
                const std::lock_guard lock(deadlinesMutex);
                deadlines.push_back(deadline);
            }
            sleepMs(3);  // three periods and more
        });
        const uint64_t start = monotonicUs();
        while (monotonicUs() - start < 200'000) {
            sleepMs(10);
        }
        timer.stop();
        calls = timer.calls();
        missed = timer.missed();
    }
    const std::lock_guard lock(deadlinesMutex);
    ASSERT_GE(deadlines.size(), 2u);
    ASSERT_EQ(deadlines.size(), calls);
    for (std::size_t i = 1; i < deadlines.size(); ++i) {
        // A call lasting three periods lets at least three deadlines pass; catching up on each
        // of them would show as steps of one.
        EXPECT_GE(deadlines[i] - deadlines[i - 1], 3u) << "call " << i;
    }
    EXPECT_EQ(deadlines.back(), calls + missed);
}

TEST(PeriodicTimer, NoCallbackAfterStopAndStopTwiceIsHarmless) {
    std::atomic<uint64_t> count{0};
    PeriodicTimer timer(1000, [&] { count.fetch_add(1); });
    const uint64_t start = monotonicUs();
    while (count.load() < 5 && monotonicUs() - start < 10'000'000) {
        sleepMs(1);
    }
    ASSERT_GE(count.load(), 5u);
    timer.stop();
    const uint64_t afterStop = count.load();
    EXPECT_EQ(timer.calls(), afterStop);
    sleepMs(20);
    EXPECT_EQ(count.load(), afterStop);
    timer.stop();
}

TEST(PeriodicTimer, StopFromTheCallbackEndsTheTimerWithoutDeadlock) {
    std::atomic<uint64_t> count{0};
    std::atomic<PeriodicTimer*> self{nullptr};
    PeriodicTimer timer(1000, [&] {
        if (count.fetch_add(1) + 1 == 3) {
            while (self.load() == nullptr) {
                sleepMs(1);
            }
            self.load()->stop();
        }
    });
    self.store(&timer);
    const uint64_t start = monotonicUs();
    while (count.load() < 3 && monotonicUs() - start < 10'000'000) {
        sleepMs(1);
    }
    sleepMs(20);
    EXPECT_EQ(count.load(), 3u);
}  // the destructor joins the ended thread

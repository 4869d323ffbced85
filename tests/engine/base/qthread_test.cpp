#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "engine/base/engine_clock.h"
#include "engine/base/fake_clock.h"
#include "engine/base/qthread.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

// A thread whose body is a test lambda.
class LambdaThread : public QThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body, Clock& clock = SystemClock())
        : QThread(clock), body_(std::move(body)) {}
    ~LambdaThread() override { Stop(); }
    void Run() override { body_(*this); }
    void Refresh() override {}

private:
    std::function<void(LambdaThread&)> body_;
};

void LoopUntilStopped(LambdaThread& self) {
    while (!self.SleepMsOrStop(1)) {
    }
}

template <class Pred>
void WaitFor(Pred pred) {
    ASSERT_TRUE(test::WaitFor(pred, std::chrono::seconds(30), std::chrono::microseconds(0)));
}

class FlagOnDestroy : public StartupObject {
public:
    explicit FlagOnDestroy(std::atomic<bool>& flag) : flag_(flag) {}
    ~FlagOnDestroy() override { flag_ = true; }

private:
    std::atomic<bool>& flag_;
};

TEST(QThread, IdleObjectAnswersQuietly) {
    LambdaThread thread(LoopUntilStopped);
    EXPECT_TRUE(thread.Stop());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetThreadId(), 0u);
    uint32_t id = 7;
    EXPECT_FALSE(thread.RequestStop(&id));
    EXPECT_EQ(id, 0u);
    EXPECT_FALSE(thread.Pause(true));
    EXPECT_FALSE(thread.IsPaused());
    EXPECT_TRUE(thread.HasEnded(0));
    EXPECT_FALSE(thread.CheckStop());
}

TEST(QThread, StartRunStopAndRestart) {
    std::atomic<int> runs{0};
    LambdaThread thread([&](LambdaThread& self) {
        ++runs;
        LoopUntilStopped(self);
    });
    for (int round = 1; round <= 3; ++round) {
        std::atomic<bool> startup_gone{false};
        ASSERT_TRUE(thread.Start("loop", std::make_unique<FlagOnDestroy>(startup_gone)));
        EXPECT_TRUE(thread.IsRunning());
        const uint32_t id = thread.GetThreadId();
        EXPECT_NE(id, 0u);
        EXPECT_EQ(thread.Generation(), round);
        EXPECT_FALSE(thread.HasEnded(id));
        EXPECT_FALSE(startup_gone.load());
        EXPECT_TRUE(thread.Stop());
        EXPECT_TRUE(startup_gone.load());
        EXPECT_FALSE(thread.IsRunning());
        EXPECT_EQ(thread.GetThreadId(), 0u);
        EXPECT_TRUE(thread.HasEnded(id));
        EXPECT_EQ(runs.load(), round);
    }
}

TEST(QThread, StartOnARunningThreadChangesNothing) {
    LambdaThread thread(LoopUntilStopped);
    ASSERT_TRUE(thread.Start("a"));
    const uint32_t id = thread.GetThreadId();
    std::atomic<bool> startup_gone{false};
    EXPECT_FALSE(thread.Start("b", std::make_unique<FlagOnDestroy>(startup_gone)));
    EXPECT_TRUE(startup_gone.load());  // a refused start destroys what it was given
    EXPECT_EQ(thread.GetThreadId(), id);
    EXPECT_EQ(thread.Generation(), 1);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.CheckStop());
    EXPECT_TRUE(thread.Stop());
}

// A run that is over before Start looks still counts as started.
TEST(QThread, StartSucceedsForARunThatEndedAtOnce) {
    std::atomic<int> runs{0};
    LambdaThread thread([&](LambdaThread&) { ++runs; });
    for (int i = 1; i <= 50; ++i) {
        ASSERT_TRUE(thread.Start("quick")) << i;
        WaitFor([&] { return thread.GetThreadId() == 0; });
        EXPECT_EQ(runs.load(), i);
    }
}

TEST(QThread, StopFromItsOwnRunIsRefused) {
    std::atomic<int> stop_result{-1};
    std::atomic<int> stop_seen{-1};
    std::atomic<bool> checked{false};
    LambdaThread thread([&](LambdaThread& self) {
        stop_result = self.Stop() ? 1 : 0;
        stop_seen = self.CheckStop() ? 1 : 0;
        checked = true;
        LoopUntilStopped(self);
    });
    ASSERT_TRUE(thread.Start("self"));
    WaitFor([&] { return checked.load(); });
    EXPECT_EQ(stop_result.load(), 0);
    EXPECT_EQ(stop_seen.load(), 0);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_TRUE(thread.Stop());
}

TEST(QThread, ARunThatThrowsLeavesTheObjectIdleAndItsLocksFree) {
    QTMutex other;
    std::atomic<bool> startup_gone{false};
    std::atomic<bool> fail{true};
    std::atomic<int> runs{0};
    LambdaThread thread([&](LambdaThread& self) {
        ++runs;
        if (!fail) return;
        self.Lock().Lock();
        self.Lock().Lock();
        other.Lock();
        throw std::runtime_error("crashed run");
    });
    ASSERT_TRUE(thread.Start("throws", std::make_unique<FlagOnDestroy>(startup_gone)));
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(startup_gone.load());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetThreadId(), 0u);
    EXPECT_EQ(thread.Lock().Owner(), 0u);
    EXPECT_TRUE(other.TryLock());
    EXPECT_TRUE(other.Unlock());

    fail = false;
    ASSERT_TRUE(thread.Start("again"));
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(runs.load(), 2);
}

TEST(QThread, PauseHoldsTheRunUntilClearedOrStopped) {
    FakeClock clock;  // manual: a paused thread only wakes when told
    std::atomic<int> steps{0};
    LambdaThread thread(
        [&](LambdaThread& self) {
            while (!self.CheckStop()) {
                ++steps;
                std::this_thread::yield();
            }
        },
        clock);
    ASSERT_TRUE(thread.Start("pausable"));
    WaitFor([&] { return steps.load() > 0; });
    EXPECT_TRUE(thread.Pause(true));
    EXPECT_TRUE(thread.IsPaused());
    WaitFor([&] { return clock.Sleepers() == 1; });
    const int held = steps.load();
    clock.Advance(5000);  // re-checks every second and stays paused
    WaitFor([&] { return clock.Sleepers() == 1; });
    EXPECT_LE(steps.load(), held + 1);

    EXPECT_TRUE(thread.Pause(false));
    EXPECT_FALSE(thread.IsPaused());
    WaitFor([&] { return steps.load() > held + 10; });

    EXPECT_TRUE(thread.Pause(true));
    WaitFor([&] { return clock.Sleepers() == 1; });
    const uint64_t tick = clock.TickMs();
    EXPECT_TRUE(thread.Stop());  // no time has to pass
    EXPECT_EQ(clock.TickMs(), tick);
    EXPECT_FALSE(thread.IsPaused());
}

TEST(QThread, SleepSecondsCountsWholeSecondsOfTheClock) {
    FakeClock clock(FakeClock::Mode::AutoAdvance);
    std::atomic<int> result{-1};
    LambdaThread thread([&](LambdaThread& self) { result = self.SleepSeconds(3); }, clock);
    const uint64_t tick = clock.TickMs();
    ASSERT_TRUE(thread.Start("sleeper"));
    WaitFor([&] { return thread.GetThreadId() == 0; });
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(clock.TickMs(), tick + 3000);
}

TEST(QThread, SleepSecondsWithoutTimeToSleep) {
    FakeClock clock;
    std::atomic<int> zero{-1}, negative{-1}, stopped{-1};
    std::atomic<bool> go{false};
    LambdaThread thread(
        [&](LambdaThread& self) {
            zero = self.SleepSeconds(0);
            negative = self.SleepSeconds(-5);
            WaitFor([&] { return go.load(); });
            stopped = self.SleepSeconds(-1);
        },
        clock);
    const uint64_t tick = clock.TickMs();
    ASSERT_TRUE(thread.Start("no sleep"));
    WaitFor([&] { return negative.load() != -1; });
    EXPECT_EQ(zero.load(), 0);
    EXPECT_EQ(negative.load(), 0);
    thread.RequestStop();
    go = true;
    EXPECT_TRUE(thread.Stop());
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_EQ(clock.TickMs(), tick);
}

TEST(QThread, StopCutsSleepSecondsShort) {
    FakeClock clock;
    std::atomic<int> result{-1};
    LambdaThread thread([&](LambdaThread& self) { result = self.SleepSeconds(100); }, clock);
    ASSERT_TRUE(thread.Start("long sleep"));
    WaitFor([&] { return clock.Sleepers() == 1; });
    clock.Advance(1000);  // one second passes
    WaitFor([&] { return clock.Sleepers() == 1; });
    EXPECT_EQ(result.load(), -1);
    EXPECT_TRUE(thread.Stop());
    EXPECT_NE(result.load(), 0);
}

TEST(QThread, RecordsTheEngineUptimeWhenItBegins) {
    FakeClock clock;
    EngineClockService engine_clock(clock);
    engine_clock.Start();
    clock.Advance(7000);
    LambdaThread thread(LoopUntilStopped, clock);
    thread.SetEngineClock(&engine_clock);
    ASSERT_TRUE(thread.Start("timed"));
    EXPECT_EQ(thread.StartUptime(), 7u);
    EXPECT_TRUE(thread.Stop());
}

TEST(QThreadDeathTest, DestroyingFromItsOwnThreadAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto* thread = new LambdaThread([](LambdaThread& self) { delete &self; });
            thread->Start("suicide");
            std::this_thread::sleep_for(std::chrono::seconds(5));
        },
        "destroyed from its own thread");
}

}  // namespace
}  // namespace zl

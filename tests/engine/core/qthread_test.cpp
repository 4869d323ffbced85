#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "engine/core/fake_clock.h"
#include "engine/core/qthread.h"

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

// Runs until asked to stop.
void LoopUntilStopped(LambdaThread& self) {
    while (!self.SleepMsOrStop(1)) {
    }
}

TEST(QThread, StopOnIdleReturnsAtOnce) {
    LambdaThread thread(LoopUntilStopped);
    EXPECT_TRUE(thread.Stop());
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetThreadId(), 0u);
}

TEST(QThread, StartRunStopAndRestart) {
    std::atomic<int> runs{0};
    LambdaThread thread([&](LambdaThread& self) {
        ++runs;
        LoopUntilStopped(self);
    });
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(thread.Start("loop"));
        EXPECT_TRUE(thread.IsRunning());
        EXPECT_NE(thread.GetThreadId(), 0u);
        EXPECT_EQ(thread.Generation(), round);
        EXPECT_TRUE(thread.Stop());
        EXPECT_FALSE(thread.IsRunning());
        EXPECT_EQ(thread.GetThreadId(), 0u);
        EXPECT_EQ(runs.load(), round);
    }
}

}  // namespace
}  // namespace zl

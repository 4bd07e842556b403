#include "host/TimeoutMonitor.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace quillate {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

struct TCountingTarget : IZRTimeoutTarget {
    void DoTimeout() override {
        ++Calls;
        std::this_thread::sleep_for(300ms);
        Left = true;
    }
    std::atomic<int> Calls{0};
    std::atomic<bool> Left{false};
};

template <class Predicate> bool WaitFor(Predicate done, std::chrono::milliseconds limit = 10s) {
    auto deadline = TClock::now() + limit;
    while (!done() && TClock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return done();
}

TEST(TimeoutMonitor, CallsTheTargetOnceWhenTheTimeRunsOutAndStopWaitsForTheCall) {
    TCountingTarget target;
    auto start = TClock::now();
    TTimeoutMonitorThread monitor(target, 1000);
    EXPECT_FALSE(monitor.Finished());
    ASSERT_TRUE(WaitFor([&] { return target.Calls > 0; }));
    EXPECT_GE(TClock::now() - start, 1000ms);
    monitor.Stop();
    EXPECT_TRUE(target.Left) << "Stop returned while DoTimeout was running";
    EXPECT_EQ(target.Calls, 1);
    EXPECT_TRUE(monitor.Finished());
    EXPECT_TRUE(monitor.TimedOut());
}

TEST(TimeoutMonitor, StoppedMonitorNeverCallsTheTarget) {
    // Stopped from four threads at once (and once more by the destructor), or by the destructor alone.
    for (int stoppers : {4, 0}) {
        TCountingTarget target;
        {
            TTimeoutMonitorThread monitor(target, 500ms);
            std::vector<std::jthread> threads;
            for (int i = 0; i < stoppers; ++i)
                threads.emplace_back([&monitor] { monitor.Stop(); });
        }
        std::this_thread::sleep_for(700ms);
        EXPECT_EQ(target.Calls, 0) << stoppers;
    }
}

TEST(TimeoutMonitor, TargetMayStopOrDestroyItsMonitorFromDoTimeout) {
    struct TSelfStopping : IZRTimeoutTarget {
        bool Destroy = false;
        std::unique_ptr<TTimeoutMonitorThread> Monitor;
        std::atomic<bool> Ready{false}, Done{false};
        void DoTimeout() override {
            while (!Ready)
                std::this_thread::yield();
            if (Destroy)
                Monitor.reset();
            else
                Monitor->Stop();
            Done = true;
        }
    };
    for (bool destroy : {false, true}) {
        TSelfStopping target;
        target.Destroy = destroy;
        target.Monitor = std::make_unique<TTimeoutMonitorThread>(target, 10);
        target.Ready = true;
        EXPECT_TRUE(WaitFor([&] { return target.Done.load(); })) << destroy;
        target.Monitor.reset();
    }
}

} // namespace
} // namespace quillate

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

class TCountingTarget : public IZRTimeoutTarget {
public:
    void DoTimeout() override { ++Calls; }
    std::atomic<int> Calls{0};
};

template <class Predicate> bool WaitFor(Predicate done, std::chrono::milliseconds limit = 10s) {
    auto deadline = TClock::now() + limit;
    while (!done() && TClock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return done();
}

TEST(TimeoutMonitor, CallsTheTargetOnceWhenTheTimeRunsOut) {
    TCountingTarget target;
    auto start = TClock::now();
    TTimeoutMonitorThread monitor(target, 1000);
    EXPECT_FALSE(monitor.Finished());
    ASSERT_TRUE(WaitFor([&] { return target.Calls > 0; }));
    EXPECT_GE(TClock::now() - start, 1000ms);
    std::this_thread::sleep_for(300ms);
    monitor.Stop();
    EXPECT_EQ(target.Calls, 1);
    EXPECT_TRUE(monitor.Finished());
    EXPECT_TRUE(monitor.TimedOut());
}

TEST(TimeoutMonitor, StoppedMonitorNeverCallsTheTarget) {
    // Stop from one, two and four threads at once (the destructor stops once more), or the destructor alone.
    for (int way = 0; way < 4; ++way) {
        TCountingTarget target;
        {
            TTimeoutMonitorThread monitor(target, std::chrono::milliseconds(500));
            std::this_thread::sleep_for(50ms);
            std::vector<std::thread> stoppers;
            for (int i = 0; i < (way == 3 ? 0 : 1 << way); ++i)
                stoppers.emplace_back([&monitor] { monitor.Stop(); });
            for (auto& t : stoppers)
                t.join();
            EXPECT_EQ(monitor.Finished(), way != 3) << way;
            EXPECT_FALSE(monitor.TimedOut()) << way;
        }
        std::this_thread::sleep_for(700ms);
        EXPECT_EQ(target.Calls, 0) << way;
    }
}

TEST(TimeoutMonitor, StopWaitsForARunningCall) {
    struct : IZRTimeoutTarget {
        std::atomic<bool> Entered{false}, Left{false};
        void DoTimeout() override {
            Entered = true;
            std::this_thread::sleep_for(300ms);
            Left = true;
        }
    } target;
    TTimeoutMonitorThread monitor(target, 0);
    ASSERT_TRUE(WaitFor([&] { return target.Entered.load(); }));
    monitor.Stop();
    EXPECT_TRUE(target.Left);
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

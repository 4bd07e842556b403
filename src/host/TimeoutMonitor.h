// A thread that calls an action back once when its time limit runs out.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <algorithm>
#include <thread>

namespace quillate {

// A time limit set in minutes, capped where the monitor's clock arithmetic would overflow (nobody
// waits 95 years for anything).
inline std::chrono::minutes TimeoutMinutes(std::int64_t minutes) {
    constexpr std::int64_t MaxTimeoutMinutes = 50'000'000;
    return std::chrono::minutes(std::min(minutes, MaxTimeoutMinutes));
}

// Implemented by actions with a time limit. DoTimeout runs on the monitor's thread.
class IZRTimeoutTarget {
public:
    virtual void DoTimeout() = 0;

protected:
    ~IZRTimeoutTarget() = default;
};

// Starts at construction. The target must outlive the monitor or stop it first.
class TTimeoutMonitorThread {
public:
    TTimeoutMonitorThread(IZRTimeoutTarget& target, std::chrono::milliseconds length);
    TTimeoutMonitorThread(IZRTimeoutTarget& target, std::int64_t lengthMs)
        : TTimeoutMonitorThread(target, std::chrono::milliseconds(lengthMs)) {}
    TTimeoutMonitorThread(const TTimeoutMonitorThread&) = delete;
    TTimeoutMonitorThread& operator=(const TTimeoutMonitorThread&) = delete;
    ~TTimeoutMonitorThread();

    // Cancels the time limit and waits for the thread. Once it returns, DoTimeout is not running and
    // will never be called. Safe from any thread and more than once; from inside DoTimeout it cannot
    // wait for itself and only marks the monitor stopped.
    void Stop();
    // True once DoTimeout has been called or Stop was called.
    bool Finished() const { return FFinished.load(); }
    // True when DoTimeout was called.
    bool TimedOut() const { return FTimedOut.load(); }

private:
    void Run(std::chrono::steady_clock::time_point deadline);

    IZRTimeoutTarget& FTarget;
    std::mutex FMutex;
    std::condition_variable FWake;
    bool FStopRequested = false;
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FTimedOut{false};
    // Serialises joins: two threads calling Stop at once must not both join.
    std::mutex FJoinMutex;
    std::thread FThread;
};

} // namespace quillate

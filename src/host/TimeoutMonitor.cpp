#include "host/TimeoutMonitor.h"

namespace quillate {

TTimeoutMonitorThread::TTimeoutMonitorThread(IZRTimeoutTarget& target, std::chrono::milliseconds length)
    : FTarget(target) {
    auto deadline = std::chrono::steady_clock::now() + length;
    // Run starts by taking this lock, so the thread sees FThread assigned before it can use it.
    std::lock_guard lock(FMutex);
    FThread = std::thread([this, deadline] { Run(deadline); });
}

TTimeoutMonitorThread::~TTimeoutMonitorThread() {
    Stop();
    // Destroyed from its own DoTimeout: the thread cannot join itself; it ends without touching this.
    std::lock_guard join(FJoinMutex);
    if (FThread.joinable())
        FThread.detach();
}

void TTimeoutMonitorThread::Run(std::chrono::steady_clock::time_point deadline) {
    {
        std::unique_lock lock(FMutex);
        if (FWake.wait_until(lock, deadline, [this] { return FStopRequested; }))
            return;
        // Decided under the lock: a Stop that arrives from now on waits in join until DoTimeout returns.
        FTimedOut = true;
        FFinished = true;
    }
    // No member is touched after the call: DoTimeout may destroy this monitor.
    IZRTimeoutTarget& target = FTarget;
    target.DoTimeout();
}

void TTimeoutMonitorThread::Stop() {
    {
        std::lock_guard lock(FMutex);
        FStopRequested = true;
    }
    FWake.notify_all();
    std::lock_guard join(FJoinMutex);
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
    FFinished = true;
}

} // namespace quillate

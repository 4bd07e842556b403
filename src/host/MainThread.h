// The main-thread dispatcher: work queued from other threads, waits for it, and timers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace quillate {

class TMainThread {
public:
    using TTimerId = std::uint64_t;

    // The dispatcher of the thread that first asked for it (quillate's main thread).
    static TMainThread& Instance();

    bool IsMainThread() const { return std::this_thread::get_id() == FOwner; }
    // Runs fn later on the main thread.
    void Queue(std::function<void()> fn);
    // Runs fn on the main thread and waits for it; on the main thread itself it runs at once.
    // An exception thrown by fn is rethrown to the caller.
    void Synchronize(const std::function<void()>& fn);
    // Calls fn on the main thread every interval until killed.
    TTimerId SetTimer(std::chrono::milliseconds interval, std::function<void()> fn);
    void KillTimer(TTimerId id);

    // Runs queued work and timers until done() is true (checked after every wake-up).
    void RunUntil(const std::function<bool()>& done);
    // Wakes RunUntil so that it checks done() again.
    void Wake();

private:
    TMainThread();
    struct TTimer {
        std::chrono::milliseconds Interval;
        std::chrono::steady_clock::time_point Due;
        std::function<void()> Fn;
    };

    std::thread::id FOwner;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<std::function<void()>> FQueue;
    std::map<TTimerId, TTimer> FTimers;
    TTimerId FNextTimer = 1;
    bool FWoken = false;
};

} // namespace quillate

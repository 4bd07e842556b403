#include "host/MainThread.h"

#include <exception>
#include <future>

namespace quillate {

TMainThread::TMainThread() : FOwner(std::this_thread::get_id()) {}

TMainThread& TMainThread::Instance() {
    static TMainThread instance;
    return instance;
}

void TMainThread::Queue(std::function<void()> fn) {
    {
        std::lock_guard lock(FLock);
        FQueue.push_back(std::move(fn));
    }
    FWake.notify_all();
}

void TMainThread::Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    std::promise<void> done;
    auto future = done.get_future();
    Queue([&fn, &done] {
        try {
            fn();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    future.get();
}

TMainThread::TTimerId TMainThread::SetTimer(std::chrono::milliseconds interval, std::function<void()> fn) {
    TTimerId id;
    {
        std::lock_guard lock(FLock);
        id = FNextTimer++;
        FTimers[id] = {interval, std::chrono::steady_clock::now() + interval, std::move(fn)};
    }
    FWake.notify_all();
    return id;
}

void TMainThread::KillTimer(TTimerId id) {
    std::lock_guard lock(FLock);
    FTimers.erase(id);
}

void TMainThread::Wake() {
    {
        std::lock_guard lock(FLock);
        FWoken = true;
    }
    FWake.notify_all();
}

void TMainThread::RunUntil(const std::function<bool()>& done) {
    std::unique_lock lock(FLock);
    while (true) {
        while (!FQueue.empty()) {
            auto fn = std::move(FQueue.front());
            FQueue.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
        auto now = std::chrono::steady_clock::now();
        auto nextDue = now + std::chrono::seconds(1);
        for (auto it = FTimers.begin(); it != FTimers.end();) {
            if (it->second.Due <= now) {
                TTimerId id = it->first;
                auto fn = it->second.Fn;
                it->second.Due = now + it->second.Interval;
                lock.unlock();
                fn();
                lock.lock();
                // The timer list may have changed while fn ran.
                it = FTimers.upper_bound(id);
                continue;
            }
            nextDue = std::min(nextDue, it->second.Due);
            ++it;
        }
        lock.unlock();
        bool finished = done();
        lock.lock();
        if (finished)
            return;
        if (FQueue.empty() && !FWoken)
            FWake.wait_until(lock, nextDue);
        FWoken = false;
    }
}

} // namespace quillate

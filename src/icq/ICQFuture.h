// The answer to one request of the ICQ client: given once by the client, waited for by whoever asked,
// with a stop token that can cut the wait short.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

namespace zr::icq {

template <typename T> class TICQPromise;

template <typename T> class TICQFuture {
public:
    // No request: a wait returns nothing at once.
    TICQFuture() = default;

    bool Ready() const {
        if (!FState)
            return false;
        std::lock_guard lock(FState->Lock);
        return FState->Value.has_value();
    }
    // The answer, or nothing when the stop comes first.
    std::optional<T> Wait(std::stop_token stop) const {
        if (!FState)
            return std::nullopt;
        std::unique_lock lock(FState->Lock);
        FState->Given.wait(lock, stop, [&] { return FState->Value.has_value(); });
        return FState->Value;
    }
    // The answer, or nothing when the stop or the end of the limit comes first.
    std::optional<T> Wait(std::stop_token stop, std::chrono::milliseconds limit) const {
        if (!FState)
            return std::nullopt;
        std::unique_lock lock(FState->Lock);
        FState->Given.wait_for(lock, stop, limit, [&] { return FState->Value.has_value(); });
        return FState->Value;
    }

private:
    friend class TICQPromise<T>;
    struct TState {
        std::mutex Lock;
        std::condition_variable_any Given;
        std::optional<T> Value;
    };
    explicit TICQFuture(std::shared_ptr<TState> state) : FState(std::move(state)) {}

    std::shared_ptr<TState> FState;
};

// Copies share one answer; the first one given stays.
template <typename T> class TICQPromise {
public:
    TICQFuture<T> Future() const { return TICQFuture<T>(FState); }
    void Set(T value) const {
        {
            std::lock_guard lock(FState->Lock);
            if (FState->Value)
                return;
            FState->Value = std::move(value);
        }
        FState->Given.notify_all();
    }

private:
    std::shared_ptr<typename TICQFuture<T>::TState> FState =
        std::make_shared<typename TICQFuture<T>::TState>();
};

} // namespace zr::icq

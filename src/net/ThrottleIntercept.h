// Caps a channel's rate: after each chunk the connection waits until the bytes moved so far
// fit the rate measured from the first chunk, so time spent elsewhere counts towards the budget.
#pragma once

#include "net/ConnectionIntercept.h"

#include <cstdint>
#include <optional>

namespace zr::net {

class TThrottleIntercept : public IConnectionIntercept {
public:
    using Clock = std::chrono::steady_clock;

    // 0 bits per second means no limit.
    explicit TThrottleIntercept(std::uint64_t bitsPerSecond) : FBitsPerSecond(bitsPerSecond) {}

    void Received(std::string_view data) override { Count(data.size()); }
    void Sent(std::string_view data) override { Count(data.size()); }
    Clock::duration PaceDelay() override;
    // About a tenth of a second's worth of data per chunk, so pacing stays smooth.
    std::size_t MaxChunk() const override;

private:
    void Count(std::size_t bytes);

    std::uint64_t FBitsPerSecond;
    std::uint64_t FBytes = 0;
    std::optional<Clock::time_point> FStart;
};

} // namespace zr::net

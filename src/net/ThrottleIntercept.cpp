#include "net/ThrottleIntercept.h"

#include <algorithm>
#include <limits>

namespace zr::net {

void TThrottleIntercept::Count(std::size_t bytes) {
    if (!FStart)
        FStart = Clock::now();
    FBytes += bytes;
}

TThrottleIntercept::Clock::duration TThrottleIntercept::PaceDelay() {
    if (FBitsPerSecond == 0 || !FStart)
        return {};
    // Time the bytes so far may take at the cap; long double keeps huge counts exact enough.
    long double seconds = static_cast<long double>(FBytes) * 8.0L / static_cast<long double>(FBitsPerSecond);
    seconds = std::min(seconds, 1.0e9L);
    auto due = *FStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<long double>(seconds));
    auto now = Clock::now();
    return due > now ? due - now : Clock::duration::zero();
}

std::size_t TThrottleIntercept::MaxChunk() const {
    if (FBitsPerSecond == 0)
        return std::numeric_limits<std::size_t>::max();
    std::uint64_t perTenth = FBitsPerSecond / 8 / 10;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(perTenth, 1, 64 * 1024));
}

} // namespace zr::net

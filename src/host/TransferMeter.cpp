#include "host/TransferMeter.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace quillate {

void TTransferMeter::Begin(std::int64_t expected) {
    FStart = FLastLine = TClock::now();
    FBytes = 0;
    FBytesPerSecond = 0;
    if (expected > 0)
        FExpected = expected;
}

void TTransferMeter::Update(std::int64_t bytes) {
    FBytes = bytes;
    double seconds = std::chrono::duration<double>(TClock::now() - FStart).count();
    if (seconds > 0)
        FBytesPerSecond = static_cast<double>(bytes) / seconds;
}

void TTransferMeter::End() {
    FExpected = 0;
    FBytesPerSecond = 0;
}

void TTransferMeter::Reset() {
    FBytes = 0;
    End();
}

int TTransferMeter::Percent() const {
    std::int64_t expected = FExpected;
    if (expected <= 0)
        return 0;
    // nearbyint rounds halves to even under the default rounding mode.
    double share = std::nearbyint(static_cast<double>(FBytes) * 100.0 / static_cast<double>(expected));
    return static_cast<int>(std::clamp(share, 0.0, 100.0));
}

int TTransferMeter::WholePercent() const {
    std::int64_t expected = FExpected;
    if (expected <= 0)
        return 0;
    return static_cast<int>(std::clamp<std::int64_t>(FBytes * 100 / expected, 0, 100));
}

bool TTransferMeter::Due(std::chrono::milliseconds interval) {
    auto now = TClock::now();
    if (now - FLastLine < interval)
        return false;
    FLastLine = now;
    return true;
}

std::string TTransferMeter::SpeedText(TTransferDirection direction) const {
    return fmt::format("{} speed : {:.2f} KB/s",
                       DirectionName(direction), KBPerSecond());
}

std::string TTransferMeter::TransferredText(TTransferDirection direction) const {
    return fmt::format("{} : {}/{} KBytes Transferred", SpeedText(direction), FBytes / 1024,
                       FExpected / 1024);
}

} // namespace quillate

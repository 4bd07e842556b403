// How fast a transfer goes and how much of it is done, for the progress lines of the transfer
// actions. Each action keeps its own pace and rounding of the share; the meter holds what they share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace quillate {

enum class TTransferDirection { Download, Upload };

// "Download" or "Upload", as every progress line names the direction.
inline const char* DirectionName(TTransferDirection direction) {
    return direction == TTransferDirection::Download ? "Download" : "Upload";
}

class TTransferMeter {
public:
    using TClock = std::chrono::steady_clock;

    // A transfer starts now. A positive size replaces the expected total: a download knows its size
    // from the server before it starts, an upload announces it here.
    void Begin(std::int64_t expected = 0);
    // The bytes so far; the speed becomes their average since Begin.
    void Update(std::int64_t bytes);
    // The end of a transfer clears the expected total and the speed.
    void End();
    // Before a run: no bytes, no expected total, no speed.
    void Reset();

    // Read by time-out monitors on their own thread, hence atomic.
    std::int64_t Bytes() const { return FBytes; }
    std::int64_t Expected() const { return FExpected; }
    void SetExpected(std::int64_t bytes) { FExpected = bytes; }
    void AddExpected(std::int64_t bytes) { FExpected += bytes; }

    double BytesPerSecond() const { return FBytesPerSecond; }
    double KBPerSecond() const { return FBytesPerSecond / 1024.0; }
    // Share of the expected total, rounded half to even, at most 100; 0 without a total.
    int Percent() const;
    // The same, rounded down.
    int WholePercent() const;
    // True when `interval` has passed since Begin or since it last answered true.
    bool Due(std::chrono::milliseconds interval);
    // The next Due answers true whatever the interval, for actions whose first line comes at once.
    void LineDueNow() { FLastLine = TClock::time_point{}; }

    // "Download speed : 1.50 KB/s"
    std::string SpeedText(TTransferDirection direction) const;
    // The speed text, then " : 12/34 KBytes Transferred" (bytes and expected total in whole KB).
    std::string TransferredText(TTransferDirection direction) const;

private:
    TClock::time_point FStart;
    TClock::time_point FLastLine;
    std::atomic<std::int64_t> FBytes{0};
    std::atomic<std::int64_t> FExpected{0};
    double FBytesPerSecond = 0;
};

} // namespace quillate

// How often a long transfer reports its progress: by total or per-file percentage, or by time.
#pragma once

#include <cstdint>

namespace zr {

enum TFileTransferProgressMode : int { OnTotalPercentage = 0, OnFilePercentage = 1, OnTimeElapsed = 2 };

class IFileTransferProgressLogging {
public:
    virtual ~IFileTransferProgressLogging() = default;
    virtual TFileTransferProgressMode GetMode() const = 0;
    virtual void SetMode(TFileTransferProgressMode value) = 0;
    virtual bool GetEnabled() const = 0;
    virtual void SetEnabled(bool value) = 0;
    virtual std::uint32_t GetPercentageInterval() const = 0;
    virtual void SetPercentageInterval(std::uint32_t value) = 0;
    virtual std::uint32_t GetTimeInterval() const = 0;
    virtual void SetTimeInterval(std::uint32_t value) = 0;
};

class TFileTransferProgressLogging : public IFileTransferProgressLogging {
public:
    TFileTransferProgressMode GetMode() const override { return FMode; }
    void SetMode(TFileTransferProgressMode value) override { FMode = value; }
    bool GetEnabled() const override { return FEnabled; }
    void SetEnabled(bool value) override { FEnabled = value; }
    // Percent of the work between two progress lines.
    std::uint32_t GetPercentageInterval() const override { return FPercentageInterval; }
    void SetPercentageInterval(std::uint32_t value) override { FPercentageInterval = value; }
    // Milliseconds between two progress lines.
    std::uint32_t GetTimeInterval() const override { return FTimeInterval; }
    void SetTimeInterval(std::uint32_t value) override { FTimeInterval = value; }

private:
    TFileTransferProgressMode FMode = OnTotalPercentage;
    bool FEnabled = false;
    std::uint32_t FPercentageInterval = 20;
    std::uint32_t FTimeInterval = 1000;
};

} // namespace zr

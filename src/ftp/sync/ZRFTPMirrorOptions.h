// The two option objects a mirror action stores as its children: upload retries and progress logging.
#pragma once

#include <cstdint>

#include "host/Serialization.h"

namespace zr {

// When a mirror run writes a progress line: by percentage of the whole run or of the file being
// transferred, or by time.
enum TFileTransferProgressMode : int { OnTotalPercentage = 0, OnFilePercentage = 1, OnTimeElapsed = 2 };

const quillate::TEnumInfo& FileTransferProgressModeInfo();

class TFTPRetryOptions : public quillate::TSerializableObject {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    std::int32_t GetTransferMaxRetries() const { return FTransferMaxRetries; }
    void SetTransferMaxRetries(std::int32_t value) { FTransferMaxRetries = value; }
    bool GetResumeOnFailedTransfer() const { return FResumeOnFailedTransfer; }
    void SetResumeOnFailedTransfer(bool value) { FResumeOnFailedTransfer = value; }
    bool GetRetryTransferOnAllErrors() const { return FRetryTransferOnAllErrors; }
    void SetRetryTransferOnAllErrors(bool value) { FRetryTransferOnAllErrors = value; }
    bool GetEnableRetryDelay() const { return FEnableRetryDelay; }
    void SetEnableRetryDelay(bool value) { FEnableRetryDelay = value; }
    std::int32_t GetRetryDelay() const { return FRetryDelay; }
    void SetRetryDelay(std::int32_t value) { FRetryDelay = value; }

private:
    friend struct TFTPRetryOptionsProperties;
    std::int32_t FTransferMaxRetries = 0;
    bool FResumeOnFailedTransfer = false;
    bool FRetryTransferOnAllErrors = false;
    bool FEnableRetryDelay = false;
    std::int32_t FRetryDelay = 0;
};

class TFTPLoggingOptions : public quillate::TSerializableObject {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool GetProgressLoggingEnabled() const { return FProgressLoggingEnabled; }
    void SetProgressLoggingEnabled(bool value) { FProgressLoggingEnabled = value; }
    TFileTransferProgressMode GetProgressLoggingMode() const { return FProgressLoggingMode; }
    void SetProgressLoggingMode(TFileTransferProgressMode value) { FProgressLoggingMode = value; }
    std::uint32_t GetProgressPercInterval() const { return FProgressPercInterval; }
    void SetProgressPercInterval(std::uint32_t value) { FProgressPercInterval = value; }
    std::uint32_t GetProgressMillisecondInterval() const { return FProgressMillisecondInterval; }
    void SetProgressMillisecondInterval(std::uint32_t value) { FProgressMillisecondInterval = value; }
    bool GetLogConnectionStatus() const { return FLogConnectionStatus; }
    void SetLogConnectionStatus(bool value) { FLogConnectionStatus = value; }

private:
    friend struct TFTPLoggingOptionsProperties;
    bool FProgressLoggingEnabled = false;
    TFileTransferProgressMode FProgressLoggingMode = OnTotalPercentage;
    std::uint32_t FProgressPercInterval = 0;
    std::uint32_t FProgressMillisecondInterval = 0;
    bool FLogConnectionStatus = false;
};

} // namespace zr

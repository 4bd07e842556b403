#include "ftp/sync/ZRFTPMirrorOptions.h"

namespace zr {

using namespace quillate;

const TEnumInfo& FileTransferProgressModeInfo() {
    static const TEnumInfo info{"TFileTransferProgressMode", {"OnTotalPercentage", "OnFilePercentage", "OnTimeElapsed"}};
    return info;
}

struct TFTPRetryOptionsProperties {
    using T = TFTPRetryOptions;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .Int("TransferMaxRetries", &T::FTransferMaxRetries)
            .Help("Upload attempts when every error is retried (1-100)")
            .Bool("ResumeOnFailedTransfer", &T::FResumeOnFailedTransfer)
            .Help("Continue a failed upload from the size already on the server")
            .Bool("RetryTransferOnAllErrors", &T::FRetryTransferOnAllErrors)
            .Bool("EnableRetryDelay", &T::FEnableRetryDelay)
            .Int("RetryDelay", &T::FRetryDelay)
            .Help("Milliseconds to wait before reconnecting (100-100000)");
    }
};

const TMetaClass& TFTPRetryOptions::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPRetryOptions>(
        "TFTPRetryOptions", "ftp.retry.options", &TSerializableObject::ClassInfo(), &TFTPRetryOptionsProperties::Define);
    return meta;
}

struct TFTPLoggingOptionsProperties {
    using T = TFTPLoggingOptions;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .Bool("ProgressLoggingEnabled", &T::FProgressLoggingEnabled)
            .Enum("ProgressLoggingMode", FileTransferProgressModeInfo(), &T::FProgressLoggingMode)
            .UInt("ProgressPercInterval", &T::FProgressPercInterval)
            .Help("Percent of progress between two progress lines (1-100)")
            .UInt("ProgressMillisecondInterval", &T::FProgressMillisecondInterval)
            .Help("Milliseconds between two progress lines (1000-3600000)")
            .Bool("LogConnectionStatus", &T::FLogConnectionStatus)
            .Help("Log the connection's state changes during the run");
    }
};

const TMetaClass& TFTPLoggingOptions::ClassInfo() {
    static const TMetaClass meta =
        TMetaClass::Of<TFTPLoggingOptions>("TFTPLoggingOptions", "ftp.logging.options",
                                           &TSerializableObject::ClassInfo(), &TFTPLoggingOptionsProperties::Define);
    return meta;
}

} // namespace zr

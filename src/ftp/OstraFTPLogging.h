// The progress-pacing settings a mirror run reads while it transfers.
#pragma once

#include <memory>

#include "ftp/OstraFTPFileTransferProgressLogging.h"

namespace zr {

class IFTPLogging {
public:
    virtual ~IFTPLogging() = default;
    virtual std::shared_ptr<IFileTransferProgressLogging> GetFileTransferProgress() const = 0;
    virtual void SetFileTransferProgress(std::shared_ptr<IFileTransferProgressLogging> value) = 0;
};

class TFTPLogging : public IFTPLogging {
public:
    std::shared_ptr<IFileTransferProgressLogging> GetFileTransferProgress() const override { return FProgress; }
    void SetFileTransferProgress(std::shared_ptr<IFileTransferProgressLogging> value) override {
        FProgress = std::move(value);
    }

private:
    std::shared_ptr<IFileTransferProgressLogging> FProgress = std::make_shared<TFileTransferProgressLogging>();
};

} // namespace zr

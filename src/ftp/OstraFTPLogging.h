// Log lines on behalf of an action, with "%__ActionName__%" replaced by the action's name, and the
// progress-pacing settings that go with them.
#pragma once

#include <memory>
#include <string>

#include "ftp/OstraFTPFileTransferProgressLogging.h"
#include "host/Action.h"

namespace zr {

class IFTPLogging {
public:
    virtual ~IFTPLogging() = default;
    virtual void SendMessage(const std::string& text, quillate::TStatusTag tag) = 0;
    virtual std::shared_ptr<IFileTransferProgressLogging> GetFileTransferProgress() const = 0;
    virtual void SetFileTransferProgress(std::shared_ptr<IFileTransferProgressLogging> value) = 0;
};

class TFTPLogging : public IFTPLogging {
public:
    explicit TFTPLogging(quillate::TZRAction* action);
    void SendMessage(const std::string& text, quillate::TStatusTag tag) override;
    std::shared_ptr<IFileTransferProgressLogging> GetFileTransferProgress() const override { return FProgress; }
    void SetFileTransferProgress(std::shared_ptr<IFileTransferProgressLogging> value) override {
        FProgress = std::move(value);
    }

private:
    quillate::TZRAction* FAction;
    std::shared_ptr<IFileTransferProgressLogging> FProgress;
};

} // namespace zr

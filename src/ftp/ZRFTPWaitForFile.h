// "FTP Wait For File": holds a run until a remote file appears, disappears, changes or stops changing,
// polling it over a named connection that the action keeps for the whole wait.
#pragma once

#include <optional>

#include <cstdint>

#include "ftp/ZRFTPConnection.h"
#include "host/DateTime.h"
#include "host/WaitAction.h"

namespace zr {

enum TFTPWaitType : int {
    wfFileExists = 0,
    wfFileDoesntExist = 1,
    wfFileChanged = 2,
    wfFileStoppedChanging = 3
};

const quillate::TEnumInfo& FTPWaitTypeInfo();

class TFTPWaitForFileAction : public quillate::TBaseWaitAction {
public:
    TFTPWaitForFileAction();
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    std::string GetActionName() const override { return "FTP Wait For File"; }

protected:
    void InitialiseWaitFunction() override;
    bool PollWaitCondition() override;
    void FinalizeWaitFunction() override;

private:
    friend struct TFTPWaitForFileActionProperties;

    void AcquireConnection(const std::string& name);
    // Size and date of the file; a missing file reads as 0 and 0 unless FailIfDoesntExist.
    struct TFileDetails {
        std::int64_t Size = 0;
        quillate::TDateTime Date = 0;
    };
    TFileDetails ReadFileDetails(const char* otherReplyError, const char* otherError);
    bool FileListed();

    TFTPWaitType FWaitType = wfFileExists;
    std::string FFileName;
    std::string FConnectionName;
    bool FFailIfDoesntExist = false;
    bool FAutoReConnect = false;

    // State of one wait.
    IFTPConnectionObjectPtr FConnection;
    std::optional<TConnectionStopScope> FStopScope;
    std::string FFile;
    TFileDetails FLast;
};

} // namespace zr

#include "ftp/ZRFTPWaitForFile.h"

#include "host/ProjectObjects.h"
#include "net/NetErrors.h"

namespace zr {

using namespace quillate;

namespace {

// Listing a missing name: pyftpdlib answers 550, ProFTPD 450 ("No such file or directory"). Both are
// what RFC 959 allows for an unavailable file, so both mean "not there yet".
bool MeansNoSuchFile(const std::exception& e) {
    const auto* reply = dynamic_cast<const net::EReplyError*>(&e);
    return net::IsNameUnavailable(e) || (reply && reply->Code() == 450);
}

// The server's refusal (FTP or SFTP): reported as the server's.
bool IsRefusal(const std::exception& e) {
    return dynamic_cast<const net::EServerRefused*>(&e) != nullptr;
}

const char* WaitGoal(TFTPWaitType type) {
    switch (type) {
    case wfFileExists:
        return "exist.";
    case wfFileDoesntExist:
        return "not exist.";
    case wfFileChanged:
        return "change.";
    case wfFileStoppedChanging:
        return "stop changing.";
    }
    return "";
}

} // namespace

const TEnumInfo& FTPWaitTypeInfo() {
    static const TEnumInfo info{
        "TFTPWaitType", {"wfFileExists", "wfFileDoesntExist", "wfFileChanged", "wfFileStoppedChanging"}};
    return info;
}

struct TFTPWaitForFileActionProperties {
    using T = TFTPWaitForFileAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .Enum("WaitType", FTPWaitTypeInfo(), &T::FWaitType)
            .Help("The condition awaited")
            .String("FileName", &T::FFileName)
            .Help("Remote file to watch")
            .String("ConnectionName", &T::FConnectionName)
            .Help("Name of the connection opened by an FTP Connect action")
            .Bool("FailIfDoesntExist", &T::FFailIfDoesntExist)
            .Help("Fail when the file is missing while waiting for a change")
            .Bool("AutoReConnect", &T::FAutoReConnect)
            .Help("Reconnect a dropped connection before waiting");
    }
};

TFTPWaitForFileAction::TFTPWaitForFileAction() {
    SetCanTerminate(true);
    SetPollFreq(5);
}

const TMetaClass& TFTPWaitForFileAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPWaitForFileAction>(
        "TFTPWaitForFileAction", "action.ftp.waitforfile", &TBaseWaitAction::ClassInfo(),
        &TFTPWaitForFileActionProperties::Define);
    return meta;
}

void TFTPWaitForFileAction::AcquireConnection(const std::string& name) {
    FConnection = AcquireObjectAs<IFTPConnectionObject>(GetProjectObjectService(), name, FTPConnectionCategory);
    if (!FConnection)
        throw EWaitException("Connection object not found: " + name);
    FStopScope.emplace(FConnection, GetStopToken());
}

void TFTPWaitForFileAction::InitialiseWaitFunction() {
    TBaseWaitAction::InitialiseWaitFunction();
    if (FConnectionName.empty())
        throw EWaitException("Error : No FTP connection specified.");
    std::string name;
    if (!TryExpandExpression("Connection Name", FConnectionName, name, true))
        throw EWaitException("Could not expand connection name.");
    if (!TryExpandExpression("File Name", FFileName, FFile, true))
        throw EWaitException("Could not expand file name.");
    AcquireConnection(name);

    if (!FConnection->IsConnected()) {
        if (!FAutoReConnect)
            throw EWaitException("Connection " + name + " is not connected.");
        SendMessage("Not Connected, attempting to reconnect.", stInformation);
        bool connected = false;
        try {
            ReconnectWithWarnings(*FConnection,
                                  [this](const std::string& text) { SendMessage(text, stWarning); });
            connected = FConnection->IsConnected();
        } catch (const std::exception& e) {
            throw EWaitException("Error attempting reconnect on  " + name + " : " + e.what());
        }
        if (!connected)
            throw EWaitException("Connection " + name + " is not connected.");
        SendMessage("Connected OK.", stInformation);
    }

    std::string waiting = "Waiting for file " + FFile + " to " + WaitGoal(FWaitType);
    SendMessage(waiting, stInformation);
    SendProgress(waiting, 0);

    if (FWaitType == wfFileStoppedChanging) {
        // No real file has these, so the first poll can never count as "unchanged".
        FLast.Size = -50;
        FLast.Date = 0;
    } else if (FWaitType == wfFileChanged) {
        FLast = ReadFileDetails("FTP Error : ", "Failed to get initial file details : ");
    }
}

TFTPWaitForFileAction::TFileDetails TFTPWaitForFileAction::ReadFileDetails(const char* otherReplyError,
                                                                           const char* otherError) {
    TFileDetails details;
    try {
        details.Size = FConnection->GetFileSize(FFile);
        details.Date = FConnection->GetFileDate(FFile);
    } catch (const std::exception& e) {
        // A file that is not there yet may still appear; only FailIfDoesntExist makes that an error.
        if (net::IsNameUnavailable(e) && !FFailIfDoesntExist)
            return TFileDetails{};
        throw EWaitException((IsRefusal(e) ? otherReplyError : otherError) + std::string(e.what()));
    }
    if (details.Size == -1 && FFailIfDoesntExist)
        throw EWaitException("File not found : " + FFile);
    return details;
}

bool TFTPWaitForFileAction::FileListed() {
    try {
        return !FConnection->ListDirectory(FFile, false).empty();
    } catch (const std::exception& e) {
        if (MeansNoSuchFile(e))
            return false;
        throw EWaitException((IsRefusal(e) ? "An FTP error occurred : " : "Could not list directory : ") +
                             std::string(e.what()));
    }
}

bool TFTPWaitForFileAction::PollWaitCondition() {
    switch (FWaitType) {
    case wfFileExists:
        return FileListed();
    case wfFileDoesntExist:
        return !FileListed();
    case wfFileChanged: {
        TFileDetails now = ReadFileDetails("An FTP error occurred : ", "Unable to get file details : ");
        // Compared with the details at the start of the wait, which stay as they were.
        if (now.Size == FLast.Size && now.Date == FLast.Date)
            return false;
        SendMessage("File has changed.", stInformation);
        return true;
    }
    case wfFileStoppedChanging: {
        TFileDetails now = ReadFileDetails("An FTP error occurred : ", "Unable to get file details : ");
        bool stopped = (now.Size > 0 || now.Date > 0) && now.Size == FLast.Size && now.Date == FLast.Date;
        FLast = now;
        if (stopped)
            SendMessage("File has stopped changing.", stInformation);
        return stopped;
    }
    }
    return false;
}

void TFTPWaitForFileAction::FinalizeWaitFunction() {
    if (FConnection) {
        FStopScope.reset();
        GetProjectObjectService().ReleaseObject(FConnection);
        FConnection.reset();
    }
    TBaseWaitAction::FinalizeWaitFunction();
}

} // namespace zr

#include "ftp/ZRFTPDirectoryActions.h"

#include <filesystem>

#include <fmt/format.h>

#include "net/NetErrors.h"

namespace zr {

using namespace quillate;

std::string TFTPSingleOperationAction::Described(const std::string& value) const {
    return fmt::format("{} [ {} ]", TFTPBaseAction::GetFormattedDescription(), value);
}

namespace {
template <class T>
TMetaClass Meta(const char* className, const char* storedType, void (*define)(TPropertyTable&)) {
    return TMetaClass::Of<T>(className, storedType, &TFTPBaseAction::ClassInfo(), define);
}
} // namespace

// --- FTP Change Directory ---
const TMetaClass& TFTPChangeDirAction::ClassInfo() {
    static const TMetaClass meta = Meta<TFTPChangeDirAction>(
        "TFTPChangeDirAction", "action.ftp.changedir",
        [](TPropertyTable& t) { TPropertyBuilder<TFTPChangeDirAction>(t).String("RemoteDir", &TFTPChangeDirAction::FRemoteDir); });
    return meta;
}

bool TFTPChangeDirAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string dir;
    if (!TryExpandExpression("Remote directory", FRemoteDir, dir, true))
        return false;
    return Step("Change directory failed.", [&] {
        connection.ChangeDir(dir);
        SendMessage("Changed directory to " + dir, stSuccess);
        return true;
    });
}

// --- FTP Change Up Directory ---
const TMetaClass& TFTPChangeUpAction::ClassInfo() {
    static const TMetaClass meta = Meta<TFTPChangeUpAction>("TFTPChangeUpAction", "action.ftp.changeup", nullptr);
    return meta;
}

bool TFTPChangeUpAction::DoFTPOperation(IFTPConnectionObject& connection) {
    return Step("Change Up failed.", [&] {
        connection.SafeChangeUpDir();
        SendMessage("Changed up a directory", stSuccess);
        return true;
    });
}

// --- FTP Create Directory ---
const TMetaClass& TFTPCreateDirAction::ClassInfo() {
    static const TMetaClass meta =
        Meta<TFTPCreateDirAction>("TFTPCreateDirAction", "action.ftp.dir.create", [](TPropertyTable& t) {
            TPropertyBuilder<TFTPCreateDirAction>(t)
                .String("NewDirectory", &TFTPCreateDirAction::FNewDirectory)
                .Bool("NoFailIfDirExists", &TFTPCreateDirAction::FNoFailIfDirExists)
                .Help("Succeed when the directory is already there");
        });
    return meta;
}

bool TFTPCreateDirAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string dir;
    if (!TryExpandExpression("New directory name", FNewDirectory, dir, true))
        return false;
    try {
        connection.CreateDir(dir);
        SendMessage("New directory created: " + dir, stSuccess);
        return true;
    } catch (const std::exception& e) {
        if (net::IsNameTaken(e)) {
            SendMessage("Directory already exists", stInformation);
            return FNoFailIfDirExists;
        }
        // Any other refusal fails without a line of its own: the reply is in the protocol log, which
        // DetailedLogging shows.
        if (dynamic_cast<const net::EServerRefused*>(&e) == nullptr)
            LogFailure("Directory creation failed: " + dir, e);
        return false;
    }
}

// --- FTP Delete Directory ---
const TMetaClass& TFTPDeleteDirAction::ClassInfo() {
    static const TMetaClass meta =
        Meta<TFTPDeleteDirAction>("TFTPDeleteDirAction", "action.ftp.dir.delete", [](TPropertyTable& t) {
            TPropertyBuilder<TFTPDeleteDirAction>(t)
                .String("Directory", &TFTPDeleteDirAction::FDirectory)
                .Bool("Recursive", &TFTPDeleteDirAction::FRecursive)
                .Help("Delete the files and folders inside first");
        });
    return meta;
}

bool TFTPDeleteDirAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string dir;
    if (!TryExpandExpression("Directory name", FDirectory, dir, true))
        return false;
    return Step("Directory deletion failed: " + dir, [&] {
        connection.DeleteDir(dir, FRecursive);
        SendMessage("Directory Deleted: " + dir, stSuccess);
        return true;
    });
}

// --- FTP Delete File ---
const TMetaClass& TFTPDeleteFileAction::ClassInfo() {
    static const TMetaClass meta = Meta<TFTPDeleteFileAction>(
        "TFTPDeleteFileAction", "action.ftp.file.delete",
        [](TPropertyTable& t) { TPropertyBuilder<TFTPDeleteFileAction>(t).String("FileName", &TFTPDeleteFileAction::FFileName); });
    return meta;
}

bool TFTPDeleteFileAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string name;
    if (!TryExpandExpression("File Name", FFileName, name, true))
        return false;
    return Step("File deletion failed: " + name, [&] {
        connection.DeleteFile(name);
        SendMessage("File deleted: " + name, stSuccess);
        return true;
    });
}

// --- FTP Get File Size ---
const TMetaClass& TFTPGetFileSizeAction::ClassInfo() {
    static const TMetaClass meta =
        Meta<TFTPGetFileSizeAction>("TFTPGetFileSizeAction", "action.ftp.file.getsize", [](TPropertyTable& t) {
            TPropertyBuilder<TFTPGetFileSizeAction>(t)
                .String("FileName", &TFTPGetFileSizeAction::FFileName)
                .Variable("ZRVariable", &TFTPGetFileSizeAction::FZRVariable)
                .Help("Variable that receives the size in bytes");
        });
    return meta;
}

bool TFTPGetFileSizeAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string name;
    if (!TryExpandExpression("File name", FFileName, name, true))
        return false;
    // The name must also exist as a local file: the action checks a file it is about to compare.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(name, ec)) {
        SendMessage("File does not exist: " + name, stError);
        return false;
    }
    return Step("Get file size failed.", [&] {
        std::int64_t size = connection.GetFileSize(name);
        if (size <= 0)
            return false;
        SendMessage(fmt::format("{} is {} bytes", name, size), stSuccess);
        if (!FZRVariable.empty())
            SetVariable(FZRVariable, std::to_string(size));
        return true;
    });
}

// --- FTP Get Remote Directory ---
const TMetaClass& TFTPGetRemoteDirAction::ClassInfo() {
    static const TMetaClass meta = Meta<TFTPGetRemoteDirAction>(
        "TFTPGetRemoteDirAction", "action.ftp.remotdir.get", [](TPropertyTable& t) {
            TPropertyBuilder<TFTPGetRemoteDirAction>(t).Variable("ZRVariable", &TFTPGetRemoteDirAction::FZRVariable);
        });
    return meta;
}

bool TFTPGetRemoteDirAction::DoFTPOperation(IFTPConnectionObject& connection) {
    return Step("Get remote directory failed.", [&] {
        std::string dir = connection.GetRemoteDir();
        SetVariable(FZRVariable, dir);
        SendMessage("Remote directory is " + dir, stSuccess);
        return true;
    });
}

// --- FTP List Directory ---
const TMetaClass& TFTPListDirAction::ClassInfo() {
    static const TMetaClass meta =
        Meta<TFTPListDirAction>("TFTPListDirAction", "action.ftp.dir.list", [](TPropertyTable& t) {
            TPropertyBuilder<TFTPListDirAction>(t)
                .String("FileSpec", &TFTPListDirAction::FFileSpec)
                .Variable("ZRVariable", &TFTPListDirAction::FZRVariable)
                .Bool("ListToZRLog", &TFTPListDirAction::FListToZRLog)
                .Help("Write the listing into the log")
                .Bool("DetailedListing", &TFTPListDirAction::FDetailedListing)
                .Help("Ask for the long form with sizes and dates");
        });
    return meta;
}

bool TFTPListDirAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string spec;
    if (!TryExpandExpression("File spec", FFileSpec, spec, false))
        return false;
    return Step("List directory failed.", [&] {
        std::string listing = connection.ListDirectory(spec, FDetailedListing);
        if (FListToZRLog)
            SendMessage(listing, stInformation);
        SendMessage("Listed current directory", stSuccess);
        if (!FZRVariable.empty())
            SetVariable(FZRVariable, listing);
        return true;
    });
}

// --- FTP No-op ---
const TMetaClass& TFTPNoopAction::ClassInfo() {
    static const TMetaClass meta = Meta<TFTPNoopAction>("TFTPNoopAction", "action.ftp.noop", nullptr);
    return meta;
}

bool TFTPNoopAction::DoFTPOperation(IFTPConnectionObject& connection) {
    return Step("NOOP failed.", [&] {
        connection.NOOP();
        SendMessage("NOOP", stSuccess);
        return true;
    });
}

// --- FTP Rename File ---
const TMetaClass& TFTPRenameFileAction::ClassInfo() {
    static const TMetaClass meta =
        Meta<TFTPRenameFileAction>("TFTPRenameFileAction", "action.ftp.file.rename", [](TPropertyTable& t) {
            TPropertyBuilder<TFTPRenameFileAction>(t)
                .String("FileName", &TFTPRenameFileAction::FFileName)
                .String("NewName", &TFTPRenameFileAction::FNewName);
        });
    return meta;
}

bool TFTPRenameFileAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string oldName, newName;
    if (!TryExpandExpression("File Name", FFileName, oldName, true) ||
        !TryExpandExpression("New Name", FNewName, newName, true))
        return false;
    return Step("File rename failed: " + oldName, [&] {
        connection.RenameFile(oldName, newName);
        SendMessage("File Renamed from " + oldName + " to " + newName, stSuccess);
        return true;
    });
}

// --- FTP Send Command ---
const TMetaClass& TFTPSendCMDAction::ClassInfo() {
    static const TMetaClass meta =
        Meta<TFTPSendCMDAction>("TFTPSendCMDAction", "action.ftp.sendcmd", [](TPropertyTable& t) {
            TPropertyBuilder<TFTPSendCMDAction>(t)
                .String("TheCMD", &TFTPSendCMDAction::FTheCMD)
                .Help("The command line sent to the server")
                .String("ResponseCode", &TFTPSendCMDAction::FResponseCode)
                .Help("Reply code the server must answer with; empty accepts any reply");
        });
    return meta;
}

bool TFTPSendCMDAction::DoFTPOperation(IFTPConnectionObject& connection) {
    std::string command, expected;
    if (!TryExpandExpression("Command", FTheCMD, command, true) ||
        !TryExpandExpression("Response", FResponseCode, expected, false))
        return false;
    try {
        SendMessage("Sending command: " + command, stInformation);
        std::string reply = connection.SendCMD(command, expected);
        SendMessage("Response: " + reply, stInformation);
        return true;
    } catch (const net::EReplyError& e) {
        SendMessage("Send command failed.", stError);
        SendMessage("Error code: " + std::to_string(e.Code()), stError);
        SendMessage(e.what(), stError);
        return false;
    } catch (const std::exception& e) {
        LogFailure("Send command failed: ", e);
        return false;
    }
}

} // namespace zr

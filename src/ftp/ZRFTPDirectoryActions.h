// The FTP actions that each perform one operation on a named connection: change, create and delete
// directories, delete and rename files, sizes, the remote directory, listings, no-ops and raw commands.
#pragma once

#include "ftp/ZRFTPBaseAction.h"

namespace zr {

// Shared shape of the family: one step (TZRAction::Step), its failure reported as the action's own line plus
// the cause.
class TFTPSingleOperationAction : public TFTPBaseAction {
protected:
    std::string Described(const std::string& value) const;
};

class TFTPChangeDirAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Change Directory"; }
    std::string GetFormattedDescription() const override { return Described(FRemoteDir); }
    std::string FRemoteDir;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPChangeUpAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Change Up Directory"; }

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPCreateDirAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Create Directory"; }
    std::string GetFormattedDescription() const override { return Described(FNewDirectory); }
    std::string FNewDirectory;
    bool FNoFailIfDirExists = false;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPDeleteDirAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Delete Directory"; }
    std::string GetFormattedDescription() const override { return Described(FDirectory); }
    std::string FDirectory;
    bool FRecursive = false;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPDeleteFileAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Delete File"; }
    std::string GetFormattedDescription() const override { return Described(FFileName); }
    std::string FFileName;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPGetFileSizeAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Get File Size"; }
    std::string GetFormattedDescription() const override { return Described(FFileName); }
    std::string FFileName;
    std::string FZRVariable;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPGetRemoteDirAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Get Remote Directory"; }
    std::string FZRVariable;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPListDirAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP List Directory"; }
    std::string FFileSpec;
    std::string FZRVariable;
    bool FListToZRLog = false;
    bool FDetailedListing = false;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPNoopAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP No-op"; }

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPRenameFileAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Rename File"; }
    std::string FFileName;
    std::string FNewName;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPSendCMDAction : public TFTPSingleOperationAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Send Command"; }
    std::string GetFormattedDescription() const override { return Described(FTheCMD); }
    std::string FTheCMD;
    std::string FResponseCode;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

} // namespace zr

// The package's FTP protocol.
#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPDirectoryActions.h"
#include "ftp/ZRFTPDownloadFileAction.h"
#include "ftp/ZRFTPOptions.h"
#include "ftp/ZRFTPUploadFileAction.h"
#include "ftp/ZRFTPWaitForFile.h"
#include "ftp/script/ZRFTPScriptAction.h"
#include "ftp/sync/ZRFTPDiffAction.h"
#include "ftp/sync/ZRFTPMirrorAction.h"
#include "host/Scripting.h"
#include "package/Protocol.h"

namespace zr {

namespace {

void RegisterFTPScriptNames() {
    quillate::CoreScriptingService().RegisterScriptEnum(FTPMirrorOperationInfo());
}

} // namespace

const TProtocolDescriptor& FTPProtocol() {
    static const TProtocolDescriptor protocol{
        .Actions =
            {
                {&TFTPConnectionAction::ClassInfo(), "FTPCONNECT", {"TFTPConnectFrame", "TFTPServerFrame", "TFTPNewProxyFrame"}},
                {&TFTPUploadFileAction::ClassInfo(), "FTPUPLOAD", {"TFTPUploadFileFrame", "TFTPUploadUpdateFrame"}},
                {&TFTPDownloadFileAction::ClassInfo(), "FTPDOWNLOAD", {"TFTPDownloadFileFrame"}},
                {&TFTPChangeDirAction::ClassInfo(), "FTPCHANGEDIR", {"TFTPChangeDirFrame"}},
                {&TFTPChangeUpAction::ClassInfo(), "FTPCHANGEUP", {"TFTPChangeUpFrame"}},
                {&TFTPGetRemoteDirAction::ClassInfo(), "FTPGETDIR", {"TFTPGetRemoteDirFrame"}},
                {&TFTPListDirAction::ClassInfo(), "FTPLISTDIR", {"TFTPListDirFrame"}},
                {&TFTPGetFileSizeAction::ClassInfo(), "FTPGETSIZE", {"TFTPGetFileSizeFrame"}},
                {&TFTPCreateDirAction::ClassInfo(), "FTPCREATEDIR", {"TFTPCreateDirFrame"}},
                {&TFTPDeleteDirAction::ClassInfo(), "FTPDELETEDIR", {"TFTPDeleteDirFrame"}},
                {&TFTPDeleteFileAction::ClassInfo(), "FTPDELETEFILE", {"TFTPDeleteFileFrame"}},
                {&TFTPRenameFileAction::ClassInfo(), "FTPRENAMEFILE", {"TFTPRenameFileFrame"}},
                {&TFTPNoopAction::ClassInfo(), "FTPNOOP", {"TFTPNoopFrame"}},
                {&TFTPCheckIfConnectedAction::ClassInfo(), "FTPIFCONNECTED", {"TFTPCheckIfConnectedFrame"}},
                {&TFTPDisconnectAction::ClassInfo(), "FTPDISCONNECT", {"TFTPDisconnectFrame"}},
                // The second page is the host's own page of every waiting action.
                {&TFTPWaitForFileAction::ClassInfo(), "FTPWAIT", {"TFTPWaitForFileFrame", "TWaitOptionsFrame"}},
                {&TFTPSendCMDAction::ClassInfo(), "FTPSENDCMD", {"TFTPSendCMDFrame"}},
                {&TFTPMirrorAction::ClassInfo(),
                 "FTPMIRROR",
                 {"TFTPMirrorFrame", "TFTPMirrorOptFrame", "TFTPMirrorExcludeFrame", "TFTPRetryOptFrame",
                  "TFTPMirrorLoggingOptFrame"}},
                {&TFTPAction::ClassInfo(),
                 "ZRFTP",
                 {"TFTPOptionsFrame", "TFTPMoreOptionsFrame", "TFTPProxyFrame", "TFTPScriptFrame"}},
            },
        .Options = {{&TZRFTPOptions::ClassInfo(), "HINTERNET", {"TFTPGlobalOptionsFrame"}}},
        // The diff action is kept out of the palette but can still be stored in a project.
        .StoredClasses = {&TFTPRetryOptions::ClassInfo(), &TFTPLoggingOptions::ClassInfo(),
                          &TFTPScriptGetCurrentDir::ClassInfo(), &TFTPScriptChangeDir::ClassInfo(),
                          &TFTPScriptChangeDirUp::ClassInfo(), &TFTPScriptListDir::ClassInfo(),
                          &TFTPScriptMakeDir::ClassInfo(), &TFTPScriptDeleteDir::ClassInfo(),
                          &TFTPScriptFileSize::ClassInfo(), &TFTPScriptDeleteFile::ClassInfo(),
                          &TFTPScriptRenameFile::ClassInfo(), &TFTPScriptUploadFile::ClassInfo(),
                          &TFTPScriptDownloadFile::ClassInfo(), &TFTPDiffAction::ClassInfo()},
        .RegisterScriptNames = &RegisterFTPScriptNames,
    };
    return protocol;
}

} // namespace zr
